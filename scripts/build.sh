#!/usr/bin/env bash
# Builds _vantre for every interpreter present, and the engine tests.
# Usage: scripts/build.sh [build-dir] [extra cmake args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true

pythons=()
for py in /usr/bin/python3 /usr/bin/pypy3; do
  [[ -x $py ]] && pythons+=("$py")
done
IFS=';'
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRE_TESTS=ON -DVANTRE_PYTHONS="${pythons[*]}" "$@" >/dev/null
unset IFS
cmake --build "$build" -j "$(nproc)"
