#!/usr/bin/env python3
"""Maintenance benchmark: how long each store's maintenance call takes, and
how long it stops the rest of the program, in the interpreter running this
script (CPython 3.11 or PyPy 3.9).

    python3 bench/maintenance.py                    # N = 1M and 10M (long)
    python3 bench/maintenance.py --sizes 100000 --cp-size 0   # a quick run
    pypy3   bench/maintenance.py --sizes 100000     # the package through cffi too

For each store and size N (keys "key%010d", 100-byte values, loaded in a
random order, the store then closed: the template), and for each of the
store's maintenance calls (Vantre: persist, vacuum; LMDB: sync, compacting
copy; SQLite: WAL checkpoint PASSIVE and TRUNCATE, VACUUM; LevelDB:
compact_range; Tkrzw: Synchronize, Rebuild; dbm.gnu: sync, reorganize;
Berkeley DB: sync, compact; Kyoto Cabinet: synchronize), two rounds, each
on a fresh copy of the template, opened, with a tenth of the keys deleted
(every store the same keys, in as few transactions as it allows) just
before the call:

  alone      the call timed with no other thread running
  threads    three threads started before the call and run for --settle
             seconds first, or twice the call's duration alone if that is
             longer, stopped as soon as it returns:
               heartbeat  sleeps 1 ms in a loop; its longest gap between
                          wakeups that overlaps the call (1 ms when nothing
                          stops it)
               getter     gets random present keys in a loop: the longest
                          wait for a get overlapping the call (from the
                          previous get's return to its own, so that a stop
                          between two calls counts as well as one inside a
                          call), and the gets per second that returned
                          during it
               putter     overwrites random present keys in a loop: the
                          longest wait for a put, measured alike
             The putter's writes while settling are the call's work too
             (a longer log to sync, more dead records), so the duration
             here is not the single-threaded one: compare "alone" with
             "alone" across builds, and the waits with the duration.
             The same figures for the second half of the settle time are
             the baseline ("before"): what the threads see when nothing
             stops them (under CPython, turns of the interpreter lock
             among them, its switch interval printed in the header).
             The threads count in 1 ms slots, and the call's bounds are
             read around it from C: figures are to the millisecond, and
             the turn the threads get once the call returns is not the
             call's.
             --beside get runs the heartbeat and the getter only, --beside
             put the heartbeat and the putter only: under CPython, each
             thread that wants the interpreter lock lengthens the others'
             turns, so one store thread at a time shows what the call
             itself adds to a get's or a put's wait.

How the threads reach each store is in the table's "threads" column: one
shared handle where the store is safe to call from several threads, a
handle or transaction per thread where the store works that way (LMDB,
SQLite), and one handle behind a lock where the store is not safe for
concurrent calls (dbm.gnu; Berkeley DB opened without an environment):
that lock is one a program would need, and the maintenance call takes it
too. Tkrzw is opened with concurrent=True and Kyoto Cabinet with
GCONCURRENT, their modes that release the interpreter lock in calls.

Then, for Vantre only, vacuum against `cp -r` of the same store directory
followed by `sync` of the copied files, at --cp-size keys (default 5M;
0 skips it), each on a fresh copy of the template with a tenth deleted,
median of --cp-reps.

Every store runs in a child process of its own, one per (store, size).
Key lists are not kept: keys are made from a shuffled array of 4-byte
ids as they are needed, and the threads cycle through 2^18 (gets) and
2^16 (puts) keys drawn before they start, made in the store's own key type
in the order of use. Before each timed call, fresh memory is primed for
the files it writes (benchutil.prime_free_memory) and the copied files are
synced, so that the call does not write out the copy's dirty pages.
Results: a table per size on standard output, JSON in
bench/results/maintenance-<interpreter>.json (--out).
"""

import argparse
import array
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
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import stores as S  # noqa: E402
import benchutil  # noqa: E402
from benchutil import interpreter_tag  # noqa: E402
from compare import (child_env, cpu_model, filesystem_of, git_commit, interpreter_name,  # noqa: E402
                     loadavg, storage_kind, text_table)

VSIZE = 100
VALUE_POOL = 1024           # distinct values, as bench/compare.py
GET_KEYS = 1 << 18          # keys the getter cycles through
PUT_KEYS = 1 << 16          # keys the putter cycles through
DELETE_EVERY = 10           # a tenth of the keys is deleted before each call
LOAD_CHUNK = 1000

# Not measured by default: the same engine as "vantre" with another cache,
# LMDB in its other map mode, and the in-memory floor, which has no files.
SKIPPED = ("vantre-cacheall", "lmdb-writemap", "dict")


def default_stores():
    names = [nm for nm in S.NAMES if nm not in SKIPPED]
    if interpreter_tag() == "cpython":
        # Under CPython the package calls `_vantre`: the "vantre" row.
        names.remove("vantre-package")
    return names


