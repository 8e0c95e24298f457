.PHONY: bench

# Comparative benchmark (installs its Debian packages, builds, runs CPython and PyPy).
# Extra options for bench/compare.py: make bench BENCH_ARGS="--full"
bench:
	bash scripts/bench.sh $(BENCH_ARGS)

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
