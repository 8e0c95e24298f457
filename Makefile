.PHONY: bench

# Comparative benchmark (installs its Debian packages, builds, runs CPython and PyPy).
# Extra options for bench/compare.py: make bench BENCH_ARGS="--full"
bench:
	bash scripts/bench.sh $(BENCH_ARGS)
