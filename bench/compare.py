#!/usr/bin/env python3
"""Comparative benchmark: Vantre against the embedded stores a Python user
could pick instead, on the same workloads, in the interpreter running this
script (CPython 3.11 or PyPy 3.9).

    python3 bench/compare.py                 # N = 200,000 and 1,000,000, 100-byte
                                             # values: about 6 minutes on 2 cores,
                                             # most of it SQLite's per-key commits
    pypy3   bench/compare.py                 # the same under PyPy
    python3 bench/compare.py --vsizes 100,4096   # adds 4 KiB values where
                                             # N x 4 KiB <= --max-bytes (1 GB)
    python3 bench/compare.py --full          # every size, every key
    python3 bench/compare.py --report bench/results/compare-*.json
                                             # markdown + PNG from saved runs

Every store runs in a child process of its own, one per (store, size),
which times the workloads and measures its peak resident memory. Times are
time.perf_counter_ns() around whole loops, divided by the operations in the
loop; each number is the median of --reps repetitions, each on a fresh
store, which starts with fresh memory primed for the files it writes
(benchutil.prime_free_memory: on this virtual machine, memory left free
for a few seconds costs ten times the copy at its first touch). Ratios are to the fastest store in the same run that is neither
Vantre nor the in-memory dict ("best peer"); below 1 is faster than it.

Workloads, per key count N and value size V (keys "key%010d"):
  insert          N new keys in random order, one API call per key
  batched insert  the store's own batched write, 1000 keys per call
  get             present keys in random order, one call per key
  batch get       batches of 100 keys (Vantre get_many), ns per key
  get absent      keys that were never stored, each sorting just after a
                  stored one
  overwrite       present keys, new values, one call per key
  delete          present keys, one call per key
  reopen + get    close, then open the N-key store and read one key; for
                  Vantre with only the log (no persist before)
  reopen after persist + get   Vantre only: the same after persist()
  persist         Vantre only
  peak RSS        peak resident memory above the child's baseline (its key
                  and value lists already built) while it opens a store,
                  inserts N keys and reads the sample: VmHWM, reset at the
                  baseline through /proc/self/clear_refs. Includes the file
                  pages a store maps and touches.
  disk            bytes allocated on disk after the insert
Reads, overwrites and deletes use a random sample of --ops keys of the N
(all N with --full); inserts always store all N.

YCSB-style mixed workloads (bench/ycsb.py; --ycsb selects them, --ycsb-only runs only
them): a fresh store per repetition is loaded with the N keys (untimed),
then runs A (50% reads, 50% updates), B (95/5), C (100% reads) and F (50%
reads, 50% read-modify-writes), --ops operations each, keys drawn from a
scrambled Zipf distribution (constant 0.99) over the N keys, single-threaded.
The sequences are generated from --seed before timing: every store runs the
same one. Reported: throughput in ops/s (ratio above 1 is faster than the
best peer) and the 99th percentile of per-operation latency, which includes
the clock's own cost (measured once and printed).
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

import stores as S  # noqa: E402
import ycsb as Y  # noqa: E402
import benchutil  # noqa: E402
from benchutil import interpreter_tag, proc_status  # noqa: E402

READ_BATCH = 100
POOL = 1024  # distinct random values per value size

COLUMNS = [
    # key, heading, unit, ratio reference column (None: no ratio)
    ("insert", "insert", "ns/op", "insert"),
    ("insert_batched", "batched insert", "ns/op", "insert_batched"),
    ("get", "get", "ns/op", "get"),
    ("get_batched", "batch get", "ns/key", "get_batched"),
    ("get_absent", "get absent", "ns/op", "get_absent"),
    ("overwrite", "overwrite", "ns/op", "overwrite"),
    ("delete", "delete", "ns/op", "delete"),
    ("reopen", "reopen + get", "ms", "reopen"),
    ("reopen_snapshot", "reopen after persist + get", "ms", "reopen"),
    ("persist", "persist", "ms", None),
    ("peak_rss", "peak RSS", "MB", "peak_rss"),
    ("disk", "disk after insert", "MB", "disk"),
]
OP_COLUMNS = [c for c in COLUMNS if c[2] in ("ns/op", "ns/key")]
OTHER_COLUMNS = [c for c in COLUMNS if c[2] not in ("ns/op", "ns/key")]


def ycsb_columns(letters):
    out = []
    for w in letters:
        out.append(("ycsb_%s_ops" % w, w.upper(), "ops/s", "ycsb_%s_ops" % w))
        out.append(("ycsb_%s_p99" % w, w.upper() + " p99", "ns", "ycsb_%s_p99" % w))
    return out


# ---------------------------------------------------------------- helpers
def interpreter_name():
    return "PyPy" if platform.python_implementation() == "PyPy" else "CPython"


def reset_peak_rss():
    """Resets VmHWM to the current RSS (Linux >= 4.0); False if refused."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def filesystem_of(path):
    """(mount point, fs type, device) of the mount holding `path`."""
    path = os.path.realpath(path)
    best = ("/", "?", "?")
    try:
        with open("/proc/mounts") as f:
            for line in f:
                dev, mnt, fstype = line.split()[:3]
                mnt = mnt.replace("\\040", " ")
                if (path == mnt or path.startswith(mnt.rstrip("/") + "/")) and len(mnt) >= len(best[0]):
                    best = (mnt, fstype, dev)
    except OSError:
        pass
    return best


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def loadavg():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def git_commit():
    try:
        return subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "?"


