"""Cost of making the last write durable: Store.sync() against persist().

For each store size, a store of N keys (16-byte keys, 100-byte values) is
built and persisted; then each round writes one key and makes it durable,
by sync() (REPS rounds) or by persist() (fewer rounds, it rewrites the
snapshot). Prints the median ns per call.

    PYTHONPATH=build/python python3 bench/sync.py [DIR] [N ...]
"""

import os
import shutil
import statistics
import sys
import tempfile
import time

import vantre

from benchutil import interpreter_tag

REPS = 200
PERSIST_REPS = 20


def median_ns(db, call, reps):
    times = []
    for i in range(reps):
        db[f"durable-{i:08}"] = b"v" * 100
        t0 = time.perf_counter_ns()
        call()
        times.append(time.perf_counter_ns() - t0)
    return statistics.median(times)


def main():
    args = sys.argv[1:]
    top = args.pop(0) if args and not args[0].isdigit() else tempfile.mkdtemp(dir="/var/tmp")
    sizes = [int(a) for a in args] or [100_000, 1_000_000]
    print(f"# {interpreter_tag()}, median ns per call after one 100-byte write")
    print("keys        sync()        persist()")
    for n in sizes:
        path = os.path.join(top, f"sync-{n}")
        shutil.rmtree(path, ignore_errors=True)
        with vantre.open(path, cache_size=0) as db:
            value = b"x" * 100
            for i in range(n):
                db[f"key-{i:012}"] = value
            db.persist()
            sync_ns = median_ns(db, db.sync, REPS)
            persist_ns = median_ns(db, db.persist, PERSIST_REPS)
        shutil.rmtree(path)
        print(f"{n:<11} {sync_ns:>10,.0f}   {persist_ns:>14,.0f}")


if __name__ == "__main__":
    main()
