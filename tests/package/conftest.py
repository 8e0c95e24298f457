"""Shared helpers for the package and command-line tests.

The package is imported from the build directory (PYTHONPATH=<build>/python,
see scripts/test-package.sh); child interpreters get the same path.
"""
import atexit
import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

import pytest

import vantre

HERE = os.path.dirname(os.path.abspath(__file__))
IS_PYPY = sys.implementation.name == "pypy"


@pytest.fixture
def store_dir(tmp_path):
    return str(tmp_path / "store")


def fill(path, n=50, rewrite=10, delete=5):
    """Writes keys k0..k<n-1>, persists, rewrites the first `rewrite` keys
    and deletes the last `delete`, then closes. Returns the expected
    contents."""
    expected = {}
    with vantre.open(path) as db:
        for i in range(n):
            db[f"k{i}"] = expected[f"k{i}"] = f"value {i}".encode()
        db.persist()
        for i in range(rewrite):
            db[f"k{i}"] = expected[f"k{i}"] = f"new {i}".encode()
        for i in range(n - delete, n):
            del db[f"k{i}"]
            del expected[f"k{i}"]
    return expected


def digest(path):
    """Name -> sha256 of every file in directory `path`."""
    return {
        name: hashlib.sha256(open(os.path.join(path, name), "rb").read()).hexdigest()
        for name in sorted(os.listdir(path))
    }


def child_env(extra=None):
    env = dict(os.environ)
    paths = [os.path.dirname(os.path.dirname(os.path.abspath(vantre.__file__)))]
    paths += [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    env.update(extra or {})
    return env


def python_cmd():
    """The command that starts another interpreter like this one: the
    prefix in VANTRE_PYTHON_CMD (an emulated interpreter) when set."""
    cmd = os.environ.get("VANTRE_PYTHON_CMD")
    return shlex.split(cmd) if cmd else [sys.executable]


def run(args, extra_env=None, **kwargs):
    """Runs this interpreter with `args`; returns the CompletedProcess."""
    return subprocess.run(
        python_cmd() + args, env=child_env(extra_env), capture_output=True, text=True,
        timeout=120, **kwargs,
    )


def shim_env(**settings):
    """Environment for a child with the fault shim preloaded, after any
    sanitizer runtime already preloaded."""
    preload = [p for p in os.environ.get("LD_PRELOAD", "").split(":") if p]
    env = {"LD_PRELOAD": ":".join(preload + [fault_shim()])}
    env.update({k: str(v) for k, v in settings.items()})
    return env


_shim = None


def _remove_dir_of(pid, path):
    if os.getpid() == pid:
        shutil.rmtree(path, ignore_errors=True)


def fault_shim():
    """The LD_PRELOAD fault-injection library of the module tests, built on
    first use; skips the test when it cannot be built."""
    global _shim
    if _shim is None:
        source = os.path.join(HERE, "..", "python", "faultshim.c")
        shim_dir = tempfile.mkdtemp(prefix="vantre-shim-")
        # Removed when the test run ends (by this process only, not by a
        # forked child): children that preload the library have all
        # exited by then.
        atexit.register(_remove_dir_of, os.getpid(), shim_dir)
        out = os.path.join(shim_dir, "faultshim.so")
        try:
            subprocess.run(
                [os.environ.get("VANTRE_CC", "cc"), "-shared", "-fPIC", "-o", out, source, "-ldl"],
                check=True, capture_output=True,
            )
        except (OSError, subprocess.CalledProcessError) as e:
            pytest.skip(f"cannot build the fault shim: {e}")
        _shim = out
    return _shim