def timed(fn, *args):
    """Nanoseconds of fn(*args). Under CPython the cycle collector is off
    meanwhile, as timeit does; PyPy's collector frees every object, and
    without it PyPy's sqlite3 statements pile up (tens of GB at 1M keys),
    so there it stays on and is part of the cost."""
    return benchutil.timed(fn, *args)[0]


# --------------------------------------------------------- child: probe
def child_env():
    """Environment for the child processes: the module directory, and under
    PyPy the peers that load there through cffi (py-lmdb's cffi binding,
    compiled once into the build directory against liblmdb)."""
    env = dict(os.environ)
    paths = [os.path.join(ROOT, "build", "python")]
    if interpreter_name() == "PyPy":
        extra = prepare_pypy_lmdb()
        if extra:
            paths.append(extra)
            env["LMDB_FORCE_CFFI"] = "1"
            inc = os.path.join(extra, "include")
            env["C_INCLUDE_PATH"] = inc + (":" + env["C_INCLUDE_PATH"] if env.get("C_INCLUDE_PATH") else "")
    old = env.get("PYTHONPATH")
    env["PYTHONPATH"] = ":".join(paths + ([old] if old else []))
    return env


def prepare_pypy_lmdb():
    """Copies the pure-Python part of Debian's py-lmdb (the cffi binding)
    into build/bench-pypy/ for PyPy; Debian's CPython extension does not
    load there. Needs liblmdb-dev and a C compiler for the first import.
    Returns the directory to add to PYTHONPATH, or None."""
    src = "/usr/lib/python3/dist-packages/lmdb"
    if not (os.path.isfile(os.path.join(src, "cffi.py")) and os.path.isfile("/usr/include/lmdb.h")):
        return None
    top = os.path.join(ROOT, "build", "bench-pypy")
    dst = os.path.join(top, "lmdb")
    if not os.path.isdir(dst):
        os.makedirs(dst)
        for f in os.listdir(src):
            if f.endswith(".py"):
                shutil.copy(os.path.join(src, f), dst)
    inc = os.path.join(top, "include")
    os.makedirs(inc, exist_ok=True)
    # The binding's C source includes a header of py-lmdb's source tree that
    # Debian does not ship; it only touches a value's pages, so an
    # equivalent few lines do.
    with open(os.path.join(inc, "preload.h"), "w") as f:
        f.write("static void preload(int rc, void *x, size_t size) {\n"
                "    if (rc == 0) {\n"
                "        volatile char j = 0;\n"
                "        size_t i;\n"
                "        for (i = 0; i < size; i += 4096) j = ((volatile char *)x)[i];\n"
                "        (void)j;\n"
                "    }\n"
                "}\n")
    return top


def run_probe(names):
    out = {}
    for name in names:
        info = {"available": False}
        try:
            st, _kind = S.make(name, 1000, 100)
            info.update(available=True, label=st.label, version=st.version(), settings=st.settings(),
                        batch_write_label=st.batch_write_label,
                        batch_read_label=st.batch_read_label, key_kind=st.key_kind)
            if name == "vantre-cacheall":
                info["settings"] = info["settings"].replace("cache_size=N", "cache_size=N (every key)")
        except Exception as e:  # any import or load failure: skipped
            info["error"] = "%s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else "")
            try:
                info["label"] = dict((r[0], r[0]) for r in S.REGISTRY)[name]
            except KeyError:
                pass
        out[name] = info
    print(json.dumps(out))


