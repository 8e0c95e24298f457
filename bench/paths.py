#!/usr/bin/env python3
"""ns per operation through each path to the engine, in one run:

  _vantre     the native module (the C API; emulated under PyPy)
  capi        vantre._capi: the engine's C interface through cffi
  package     vantre.open(): the Store mapping over whichever path the
              package chose for this interpreter (named in the header)
  floor       bench/floor.c: a C-API function that only converts a str key
              and returns a new bytes of the value's size (the least any
              read through the C API can cost)

Rows: insert and overwrite (set), get with the default cache (mostly
misses at these sizes), get with every key cached, get_many per key (batches
of 1,000), delete. 100-byte values, keys in random order, each key object
made in the order of use. Every round starts from a fresh store, and
memory is primed before every row, so that each path meets the same
conditions whatever ran before it.

    pypy3 bench/paths.py                 # 200,000 and 1,000,000 keys
    pypy3 bench/paths.py --sizes 50000

Run it on a quiet machine: each figure is the best of --reps runs.
"""

import argparse
import gc
import os
import random
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "build", "python"))
sys.path.insert(0, HERE)

import _vantre  # noqa: E402
import vantre  # noqa: E402
import vantre._store  # noqa: E402
from vantre import _capi  # noqa: E402

import floor  # noqa: E402
from benchutil import interpreter_tag, prime_free_memory, timed  # noqa: E402

VALUE = b"v" * 100


def native_ops(db):
    return {"set": db.set_bytes, "get": db.get_bytes, "get_many": db.get_many,
            "delete": db.delete, "cache": lambda size: None}


def package_ops(store):
    return {"set": store.__setitem__, "get": store.__getitem__,
            "get_many": store.get_many, "delete": store.__delitem__}


def with_store(name, path, cache, fn):
    """fn(ops) on a fresh store at `path` opened through path `name`, with
    the default cache or a cache of `cache` entries; the store is closed
    and removed afterwards."""
    size = {} if cache is None else {"cache_size": cache}
    if name == "package":
        db = vantre.open(path, **size)
        ops, close = package_ops(db), db.close
    else:
        db = (_vantre.Vantre if name == "_vantre" else _capi.Vantre)(path, **size)
        ops, close = native_ops(db), getattr(db, "_close", lambda: None)
    try:
        return fn(ops)
    finally:
        close()
        del db, ops, close
        gc.collect()  # a _vantre store is released when collected
        shutil.rmtree(path, ignore_errors=True)


def measure(name, path, keys, reps):
    """Best ns per key of each row over `reps` rounds; every round opens a
    fresh store at `path`, inserts, overwrites, reads and deletes every
    key, and removes the store again."""
    n = len(keys)
    rows = {}

    def one_round(ops):
        def write():
            for k in keys:
                ops["set"](k, VALUE)

        def gets():
            for k in keys:
                ops["get"](k)

        def batches():
            for i in range(0, n, 1000):
                ops["get_many"](keys[i:i + 1000])

        def deletes():
            for k in keys:
                ops["delete"](k)

        for row, fn in (("insert", write), ("overwrite", write), ("get", gets),
                        ("get_many", batches), ("delete", deletes)):
            # Fresh memory for what the row writes to files (log, data,
            # index growth), primed just before it: see
            # benchutil.prime_free_memory.
            prime_free_memory(n * 400)
            ns = timed(fn)[0] / n
            rows[row] = min(rows.get(row, ns), ns)

    for _ in range(reps):
        with_store(name, path, None, one_round)
    return rows


def measure_cached(ops, keys, reps):
    prime_free_memory(len(keys) * 400)
    for k in keys:
        ops["set"](k, VALUE)
    for k in keys:
        ops["get"](k)

    def gets():
        for k in keys:
            ops["get"](k)
    return min(timed(gets)[0] for _ in range(reps)) / len(keys)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[200_000, 1_000_000])
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    fl = floor.load()
    print(f"paths to the engine, {interpreter_tag()}, 100-byte values; ns per key (best of {args.reps})")
    print(f"package path: {vantre._store.BACKEND}")
    for n in args.sizes:
        # Key objects made in the order they are used, as a caller that
        # builds each key just before its call has them (and as
        # bench/compare.py gives them to every store); the same key order
        # as shuffling the made keys would give.
        order = list(range(n))
        random.Random(1).shuffle(order)
        keys = [f"key{i:010d}" for i in order]
        tmp = tempfile.mkdtemp(prefix="vantre-paths-")
        results = {}
        try:
            for name in ("_vantre", "capi", "package"):
                path = os.path.join(tmp, name)
                rows = measure(name, path, keys, args.reps)
                rows["get, cached"] = with_store(
                    name, path + "-cached", n, lambda ops: measure_cached(ops, keys, args.reps))
                results[name] = rows
            floor_ns = min(timed(lambda: [fl.get(k) for k in keys])[0] for _ in range(args.reps)) / n
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        print(f"\n{n:,} keys")
        print(f"{'operation':14s} {'_vantre':>9s} {'capi':>9s} {'ratio':>6s} {'package':>9s} {'ratio':>6s}")
        for row in ("insert", "overwrite", "get", "get, cached", "get_many", "delete"):
            base = results["_vantre"][row]
            c = results["capi"][row]
            p = results["package"][row]
            print(f"{row:14s} {base:9.0f} {c:9.0f} {c / base:6.2f} {p:9.0f} {p / base:6.2f}")
        print(f"{'floor get':14s} {floor_ns:9.0f}")


if __name__ == "__main__":
    main()
