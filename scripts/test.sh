#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. engine unit tests (GoogleTest)
#   2. module tests under CPython and PyPy (pytest)
#   3. module tests under CPython against a build with AddressSanitizer and
#      UndefinedBehaviorSanitizer
#   4. module tests under emulated 32-bit ARM PyPy
# Fails if any of them fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

unset PYTHONDONTWRITEBYTECODE
export PYTHONPYCACHEPREFIX=${PYTHONPYCACHEPREFIX:-$root/build/pycache}
dist=/usr/lib/python3/dist-packages

step() { printf '\n=== %s\n' "$*"; }

step "build"
"$root/scripts/build.sh" "$root/build"

step "engine unit tests"
"$root/build/engine_tests" --gtest_brief=1

step "module tests, CPython"
PYTHONPATH="$root/build/python" /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/tests/python"

step "module tests, PyPy"
PYTHONPATH="$root/build/python:$dist" /usr/bin/pypy3 -m pytest -q -p no:cacheprovider "$root/tests/python"

step "module tests, CPython with sanitizers"
"$root/scripts/build.sh" "$root/build-asan" -DVANTRE_SANITIZE=ON -DVANTRE_TESTS=OFF
asan=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
LD_PRELOAD="$asan:$ubsan" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
VANTRE_SANITIZED=1 \
PYTHONPATH="$root/build-asan/python" /usr/bin/python3 -m pytest -q -p no:cacheprovider "$root/tests/python"

if [[ -x $root/scripts/armhf.sh ]]; then
  step "module tests, armhf PyPy under emulation"
  "$root/scripts/armhf.sh"
fi

step "all tests passed"