# -------------------------------------------------------- child: workloads
def make_data(n, vsize, ops, key_kind, seed):
    rng = random.Random(seed)
    order = list(range(n))
    rng.shuffle(order)
    keys = ["key%010d" % i for i in order]
    vr = random.Random(seed + vsize)
    pool = [vr.getrandbits(8 * vsize).to_bytes(vsize, "little") for _ in range(POOL)]
    pool2 = [vr.getrandbits(8 * vsize).to_bytes(vsize, "little") for _ in range(POOL)]
    vals = [pool[j % POOL] for j in range(n)]
    sample_pos = rng.sample(range(n), ops)
    read_keys = [keys[j] for j in sample_pos]
    read_vals = [vals[j] for j in sample_pos]
    # Each absent key sorts just after a stored one, so absent keys are
    # spread over the stored range as a miss in real use is. Keys past the
    # last stored one would all land in the same last page of a sorted store.
    absent = ["key%010d-" % i for i in random.Random(seed + 1).sample(range(n), ops)]
    over_pos = rng.sample(range(n), ops)
    over_keys = [keys[j] for j in over_pos]
    over_vals = [pool2[j % POOL] for j in range(ops)]
    # Every store gets key objects made afresh in the order it uses them,
    # whatever their type: encoding after the sampling does that for bytes
    # keys, and str keys are copied the same way. Reusing the inserted str
    # objects in random order would make str-keyed stores alone fetch each
    # key object from a cold, random place in memory.
    if key_kind == "bytes":
        keys = [k.encode() for k in keys]
    fresh = str.encode if key_kind == "bytes" else (lambda k: k.encode().decode())
    read_keys, absent, over_keys = ([fresh(k) for k in ks] for ks in (read_keys, absent, over_keys))
    batches = [read_keys[i:i + READ_BATCH] for i in range(0, ops, READ_BATCH)]
    return dict(keys=keys, vals=vals, read_keys=read_keys, read_vals=read_vals, absent=absent,
                over_keys=over_keys, over_vals=over_vals, batches=batches)


def check(cond, what):
    if not cond:
        raise AssertionError("check failed: " + what)


def check_present(st, keys, vals, what, count=25):
    for k, v in list(zip(keys, vals))[:count]:
        got = st.get_one(k)
        check(got is not None and bytes(got) == v, "%s: %r" % (what, k))


def run_times(name, n, vsize, ops, reps, tmpdir, seed):
    st, kind = S.make(name, n, vsize)
    d = make_data(n, vsize, ops, st.key_kind, seed)
    samples = {}

    def add(col, value):
        samples.setdefault(col, []).append(value)

    for rep in range(reps):
        root = tempfile.mkdtemp(prefix="vbench-%s-" % name, dir=tmpdir)
        try:
            path = S.store_path(kind, root)
            vals = d["vals"]
            # Fresh memory for the files this repetition writes (every store
            # the same amount; see benchutil.prime_free_memory).
            benchutil.prime_free_memory(min(3 * n * (vsize + 16), 4 << 30))
            if rep == 0:
                # Peak memory: from here to the end of the first gets.
                gc.collect()
                exact = reset_peak_rss()
                base = proc_status()
                if not st.persistent:
                    # The in-memory floor must own its values, as a store does.
                    vals = [bytes(memoryview(v)) for v in vals]
            st.open(path, True)
            add("insert", timed(st.insert, d["keys"], vals) / n)
            del vals
            check_present(st, d["keys"], d["vals"], "after insert")
            add("get", timed(st.get, d["read_keys"]) / ops)
            if rep == 0:
                end = proc_status()
                add("peak_rss", (end["VmHWM"] - (base["VmRSS"] if exact else base["VmHWM"])) / 1e6)
                add("anon_end", (end.get("RssAnon", 0) - base.get("RssAnon", 0)) / 1e6)
                add("file_end", (end.get("RssFile", 0) - base.get("RssFile", 0)) / 1e6)
            add("get_batched", timed(st.get_batched, d["batches"]) / ops)
            add("get_absent", timed(st.get, d["absent"]) / ops)
            check(st.get_one(d["absent"][0]) is None, "absent key found")
            if st.persistent:
                st.close()
                if rep == 0:  # closed: buffers are out, the files hold everything
                    add("disk", st.files_size() / 1e6)
                key0 = d["read_keys"][0]

                def reopen():
                    st.open(path, False)
                    st.get_one(key0)

                add("reopen", timed(reopen) / 1e6)
                check_present(st, d["read_keys"], d["read_vals"], "after reopen")
                if st.has_persist:
                    add("persist", timed(st.persist) / 1e6)
                    st.close()
                    add("reopen_snapshot", timed(reopen) / 1e6)
                    check_present(st, d["read_keys"], d["read_vals"], "after persist and reopen")
            add("overwrite", timed(st.insert, d["over_keys"], d["over_vals"]) / ops)
            check_present(st, d["over_keys"], d["over_vals"], "after overwrite")
            add("delete", timed(st.delete, d["over_keys"]) / ops)
            check(st.get_one(d["over_keys"][0]) is None, "deleted key found")
            st.close()
        finally:
            S.remove_tree(root)

        if st.batch_write_label:
            batches = st.prepare_write_batches(d["keys"], d["vals"])
            root = tempfile.mkdtemp(prefix="vbench-%s-b-" % name, dir=tmpdir)
            try:
                st.open(S.store_path(kind, root), True)
                add("insert_batched", timed(st.insert_batched, batches) / n)
                check_present(st, d["keys"], d["vals"], "after batched insert")
                st.close()
            finally:
                S.remove_tree(root)
            del batches
    return samples


