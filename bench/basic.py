#!/usr/bin/env python3
"""Basic Vantre benchmark: prints one table per section.

  a  ns per set_bytes for new keys (random order, 100-byte values) into a
     fresh store, at two cache sizes; the second line's ratio to the first
     says whether a large cache slows writes down (within 25% is the aim)
  b  opening a store of N keys from its snapshot and from its log (the
     same keys), and the time of persist() at that size
  c  vacuum() of N live and N x --dead dead values, next to a plain `cp` of the
     three data files (keys.bin, vals.bin, offsets.bin) in the same run;
     vacuum also fsyncs its files, so `cp` followed by fsync of the copies
     is shown too; each timed run starts with as much fresh memory primed
     (benchutil.prime_free_memory), so none of them meets memory the
     virtual machine has handed back to its host

    python3 bench/basic.py                      # every section, default sizes
    python3 bench/basic.py --sections a --insert-n 50000

Needs the built module (scripts/build.sh). Each number is the median of
--reps runs; stores live in --tmpdir (default: the system temp dir) and are
copied from a template made once per section, so every run starts from the
same files; the page cache is warm throughout.
"""

import argparse
import gc
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "build", "python"))

from _vantre import Vantre  # noqa: E402
from benchutil import prime_free_memory, timed  # noqa: E402

DATA_FILES = ("keys.bin", "vals.bin", "offsets.bin")


def settle():
    """Call after dropping the last reference to a store: there is no close
    method, the store is torn down (buffers written out) when freed, which
    under PyPy happens at a collection."""
    gc.collect()
    gc.collect()


def values(vsize, count, seed):
    r = random.Random(seed)
    return [r.getrandbits(8 * vsize).to_bytes(vsize, "little") for _ in range(count)]


def keys_in_random_order(n, seed):
    ids = list(range(n))
    random.Random(seed).shuffle(ids)
    return ["key%010d" % i for i in ids]


def fill(db, keys, pool):
    put = db.set_bytes
    m = len(pool)
    for i, k in enumerate(keys):
        put(k, pool[i % m])


def copy_store(src, dst):
    shutil.rmtree(dst, ignore_errors=True)
    shutil.copytree(src, dst)


def du(path):
    return sum(os.stat(os.path.join(path, f)).st_size for f in os.listdir(path))


def fmt_ms(ns):
    ms = ns / 1e6
    return "%.1f" % ms if ms < 1000 else "{:,.0f}".format(ms)


def table(headers, rows):
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]
    line = lambda cells: "  ".join(c.ljust(widths[i]) if i == 0 else c.rjust(widths[i])  # noqa: E731
                                   for i, c in enumerate(cells))
    print(line(headers))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
    print()


# ------------------------------------------------------------------ a
def section_a(args, tmp):
    n = args.insert_n
    keys = keys_in_random_order(n, 1)
    pool = values(args.vsize, 1024, 2)
    rows = []
    first = None
    for cache in args.cache_sizes:
        samples = []
        for rep in range(args.reps):
            path = os.path.join(tmp, "a-%d-%d" % (cache, rep))
            db = Vantre(path, cache_size=cache)
            ns, _ = timed(fill, db, keys, pool)
            assert db.len() == n
            stats = db.cache_stats()
            db = None
            settle()
            shutil.rmtree(path)
            samples.append(ns / n)
        med = statistics.median(samples)
        if first is None:
            first = med
        ratio = med / first
        rows.append(["{:,}".format(cache), "{:,}".format(n), "%.0f" % med,
                     " ".join("%.0f" % s for s in samples), "%.2f" % ratio,
                     "{:,}/{:,}".format(*stats),
                     "" if ratio == 1.0 and len(rows) == 0 else ("yes" if abs(ratio - 1) <= 0.25 else "NO")])
    print("(a) set_bytes of {:,} new keys in random order, {}-byte values, fresh store".format(n, args.vsize))
    table(["cache_size", "keys", "ns/op (median)", "runs ns/op", "ratio to first", "cache entries/cap",
           "within 25%"], rows)


