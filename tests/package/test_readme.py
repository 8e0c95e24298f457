"""README's commands as a newcomer runs them: the demo, and the PyPy
install into the folder PyPy reads, on a Debian 12 where it is missing."""
import os
import re
import shutil
import subprocess
import sys

import pytest

import vantre

from conftest import child_env

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
README = os.path.join(ROOT, "README.md")
# The folder the package was imported from: <build>/python.
PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(vantre.__file__)))
EMULATED = bool(os.environ.get("VANTRE_PYTHON_CMD"))
# Under the sanitizers the build is instrumented and the interpreter runs
# with their runtimes preloaded: the demo and a copied PyPy are not theirs.
SANITIZED = bool(os.environ.get("VANTRE_SANITIZED"))


def _blocks():
    """(heading, code block) for every fenced block of README.md without a
    language, under the nearest heading above it."""
    text = open(README, encoding="utf-8").read()
    heading, out = "", []
    for match in re.finditer(r"^```(\w*)\n(.*?)^```$|^(#+ [^\n]*)$", text, flags=re.M | re.S):
        if match.group(3):
            heading = match.group(3)
        elif not match.group(1):
            out.append((heading, match.group(2)))
    return out


def test_readme_begins_with_the_demo_and_the_tests():
    heading, first = _blocks()[0]
    commands = [line.split("#")[0].strip() for line in first.splitlines()]
    assert heading == "# Vantre" and commands == ["bash scripts/demo.sh", "bash scripts/test.sh"]


@pytest.mark.skipif(EMULATED or SANITIZED, reason="the demo is the host's, uninstrumented")
def test_demo_shows_the_package_and_the_tool():
    # The demonstration part of README's first command, by this interpreter
    # (and path to the engine): the build is the one under test.
    proc = subprocess.run(
        ["bash", os.path.join(ROOT, "scripts", "demo.sh"), "--no-build"],
        env=child_env({"VANTRE_DEMO_PYTHON": sys.executable}), capture_output=True, text=True,
        timeout=300,
    )
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    out = proc.stdout
    for expected in [
        "user:1 -> b'alice' | 'user:3' in db: False",
        "reopened: 3 keys: {'user:1': b'alice', 'user:2': b'bob', 'user:4': b'dave'}",
        "$ vantre stats store\nlive keys:             3\n",
        "$ vantre check store\nstore: sound (3 live keys, 4 records, 0 log records)\n",
        "copy: loaded 3 keys\n$ vantre dump copy\n"
        '{"key": "user:1"}\n{"key": "user:2"}\n{"key": "user:4"}\n',
        "copy holds the same keys and values as store",
    ]:
        assert expected in out, out


def _pypy_install_lines():
    """The lines of README's PyPy block after the build: the install."""
    (block,) = [code for heading, code in _blocks() if heading.startswith("### PyPy") and "cmake" in code]
    lines = block.splitlines()
    build = max(i for i, line in enumerate(lines) if line.startswith("cmake --build build-pypy"))
    assert lines[0] == "bash scripts/setup.sh" and build == 2, lines
    return lines[build + 1:]


@pytest.mark.skipif(EMULATED or SANITIZED or not os.path.exists("/usr/bin/pypy3"),
                    reason="needs the host's PyPy, uninstrumented")
def test_the_pypy_install_works_as_written(tmp_path):
    # Debian's PyPy, moved to a root of its own (the binary copied, its
    # standard library linked): it reads site packages from
    # <root>/usr/local/lib/pypy3.9/dist-packages, which does not exist yet,
    # as on a fresh Debian 12. README's install lines run literally with
    # that pypy3 first on the PATH and the build under test as build-pypy.
    if not [n for n in os.listdir(PACKAGE_DIR) if n.startswith("_vantre.pypy")]:
        pytest.skip("the build under test has no PyPy module")
    root = tmp_path / "root"
    (root / "usr" / "bin").mkdir(parents=True)
    shutil.copy(os.path.realpath("/usr/bin/pypy3"), root / "usr" / "bin" / "pypy3")
    stdlib = os.path.basename(os.path.dirname(subprocess.run(
        ["/usr/bin/pypy3", "-c", "import os; print(os.__file__)"],
        capture_output=True, text=True, check=True).stdout.strip()))
    (root / "usr" / "lib").mkdir()
    (root / "usr" / "lib" / stdlib).symlink_to(os.path.join("/usr/lib", stdlib))
    pypy = str(root / "usr" / "bin" / "pypy3")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VANTRE_"))}
    env["PATH"] = f"{root / 'usr' / 'bin'}:{env.get('PATH', '/usr/bin:/bin')}"
    reads = subprocess.run([pypy, "-c", "import site; print(site.getsitepackages()[0])"],
                           env=env, capture_output=True, text=True, check=True).stdout.strip()
    assert reads == str(root / "usr" / "local" / "lib" / stdlib / "dist-packages")
    assert not os.path.exists(reads)

    work = tmp_path / "checkout"
    (work / "build-pypy").mkdir(parents=True)
    (work / "build-pypy" / "python").symlink_to(PACKAGE_DIR)
    script = "set -euo pipefail\n" + "\n".join(_pypy_install_lines()) + "\n"
    proc = subprocess.run(["bash", "-c", script], cwd=work, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr

    use = f"""
import sys, vantre, _vantre
assert vantre.__file__.startswith({reads!r}) and _vantre.__file__.startswith({reads!r})
with vantre.open(sys.argv[1]) as db:
    db["k"] = b"v"
with vantre.open(sys.argv[1], readonly=True) as db:
    print(vantre._store.BACKEND, db["k"])
"""
    for backend, expected in (("", "capi b'v'"), ("module", "module b'v'")):
        proc = subprocess.run([pypy, "-c", use, str(tmp_path / f"store{backend}")], cwd=tmp_path,
                              env=dict(env, VANTRE_BACKEND=backend), capture_output=True, text=True)
        assert proc.returncode == 0 and proc.stdout.strip() == expected, proc.stderr
    proc = subprocess.run([pypy, "-m", "vantre", "check", str(tmp_path / "store")], cwd=tmp_path,
                          env=env, capture_output=True, text=True)
    assert proc.returncode == 0 and "sound (1 live keys" in proc.stdout, proc.stderr