def run_ycsb(name, n, vsize, ops, reps, tmpdir, seed, letters):
    st, kind = S.make(name, n, vsize)
    d = make_data(n, vsize, 1, st.key_kind, seed)
    keys, vals = d["keys"], d["vals"]
    zipf = Y.ScrambledZipf(n, random.Random(seed + 1))
    seqs = dict((w, Y.make_sequence(zipf, w, ops, vsize, st.key_kind, seed)) for w in letters)
    del zipf
    batches = st.prepare_write_batches(keys, vals) if st.batch_write_label else None
    samples = {}
    for _rep in range(reps):
        root = tempfile.mkdtemp(prefix="vbench-%s-y-" % name, dir=tmpdir)
        try:
            st.open(S.store_path(kind, root), True)
            if batches is not None:
                st.insert_batched(batches)
            else:
                st.insert(keys, vals)
            check_present(st, keys, vals, "after load")
            for w in letters:
                tput, p99 = Y.run_workload(st, seqs[w], ops)
                samples.setdefault("ycsb_%s_ops" % w, []).append(tput)
                samples.setdefault("ycsb_%s_p99" % w, []).append(p99)
                written = Y.last_writes(*seqs[w])
                check_present(st, [k for k, _v in written], [v for _k, v in written],
                              "after workload " + w.upper())
            st.close()
        finally:
            S.remove_tree(root)
    return samples


# ------------------------------------------------------------- the parent
def run_child(args_list, env):
    cmd = [sys.executable, os.path.abspath(__file__)] + args_list
    p = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if p.returncode != 0:
        tail = (p.stderr or "").strip().splitlines()[-3:]
        return None, " | ".join(tail) or "exit %d" % p.returncode
    lines = [ln for ln in p.stdout.splitlines() if ln.startswith("{")]
    if not lines:
        return None, "no result"
    return json.loads(lines[-1]), None


def configs(args):
    out = []
    vsizes = sorted(set(args.vsizes) | {100, 4096}) if args.full else args.vsizes
    for n in args.sizes:
        for v in vsizes:
            if args.full or n * v <= args.max_bytes:
                out.append((n, v))
    return out


def run_all(args):
    started = time.time()
    env = child_env()
    tmpdir = args.tmpdir or tempfile.gettempdir()
    os.makedirs(tmpdir, exist_ok=True)
    mnt, fstype, dev = filesystem_of(tmpdir)
    names = [nm for nm in S.NAMES if nm in (args.stores or S.NAMES)]
    probe, err = run_child(["--probe", ",".join(names)], env)
    if probe is None:
        sys.exit("probe failed: %s" % err)
    avail = [nm for nm in names if probe[nm]["available"]]
    module_stores = [nm for nm in ("vantre", "vantre-cacheall") if nm in names]
    if module_stores and module_stores[0] not in avail:
        sys.exit("_vantre does not load: %s (build it with scripts/build.sh)"
                 % probe[module_stores[0]].get("error"))

    run = {
        "interpreter": {"name": interpreter_name(), "version": platform.python_version(),
                        "implementation": sys.version.replace("\n", " "), "executable": sys.executable},
        "machine": {"cpu": cpu_model(), "cores": os.cpu_count(), "kernel": platform.release(),
                    "memory_gb": round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, 1)},
        "tmpdir": {"path": tmpdir, "mount": mnt, "fstype": fstype, "device": dev},
        "params": {"sizes": args.sizes, "vsizes": args.vsizes, "reps": args.reps, "ops": args.ops,
                   "full": args.full, "read_batch": READ_BATCH, "write_batch": S.BATCH_WRITE,
                   "seed": args.seed},
        "commit": git_commit(),
        "command": " ".join(["bench/compare.py"] + sys.argv[1:]),
        "load_start": loadavg(),
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
        "stores": probe,
        "results": [],
    }
    if args.ycsb:
        med, p99 = Y.timer_cost()
        run["ycsb"] = {"workloads": args.ycsb, "theta": Y.ZIPF_THETA,
                       "timer_median_ns": med, "timer_p99_ns": p99}
    print_header(run)
    for n, v in configs(args):
        ops = n if args.full else min(n, args.ops)
        for name in avail:
            t0 = time.time()
            common = ["--store", name, "--n", str(n), "--vsize", str(v), "--ops", str(ops),
                      "--tmpdir", tmpdir, "--seed", str(args.seed)]
            samples, errs = {}, []
            if not args.ycsb_only:
                res, err = run_child(["--child-times", "--reps", str(args.reps)] + common, env)
                samples.update(res or {})
                errs += [err] if err else []
            if args.ycsb:
                res, err = run_child(["--child-ycsb", "--reps", str(args.reps),
                                      "--ycsb", ",".join(args.ycsb)] + common, env)
                samples.update(res or {})
                errs += ["mixed workloads: " + err] if err else []
            err = "; ".join(errs)
            entry = {"n": n, "vsize": v, "ops": ops, "store": name, "samples": samples,
                     "median": {k: statistics.median(x) for k, x in samples.items()},
                     "seconds": round(time.time() - t0, 1)}
            if err:
                entry["error"] = err
            run["results"].append(entry)
            sys.stderr.write("[%s] N=%d V=%d %-16s %6.1f s%s\n" % (
                interpreter_name(), n, v, name, time.time() - t0, "  ERROR " + err if err else ""))
            sys.stderr.flush()
        print_tables(run, n, v)
    run["load_end"] = loadavg()
    run["seconds"] = round(time.time() - started)
    print("load average (1, 5, 15 min) at start %s, at end %s; %d s in all"
          % (run["load_start"], run["load_end"], run["seconds"]))
    out = args.out or os.path.join(HERE, "results", "compare-%s.json" % interpreter_tag())
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "w") as f:
        json.dump(run, f, indent=1)
    print("results written to %s" % os.path.relpath(out))