# ------------------------------------------------------ keys and values
class Data:
    """The keys and values every store gets, made from the seed alike.

    Key ids are loaded in the order of `order`, a shuffled array of 4-byte
    ids (40 MB at 10M keys, where a list of key objects would take 700 MB).
    The keys at positions 0, 10, 20, ... of that order are the deleted
    tenth; the threads read and overwrite keys at other positions only, so
    that the same keys are present in every round."""

    def __init__(self, n, key_kind, seed):
        self.n = n
        self.fmt = b"key%010d" if key_kind == "bytes" else "key%010d"
        rng = random.Random(seed)
        self.order = array.array("I", range(n))
        rng.shuffle(self.order)
        vr = random.Random(seed + VSIZE)
        self.values = [vr.getrandbits(8 * VSIZE).to_bytes(VSIZE, "little") for _ in range(VALUE_POOL)]
        self.new_values = [vr.getrandbits(8 * VSIZE).to_bytes(VSIZE, "little") for _ in range(VALUE_POOL)]
        self.seed = seed

    def key(self, pos):
        return self.fmt % self.order[pos]

    def load_chunks(self):
        """(keys, values) lists of LOAD_CHUNK, in the load order."""
        fmt, order, values = self.fmt, self.order, self.values
        for a in range(0, self.n, LOAD_CHUNK):
            b = min(a + LOAD_CHUNK, self.n)
            yield [fmt % order[j] for j in range(a, b)], [values[j % VALUE_POOL] for j in range(a, b)]

    def deleted_keys(self):
        fmt, order = self.fmt, self.order
        return (fmt % order[j] for j in range(0, self.n, DELETE_EVERY))

    def present_positions(self, count, salt):
        rng = random.Random(self.seed + salt)
        out = []
        for _ in range(count):
            j = rng.randrange(self.n)
            if j % DELETE_EVERY == 0:
                j = j + 1 if j + 1 < self.n else j - 1
            out.append(j)
        return out

    def present_keys(self, count, salt):
        return [self.key(j) for j in self.present_positions(count, salt)]


def load(st, data):
    for keys, vals in data.load_chunks():
        if st.batch_write_label:
            st.insert_batched(st.prepare_write_batches(keys, vals))
        else:
            st.insert(keys, vals)


# ---------------------------------------------------- the other threads
try:
    from operator import call as _call  # 3.11
except ImportError:
    def _call(fn):
        return fn()

SLOT = 0.001  # seconds: the threads' figures are kept per slot of this length


class Slots:
    """One thread's figures in SLOT-long slots of time from `base`, by the
    time each op returned: ops returned, and the longest wait (from the
    previous op's return, or for the heartbeat from its previous wakeup).
    Kept per slot because the call's bounds are known only once it has
    returned, and so that the threads read nothing the main thread writes
    until told to stop."""

    def __init__(self, base):
        self.base = base
        self.count = []
        self.worst = []

    def figures(self, lo, hi, overlap=True):
        """(ops returned in the slots wholly inside [lo, hi], the seconds
        those slots cover, the longest wait of an op that may overlap
        [lo, hi], or with overlap False, of an op returned in it)."""
        n, covered, worst = 0, 0, 0.0
        for s, (c, w) in enumerate(zip(self.count, self.worst)):
            t0 = self.base + s * SLOT  # ops of slot s returned in [t0, t0 + SLOT)
            if t0 + SLOT <= lo or t0 - w > hi or (not overlap and t0 + SLOT > hi):
                continue  # returned before lo, or waited only after hi
            if t0 >= lo and t0 + SLOT <= hi:
                n += c
                covered += 1
            if w > worst:
                worst = w
        return n, covered * SLOT, worst


def _grow(slots, s):
    while len(slots.count) <= s:
        slots.count.append(0)
        slots.worst.append(0.0)


def heartbeat_loop(stop, slots):
    clock, sleep = time.perf_counter, time.sleep
    base, count, worst = slots.base, slots.count, slots.worst
    prev = clock()
    while True:
        if stop[0]:
            # A thread stopped at this check (the interpreter lock taken
            # back here) sees `stop` first: its last gap still counts.
            now = clock()
        else:
            sleep(0.001)
            now = clock()
        s = int((now - base) / SLOT)
        if s >= len(count):
            _grow(slots, s)
        count[s] += 1
        if now - prev > worst[s]:
            worst[s] = now - prev
        prev = now
        if stop[0]:
            break


