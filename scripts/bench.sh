#!/usr/bin/env bash
# Comparative benchmark of _vantre against other embedded stores.
#   1. installs, when missing, the build dependencies (scripts/setup.sh) and
#      the peer stores from Debian's archive, skipping any the archive lacks
#   2. builds the module (scripts/build.sh)
#   3. runs bench/compare.py once under CPython 3.11 and once under PyPy 3.9:
#      single operations, then the mixed Zipf workloads A, B, C, F
#   4. writes bench/results/compare.md and the PNG charts (CPython + matplotlib)
# The single operations take about 6 minutes per interpreter on a 2-core
# machine; the mixed workloads add roughly as much again (--ycsb none skips them).
# Usage: scripts/bench.sh [compare.py options]   e.g. --full, or --sizes 200000,
#        or --ycsb-only (the mixed workloads alone)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/setup.sh"

# Peers: Python bindings of each store (CPython only, except py-lmdb whose
# cffi binding PyPy can compile against liblmdb-dev), and matplotlib.
peers=(python3-lmdb liblmdb-dev python3-plyvel python3-gdbm python3-tkrzw
       python3-kyotocabinet python3-bsddb3 python3-matplotlib)
missing=()
for p in "${peers[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  # Other work on the machine may hold the dpkg lock: wait for it rather
  # than skip peers (a comparison without them names the wrong best peer).
  apt=(apt-get -o DPkg::Lock::Timeout=600)
  "${apt[@]}" update -q
  installable=()
  for p in "${missing[@]}"; do
    if apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]'; then
      installable+=("$p")
    else
      echo "bench: $p is not in the archive here; its store is skipped"
    fi
  done
  if ((${#installable[@]})); then
    echo "bench: installing ${installable[*]}"
    if ! "${apt[@]}" install -y -q --no-install-recommends "${installable[@]}"; then
      for p in "${installable[@]}"; do
        "${apt[@]}" install -y -q --no-install-recommends "$p" || echo "bench: $p failed to install; skipped"
      done
    fi
  fi
fi

"$root/scripts/build.sh" "$root/build" -DVANTRE_TESTS=OFF

results=$root/bench/results
mkdir -p "$results"
jsons=()
for py in /usr/bin/python3 /usr/bin/pypy3; do
  [[ -x $py ]] || { echo "bench: $py not found; skipped"; continue; }
  tag=$("$py" -c 'import platform; print("pypy" if platform.python_implementation() == "PyPy" else "cpython")')
  echo "bench: running under $py"
  "$py" "$root/bench/compare.py" --out "$results/compare-$tag.json" "$@" | tee "$results/compare-$tag.txt"
  jsons+=("$results/compare-$tag.json")
done
/usr/bin/python3 "$root/bench/compare.py" --report "${jsons[@]}" --outdir "$results"