# ------------------------------------------------------------- formatting
def fmt_value(unit, x):
    if x is None:
        return "—"
    if unit == "ops/s":
        return "{:,}".format(int(round(x)))
    if unit in ("ns/op", "ns/key", "ns"):
        return "{:,}".format(int(round(x))) if x >= 100 else "%.1f" % x
    if unit == "ms":
        return "%.3g" % x if x < 100 else "{:,}".format(int(round(x)))
    if unit == "MB":
        return "%.0f" % x if x >= 10 else "%.1f" % x
    return str(x)


def fmt_ratio(r):
    if r is None:
        return ""
    return "%.2f" % r if r < 10 else "%.0f" % r


def table_rows(run, n, v, columns):
    """Rows of (store label, [(value text, ratio text)]) plus the best-peer
    row, for one configuration of one run. The best peer has the lowest
    value, or the highest for a throughput (ops/s)."""
    entries = [e for e in run["results"] if e["n"] == n and e["vsize"] == v]
    best = {}
    for key, _h, unit, ref in columns:
        cands = [(e["median"].get(ref), e["store"]) for e in entries
                 if ref and e["store"] not in S.VANTRE + S.FLOOR and e["median"].get(ref) is not None]
        if cands:
            best[key] = (max if unit == "ops/s" else min)(cands)
    rows = []
    for e in entries:
        cells = []
        for key, _h, unit, ref in columns:
            x = e["median"].get(key)
            r = None
            if x is not None and key in best and best[key][0] > 0:
                r = x / best[key][0]
            cells.append((fmt_value(unit, x), fmt_ratio(r)))
        label = run["stores"][e["store"]].get("label", e["store"])
        if e.get("error"):
            label += " (error)"
        rows.append((label, cells))
    best_row = []
    for key, _h, _u, _ref in columns:
        b = best.get(key)
        best_row.append(run["stores"][b[1]]["label"] if b else "—")
    return rows, best_row


def storage_kind(fstype):
    return "memory, not a disk" if fstype in ("tmpfs", "ramfs") else "a disk filesystem, not tmpfs"


def print_header(run):
    i = run["interpreter"]
    print("== Vantre comparative benchmark, %s %s (commit %s, %s)" % (i["name"], i["version"], run["commit"], run["date"]))
    m = run["machine"]
    t = run["tmpdir"]
    print("machine: %s, %s cores, %s GiB, Linux %s; load average at start %s"
          % (m["cpu"], m["cores"], m["memory_gb"], m["kernel"], run["load_start"]))
    print("stores live in %s (%s on %s, mounted at %s: %s; page cache warm, no fsync)"
          % (t["path"], t["fstype"], t["device"], t["mount"], storage_kind(t["fstype"])))
    p = run["params"]
    print("median of %d repetitions on fresh stores; reads/overwrites/deletes on %s random keys of N"
          % (p["reps"], "all" if p["full"] else "%s" % "{:,}".format(p["ops"])))
    print()
    print("stores and settings:")
    for name, s in run["stores"].items():
        if s["available"]:
            print("  %-18s %s\n  %-18s   %s" % (s["label"], s["version"], "", s["settings"]))
        else:
            print("  %-18s skipped: %s" % (s.get("label", name), s.get("error", "")))
    print("batched calls:")
    for name, s in run["stores"].items():
        if s["available"]:
            print("  %-18s insert: %s; read: %s" % (s["label"], s["batch_write_label"] or "none (—)", s["batch_read_label"]))
    y = run.get("ycsb")
    if y:
        print("mixed workloads %s: %s" % (", ".join(w.upper() for w in y["workloads"]), ycsb_summary(run)))
        print("  %s" % timer_note(run))
    print()
    sys.stdout.flush()