def op_loop(call, keys, vals, stop, slots):
    """Calls call(key) (vals None) or call(key, value) on the keys in turn.
    An op's wait is the time from the previous op's return to its own: a
    thread stopped between two calls (waiting for the interpreter lock
    outside the store's code) waits as long as one stopped inside a call."""
    clock = time.perf_counter
    base, count, worst = slots.base, slots.count, slots.worst
    kmask = len(keys) - 1
    vmask = len(vals) - 1 if vals else 0
    i = 0
    prev = clock()
    while not stop[0]:
        k = keys[i & kmask]
        if vals is None:
            call(k)
        else:
            call(k, vals[i & vmask])
        now = clock()
        i += 1
        s = int((now - base) / SLOT)
        if s >= len(count):
            _grow(slots, s)
        count[s] += 1
        if now - prev > worst[s]:
            worst[s] = now - prev
        prev = now
    # As in heartbeat_loop: the wait cut short by `stop` still counts.
    now = clock()
    s = int((now - base) / SLOT)
    _grow(slots, s)
    if now - prev > worst[s]:
        worst[s] = now - prev


def run_with_threads(st, fn, get_keys, put_keys, put_vals, settle, beside="both"):
    """Runs fn() beside the heartbeat, getter and putter threads, started
    `settle` seconds before it and stopped as soon as it returns; returns
    the call's duration, what the threads saw during it, and their
    baseline (the second half of the settle time: the first has the
    threads' start and, under PyPy, the compiling of their loops)."""
    stop = [False]
    roles = ("heartbeat",) + {"both": ("get", "put"), "get": ("get",), "put": ("put",)}[beside]
    ready = threading.Barrier(len(roles) + 1)
    base = time.perf_counter()
    slots = {"heartbeat": Slots(base), "get": Slots(base), "put": Slots(base)}
    errors = []

    def thread_main(role):
        done = None
        try:
            if role == "heartbeat":
                ready.wait()
                heartbeat_loop(stop, slots[role])
                return
            get, put, done = st.thread_calls()
            ready.wait()
            if role == "get":
                op_loop(get, get_keys, None, stop, slots[role])
            else:
                op_loop(put, put_keys, put_vals, stop, slots[role])
        except threading.BrokenBarrierError:
            pass
        except BaseException as e:  # reported by the main thread
            errors.append("%s thread: %s: %s" % (role, type(e).__name__, e))
            stop[0] = True
            ready.abort()
        finally:
            if done is not None:
                done()

    threads = [threading.Thread(target=thread_main, args=(r,), daemon=True) for r in roles]
    for t in threads:
        t.start()
    try:
        ready.wait()
    except threading.BrokenBarrierError:
        pass
    note = start = end = None
    if not errors:
        time.sleep(settle / 2)
        calm = time.perf_counter()
        time.sleep(settle / 2)
        # The clock is read around the call from C: a bytecode between the
        # call's return and the reading would hand the interpreter lock to
        # the waiting threads first (CPython 3.11), and their turn would
        # count as the call's.
        try:
            start, note, end = map(_call, (time.perf_counter, fn, time.perf_counter))
        finally:
            stop[0] = True
    stop[0] = True
    for t in threads:
        t.join()
    if errors:
        raise RuntimeError("; ".join(errors))
    secs = end - start
    hb, g, p = slots["heartbeat"], slots["get"], slots["put"]
    _n, _c, gap = hb.figures(start, end)
    _n, _c, gap_before = hb.figures(calm, start, False)
    gets, covered, get_wait = g.figures(start, end)
    gets_before, calm_covered, get_wait_before = g.figures(calm, start, False)
    puts, _c, put_wait = p.figures(start, end)
    puts_before, _c, put_wait_before = p.figures(calm, start, False)
    puts_settling, _c, _w = p.figures(base, start, False)
    calm_covered = max(calm_covered, SLOT)
    return {
        "note": note,
        "seconds": secs,
        "gap_ms": gap * 1e3,
        "get_wait_ms": get_wait * 1e3,
        "put_wait_ms": put_wait * 1e3,
        "gets_during": gets,
        "gets_per_s": gets / covered if covered >= 10 * SLOT else None,
        "puts_during": puts,
        "before": {
            "seconds": calm_covered,
            "gap_ms": gap_before * 1e3,
            "get_wait_ms": get_wait_before * 1e3,
            "put_wait_ms": put_wait_before * 1e3,
            "gets_per_s": gets_before / calm_covered,
            "puts_per_s": puts_before / calm_covered,
            "puts": puts_settling,  # all the putter wrote before the call
        },
    }


# ------------------------------------------------ child: one store, one N
def check(cond, what):
    if not cond:
        raise AssertionError("check failed: " + what)


def fsync_tree(top):
    """Syncs every file and directory under `top`, so that a timed call
    does not also write out the pages a copy left dirty."""
    for root, _dirs, files in os.walk(top):
        for name in files + ["."]:
            fd = os.open(os.path.join(root, name), os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)


def tree_bytes(top):
    total = 0
    for root, _dirs, files in os.walk(top):
        for f in files:
            try:
                total += os.stat(os.path.join(root, f)).st_blocks * 512
            except OSError:
                pass
    return total


