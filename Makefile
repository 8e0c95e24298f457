.PHONY: bench maintenance-bench scale cache-bench soak

# Comparative benchmark (installs its Debian packages, builds, runs CPython and PyPy),
# then the maintenance benchmark below.
# Extra options for bench/compare.py: make bench BENCH_ARGS="--full"
# Without the maintenance benchmark: make bench BENCH_ARGS="--no-maintenance"
bench:
	MAINTENANCE_ARGS="$(MAINTENANCE_ARGS)" bash scripts/bench.sh $(BENCH_ARGS)

# Maintenance benchmark alone (bench/maintenance.py): each store's maintenance
# calls (persist, vacuum; checkpoints, compactions) at 1M and 10M keys, timed alone
# and beside a heartbeat, a getter and a putter thread; vacuum against cp -r + sync
# at 5M keys. Quick run:
#   make maintenance-bench MAINTENANCE_ARGS="--sizes 100000 --cp-size 0"
maintenance-bench:
	MAINTENANCE_ARGS="$(MAINTENANCE_ARGS)" bash scripts/bench.sh --maintenance-only

.PHONY: harness harness-long fuzz-long

# The bounded reliability harness that CI runs, and its long form:
# 2000 crash rounds per interpreter, 10 minutes per fuzz target, longer
# thread, disk-full and memory loops.
harness:
	bash scripts/test-harness.sh

harness-long:
	bash scripts/test-harness.sh long

# At least 10 million executions per decoder target (hours for snapshot).
fuzz-long:
	cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-16 >/dev/null
	cmake --build build-fuzz -j2 >/dev/null
	FUZZ_WORK=build-fuzz/long FUZZ_RUNS=10000000 bash fuzz/run.sh build-fuzz 36000 id_set wal_entry snapshot

# Scale curve (bench/scale.py): N = 100k, 1M, 10M and value sizes 16 B .. 64 KiB,
# table + JSON + chart in bench/results/. Quick run:
#   make scale SCALE_ARGS="--sizes 100000 --vsizes 100 --ops 50000"
scale:
	bash scripts/build.sh build -DVANTRE_TESTS=OFF
	/usr/bin/python3 bench/scale.py $(SCALE_ARGS)

# Engine-side cost of a value cache hit and miss, without Python.
# Before/after: make cache-bench CACHE_BENCH_ARGS="--rev HEAD~1"
cache-bench:
	bash bench/cache_bench.sh $(CACHE_BENCH_ARGS)

# Memory soak of the value cache under a miss-heavy loop (exits 1 if RSS grows).
soak:
	bash scripts/build.sh build -DVANTRE_TESTS=OFF
	PYTHONPATH=build/python /usr/bin/python3 bench/soak_cache.py $(SOAK_ARGS)