def ycsb_summary(run):
    p = run["params"]
    return ("%s ops each on a fresh store loaded with the N keys, keys Zipf(%.2f) scrambled "
            "over the N, single thread, the same seeded sequence for every store; %s"
            % ("all N" if p["full"] else "{:,}".format(p["ops"]), run["ycsb"]["theta"],
               "; ".join("%s %s" % (w.upper(), Y.WORKLOADS[w][0]) for w in run["ycsb"]["workloads"])))


def timer_note(run):
    y = run["ycsb"]
    return ("p99 latencies include the clock's own cost: two back-to-back "
            "time.perf_counter_ns() readings differ by %d ns (median), %d ns (p99) here"
            % (y["timer_median_ns"], y["timer_p99_ns"]))


def table_sets(run):
    """(text title, markdown title, columns) of each table with results."""
    sets = [("operations: ns per op (ratio to best peer)", None, OP_COLUMNS),
            ("open, persist, memory, disk (ratio to best peer)", None, OTHER_COLUMNS)]
    sets = [t for t in sets if any(e["median"].get(c[0]) is not None
                                   for e in run["results"] for c in t[2])]
    if run.get("ycsb"):
        sets.append(("mixed workloads, Zipf keys: throughput ops/s and p99 latency ns (ratio to "
                     "best peer: above 1.00 is faster for ops/s, below 1.00 for p99)",
                     "Mixed workloads, Zipf keys: throughput and p99 latency; ratio to the best "
                     "peer above 1.00 is faster for ops/s, below 1.00 is faster for p99.",
                     ycsb_columns(run["ycsb"]["workloads"])))
    return sets


def text_table(headers, rows):
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
    out = ["  ".join(h.ljust(widths[i]) if i == 0 else h.rjust(widths[i]) for i, h in enumerate(headers))]
    out.append("  ".join("-" * w for w in widths))
    for r in rows:
        out.append("  ".join(c.ljust(widths[i]) if i == 0 else c.rjust(widths[i]) for i, c in enumerate(r)))
    return "\n".join(out)


def print_tables(run, n, v):
    print("-- N = {:,} keys, {:,}-byte values, {} --".format(n, v, run["interpreter"]["name"]))
    for title, _md_title, cols in table_sets(run):
        rows, best_row = table_rows(run, n, v, cols)
        headers = ["store"] + ["%s %s" % (h, u) for _k, h, u, _r in cols]
        body = [[label] + [("%s (%s)" % c if c[1] else c[0]) for c in cells] for label, cells in rows]
        body.append(["best peer"] + best_row)
        print(title)
        print(text_table(headers, body))
        print()
    sys.stdout.flush()


# ------------------------------------------------------------- the report
def md_table(headers, rows, numeric=True):
    out = ["| " + " | ".join(headers) + " |",
           "|" + "|".join(["---"] + ["---:" if numeric else "---"] * (len(headers) - 1)) + "|"]
    for r in rows:
        out.append("| " + " | ".join(r) + " |")
    return "\n".join(out)