def make_template(st, kind, data, base):
    """Loads the N keys into a fresh store and closes it; returns the
    directory holding it and the load time."""
    root = os.path.join(base, "template")
    os.makedirs(root)
    st.open(S.store_path(kind, root), True)
    t0 = time.perf_counter()
    load(st, data)
    secs = time.perf_counter() - t0
    if st.has_persist:
        st.persist()  # a snapshot, so that each copy opens without replaying the load
    st.close()
    return root, secs


def open_round(st, kind, tpl, base, data):
    """A fresh copy of the template, opened, a tenth of its keys deleted."""
    work = os.path.join(base, "work")
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(tpl, work)
    fsync_tree(work)
    st.open(S.store_path(kind, work), False)
    st.prepare_maintenance()
    t0 = time.perf_counter()
    st.delete_many(data.deleted_keys())
    return work, time.perf_counter() - t0


def check_round(st, data):
    for j in data.present_positions(20, 3):
        check(st.get_one(data.key(j)) is not None, "present key %r missing" % data.key(j))
    for j in range(0, min(data.n, 200 * DELETE_EVERY), DELETE_EVERY * 10):
        check(st.get_one(data.key(j)) is None, "deleted key %r found" % data.key(j))


def run_store(name, n, args):
    st, kind = S.make(name, n, VSIZE)
    st.concurrent = True
    data = Data(n, st.key_kind, args.seed)
    get_keys = data.present_keys(GET_KEYS, 1)
    put_keys = data.present_keys(PUT_KEYS, 2)
    base = tempfile.mkdtemp(prefix="vbench-maint-%s-" % name, dir=args.tmpdir)
    result = {"store": name, "n": n, "calls": []}
    try:
        tpl, result["load_seconds"] = make_template(st, kind, data, base)
        result["template_mb"] = tree_bytes(tpl) / 1e6
        sys.stderr.write("[%s] N=%d %s: loaded in %.1f s\n" % (interpreter_name(), n, name,
                                                               result["load_seconds"]))
        calls = []
        ci = 0
        while ci == 0 or ci < len(calls):
            for _rep in range(args.reps):
                for mode in ("alone", "threads"):
                    run_round(st, kind, tpl, base, data, calls, ci, mode, get_keys, put_keys, args)
            ci += 1
        result["calls"] = calls
        for rec in calls:
            rec["median"] = {mode: summarize(rec[mode]) for mode in ("alone", "threads")}
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return result


