"""Builds bench/floor.c for the running interpreter (CPython or PyPy) into
build/bench-floor/ and imports it: `load()` returns the module
_vantre_floor, whose get(key) and absent(key) are the floor of a read from
Python (see floor.c)."""

import importlib
import os
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def load():
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    out = os.path.join(ROOT, "build", "bench-floor")
    os.makedirs(out, exist_ok=True)
    src = os.path.join(HERE, "floor.c")
    lib = os.path.join(out, "_vantre_floor" + suffix)
    if not os.path.exists(lib) or os.path.getmtime(lib) < os.path.getmtime(src):
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-std=gnu11",
                        "-I" + sysconfig.get_paths()["include"], "-o", lib, src], check=True)
    if out not in sys.path:
        sys.path.insert(0, out)
    return importlib.import_module("_vantre_floor")


if __name__ == "__main__":
    m = load()
    print(m.__file__, len(m.get("k")), m.absent("k"))
