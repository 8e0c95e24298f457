#!/usr/bin/env bash
# The bounded share of the reliability harness, for every submission:
#   crash loop (CPython, PyPy), system-call fault injection, disk full,
#   threads (CPython, PyPy), flat memory and descriptors, the damage
#   matrix (CPython, PyPy), fuzz targets, and the module tests under
#   LeakSanitizer.
# Longer runs of the same parts: `make harness-long`.
# Usage: scripts/test-harness.sh [long]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" clang-16 libclang-rt-16-dev

unset PYTHONDONTWRITEBYTECODE
export PYTHONPYCACHEPREFIX=${PYTHONPYCACHEPREFIX:-$root/build/pycache}
dist=/usr/lib/python3/dist-packages
long=${1:-}
# Bounded counts, and the long ones.
if [[ $long == long ]]; then
  crash_rounds=2000 fuzz_seconds=600 thread_seconds=120 disk_rounds=40 flat_scale=5 damage_rounds=3
else
  crash_rounds=40 fuzz_seconds=15 thread_seconds=10 disk_rounds=4 flat_scale=1 damage_rounds=1
fi

step() { printf '\n=== harness: %s\n' "$*"; }
failed=()
run() {  # run <label> <command...>: records a failure and goes on
  local label=$1
  shift
  "$@" || failed+=("$label")
}
cpython() { PYTHONPATH="$root/build/python" /usr/bin/python3 "$@"; }
pypy() { PYTHONPATH="$root/build/python:$dist" /usr/bin/pypy3 "$@"; }

step "build"
"$root/scripts/build.sh" "$root/build"
cmake -S "$root/fuzz" -B "$root/build-fuzz" -DCMAKE_CXX_COMPILER=clang++-16 >/dev/null
cmake --build "$root/build-fuzz" -j "$(nproc)" >/dev/null

step "crash loop"
run "crash loop, CPython" cpython "$root/tests/crash/crash_loop.py" --rounds "$crash_rounds"
run "crash loop, PyPy" pypy "$root/tests/crash/crash_loop.py" --rounds "$crash_rounds"

step "fault injection at every system call"
run "fault injection" cpython "$root/tests/faults/fault_driver.py"

step "disk full"
run "disk full" cpython "$root/tests/diskfull/diskfull.py" --rounds "$disk_rounds"

step "threads"
run "threads, CPython" cpython "$root/tests/threads/threads.py" --seconds "$thread_seconds"
run "threads, PyPy" pypy "$root/tests/threads/threads.py" --seconds "$thread_seconds"

step "flat memory and descriptors"
run "flat memory, CPython" cpython "$root/tests/leaks/flat.py" --scale "$flat_scale"
run "flat memory, PyPy" pypy "$root/tests/leaks/flat.py" --scale "$flat_scale"
run "value cache soak, CPython" cpython "$root/bench/soak_cache.py" --reads 5000000

step "damage matrix: each file damaged, then each step of a writer, two reopens and the tool"
run "damage matrix, CPython" cpython "$root/tests/damage/matrix.py" --rounds "$damage_rounds"
run "damage matrix, PyPy" pypy "$root/tests/damage/matrix.py" --rounds "$damage_rounds"

step "fuzz targets, $fuzz_seconds s each"
run "fuzz" "$root/fuzz/run.sh" "$root/build-fuzz" "$fuzz_seconds"

step "module and package tests under AddressSanitizer, UndefinedBehaviorSanitizer, LeakSanitizer"
"$root/scripts/build.sh" "$root/build-asan" -DVANTRE_SANITIZE=ON -DVANTRE_TESTS=OFF
logs=$(mktemp -d)
asan=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
sanitized() {  # the interpreter with the sanitizer runtimes and the sanitized module
  LD_PRELOAD="$asan:$ubsan" \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:log_path=$logs/lsan \
  LSAN_OPTIONS=suppressions=$root/tests/leaks/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  VANTRE_SANITIZED=1 \
  PYTHONPATH="$root/build-asan/python" /usr/bin/python3 "$@"
}
for dir in python package; do
  run "$dir tests under the sanitizers" sanitized -m pytest -q -p no:cacheprovider "$root/tests/$dir"
done
shopt -s nullglob
run "leak report" /usr/bin/python3 "$root/tests/leaks/lsan_report.py" "$logs"/lsan*
rm -rf "$logs"

step "harness summary"
if ((${#failed[@]})); then
  printf 'failed: %s\n' "${failed[@]}"
  exit 1
fi
echo "every harness part passed"
