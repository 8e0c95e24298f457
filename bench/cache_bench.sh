#!/usr/bin/env bash
# Builds and runs bench/value_cache_bench.cpp: the engine-side cost of a
# value cache hit and of a miss followed by an insert, without Python.
# Usage: bench/cache_bench.sh [--rev REV] [ops per run]
#   --rev REV   measure the cache of git revision REV (its src/ tree)
#               instead of the working tree: for before/after figures
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rev=
if [[ ${1:-} == --rev ]]; then
  rev=$2
  shift 2
fi
out=$(mktemp -d /tmp/vantre-cache-bench-XXXXXX)
trap 'rm -rf "$out"' EXIT
src=$root/src
if [[ -n $rev ]]; then
  git -C "$root" archive "$rev" src | tar -x -C "$out"
  src=$out/src
fi
# Caches that offer Prefetch get the prefetched batch row too.
prefetch=()
grep -q " Prefetch(uint64_t" "$src/engine/state/value_cache.h" && prefetch=(-DVANTRE_CACHE_PREFETCH)
# The cache's own sources: the huge-page allocator too, where the revision has one.
sources=("$src/engine/state/value_cache.cpp")
[[ -f $src/engine/state/huge_page_allocator.cpp ]] && sources+=("$src/engine/state/huge_page_allocator.cpp")
c++ "${prefetch[@]}" -std=c++20 -O2 -g -DNDEBUG -I"$src" -o "$out/value_cache_bench" \
  "$root/bench/value_cache_bench.cpp" "${sources[@]}"
echo "value cache micro-benchmark: cache of ${rev:-the working tree} ($(git -C "$root" rev-parse --short "${rev:-HEAD}")), $(date -u '+%Y-%m-%d %H:%M'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$out/value_cache_bench" "$@"