def run_round(st, kind, tpl, base, data, calls, ci, mode, get_keys, put_keys, args):
    """Makes the maintenance call number `ci` on a fresh copy of the
    template, alone or beside the threads, and adds its figures to
    calls[ci] (made at the first round from the store's list of calls)."""
    work, del_secs = open_round(st, kind, tpl, base, data)
    mcalls = st.maintenance_calls()
    if not calls:
        calls.extend({"key": k, "label": lb, "alone": [], "threads": [], "delete_seconds": [],
                      "mb_before": [], "mb_after": []} for k, lb, _fn in mcalls)
    key, _label, fn = mcalls[ci]
    del mcalls
    rec = calls[ci]
    mb_before = tree_bytes(work)
    gc.collect()
    benchutil.prime_free_memory(min(mb_before * 5 // 4 + (64 << 20), 4 << 30))
    # As benchutil.timed: CPython's cycle collector paused, PyPy's left on.
    paused = interpreter_tag() == "cpython"
    if paused:
        gc.disable()
    try:
        if mode == "alone":
            t0 = time.perf_counter()
            note = fn()
            rec["alone"].append({"seconds": time.perf_counter() - t0})
        else:
            # The baseline (the second half of the settle time) spans at
            # least the call's duration alone: a stop that the threads meet
            # anyway every few seconds (a collection under PyPy, the
            # machine) then shows in it as it may in the call.
            alone = sorted(r["seconds"] for r in rec["alone"])
            settle = max(args.settle, 2 * alone[len(alone) // 2]) if alone else args.settle
            res = run_with_threads(st, fn, get_keys, put_keys, data.new_values, settle,
                                   beside=args.beside)
            res["settle"] = settle
            note = res.pop("note")
            rec["threads"].append(res)
        if note:
            rec.setdefault("notes", []).append("%s: %s" % (mode, note))
    finally:
        if paused:
            gc.enable()
    del fn  # it holds the store: the store is freed at close
    check_round(st, data)
    st.close()
    rec["delete_seconds"].append(del_secs)
    rec["mb_before"].append(mb_before / 1e6)
    rec["mb_after"].append(tree_bytes(work) / 1e6)
    shutil.rmtree(work)
    sys.stderr.write("[%s] N=%d %s %s %s: %.3f s\n" % (
        interpreter_name(), data.n, st.name, key, mode, rec[mode][-1]["seconds"]))
    sys.stderr.flush()


def summarize(samples):
    """The median of each figure over the repetitions."""
    if not samples:
        return {}
    out = {}
    for k, v in samples[0].items():
        if isinstance(v, dict):
            out[k] = summarize([s[k] for s in samples])
        elif v is not None:
            out[k] = statistics.median(s[k] for s in samples)
    return out


# ---------------------------------------------- child: vacuum against cp
def run_copy(n, args):
    """Vantre's vacuum against `cp -r` of the same directory and `sync` of
    the copied files, each on a fresh copy of the template with a tenth of
    its keys deleted (the deletions in the log, the buffers written out)."""
    st, kind = S.make("vantre", n, VSIZE)
    data = Data(n, st.key_kind, args.seed)
    base = tempfile.mkdtemp(prefix="vbench-maint-cp-", dir=args.tmpdir)
    out = {"n": n, "vacuum": [], "cp_sync": [], "mb": None}
    try:
        tpl, _secs = make_template(st, kind, data, base)
        dst = os.path.join(base, "cp")
        for _rep in range(args.cp_reps):
            work, _d = open_round(st, kind, tpl, base, data)
            st.close()
            fsync_tree(work)
            src = S.store_path(kind, work)
            size = tree_bytes(src)
            out["mb"] = size / 1e6
            prime = size * 5 // 4 + (64 << 20)

            shutil.rmtree(dst, ignore_errors=True)
            benchutil.prime_free_memory(prime)
            t0 = time.perf_counter()
            subprocess.run(["cp", "-r", src, dst], check=True)
            subprocess.run(["sync", dst] + [os.path.join(dst, f) for f in sorted(os.listdir(dst))],
                           check=True)
            out["cp_sync"].append(time.perf_counter() - t0)
            shutil.rmtree(dst)

            st.open(src, False)
            benchutil.prime_free_memory(prime)
            ns, _ = benchutil.timed(st.db.vacuum)
            out["vacuum"].append(ns / 1e9)
            check_round(st, data)
            st.close()
            shutil.rmtree(work)
            sys.stderr.write("[%s] N=%d vacuum %.3f s, cp -r + sync %.3f s\n" % (
                interpreter_name(), n, out["vacuum"][-1], out["cp_sync"][-1]))
    finally:
        shutil.rmtree(base, ignore_errors=True)
    out["median"] = {k: statistics.median(out[k]) for k in ("vacuum", "cp_sync")}
    return out


# ---------------------------------------------------------- child: probe
def run_probe(names):
    out = {}
    for name in names:
        info = {"available": False}
        try:
            st, _kind = S.make(name, 1000, VSIZE)
            st.concurrent = True
            info.update(available=True, label=st.label, version=st.version(), settings=st.settings(),
                        threads=st.threads)
        except Exception as e:  # any import or load failure: skipped
            info["error"] = "%s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else "")
            info["label"] = name
        out[name] = info
    print(json.dumps(out))


# ------------------------------------------------------------- the parent
def run_child(args_list, env):
    cmd = [sys.executable, os.path.abspath(__file__)] + args_list
    p = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=None, text=True)
    lines = [ln for ln in p.stdout.splitlines() if ln.startswith("{")]
    if p.returncode != 0 or not lines:
        return None, "exit %d (its error is above)" % p.returncode
    return json.loads(lines[-1]), None


def fmt_ms(x):
    if x is None:
        return "—"
    if x >= 100:
        return "{:,}".format(int(round(x)))
    return "%.3g" % x


def fmt_rate(x):
    return "—" if x is None else "{:,}".format(int(round(x)))


HEADERS = ["store", "threads", "call", "alone ms", "with threads ms", "heartbeat gap ms",
           "longest get ms", "longest put ms", "gets/s during", "gets during", "gets/s before",
           "before: gap/get/put ms"]
THREADS_NOTE = ("threads: how the other threads reach the store. handle + lock: the store is not "
                "safe for concurrent calls, and every call takes one lock, the maintenance call too. "
                "before: the threads' figures in the second half of the settle time, with no call "
                "(at least as long as the call alone).")


def table_rows(run, n):
    rows = []
    for e in run["results"]:
        if e["n"] != n:
            continue
        s = run["stores"][e["store"]]
        if e.get("error"):
            rows.append([s["label"], s["threads"], "error: " + e["error"]] + [""] * (len(HEADERS) - 3))
            continue
        for c in e["calls"]:
            a, t = c["median"]["alone"], c["median"]["threads"]
            b = t.get("before", {})
            rows.append([s["label"], s["threads"], c["label"], fmt_ms(a["seconds"] * 1e3),
                         fmt_ms(t["seconds"] * 1e3), fmt_ms(t["gap_ms"]), fmt_ms(t["get_wait_ms"]),
                         fmt_ms(t["put_wait_ms"]), fmt_rate(t.get("gets_per_s")), fmt_rate(t["gets_during"]),
                         fmt_rate(b.get("gets_per_s")),
                         "/".join(fmt_ms(b.get(k)) for k in ("gap_ms", "get_wait_ms", "put_wait_ms"))])
    return rows


def table_notes(run, n):
    out = []
    for e in run["results"]:
        if e["n"] == n:
            for c in e["calls"]:
                for note in c.get("notes", []):
                    out.append("%s %s, %s" % (run["stores"][e["store"]]["label"], c["label"], note))
    return out


def copy_rows(run):
    rows = []
    for c in run.get("copy", []):
        if c.get("error"):
            rows.append(["{:,}".format(c["n"]), "error: " + c["error"], "", "", ""])
            continue
        m = c["median"]
        rows.append(["{:,}".format(c["n"]), "%.0f" % c["mb"], fmt_ms(m["vacuum"] * 1e3),
                     fmt_ms(m["cp_sync"] * 1e3), "%.2f" % (m["vacuum"] / m["cp_sync"])])
    return rows


def beside_of(params):
    """Which of the store's threads ran beside the heartbeat in a saved run
    (runs saved before --beside have only "writer")."""
    return params.get("beside") or ("both" if params.get("writer", True) else "get")


def threads_beside(params):
    beside = beside_of(params)
    return {"both": "a heartbeat, a getter and a putter",
            "get": "a heartbeat and a getter (no putter)",
            "put": "a heartbeat and a putter (no getter)"}[beside]


COPY_HEADERS = ["keys", "store MB", "vacuum ms", "cp -r + sync ms", "vacuum / cp"]


def print_header(run):
    i, m, t, p = run["interpreter"], run["machine"], run["tmpdir"], run["params"]
    print("== Vantre maintenance benchmark, %s %s (commit %s, %s)"
          % (i["name"], i["version"], run["commit"], run["date"]))
    print("machine: %s, %s cores, %s GiB, Linux %s; load average at start %s"
          % (m["cpu"], m["cores"], m["memory_gb"], m["kernel"], run["load_start"]))
    print("stores live in %s (%s on %s: %s; page cache warm)"
          % (t["path"], t["fstype"], t["device"], storage_kind(t["fstype"])))
    print("%d-byte values, a tenth of the keys deleted before each call; median of %d; "
          "%s run %.1f s (or twice the call alone) before the call%s"
          % (VSIZE, p["reps"], threads_beside(p), p["settle"],
             "; interpreter lock switch interval %.1f ms" % (p["switch_interval"] * 1e3)
             if p.get("switch_interval") else ""))
    print()
    print("stores and settings:")
    for name, s in run["stores"].items():
        if s["available"]:
            print("  %-18s %s\n  %-18s   %s" % (s["label"], s["version"], "", s["settings"]))
        else:
            print("  %-18s skipped: %s" % (s.get("label", name), s.get("error", "")))
    print()
    sys.stdout.flush()


def run_all(args):
    started = time.time()
    env = child_env()
    tmpdir = args.tmpdir or tempfile.gettempdir()
    os.makedirs(tmpdir, exist_ok=True)
    args.tmpdir = tmpdir
    mnt, fstype, dev = filesystem_of(tmpdir)
    names = args.stores or default_stores()
    probe, err = run_child(["--probe", ",".join(names)], env)
    if probe is None:
        sys.exit("probe failed: %s" % err)
    avail = [nm for nm in names if probe[nm]["available"]]
    if "vantre" in names and "vantre" not in avail:
        sys.exit("_vantre does not load: %s (build it with scripts/build.sh)" % probe["vantre"].get("error"))
    run = {
        "interpreter": {"name": interpreter_name(), "version": platform.python_version(),
                        "implementation": sys.version.replace("\n", " "), "executable": sys.executable},
        "machine": {"cpu": cpu_model(), "cores": os.cpu_count(), "kernel": platform.release(),
                    "memory_gb": round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30, 1)},
        "tmpdir": {"path": tmpdir, "mount": mnt, "fstype": fstype, "device": dev},
        "params": {"sizes": args.sizes, "vsize": VSIZE, "reps": args.reps, "settle": args.settle,
                   "cp_size": args.cp_size, "cp_reps": args.cp_reps, "seed": args.seed,
                   "get_keys": GET_KEYS, "put_keys": PUT_KEYS,
                   "switch_interval": sys.getswitchinterval(), "beside": args.beside,
                   "writer": args.beside != "get"},
        "commit": git_commit(),
        "command": " ".join(["bench/maintenance.py"] + sys.argv[1:]),
        "load_start": loadavg(),
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
        "stores": probe,
        "results": [],
        "copy": [],
    }
    print_header(run)
    common = ["--tmpdir", tmpdir, "--seed", str(args.seed), "--reps", str(args.reps),
              "--settle", str(args.settle), "--cp-reps", str(args.cp_reps)] + (
                  ["--beside", args.beside])
    for n in args.sizes:
        for name in avail:
            t0 = time.time()
            res, err = run_child(["--child-store", name, "--n", str(n)] + common, env)
            entry = res or {"store": name, "n": n, "calls": []}
            if err:
                entry["error"] = err
            entry["seconds"] = round(time.time() - t0, 1)
            run["results"].append(entry)
        print("-- N = {:,} keys --".format(n))
        print(text_table(HEADERS, table_rows(run, n)))
        print(THREADS_NOTE)
        for note in table_notes(run, n):
            print("  " + note)
        print()
        sys.stdout.flush()
    if args.cp_size:
        res, err = run_child(["--child-copy", "--n", str(args.cp_size)] + common, env)
        run["copy"].append(res or {"n": args.cp_size, "error": err})
        print("-- Vantre vacuum against cp -r + sync of the same directory (median of %d) --" % args.cp_reps)
        print(text_table(COPY_HEADERS, copy_rows(run)))
        print()
    run["load_end"] = loadavg()
    run["seconds"] = round(time.time() - started)
    print("load average (1, 5, 15 min) at start %s, at end %s; %d s in all"
          % (run["load_start"], run["load_end"], run["seconds"]))
    out = args.out or os.path.join(HERE, "results", "maintenance-%s.json" % interpreter_tag())
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    with open(out, "w") as f:
        json.dump(run, f, indent=1)
    print("results written to %s" % os.path.relpath(out))


def md_table(headers, rows, text_columns):
    out = ["| " + " | ".join(headers) + " |",
           "|" + "|".join("---" if i < text_columns else "---:" for i in range(len(headers))) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


def report(paths):
    """Markdown of saved runs (bench/results/maintenance.md)."""
    print("# Maintenance calls beside other threads\n")
    print("Produced by `make maintenance-bench` (`bench/maintenance.py`; its docstring says how "
          "each figure is taken). Times in ms; 100-byte values, a tenth of the keys deleted "
          "before each call.\n")
    for p in paths:
        with open(p) as f:
            run = json.load(f)
        i, m, t, pr = run["interpreter"], run["machine"], run["tmpdir"], run["params"]
        print("## %s %s%s%s\n" % (i["name"], i["version"],
                                  {"both": "", "get": ", no putter", "put": ", no getter"}[beside_of(pr)],
                                  ", median of %d" % pr["reps"] if pr["reps"] > 1 else ""))
        print("%s; %s cores, %s GiB; Linux %s. Commit %s, %s. Stores in `%s` (%s). Median of %d; "
              "%s run %.1f s (or twice the call alone) before the call; interpreter lock switch interval %.1f ms. "
              "Load average %s at the start, %s at the end; %s s in all.\n"
              % (m["cpu"], m["cores"], m["memory_gb"], m["kernel"], run["commit"], run["date"],
                 t["path"], storage_kind(t["fstype"]), pr["reps"], threads_beside(pr), pr["settle"],
                 pr["switch_interval"] * 1e3, run["load_start"], run.get("load_end", "?"),
                 run.get("seconds", "?")))
        for name, s in run["stores"].items():
            if s["available"]:
                print("- %s: %s; %s" % (s["label"], s["version"], s["settings"]))
            else:
                print("- %s: skipped (%s)" % (s.get("label", name), s.get("error", "")))
        print()
        for n in sorted({e["n"] for e in run["results"]}):
            print("### N = {:,} ({})\n".format(n, i["name"]))
            print(md_table(HEADERS, table_rows(run, n), 3))
            print()
            print(THREADS_NOTE)
            print()
            for note in table_notes(run, n):
                print("- " + note)
            print()
        if run.get("copy"):
            print("### Vantre vacuum against `cp -r` + `sync` of the same directory "
                  "(median of %d, %s)\n" % (pr["cp_reps"], i["name"]))
            print(md_table(COPY_HEADERS, copy_rows(run), 1))
            print()


def chart(paths, png):
    """Bars of the longest stop of other threads and the longest get and put
    wait during each maintenance call, at each run's largest N: one panel
    per saved run, a log scale in ms, the call's own duration as a tick."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    runs = []
    for p in paths:
        with open(p) as f:
            runs.append(json.load(f))
    panels = []
    for run in runs:
        ns = [e["n"] for e in run["results"] if not e.get("error")]
        if not ns:
            continue
        n = max(ns)
        rows = []
        for e in run["results"]:
            if e["n"] != n or e.get("error"):
                continue
            label = run["stores"][e["store"]]["label"]
            for c in e["calls"]:
                t = c["median"]["threads"]
                rows.append(("%s: %s" % (label, c["label"]), t["gap_ms"], t["get_wait_ms"],
                             t["put_wait_ms"], t["seconds"] * 1e3))
        panels.append((run, n, rows))
    if not panels:
        return
    height = sum(max(2.0, 0.45 * len(r) + 1.2) for _, _, r in panels)
    fig, axes = plt.subplots(len(panels), 1, figsize=(10, height), squeeze=False,
                             gridspec_kw={"height_ratios": [max(2, len(r)) for _, _, r in panels]})
    kinds = [(1, "longest stop of other threads", "#c44e52"), (2, "longest get wait", "#4c72b0"),
             (3, "longest put wait", "#55a868")]
    for ax, (run, n, rows) in zip(axes[:, 0], panels):
        i = run["interpreter"]
        ys = range(len(rows))
        shown = {"both": kinds, "get": kinds[:2], "put": kinds[::2]}[beside_of(run["params"])]
        h = 0.78 / len(shown)
        for k, (column, name, color) in enumerate(shown):
            # Bars start at 1 ms, the threads' resolution.
            vals = [max(r[column] or 0, 1.0) for r in rows]
            ax.barh([y + (k - (len(shown) - 1) / 2) * h for y in ys], vals, height=h,
                    color=color, label=name)
        ax.scatter([r[4] for r in rows], list(ys), marker="|", s=200, color="black",
                   label="the call's duration", zorder=3)
        ax.axvline(10, color="grey", linestyle="--", linewidth=1)
        ax.set_xscale("log")
        ax.set_xlim(left=1)
        ax.set_yticks(list(ys))
        ax.set_yticklabels([r[0] for r in rows], fontsize=8)
        ax.invert_yaxis()
        ax.set_xlabel("ms (log scale; dashed: 10 ms)")
        reps = run["params"]["reps"]
        ax.set_title("%s %s, %s keys of 100 bytes, a tenth deleted; beside %s%s"
                     % (i["name"], i["version"], "{:,}".format(n), threads_beside(run["params"]),
                        "; median of %d" % reps if reps > 1 else ""),
                     fontsize=9)
        ax.grid(axis="x", which="both", alpha=0.3)
    axes[0, 0].legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(png, dpi=90)


def int_list(s):
    return [int(float(x)) for x in s.split(",") if x]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=int_list, default=[1000000, 10000000],
                    help="key counts N, comma-separated (default 1000000,10000000)")
    ap.add_argument("--stores", type=lambda s: [x for x in s.split(",") if x],
                    help="comma-separated subset of: " + ",".join(S.NAMES))
    ap.add_argument("--reps", type=int, default=1, help="rounds per call and mode (default 1)")
    ap.add_argument("--settle", type=float,
                    help="seconds the threads run before the call (default 0.5 under CPython; "
                         "1 under PyPy, whose JIT compiles their loops first)")
    ap.add_argument("--cp-size", type=int, default=5000000,
                    help="keys for vacuum against cp -r + sync (default 5000000; 0 skips it)")
    ap.add_argument("--cp-reps", type=int, default=3, help="rounds of vacuum and cp (default 3)")
    ap.add_argument("--tmpdir", help="directory for the stores (default: the system temp dir)")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--beside", choices=("both", "get", "put"), default="both",
                    help="the store's threads beside the heartbeat: a getter and a putter "
                    "(default), the getter alone or the putter alone")
    ap.add_argument("--no-writer", dest="beside", action="store_const", const="get",
                    help="the same as --beside get")
    ap.add_argument("--out", help="JSON results file (default bench/results/maintenance-<interpreter>.json)")
    ap.add_argument("--report", nargs="+", metavar="JSON", help="print markdown tables of saved runs")
    ap.add_argument("--chart", metavar="PNG", help="with --report: also draw the waits at each run's "
                    "largest N (needs matplotlib)")
    # internal: the children
    ap.add_argument("--probe", help=argparse.SUPPRESS)
    ap.add_argument("--child-store", help=argparse.SUPPRESS)
    ap.add_argument("--child-copy", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--n", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.settle is None:
        args.settle = 0.5 if interpreter_tag() == "cpython" else 1.0
    if args.probe:
        run_probe(args.probe.split(","))
    elif args.child_store:
        print(json.dumps(run_store(args.child_store, args.n, args)))
    elif args.child_copy:
        print(json.dumps(run_copy(args.n, args)))
    elif args.report:
        report(args.report)
        if args.chart:
            try:
                chart(args.report, args.chart)
            except ImportError as e:
                print("maintenance: no chart: %s" % e, file=sys.stderr)
    else:
        if args.stores:
            bad = [s for s in args.stores if s not in S.NAMES]
            if bad:
                ap.error("unknown stores: %s" % ",".join(bad))
        run_all(args)


if __name__ == "__main__":
    main()
