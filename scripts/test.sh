#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. engine unit tests (GoogleTest)
#   2. module and package tests under CPython and PyPy (pytest)
#   3. the package's stubs, strict typing and pip install (test-package.sh)
#   4. the reliability harness, bounded: crash loop, fault injection at
#      every system call, disk full, threads, flat memory, the damage
#      matrix, fuzz targets, and the module tests under AddressSanitizer,
#      UndefinedBehaviorSanitizer and LeakSanitizer (test-harness.sh)
#   5. module and package tests under emulated 32-bit ARM PyPy
# Fails if any of them fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

unset PYTHONDONTWRITEBYTECODE
export PYTHONPYCACHEPREFIX=${PYTHONPYCACHEPREFIX:-$root/build/pycache}
dist=/usr/lib/python3/dist-packages
# Each directory has its own conftest module: one pytest run per directory.
pytest_each() {  # pytest_each <interpreter> <pytest args...>
  local py=$1 dir
  shift
  for dir in "$root/tests/python" "$root/tests/package"; do
    "$py" -m pytest "$@" "$dir"
  done
}

step() { printf '\n=== %s\n' "$*"; }
SECONDS=0

step "build"
"$root/scripts/build.sh" "$root/build"

step "engine unit tests"
"$root/build/engine_tests" --gtest_brief=1

step "module and package tests, CPython"
PYTHONPATH="$root/build/python" pytest_each /usr/bin/python3 -q -p no:cacheprovider

step "module and package tests, PyPy"
PYTHONPATH="$root/build/python:$dist" pytest_each /usr/bin/pypy3 -q -p no:cacheprovider

step "package tests, PyPy, through the native module instead of the C interface"
VANTRE_BACKEND=module PYTHONPATH="$root/build/python:$dist" \
  /usr/bin/pypy3 -m pytest -q -p no:cacheprovider "$root/tests/package"

step "package: stubs, typing, pip install"
"$root/scripts/test-package.sh" --no-pytest "$root/build"

step "reliability harness (bounded)"
"$root/scripts/test-harness.sh"

if [[ -x $root/scripts/armhf.sh ]]; then
  step "module and package tests, armhf PyPy under emulation"
  "$root/scripts/armhf.sh" -q -p no:cacheprovider tests/python
  "$root/scripts/armhf.sh" -q -p no:cacheprovider tests/package
fi

step "all tests passed in ${SECONDS}s"
