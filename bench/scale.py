#!/usr/bin/env python3
"""Scale curve of Vantre: how per-call costs, memory, disk and whole-store
operations grow with the number of keys N and with the value size V.

    python3 bench/scale.py                          # N = 100k, 1M, 10M at 100 B;
                                                    # V = 16 B .. 64 KiB at 1M
    python3 bench/scale.py --sizes 100000 --vsizes 100 --ops 50000   # quick
    pypy3   bench/scale.py --sizes 1000000 --vsizes 100   # PyPy, no chart
    python3 bench/scale.py --chart bench/results/scale-cpython.json

Every (N, V) runs in a child process of its own. Steps, on a fresh store:
  insert        N new keys "key%010d" in random order, default cache
  get miss      --ops random present keys, default cache (10,000 entries:
                mostly misses)
  get cached    the same keys again in a store opened with cache_size=--ops
                after one untimed pass that fills the cache
  floor         the same loop calling a C function that only converts the
                key and returns a new V-byte bytes (bench/floor.c): what any
                store's get costs at least; "x floor" is get / floor. Also
                the same function with Vantre's calling convention (fast
                call with keywords) instead of a single argument (METH_O)
  get_many      the sample in batches of 100, ns per key, default cache
  delete        the sample, one call per key
  RSS/key       resident memory gained by opening the store and inserting,
                over N (anonymous memory and mapped file pages)
  disk/key      bytes of the store's files after closing, over N
  open log      open of the closed store with only its log (no snapshot)
  persist       persist() of that store
  open snap     open after persist (empty log)
  vacuum        vacuum() after the deletes (N - ops live values)
For V >= 4 KiB the table also gives get and insert throughput in GB/s next to
a plain memcpy of V bytes from a source much larger than the processor's
caches, which is their limit. Per-call numbers are the median of --reps
timed loops on one store; whole-store operations are timed once per (N, V).
Keys times V beyond --max-bytes are capped: N shrinks to fit, and the
output says so. The page cache stays warm throughout.
"""

import argparse
import gc
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.append(os.path.join(ROOT, "build", "python"))  # after PYTHONPATH

from benchutil import interpreter_tag, proc_status, timed  # noqa: E402

POOL = 1024
READ_BATCH = 100
KEY_TEXT = 13  # bytes of "key%010d"


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def settle():
    """The store is torn down when freed; under PyPy at a collection."""
    gc.collect()
    gc.collect()


def median_ns(reps, ops, fn, *args):
    return statistics.median(timed(fn, *args)[0] / ops for _ in range(reps))


def du(path):
    return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))


# ------------------------------------------------------------ child
def loop_get(get, keys):
    for k in keys:
        get(k)


def loop_many(get_many, batches):
    for b in batches:
        get_many(b)


def loop_set(put, keys, pool):
    m = len(pool)
    for i, k in enumerate(keys):
        put(k, pool[i % m])


