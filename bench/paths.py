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
of 1,000), delete. 100-byte values, keys in random order.

    pypy3 bench/paths.py                 # 200,000 and 1,000,000 keys
    pypy3 bench/paths.py --sizes 50000

Run it on a quiet machine: each figure is the best of --reps runs.
"""

import argparse
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


def measure(ops, keys, reps):
    """Best ns per key of each row over `reps` rounds; every round inserts
    into an empty store, overwrites, reads and deletes every key."""
    n = len(keys)
    rows = {}

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

    for _ in range(reps):
        # The round writes about this much to files: fresh memory for it
        # (see benchutil.prime_free_memory).
        prime_free_memory(3 * n * (len(VALUE) + 30))
        for row, fn in (("insert", write), ("overwrite", write), ("get", gets),
                        ("get_many", batches), ("delete", deletes)):
            ns = timed(fn)[0] / n
            rows[row] = min(rows.get(row, ns), ns)
    return rows


def measure_cached(ops, keys, reps):
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
        keys = [f"key{i:010d}" for i in range(n)]
        random.Random(1).shuffle(keys)
        tmp = tempfile.mkdtemp(prefix="vantre-paths-")
        results = {}
        try:
            for name in ("_vantre", "capi", "package"):
                path = os.path.join(tmp, name)
                if name == "_vantre":
                    db = _vantre.Vantre(path)
                    ops = native_ops(db)
                    cached = _vantre.Vantre(path + "-cached", n)
                    cached_ops = native_ops(cached)
                elif name == "capi":
                    db = _capi.Vantre(path)
                    ops = native_ops(db)
                    cached = _capi.Vantre(path + "-cached", n)
                    cached_ops = native_ops(cached)
                else:
                    db = vantre.open(path)
                    ops = package_ops(db)
                    cached = vantre.open(path + "-cached", cache_size=n)
                    cached_ops = package_ops(cached)
                rows = measure(ops, keys, args.reps)
                rows["get, cached"] = measure_cached(cached_ops, keys, args.reps)
                results[name] = rows
                for obj in (db, cached):
                    close = getattr(obj, "close", None) or getattr(obj, "_close", None)
                    if close:
                        close()
                del db, cached, ops, cached_ops
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
