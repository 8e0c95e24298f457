#!/usr/bin/env bash
# Comparative benchmark of _vantre against other embedded stores.
#   1. installs, when missing, the build dependencies (scripts/setup.sh) and
#      the peer stores from Debian's archive, skipping any the archive lacks
#   2. builds the module (scripts/build.sh)
#   3. runs bench/compare.py once under CPython 3.11 and once under PyPy 3.9:
#      single operations, then the mixed Zipf workloads A, B, C, F
#   4. writes bench/results/compare.md and the PNG charts (CPython + matplotlib)
#   5. runs bench/maintenance.py under each interpreter: persist and vacuum,
#      and the peers' maintenance calls, alone and beside other threads, at
#      1M and 10M keys (bench/results/maintenance-*.{txt,json}, maintenance.md,
#      and maintenance.png, the chart of the waits at 10M)
# The single operations take about 6 minutes per interpreter on a 2-core
# machine; the mixed workloads add roughly as much again (--ycsb none skips them).
# The maintenance benchmark's 10M keys take longer still (mostly loading the
# peers): --no-maintenance skips it, MAINTENANCE_ARGS passes it options.
# Usage: scripts/bench.sh [compare.py options]   e.g. --full, or --sizes 200000,
#        or --ycsb-only (the mixed workloads alone)
#        scripts/bench.sh --no-maintenance [compare.py options]
#        scripts/bench.sh --maintenance-only [maintenance.py options]
#                                                e.g. --sizes 100000 --cp-size 0
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

run_compare=yes
run_maintenance=yes
args=()
for a in "$@"; do
  case $a in
    --no-maintenance) run_maintenance=no ;;
    --maintenance-only) run_compare=no ;;
    *) args+=("$a") ;;
  esac
done
read -r -a maintenance_args <<< "${MAINTENANCE_ARGS:-}"
if [[ $run_compare == no ]]; then
  maintenance_args+=("${args[@]}")
fi

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
pythons=()
for py in /usr/bin/python3 /usr/bin/pypy3; do
  if [[ -x $py ]]; then pythons+=("$py"); else echo "bench: $py not found; skipped"; fi
done
tag_of() {
  "$1" -c 'import platform; print("pypy" if platform.python_implementation() == "PyPy" else "cpython")'
}

if [[ $run_compare == yes ]]; then
  jsons=()
  for py in "${pythons[@]}"; do
    tag=$(tag_of "$py")
    echo "bench: running under $py"
    "$py" "$root/bench/compare.py" --out "$results/compare-$tag.json" "${args[@]}" | tee "$results/compare-$tag.txt"
    jsons+=("$results/compare-$tag.json")
  done
  /usr/bin/python3 "$root/bench/compare.py" --report "${jsons[@]}" --outdir "$results"
fi

if [[ $run_maintenance == yes ]]; then
  jsons=()
  for py in "${pythons[@]}"; do
    tag=$(tag_of "$py")
    echo "bench: maintenance benchmark under $py"
    "$py" "$root/bench/maintenance.py" --out "$results/maintenance-$tag.json" "${maintenance_args[@]}" \
      | tee "$results/maintenance-$tag.txt"
    jsons+=("$results/maintenance-$tag.json")
  done
  /usr/bin/python3 "$root/bench/maintenance.py" --report "${jsons[@]}" \
    --chart "$results/maintenance.png" > "$results/maintenance.md"
  echo "wrote bench/results/maintenance.md and maintenance.png"
fi