def run_child(n, vsize, ops, reps, tmpdir, seed):
    from _vantre import Vantre
    import floor as floor_build

    fl = floor_build.load()
    fl.set_value_size(vsize)
    rng = random.Random(seed)
    order = list(range(n))
    rng.shuffle(order)
    keys = ["key%010d" % i for i in order]
    del order
    vr = random.Random(seed + vsize)
    pool = [vr.getrandbits(8 * vsize).to_bytes(vsize, "little") for _ in range(POOL)]
    sample = [keys[j] for j in rng.sample(range(n), ops)]
    batches = [sample[i:i + READ_BATCH] for i in range(0, ops, READ_BATCH)]
    out = {"n": n, "vsize": vsize, "ops": ops}

    root = tempfile.mkdtemp(prefix="vantre-scale-", dir=tmpdir)
    path = os.path.join(root, "store")
    try:
        settle()
        base = proc_status()
        db = Vantre(path)
        ns, _ = timed(loop_set, db.set_bytes, keys, pool)
        out["insert"] = ns / n
        end = proc_status()
        out["rss_per_key"] = (end["VmRSS"] - base["VmRSS"]) / n
        out["rss_anon_per_key"] = (end.get("RssAnon", 0) - base.get("RssAnon", 0)) / n
        out["rss_file_per_key"] = (end.get("RssFile", 0) - base.get("RssFile", 0)) / n
        probe = sample[0]
        if db.get_bytes(probe) is None:
            raise AssertionError("inserted key missing")

        out["get_miss"] = median_ns(reps, ops, loop_get, db.get_bytes, sample)
        out["floor_get"] = median_ns(reps, ops, loop_get, fl.get, sample)
        out["floor_absent"] = median_ns(reps, ops, loop_get, fl.absent, sample)
        out["floor_fastcall"] = median_ns(reps, ops, loop_get, fl.get_fastcall, sample)
        out["get_many"] = median_ns(reps, ops, loop_many, db.get_many, batches)
        db = None
        settle()
        out["disk_per_key"] = du(path) / n

        ns, db = timed(lambda: Vantre(path, cache_size=ops))
        out["open_log"] = ns / 1e6
        if db.len() != n:
            raise AssertionError("reopened store has %d keys, not %d" % (db.len(), n))
        loop_get(db.get_bytes, sample)  # fills the cache with the sample
        out["get_cached"] = median_ns(reps, ops, loop_get, db.get_bytes, sample)
        out["cache_entries"] = db.cache_stats()[0]
        ns, _ = timed(db.persist)
        out["persist"] = ns / 1e6
        db = None
        settle()

        ns, db = timed(lambda: Vantre(path))
        out["open_snapshot"] = ns / 1e6
        if db.get_bytes(probe) is None:
            raise AssertionError("key missing after persist and reopen")
        ns, _ = timed(loop_get, db.delete, sample)
        out["delete"] = ns / ops
        ns, _ = timed(db.vacuum)
        out["vacuum"] = ns / 1e6
        if db.len() != n - ops:
            raise AssertionError("vacuumed store has %d keys" % db.len())
        db = None
        settle()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    out["memcpy_gbps"] = fl.memcpy_gbps(vsize, max(256 << 20, vsize))
    out["get_gbps"] = vsize / out["get_miss"]
    out["insert_gbps"] = vsize / out["insert"]
    print(json.dumps(out))


# ----------------------------------------------------------- parent
def configs(args):
    """(N, V, note) for each point of the curve, N capped by --max-bytes."""
    out = []
    for n in args.sizes:
        out.append((n, 100))
    for v in args.vsizes:
        if (args.vsize_n, v) not in out:
            out.append((args.vsize_n, v))
    capped = []
    for n, v in out:
        fit = max(1000, args.max_bytes // v)
        capped.append((min(n, fit), v, "capped from {:,}".format(n) if fit < n else "",
                       n == args.vsize_n and v in args.vsizes))
    return capped


def fmt(x, digits=0):
    if x is None:
        return "-"
    return "{:,.{}f}".format(x, digits)


def table(headers, rows):
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]
    line = lambda cells: "  ".join(c.ljust(widths[i]) if i < 2 else c.rjust(widths[i])  # noqa: E731
                                   for i, c in enumerate(cells))
    lines = [line(headers), "  ".join("-" * w for w in widths)] + [line(r) for r in rows]
    return "\n".join(lines) + "\n"