# ------------------------------------------------------------------ b
def section_b(args, tmp):
    n = args.store_n
    keys = keys_in_random_order(n, 3)
    pool = values(args.vsize, 1024, 4)
    log_tpl = os.path.join(tmp, "b-log")
    db = Vantre(log_tpl)
    fill(db, keys, pool)
    db = None
    settle()
    log_size = os.path.getsize(os.path.join(log_tpl, "wal.bin"))

    snap_tpl = os.path.join(tmp, "b-snap")
    work = os.path.join(tmp, "b-work")
    t_log, t_snap, t_persist = [], [], []
    probe = keys[n // 2]
    for rep in range(args.reps):
        copy_store(log_tpl, work)
        ns, db = timed(Vantre, work)
        t_log.append(ns)
        assert db.len() == n and db.get_bytes(probe) is not None
        ns, _ = timed(db.persist)
        t_persist.append(ns)
        db = None
        settle()
        if rep == 0:
            copy_store(work, snap_tpl)
        copy_store(snap_tpl, work)
        ns, db = timed(Vantre, work)
        t_snap.append(ns)
        assert db.len() == n and db.get_bytes(probe) is not None
        db = None
        settle()
    snap_size = os.path.getsize(os.path.join(snap_tpl, "snapshot.bin"))
    shutil.rmtree(work)
    print("(b) open and persist, store of {:,} keys, {}-byte values (median of {}; ms)".format(
        n, args.vsize, args.reps))
    table(["operation", "ms (median)", "runs ms", "per key ns", "file read/written"], [
        ["open from snapshot (empty log)", fmt_ms(statistics.median(t_snap)),
         " ".join(fmt_ms(x) for x in t_snap), "%.0f" % (statistics.median(t_snap) / n),
         "snapshot.bin {:.1f} MB".format(snap_size / 1e6)],
        ["open from log only (no snapshot)", fmt_ms(statistics.median(t_log)),
         " ".join(fmt_ms(x) for x in t_log), "%.0f" % (statistics.median(t_log) / n),
         "wal.bin {:.1f} MB".format(log_size / 1e6)],
        ["persist", fmt_ms(statistics.median(t_persist)),
         " ".join(fmt_ms(x) for x in t_persist), "%.0f" % (statistics.median(t_persist) / n),
         "snapshot.bin {:.1f} MB".format(snap_size / 1e6)],
    ])
    shutil.rmtree(log_tpl)
    shutil.rmtree(snap_tpl)


# ------------------------------------------------------------------ c
def section_c(args, tmp):
    n = args.store_n
    keys = keys_in_random_order(n, 5)
    tpl = os.path.join(tmp, "c-tpl")
    db = Vantre(tpl)
    fill(db, keys, values(args.vsize, 1024, 6))
    random.Random(7).shuffle(keys)
    dead = int(n * args.dead)
    fill(db, keys[:dead], values(args.vsize, 1024, 8))  # their first values are now dead
    db.persist()  # empty log: opening the copies is quick and untimed
    db = None
    settle()
    sizes = {f: os.path.getsize(os.path.join(tpl, f)) for f in DATA_FILES}
    prime = sum(sizes.values()) * 5 // 4  # each timed run writes about as much

    work = os.path.join(tmp, "c-work")
    dst = os.path.join(tmp, "c-cp")
    t_vac, t_cp, t_cp_sync = [], [], []
    for _rep in range(args.reps):
        copy_store(tpl, work)
        db = Vantre(work)
        assert db.len() == n
        prime_free_memory(prime)
        ns, _ = timed(db.vacuum)
        t_vac.append(ns)
        assert db.len() == n
        db = None
        settle()
        after = {f: os.path.getsize(os.path.join(work, f)) for f in DATA_FILES}

        for sync in (False, True):
            shutil.rmtree(dst, ignore_errors=True)
            os.makedirs(dst)
            cmd = ["cp"] + [os.path.join(tpl, f) for f in DATA_FILES] + [dst]
            prime_free_memory(prime)
            t0 = time.perf_counter_ns()
            subprocess.run(cmd, check=True)
            if sync:
                for f in DATA_FILES:
                    fd = os.open(os.path.join(dst, f), os.O_RDONLY)
                    os.fsync(fd)
                    os.close(fd)
            (t_cp_sync if sync else t_cp).append(time.perf_counter_ns() - t0)
    shutil.rmtree(dst, ignore_errors=True)
    shutil.rmtree(work)
    shutil.rmtree(tpl)
    v, c, cs = (statistics.median(x) for x in (t_vac, t_cp, t_cp_sync))
    mb = lambda d: "{:.0f} MB".format(sum(d.values()) / 1e6)  # noqa: E731
    print("(c) vacuum of {:,} live and {:,} dead {}-byte values vs cp of the data files "
          "(median of {}; ms)".format(n, dead, args.vsize, args.reps))
    table(["operation", "ms (median)", "runs ms", "ratio vacuum/this", "data files"], [
        ["vacuum()", fmt_ms(v), " ".join(fmt_ms(x) for x in t_vac), "1.00",
         "%s in, %s out" % (mb(sizes), mb(after))],
        ["cp keys.bin vals.bin offsets.bin", fmt_ms(c), " ".join(fmt_ms(x) for x in t_cp),
         "%.2f" % (v / c), mb(sizes)],
        ["cp + fsync of the copies", fmt_ms(cs), " ".join(fmt_ms(x) for x in t_cp_sync),
         "%.2f" % (v / cs), mb(sizes)],
    ])
    print("    per file before vacuum: " + ", ".join("%s %.1f MB" % (f, s / 1e6) for f, s in sizes.items()))
    print()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sections", default="abc", help="any of a, b, c (default abc)")
    ap.add_argument("--insert-n", type=int, default=200000, help="keys for section a (default 200000)")
    ap.add_argument("--cache-sizes", type=lambda s: [int(x) for x in s.split(",")], default=[10000, 1000000],
                    help="cache sizes for section a (default 10000,1000000)")
    ap.add_argument("--store-n", type=int, default=1000000, help="keys for sections b and c (default 1000000)")
    ap.add_argument("--vsize", type=int, default=100, help="value size in bytes (default 100)")
    ap.add_argument("--dead", type=float, default=1.0,
                    help="section c: fraction of the keys written twice, so that their first "
                         "values are dead (default 1.0)")
    ap.add_argument("--reps", type=int, default=3, help="runs per number (default 3)")
    ap.add_argument("--tmpdir", help="where stores are made (default: the system temp dir)")
    args = ap.parse_args()

    base = args.tmpdir or tempfile.gettempdir()
    os.makedirs(base, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="vantre-basic-", dir=base)
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    print("Vantre basic benchmark: %s %s, %s; stores under %s; load average %s" % (
        platform.python_implementation(), platform.python_version(), time.strftime("%Y-%m-%d %H:%M"), tmp, load))
    print()
    try:
        for s in args.sections:
            {"a": section_a, "b": section_b, "c": section_c}[s](args, tmp)
            sys.stdout.flush()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