def report(paths, outdir, chart_config):
    runs = []
    for p in paths:
        with open(p) as f:
            runs.append(json.load(f))
    runs.sort(key=lambda r: r["interpreter"]["name"])  # CPython first
    md = ["# Vantre against other embedded stores", ""]
    md.append("Produced by `make bench` (`scripts/bench.sh`, `bench/compare.py`). "
              "Each cell is the median over repetitions on fresh stores; the number in "
              "parentheses is the ratio to the best peer in the same run (the fastest store "
              "that is neither Vantre nor the in-memory dict): below 1.00 is faster than it. "
              "Nothing fsyncs per write. Vantre's log records stay in an 8 KiB user-space "
              "buffer until it fills, and its data appends in a buffer written out in 2 MiB "
              "units (a process crash loses what is in them); "
              "most peers hand every write to the OS before returning (a write() or a shared "
              "map), Berkeley DB keeps its pages in its own 256 KiB cache until evicted. "
              "The machine is shared with other work: the load average is given per run.")
    md.append("")
    charts = []
    for run in runs:
        for n, v in sorted({(e["n"], e["vsize"]) for e in run["results"]}):
            if (n, v) not in charts:
                charts.append((n, v))
    png_names = {}
    try:
        for n, v in charts:
            name = "compare-n%d-v%d.png" % (n, v)
            write_chart(runs, n, v, os.path.join(outdir, name))
            png_names[(n, v)] = name
    except ImportError as e:
        md.append("(no chart: %s)" % e)
    for run in runs:
        i = run["interpreter"]
        m = run["machine"]
        t = run["tmpdir"]
        p = run["params"]
        md.append("## %s %s" % (i["name"], i["version"]))
        md.append("")
        md.append("%s; %s cores, %s GiB; Linux %s. Commit %s, %s. Stores in `%s` (%s on %s: %s; "
                  "page cache warm, nothing dropped between steps). Median of %d repetitions; reads, "
                  "overwrites and deletes on %s random keys of the N. Load average (1, 5, 15 min) "
                  "%s at the start, %s at the end; %s s in all."
                  % (m["cpu"], m["cores"], m["memory_gb"], m["kernel"], run["commit"], run["date"],
                     t["path"], t["fstype"], t["device"], storage_kind(t["fstype"]), p["reps"],
                     "all" if p["full"] else "{:,}".format(p["ops"]), run.get("load_start", "?"),
                     run.get("load_end", "?"), run.get("seconds", "?")))
        md.append("")
        if run.get("command"):
            words = run["command"].split()
            while "--out" in words:  # where the JSON went is no part of the run
                at = words.index("--out")
                del words[at:at + 2]
            md.append("Run as `%s %s` (from `make bench BENCH_ARGS=...`)."
                      % (os.path.basename(i["executable"]), " ".join(words)))
            md.append("")
        rows = []
        for name, s in run["stores"].items():
            if s["available"]:
                rows.append([s["label"], s["version"], s["settings"], s["batch_write_label"] or "—",
                             s["batch_read_label"]])
            else:
                rows.append([s.get("label", name), "not loadable: " + s.get("error", ""), "", "", ""])
        md.append(md_table(["store", "version", "settings", "batched insert", "batch get"], rows,
                           numeric=False))
        md.append("")
        if run.get("ycsb"):
            md.append("Mixed workloads %s: %s. The %s."
                      % (", ".join(w.upper() for w in run["ycsb"]["workloads"]), ycsb_summary(run),
                         timer_note(run)))
            md.append("")
        for n, v in sorted({(e["n"], e["vsize"]) for e in run["results"]}, key=lambda c: (c[1], c[0])):
            md.append("### N = {:,}, {:,}-byte values ({})".format(n, v, i["name"]))
            md.append("")
            if (n, v) in png_names and i["name"] == "CPython":
                md.append("![chart](%s)" % png_names[(n, v)])
                md.append("")
            for _title, md_title, cols in table_sets(run):
                if md_title:
                    md.append(md_title)
                    md.append("")
                trows, best_row = table_rows(run, n, v, cols)
                headers = ["store"] + ["%s (%s)" % (h, u) for _k, h, u, _r in cols]
                body = [[label] + [("%s (%s)" % c if c[1] else c[0]) for c in cells] for label, cells in trows]
                body.append(["*best peer*"] + ["*%s*" % b for b in best_row])
                md.append(md_table(headers, body))
                md.append("")
            errs = [e for e in run["results"] if e["n"] == n and e["vsize"] == v and e.get("error")]
            for e in errs:
                md.append("- %s: %s" % (e["store"], e["error"]))
            if errs:
                md.append("")
    path = os.path.join(outdir, "compare.md")
    with open(path, "w") as f:
        f.write("\n".join(md) + "\n")
    print("wrote %s" % os.path.relpath(path))
    for name in png_names.values():
        print("wrote %s" % os.path.relpath(os.path.join(outdir, name)))


CHART_COLUMNS = ["insert", "insert_batched", "get", "get_batched", "get_absent", "overwrite",
                 "delete", "reopen", "peak_rss"]