def render(run):
    res = run["results"]
    out = ["== Vantre scale curve, %s %s (commit %s, %s)" % (
        run["interpreter"], run["version"], run["commit"], run["date"]),
        "load average %s at the start, %s at the end; stores in %s; %s; per-call numbers are the "
        "median of %d loops over %s random present keys" % (
            run["load_start"], run.get("load_end", "?"), run["tmpdir"], run["command"],
            run["reps"], "{:,}".format(run["ops"])), ""]
    for r in res:
        if r.get("note"):
            out.append("N = {:,} at V = {:,} B: {} (--max-bytes {:,})".format(
                r["n"], r["vsize"], r["note"], run["max_bytes"]))
    out.append("")
    out.append("Per call (ns); x floor = Vantre get / the C floor function in the same run")
    out.append(table(
        ["N", "V", "insert", "get miss", "x floor", "get cached", "x floor", "floor get", "floor absent",
         "floor fastcall", "get_many/key", "delete"],
        [[fmt(r["n"]), fmt(r["vsize"]), fmt(r["insert"]), fmt(r["get_miss"]),
          fmt(r["get_miss"] / r["floor_get"], 2), fmt(r["get_cached"]),
          fmt(r["get_cached"] / r["floor_get"], 2), fmt(r["floor_get"]), fmt(r["floor_absent"]),
          fmt(r.get("floor_fastcall")), fmt(r["get_many"]), fmt(r["delete"])] for r in res]))
    out.append("Memory, disk and whole-store operations (ms); RSS beyond the key text is RSS/key - %d"
               % KEY_TEXT)
    out.append(table(
        ["N", "V", "RSS B/key", "anon", "file pages", "disk B/key", "open snapshot", "open log only",
         "persist", "vacuum"],
        [[fmt(r["n"]), fmt(r["vsize"]), fmt(r["rss_per_key"], 1), fmt(r["rss_anon_per_key"], 1),
          fmt(r["rss_file_per_key"], 1), fmt(r["disk_per_key"], 1), fmt(r["open_snapshot"], 1),
          fmt(r["open_log"], 1), fmt(r["persist"], 1), fmt(r["vacuum"], 1)] for r in res]))
    big = [r for r in res if r["vsize"] >= 4096]
    if big:
        out.append("Throughput of large values (GB/s): get (miss-heavy) and insert, against memcpy of V bytes")
        out.append(table(
            ["N", "V", "get", "insert", "memcpy", "get/memcpy", "insert/memcpy"],
            [[fmt(r["n"]), fmt(r["vsize"]), fmt(r["get_gbps"], 2), fmt(r["insert_gbps"], 2),
              fmt(r["memcpy_gbps"], 2), fmt(r["get_gbps"] / r["memcpy_gbps"], 2),
              fmt(r["insert_gbps"] / r["memcpy_gbps"], 2)] for r in big]))
    return "\n".join(out)


