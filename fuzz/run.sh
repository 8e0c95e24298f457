#!/usr/bin/env bash
# Runs each fuzz target for a bounded time from its committed seed corpus.
# Usage: fuzz/run.sh <build-dir> <seconds per target> [targets...]
# FUZZ_RUNS=<n> also stops each target after n executions; FUZZ_WORK=<dir>
# keeps the scratch corpus and logs apart from other runs.
# New inputs go to a scratch corpus under the build directory, never into
# the committed seeds; a crash leaves its input there as crash-* and fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=$2
shift 2
targets=("$@")
((${#targets[@]})) || targets=(id_set wal_entry snapshot store_dir)

for s in /usr/lib/llvm-16/bin/llvm-symbolizer /usr/lib/llvm-14/bin/llvm-symbolizer /usr/bin/addr2line; do
  [[ -x $s ]] && { export ASAN_SYMBOLIZER_PATH=$s; break; }
done
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The directory target syncs files: on tmpfs that costs nothing.
[[ -d /dev/shm ]] && export TMPDIR=${FUZZ_TMPDIR:-/dev/shm}
status=0
for t in "${targets[@]}"; do
  work=${FUZZ_WORK:-$build/work}/$t
  mkdir -p "$work/corpus" "$work/artifacts"
  # One process; a 5 s per-input limit is a hang, 2 GiB of RSS or a 512 MiB
  # allocation is unbounded allocation.
  if "$build/fuzz_$t" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
      -malloc_limit_mb=512 -max_len=65536 -print_final_stats=1 \
      ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} -artifact_prefix="$work/artifacts/" "$work/corpus" "$here/corpus/$t" \
      >"$work/log" 2>&1; then
    echo "fuzz $t: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | tail -1 | grep -o '[0-9]*$') executions, no finding"
  else
    status=1
    echo "fuzz $t: FINDING, see $work/log and $work/artifacts/"
    grep -m3 -E 'ERROR|SUMMARY|runtime error' "$work/log" || true
  fi
done
exit $status