def write_chart(runs, n, v, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colors = {"CPython": "#3b6ea8", "PyPy": "#d98c2b"}
    names = []
    for run in runs:
        for e in run["results"]:
            if e["n"] == n and e["vsize"] == v and e["store"] not in names:
                names.append(e["store"])
    order = [nm for nm in S.NAMES if nm in names]
    persisted = [nm for nm in S.VANTRE if nm in names]
    labels = {}
    for run in runs:
        for nm, s in run["stores"].items():
            if s.get("label"):
                labels.setdefault(nm, s["label"])
    cols = dict((c[0], c) for c in COLUMNS)
    fig, axes = plt.subplots(3, 3, figsize=(16, 15))
    height = 0.8 / max(1, len(runs))
    for ax, key in zip(axes.flat, CHART_COLUMNS):
        _k, heading, unit, _r = cols[key]
        rows = list(order)
        if key == "reopen":
            # Vantre after persist, beside its reopen from the log.
            rows = [nm for nm in order if nm in S.VANTRE] + [nm + "+snap" for nm in persisted] + \
                [nm for nm in order if nm not in S.VANTRE]
        for ri, run in enumerate(runs):
            med = {}
            for e in run["results"]:
                if e["n"] == n and e["vsize"] == v:
                    med[e["store"]] = e["median"].get(key)
                    if key == "reopen":
                        med[e["store"] + "+snap"] = e["median"].get("reopen_snapshot")
            ys, xs = [], []
            for yi, nm in enumerate(rows):
                if med.get(nm) is not None:
                    ys.append(yi + (ri - (len(runs) - 1) / 2) * height)
                    xs.append(med[nm])
            iname = run["interpreter"]["name"]
            bars = ax.barh(ys, xs, height=height, color=colors.get(iname, "gray"), label=iname)
            for b, x in zip(bars, xs):
                ax.text(b.get_width(), b.get_y() + b.get_height() / 2, " " + fmt_value(unit, x),
                        va="center", fontsize=7)
        ax.set_yticks(range(len(rows)))
        ax.set_yticklabels([labels.get(nm, nm) if not nm.endswith("+snap")
                            else labels.get(nm[:-5], nm) + " after persist" for nm in rows], fontsize=8)
        for tick, nm in zip(ax.get_yticklabels(), rows):
            if nm in S.VANTRE or nm.endswith("+snap"):
                tick.set_fontweight("bold")
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_title("%s (%s)" % (heading, unit), fontsize=10)
        ax.tick_params(axis="x", labelsize=7)
        ax.margins(x=0.25)
        ax.grid(axis="x", which="major", alpha=0.3)
    axes.flat[0].legend(fontsize=8, loc="lower right")
    fig.suptitle("Vantre and other embedded stores: N = {:,} keys, {:,}-byte values\n"
                 "median of repetitions, log scale, lower is better".format(n, v), fontsize=12)
    fig.tight_layout(rect=(0, 0, 1, 0.96))
    fig.savefig(path, dpi=80)
    plt.close(fig)


# ------------------------------------------------------------------- main
def int_list(s):
    return [int(float(x)) for x in s.split(",") if x]


def workload_list(s):
    if s == "none":
        return []
    out = [w.strip().lower() for w in s.split(",") if w.strip()]
    bad = [w for w in out if w not in Y.WORKLOADS]
    if bad:
        raise argparse.ArgumentTypeError("unknown workloads %s (choose from a,b,c,f)" % ",".join(bad))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=int_list, default=[200000, 1000000],
                    help="key counts N, comma-separated (default 200000,1000000)")
    ap.add_argument("--vsizes", type=int_list, default=[100],
                    help="value sizes in bytes (default 100; 4096 adds 4 KiB values up to --max-bytes)")
    ap.add_argument("--max-bytes", type=float, default=1e9,
                    help="skip sizes whose N x value size exceeds this (default 1e9; --full ignores it)")
    ap.add_argument("--ops", type=int, default=100000,
                    help="keys sampled for reads, overwrites and deletes (default 100000; --full: all N)")
    ap.add_argument("--reps", type=int, default=3, help="repetitions per measurement (default 3)")
    ap.add_argument("--full", action="store_true",
                    help="every size and value size (100 B and 4 KiB: 4 GB of values at 1M x 4 KiB), every key")
    ap.add_argument("--stores", type=lambda s: [x for x in s.split(",") if x],
                    help="comma-separated subset of: " + ",".join(S.NAMES))
    ap.add_argument("--tmpdir", help="directory for the stores (default: the system temp dir)")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--ycsb", type=workload_list, default=list(Y.LETTERS),
                    help="mixed workloads to run, of a,b,c,f (default all; 'none' for none)")
    ap.add_argument("--ycsb-only", action="store_true", help="run only the mixed workloads")
    ap.add_argument("--out", help="JSON results file (default bench/results/compare-<interpreter>.json)")
    ap.add_argument("--report", nargs="+", metavar="JSON",
                    help="write bench/results/compare.md and PNG charts from saved runs (needs matplotlib)")
    ap.add_argument("--outdir", default=os.path.join(HERE, "results"), help="where --report writes")
    # internal: the children
    ap.add_argument("--probe", help=argparse.SUPPRESS)
    ap.add_argument("--child-times", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--child-ycsb", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--store", help=argparse.SUPPRESS)
    ap.add_argument("--n", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--vsize", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.probe:
        run_probe(args.probe.split(","))
    elif args.child_times:
        print(json.dumps(run_times(args.store, args.n, args.vsize, args.ops, args.reps, args.tmpdir, args.seed)))
    elif args.child_ycsb:
        print(json.dumps(run_ycsb(args.store, args.n, args.vsize, args.ops, args.reps, args.tmpdir,
                                  args.seed, args.ycsb)))
    elif args.report:
        os.makedirs(args.outdir, exist_ok=True)
        report(args.report, args.outdir, None)
    else:
        if args.ycsb_only and not args.ycsb:
            ap.error("--ycsb-only with no workloads to run")
        if args.stores:
            bad = [s for s in args.stores if s not in S.NAMES]
            if bad:
                ap.error("unknown stores: %s" % ",".join(bad))
        run_all(args)


if __name__ == "__main__":
    main()
