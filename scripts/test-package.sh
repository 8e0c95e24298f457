#!/usr/bin/env bash
# Tests of the vantre package, its stubs and its command-line tool:
#   1. build (scripts/build.sh: _vantre and vantre._inspect for CPython and
#      PyPy, laid out with the package in <build>/python)
#   2. stubtest of _vantre and vantre._inspect against the built modules
#   3. mypy --strict on the package and examples/
#   4. tests/package under CPython and PyPy
#   5. pip install . into a fresh venv (offline, no build isolation), an
#      import and a run of the installed tool, mypy --strict on a user
#      program against what was installed (PEP 561 stubs); pip wheel .
#      likewise
# Usage: scripts/test-package.sh [--no-pytest] [build-dir]   (default: <repo>/build)
# --no-pytest skips step 4, for callers that run tests/package themselves.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pytest_steps=1
if [[ ${1:-} == --no-pytest ]]; then
  pytest_steps=0
  shift
fi
build=${1:-$root/build}
"$root/scripts/setup.sh" mypy python3-venv python3-pip python3-setuptools python3-wheel

unset PYTHONDONTWRITEBYTECODE
export PYTHONPYCACHEPREFIX=${PYTHONPYCACHEPREFIX:-$build/pycache}
dist=/usr/lib/python3/dist-packages
step() { printf '\n=== %s\n' "$*"; }

step "package: build"
"$root/scripts/build.sh" "$build"

step "package: stubtest"
(cd "$build/python" && /usr/bin/python3 -m mypy.stubtest --mypy-config-file "$root/pyproject.toml" \
  _vantre vantre._inspect)

step "package: mypy --strict"
MYPYPATH="$root/python" /usr/bin/python3 -m mypy --strict --cache-dir "$build/mypy-cache" \
  --config-file "$root/pyproject.toml" "$root/python/vantre" "$root/examples"

if ((pytest_steps)); then
  step "package tests, CPython"
  PYTHONPATH="$build/python" /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/tests/package"

  step "package tests, PyPy"
  PYTHONPATH="$build/python:$dist" /usr/bin/pypy3 -m pytest -q -p no:cacheprovider "$root/tests/package"
fi

step "package: pip install . into a fresh venv"
work=$(mktemp -d /tmp/vantre-pip-XXXXXX)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
pip_args=(--no-build-isolation --no-index --disable-pip-version-check -q)
(cd "$root" && "$work/venv/bin/pip" install "${pip_args[@]}" .)
(cd "$work" && "$work/venv/bin/python" - "$work/store" <<'PY'
import sys
import vantre, _vantre
assert vantre.__file__.startswith(sys.prefix), vantre.__file__
assert _vantre.__file__.startswith(sys.prefix), _vantre.__file__
with vantre.open(sys.argv[1]) as db:
    db.update({"a": b"1", "b": b"2"})
    del db["a"]
print("installed:", vantre.__file__)
PY
)
"$work/venv/bin/vantre" check "$work/store"
[[ $("$work/venv/bin/vantre" dump "$work/store") == '{"key": "b"}' ]]
for f in _vantre.pyi _vantre-stubs/__init__.pyi vantre/py.typed vantre/_inspect.pyi vantre/libvantre_capi.so; do
  compgen -G "$work/venv/lib/python3*/site-packages/$f" >/dev/null || { echo "not installed: $f"; exit 1; }
done
cat >"$work/user.py" <<'PY'
import shelve
import sys
from typing import Optional

import _vantre
import vantre
import vantre.dbm

with vantre.open(sys.argv[1], readonly=True) as db:
    value: Optional[bytes] = db.get("b")
    keys: list[str] = list(db)
native = _vantre.Vantre(sys.argv[1], 0, readonly=True)
raw: Optional[bytes] = native.get_bytes("b")
shelf: shelve.Shelf[list[int]] = shelve.Shelf(vantre.dbm.open(sys.argv[1] + "-shelf", "c"))
with shelf:
    shelf["k"] = [1, 2]
try:
    vantre.open(sys.argv[1], create=False).sync()
except vantre.StoreIOError as e:
    code: Optional[int] = e.errno
PY
# As README says: Debian's mypy through the venv's interpreter, which sees
# both it and what was installed.
(cd "$work" && "$work/venv/bin/python" -m mypy --strict --no-incremental user.py)
(cd "$work" && "$work/venv/bin/python" user.py "$work/store")
(cd "$root" && "$work/venv/bin/pip" wheel "${pip_args[@]}" --no-deps -w "$work/wheels" .)
ls "$work"/wheels/vantre-*.whl

step "package tests passed"