def chart(run, png):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    res = run["results"]
    by_n = sorted((r for r in res if r["vsize"] == 100), key=lambda r: r["n"])
    by_v = sorted((r for r in res if r.get("sweep")), key=lambda r: r["vsize"])
    fig, axes = plt.subplots(1, 3, figsize=(17, 5.2))
    ns = [r["n"] for r in by_n]

    ax = axes[0]
    for key, label in [("insert", "insert"), ("get_miss", "get, default cache"),
                       ("get_cached", "get, cached"), ("get_many", "get_many per key"),
                       ("delete", "delete"), ("floor_get", "floor (C: convert key, new bytes)")]:
        ax.plot(ns, [r[key] for r in by_n], marker="o", label=label,
                linestyle="--" if key == "floor_get" else "-")
    ax.set(xscale="log", yscale="log", xlabel="keys N (100-byte values)", ylabel="ns per call",
           title="Per-call cost vs N")
    ax.legend(fontsize=8)
    ax.grid(True, which="both", alpha=0.3)

    ax = axes[1]
    for key, label in [("open_snapshot", "open from snapshot"), ("open_log", "open from log only"),
                       ("persist", "persist"), ("vacuum", "vacuum")]:
        ax.plot(ns, [r[key] for r in by_n], marker="o", label=label)
    if ns:
        top = max(r["open_log"] for r in by_n)
        ax.plot(ns, [top * n / ns[-1] for n in ns], color="grey", linestyle=":", label="linear in N")
    ax.set(xscale="log", yscale="log", xlabel="keys N (100-byte values)", ylabel="ms",
           title="Whole-store operations vs N")
    ax.legend(fontsize=8)
    ax.grid(True, which="both", alpha=0.3)

    ax = axes[2]
    vs = [r["vsize"] for r in by_v]
    if not vs:
        ax.set_axis_off()
        ax.text(0.5, 0.5, "no value-size sweep in this run", ha="center", transform=ax.transAxes)
        vs = None
    for key, label in [("get_gbps", "get (default cache)"), ("insert_gbps", "insert"),
                       ("memcpy_gbps", "memcpy of V bytes")]:
        if vs is None:
            break
        ax.plot(vs, [r[key] for r in by_v], marker="o", label=label,
                linestyle="--" if key == "memcpy_gbps" else "-")
    if vs is not None:
        ax.set(xscale="log", yscale="log", xlabel="value size V, bytes (N = %s, capped for large V)"
               % "{:,}".format(run["vsize_n"]), ylabel="GB/s", title="Throughput vs value size")
        ax.legend(fontsize=8)
        ax.grid(True, which="both", alpha=0.3)

    fig.suptitle("Vantre scale curve, %s %s, commit %s" % (run["interpreter"], run["version"], run["commit"]))
    fig.tight_layout()
    fig.savefig(png, dpi=90)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ints = lambda s: [int(x) for x in s.split(",") if x]  # noqa: E731
    ap.add_argument("--sizes", type=ints, default=[100000, 1000000, 10000000],
                    help="key counts at 100-byte values (default 100000,1000000,10000000)")
    ap.add_argument("--vsizes", type=ints, default=[16, 100, 4096, 65536],
                    help="value sizes at --vsize-n keys (default 16,100,4096,65536; empty: none)")
    ap.add_argument("--vsize-n", type=int, default=1000000, help="keys for the value-size sweep")
    ap.add_argument("--max-bytes", type=int, default=2 * 10**9,
                    help="cap of N x V per point: N shrinks to fit (default 2e9)")
    ap.add_argument("--ops", type=int, default=200000, help="keys sampled for per-call loops")
    ap.add_argument("--reps", type=int, default=3, help="timed loops per per-call number (median)")
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--tmpdir", default=tempfile.gettempdir())
    ap.add_argument("--outdir", default=os.path.join(HERE, "results"))
    ap.add_argument("--chart", metavar="JSON", help="only draw the chart of a saved run")
    ap.add_argument("--child", nargs=2, type=int, metavar=("N", "V"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.chart:
        with open(args.chart) as f:
            run = json.load(f)
        chart(run, os.path.splitext(args.chart)[0] + ".png")
        return
    if args.child:
        n, v = args.child
        run_child(n, v, min(args.ops, n // 2), args.reps, args.tmpdir, args.seed)
        return

    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip() or "?"
    run = {"interpreter": platform.python_implementation(), "version": platform.python_version(),
           "commit": commit, "date": time.strftime("%Y-%m-%d %H:%M:%S %z"), "load_start": loadavg(),
           "tmpdir": args.tmpdir, "command": " ".join(["bench/scale.py"] + sys.argv[1:]),
           "reps": args.reps, "ops": args.ops, "vsize_n": args.vsize_n, "max_bytes": args.max_bytes,
           "results": []}
    for n, v, note, sweep in configs(args):
        t0 = time.time()
        cmd = [sys.executable, os.path.abspath(__file__), "--child", str(n), str(v), "--ops", str(args.ops),
               "--reps", str(args.reps), "--seed", str(args.seed), "--tmpdir", args.tmpdir]
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        lines = [ln for ln in p.stdout.splitlines() if ln.startswith("{")]
        if p.returncode != 0 or not lines:
            sys.exit("scale: N=%d V=%d failed:\n%s" % (n, v, p.stderr[-2000:]))
        r = json.loads(lines[-1])
        r["note"] = note
        r["sweep"] = sweep
        run["results"].append(r)
        print("[%s] N=%s V=%s: insert %.0f, get miss %.0f (floor %.0f), get cached %.0f ns; %.1f s%s" % (
            interpreter_tag(), fmt(n), fmt(v), r["insert"], r["get_miss"], r["floor_get"], r["get_cached"],
            time.time() - t0, " (%s)" % note if note else ""), flush=True)
    run["load_end"] = loadavg()
    text = render(run)
    print()
    print(text)
    os.makedirs(args.outdir, exist_ok=True)
    base = os.path.join(args.outdir, "scale-" + interpreter_tag())
    with open(base + ".json", "w") as f:
        json.dump(run, f, indent=1)
    with open(base + ".txt", "w") as f:
        f.write(text + "\n")
    try:
        chart(run, base + ".png")
    except ImportError:
        print("scale: matplotlib not importable here; draw later with --chart %s.json" % base)


if __name__ == "__main__":
    main()
