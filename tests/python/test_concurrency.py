"""Reads and writes beside persist and vacuum, in other threads: what they
read, what the store holds after a reopen, the log a persist or vacuum
leaves, crashes at every rename of one with a writer running, the
interpreter lock given up meanwhile, and no deadlock whatever the mix."""
import json
import os
import random
import struct
import subprocess
import sys
import threading
import warnings

import pytest
from _vantre import Vantre

from conftest import (apply_ops, check_contents, collect, file_bytes, ops_child, parse_wal,
                      reopen, run_child, shim_env, write_ops)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "harness"))
import common  # noqa: E402

JOIN_TIMEOUT = 120  # seconds: far beyond any run; a thread still alive is stuck


def value(key, seq, length=100):
    return common.value_for(key, seq, length)


def check_value(key, got):
    """A value read for `key` is one written for it: its header names the
    key and a sequence number, and the rest matches them."""
    if got is None:
        return None
    head = got.split(b"#", 2)
    assert len(head) == 3 and head[0] == key.encode(), (key, got[:40])
    seq = int(head[1])
    assert got == value(key, seq, len(got)), (key, got[:40])
    return seq


class Worker(threading.Thread):
    """Runs `step(rng)` until stopped, at least `min_steps` times, counting
    the steps that ran entirely while a maintenance call was running; keeps
    the first failure."""

    def __init__(self, busy, seed, min_steps=100):
        super().__init__(daemon=True)
        self.busy = busy
        self.rng = random.Random(seed)
        self.min_steps = min_steps
        self.stop = threading.Event()
        self.steps = 0
        self.during = 0
        self.error = None

    def run(self):
        try:
            while not self.stop.is_set() or self.steps < self.min_steps:
                was_busy = self.busy.is_set()
                self.step(self.rng)
                self.steps += 1
                if was_busy and self.busy.is_set():
                    self.during += 1
        except BaseException as e:  # noqa: B902 - panics derive from BaseException
            self.error = e

    def finish(self):
        self.stop.set()
        self.join(JOIN_TIMEOUT)
        assert not self.is_alive(), f"{self.name} is stuck"
        if self.error is not None:
            raise self.error


class Writer(Worker):
    """Puts, deletes and reads its own keys (prefix `prefix`), checking each
    read against its own writes; some batches and values are large enough
    to run without the interpreter lock."""

    def __init__(self, db, prefix, busy, seed):
        super().__init__(busy, seed)
        self.db, self.prefix, self.model, self.seq = db, prefix, {}, 0

    def step(self, rng):
        key = f"{self.prefix}{rng.randrange(300)}"
        r = rng.random()
        if r < 0.5:
            self.seq += 1
            length = 70000 if rng.random() < 0.01 else rng.randrange(20, 300)
            v = value(key, self.seq, length)
            self.db.set_bytes(key, v)
            self.model[key] = v
        elif r < 0.65:
            assert self.db.delete(key) == (key in self.model), key
            self.model.pop(key, None)
        elif r < 0.9:
            assert self.db.get_bytes(key) == self.model.get(key), key
        else:
            keys = [f"{self.prefix}{rng.randrange(300)}" for _ in range(rng.choice([3, 100]))]
            assert self.db.get_many(keys) == [(k, self.model.get(k)) for k in keys]


class Reader(Worker):
    """Reads keys nobody writes (`fixed`, which must read exactly so) and
    keys the writers write (which must read as one of their values)."""

    def __init__(self, db, fixed, prefixes, busy, seed):
        super().__init__(busy, seed)
        self.db, self.fixed, self.prefixes = db, list(fixed.items()), prefixes

    def step(self, rng):
        if self.fixed:
            key, expected = rng.choice(self.fixed)
            assert self.db.get_bytes(key) == expected, key
        key = f"{rng.choice(self.prefixes)}{rng.randrange(300)}"
        check_value(key, self.db.get_bytes(key))


def load(db, n, length=100):
    """n keys "base<i>", a tenth deleted again; returns the contents."""
    model = {}
    for i in range(n):
        model[f"base{i}"] = value(f"base{i}", i, length)
        db.set_bytes(f"base{i}", model[f"base{i}"])
    for i in range(0, n, 10):
        db.delete(f"base{i}")
        del model[f"base{i}"]
    return model


def run_beside(db, base, calls, writers=2):
    """Runs writer and reader threads while `calls` (maintenance calls on
    `db`) run in order; returns the expected contents and the steps that
    ran beside the calls."""
    busy = threading.Event()
    prefixes = [f"w{i}-" for i in range(writers)]
    threads = [Writer(db, p, busy, seed=i) for i, p in enumerate(prefixes)]
    threads.append(Reader(db, base, prefixes, busy, seed=99))
    for t in threads:
        t.start()
    try:
        for call in calls:
            busy.set()
            call()
            busy.clear()
    finally:
        for t in threads:
            t.stop.set()
        for t in threads:
            t.finish()
    model = dict(base)
    for t in threads[:-1]:
        model.update(t.model)
    return model, sum(t.during for t in threads)


def check_same(db, model):
    """Exact contents, in any order of keys."""
    keys = db.keys()
    assert sorted(keys) == sorted(model) and db.len() == len(model)
    assert dict(db.get_many(keys)) == model


# ------------------------------------------------------- reads and writes

@pytest.mark.parametrize("kind", ["persist", "vacuum", "persist and vacuum"])
def test_reads_and_writes_beside_maintenance(store_dir, kind):
    db = Vantre(store_dir)
    base = load(db, 20000)
    calls = {"persist": [db.persist] * 4, "vacuum": [db.vacuum] * 4,
             "persist and vacuum": [db.vacuum, db.persist, db._sync, db.vacuum, db.persist]}[kind]
    model, during = run_beside(db, base, calls)
    assert during > 0, "no read or write ran beside the calls"
    check_same(db, model)
    del db, calls
    db = reopen(store_dir)
    check_same(db, model)
    # Nothing beside it: the files are then exactly the compacted ones.
    db.vacuum()
    del db
    db = reopen(store_dir)
    check_same(db, model)
    assert os.path.getsize(os.path.join(store_dir, "wal.bin")) == 0


def test_writes_beside_vacuum_of_a_fresh_store(store_dir):
    # Nothing frozen to copy: everything the vacuum installs was carried.
    db = Vantre(store_dir)
    model, _ = run_beside(db, {}, [db.vacuum] * 6)
    check_same(db, model)
    del db
    db = reopen(store_dir)
    check_same(db, model)


class Mixed(Writer):
    """A writer that also calls, now and then, every other method."""

    CALLS = ("persist", "vacuum", "_sync", "keys", "len", "cache_stats", "clear_cache")

    def step(self, rng):
        if rng.random() < 0.05:
            getattr(self.db, rng.choice(self.CALLS))()
        else:
            super().step(rng)


def test_no_deadlock_whatever_the_mix(store_dir):
    """Every call from several threads at once, each on its own keys: every
    thread finishes, and the contents are exact after a reopen."""
    db = Vantre(store_dir)
    base = load(db, 3000)
    threads = [Mixed(db, f"m{i}-", threading.Event(), seed=10 + i) for i in range(5)]
    for t in threads:
        t.min_steps = 300
        t.start()
    for t in threads:
        t.finish()
    model = dict(base)
    for t in threads:
        model.update(t.model)
    check_same(db, model)
    del db, threads, t
    db = reopen(store_dir)
    check_same(db, model)


# ---------------------------------------------- the interpreter lock released

LOCK_CHILD = """
import json, sys, threading
from _vantre import Vantre
db = Vantre({path!r})
for i in range(2000):
    db.set_bytes(f"k{{i}}", b"v" * 100)
count = 0
stop = False
def spin():
    global count
    while not stop:
        count += 1
t = threading.Thread(target=spin)
t.start()
ran = {{}}
for call in ("persist", "vacuum", "_sync"):
    db.set_bytes("x", b"y")
    before = count
    getattr(db, call)()
    ran[call] = count - before
stop = True
t.join()
print(json.dumps(ran))
"""


def test_other_threads_run_during_persist_vacuum_and_sync(tmp_path):
    # Every sync sleeps 200 ms, so each call lasts that long at least: a
    # thread spinning meanwhile counts far more than it could in the few
    # switches a held interpreter lock would leave it.
    proc = run_child(LOCK_CHILD.format(path=str(tmp_path / "s")),
                     extra_env=shim_env(VANTRE_SYNC_DELAY_MS=200))
    ran = json.loads(proc.stdout)
    for call, count in ran.items():
        assert count > 10000, (call, ran)


# ------------------------------------------------ the log after the call

LOG_CHILD = """
import json, threading, time
from _vantre import Vantre
db = Vantre({path!r})
for i in range(3000):
    db.set_bytes(f"base{{i}}", b"b" * 100)
written = []
stop = threading.Event()
def write():
    i = 0
    while not stop.is_set() or len(written) < 50:
        db.set_bytes(f"w{{i % 40}}", b"v%d" % i)
        written.append(i)
        i += 1
t = threading.Thread(target=write)
t.start()
while len(written) < 20:
    time.sleep(0.001)
before = len(written)
db.{action}()
after = len(written)
while len(written) < after + 20:
    time.sleep(0.001)
stop.set()
t.join()
db._close()
print(json.dumps({{"before": before, "after": after, "total": len(written)}}))
"""


@pytest.mark.parametrize("action", ["persist", "vacuum"])
def test_log_keeps_exactly_the_writes_made_since_the_call_began(tmp_path, action):
    path = str(tmp_path / "s")
    proc = run_child(LOG_CHILD.format(path=path, action=action),
                     extra_env=shim_env(VANTRE_SYNC_DELAY_MS=30))
    counts = json.loads(proc.stdout)
    logged = [int(op[2][1:]) for op in parse_wal(file_bytes(path, "wal.bin"))]
    # A run of the writes, in order, up to the last one.
    assert logged == list(range(logged[0], counts["total"])), logged[:5]
    assert counts["before"] <= logged[0] <= counts["after"], (counts, logged[0])
    db = Vantre(path)
    for i in range(counts["total"] - 40, counts["total"]):
        assert db.get_bytes(f"w{i % 40}") == b"v%d" % i
    assert db.len() == 3040


# ------------------------------------- crashes at every rename, writer running

CRASH_CHILD = """
import os, sys, threading, time
sys.path.insert(0, {harness!r})
import common
from _vantre import Vantre
journal = os.open({journal!r}, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
note = lambda text: os.write(journal, (text + "\\n").encode())
db = Vantre({path!r})
stop = threading.Event()
started = threading.Event()
def write():
    seq = 0
    while not stop.is_set():
        seq += 1
        key = f"t{{seq % 60}}"
        length = 8100 if seq % 25 == 0 else seq % 150
        note(f"B {{seq}} put {{key}} {{length}}")
        db.set_bytes(key, common.value_for(key, seq, length))
        note(f"A {{seq}}")
        if seq == 30:
            started.set()
def read():
    i = 0
    while not stop.is_set():
        i += 7
        key = f"t{{i % 60}}"
        got = db.get_bytes(key)
        if got is not None and not got.startswith(key.encode() + b"#"):
            note(f"X {{key}} read {{got[:30]!r}}")
threads = [threading.Thread(target=write, daemon=True), threading.Thread(target=read, daemon=True)]
for t in threads:
    t.start()
started.wait()
db.{action}()
note("returned")
time.sleep(0.02)
stop.set()
for t in threads:
    t.join()
"""


def crash_cases():
    # Renames of a call with writes beside it and puts in the log before it:
    # persist renames snapshot.bin.tmp to snapshot.bin.new (its commit),
    # wal.bin.new onto wal.bin, snapshot.bin.new onto snapshot.bin; vacuum
    # renames snapshot.bin.tmp to snapshot.bin.vac.new (its commit),
    # wal.bin.new onto wal.bin, snapshot.bin.vac.new to snapshot.bin.vac, the
    # three .vac files and snapshot.bin.vac onto snapshot.bin.
    for action, renames in (("persist", 3), ("vacuum", 7)):
        for k in range(1, renames + 1):
            for when in ("before", "after"):
                yield pytest.param(action, k, when, id=f"{action}, {when} rename {k}")


@pytest.mark.parametrize("action,k,when", crash_cases())
def test_crash_at_every_rename_with_a_writer_running(tmp_path, action, k, when):
    path = str(tmp_path / "s")
    db = Vantre(path)
    base = load(db, 3000)
    db.persist()
    for i in range(1, 3000, 7):  # dead records for the vacuum, in the log
        base[f"base{i}"] = value(f"base{i}", -i)
        db.set_bytes(f"base{i}", base[f"base{i}"])
    del db
    collect()
    journal = str(tmp_path / "journal")
    var = "VANTRE_CRASH_RENAME" if when == "before" else "VANTRE_CRASH_AFTER_RENAME"
    code = CRASH_CHILD.format(harness=os.path.join(HERE, "..", "harness"), journal=journal,
                              path=path, action=action)
    proc = run_child(code, extra_env=shim_env(**{var: k, "VANTRE_SYNC_DELAY_MS": 5}), check=False)
    assert proc.returncode in (0, 77), proc.stderr
    lines = open(journal).read().splitlines()
    assert not [x for x in lines if x.startswith("X")], lines
    started, acked, inflight = {}, [], None
    for line in lines:
        parts = line.split()
        if parts[0] == "B":
            started[parts[1]] = parts
            inflight = ("put", parts[3], common.value_for(parts[3], int(parts[1]), int(parts[4])))
        elif parts[0] == "A":
            b = started.pop(parts[1])
            acked.append(("put", b[3], common.value_for(b[3], int(b[1]), int(b[4]))))
            inflight = None
    # The tool reads the store as open will, the switch left pending
    # included: nothing refused, the same keys and values.
    from vantre import _inspect
    inspector = _inspect.Inspector(path)
    assert inspector.refusal() is None, inspector.refusal()
    dumped = dict(inspector.entries(0, inspector.live_count(), True))
    with warnings.catch_warnings():
        # A write of the log's buffer that the ending cut short (a kill's
        # own loss) leaves a tail that open moves aside, with a warning.
        warnings.simplefilter("ignore", RuntimeWarning)
        db = Vantre(path)
    got = common.read_state(db)
    assert dumped == got
    lost, wrong = common.check_recovery(got, base, acked, inflight)
    assert not wrong, (lost, wrong[:5], len(acked))
    if proc.returncode == 0:
        assert lost == 0 or inflight is not None
    # The store goes on: a vacuum and a reopen keep exactly that.
    db.vacuum()
    del db
    db = reopen(path)
    assert common.read_state(db) == got


# --------------------------------------------- files after the call

def test_concurrent_vacuum_leaves_a_store_the_next_vacuum_compacts(store_dir):
    db = Vantre(store_dir)
    base = load(db, 5000)
    model, _ = run_beside(db, base, [db.vacuum, db.vacuum])
    db.persist()
    snapshot = file_bytes(store_dir, "snapshot.bin")
    (n,) = struct.unpack_from("<Q", snapshot, 0)
    assert n == len(model)
    del db
    db = reopen(store_dir)
    check_same(db, model)
    db.vacuum()
    check_contents(db, dict(db.get_many(db.keys())))
    check_same(db, model)


# ------------------------------------------------ another build of the store
# VANTRE_OTHER_BUILD names the python folder of another build (one without
# persist and vacuum beside other calls, say): stores written here, threads
# and crashes included, must open there, and the other way round.

OTHER_BUILD = os.environ.get("VANTRE_OTHER_BUILD")
needs_other_build = pytest.mark.skipif(not OTHER_BUILD, reason="VANTRE_OTHER_BUILD is not set")


def run_build(build, code, *args):
    """Runs `code` under this interpreter with the _vantre of `build` (the
    folder of its python modules), prints nothing but what `code` prints."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([build, os.path.join(HERE, "..", "harness")]))
    env.pop("LD_PRELOAD", None)
    return subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True,
                          text=True, timeout=300)


READ_ALL = """
import json, sys, warnings
import common
from _vantre import Vantre
warnings.simplefilter("ignore", RuntimeWarning)
try:
    db = Vantre(sys.argv[1])
except OSError as e:
    print(json.dumps({"refused": str(e)}))
    raise SystemExit
print(json.dumps({k: v.decode("latin-1") for k, v in common.read_state(db).items()}))
"""

WRITE_SOME = """
import sys
from _vantre import Vantre
db = Vantre(sys.argv[1])
for i in range(300):
    db.set_bytes(f"other{i}", b"o%d" % i)
db.delete("other0")
db.persist()
db.vacuum()
for i in range(300, 320):
    db.set_bytes(f"other{i}", b"o%d" % i)
"""


def digest(path):
    return {n: file_bytes(path, n) for n in sorted(os.listdir(path))}


@needs_other_build
def test_store_written_beside_maintenance_opens_in_the_other_build_and_back(store_dir):
    here = os.path.dirname(os.path.abspath(__import__("_vantre").__file__))
    db = Vantre(store_dir)
    base = load(db, 5000)
    model, during = run_beside(db, base, [db.persist, db.vacuum, db.persist, db.vacuum])
    assert during > 0
    del db
    collect()
    proc = run_build(OTHER_BUILD, READ_ALL, store_dir)
    got = {k: v.encode("latin-1") for k, v in json.loads(proc.stdout).items()}
    assert got == model, proc.stderr
    assert run_build(OTHER_BUILD, WRITE_SOME, store_dir).returncode == 0
    model.update({f"other{i}": b"o%d" % i for i in range(1, 320)})
    proc = run_build(here, READ_ALL, store_dir)
    assert {k: v.encode("latin-1") for k, v in json.loads(proc.stdout).items()} == model


@needs_other_build
@pytest.mark.parametrize("action,k,when", crash_cases())
def test_crash_at_every_rename_then_the_other_build(tmp_path, action, k, when):
    """After a crash at any rename of a persist or vacuum with a writer
    running, the other build opens the store as the crash left it (within
    the log buffer's loss), or refuses it and changes nothing; this build
    then opens it as well."""
    path = str(tmp_path / "s")
    db = Vantre(path)
    base = load(db, 3000)
    db.persist()
    for i in range(1, 3000, 7):
        base[f"base{i}"] = value(f"base{i}", -i)
        db.set_bytes(f"base{i}", base[f"base{i}"])
    del db
    collect()
    journal = str(tmp_path / "journal")
    var = "VANTRE_CRASH_RENAME" if when == "before" else "VANTRE_CRASH_AFTER_RENAME"
    code = CRASH_CHILD.format(harness=os.path.join(HERE, "..", "harness"), journal=journal,
                              path=path, action=action)
    proc = run_child(code, extra_env=shim_env(**{var: k, "VANTRE_SYNC_DELAY_MS": 5}), check=False)
    assert proc.returncode in (0, 77), proc.stderr
    acked, inflight = [], None
    started = {}
    for line in open(journal).read().splitlines():
        parts = line.split()
        if parts[0] == "B":
            started[parts[1]] = parts
            inflight = ("put", parts[3], common.value_for(parts[3], int(parts[1]), int(parts[4])))
        elif parts[0] == "A":
            b = started.pop(parts[1])
            acked.append(("put", b[3], common.value_for(b[3], int(b[1]), int(b[4]))))
            inflight = None
    before = digest(path)
    other = json.loads(run_build(OTHER_BUILD, READ_ALL, path).stdout)
    if "refused" in other:
        assert digest(path) == before, other["refused"]
    else:
        got = {k: v.encode("latin-1") for k, v in other.items()}
        lost, wrong = common.check_recovery(got, base, acked, inflight)
        assert not wrong, (lost, wrong[:5])
    here = os.path.dirname(os.path.abspath(__import__("_vantre").__file__))
    mine = json.loads(run_build(here, READ_ALL, path).stdout)
    assert "refused" not in mine, mine
    got = {k: v.encode("latin-1") for k, v in mine.items()}
    lost, wrong = common.check_recovery(got, base, acked, inflight)
    assert not wrong, (lost, wrong[:5])


# ------------------------------------------ a long log emptied by replacement

def long_log_cases():
    # A log of 4 MiB or more is emptied by renaming an empty wal.bin.new
    # onto it, after the commit: persist renames the snapshot, then the
    # log; vacuum renames its snapshot to snapshot.bin.vac, then the log,
    # then the .vac files and the snapshot.
    for action, renames in (("persist", 2), ("vacuum", 6)):
        for k in range(1, renames + 1):
            for when in ("before", "after"):
                yield pytest.param(action, k, when, id=f"{action}, {when} rename {k}")


@pytest.mark.parametrize("action,k,when", long_log_cases())
def test_long_log_emptied_by_replacement_survives_a_crash_at_every_rename(tmp_path, action, k,
                                                                          when):
    path = str(tmp_path / "s")
    ops = [("put", f"k{i}", value(f"k{i}", i, 70000)) for i in range(70)]  # 4.9 MB of log
    ops += [("del", "k3"), ("put", "k5", b"again")]
    model = {}
    apply_ops(None, ops, model)
    var = "VANTRE_CRASH_RENAME" if when == "before" else "VANTRE_CRASH_AFTER_RENAME"
    proc = run_child(ops_child(path, write_ops(tmp_path, ops), action, fault=(var, k)),
                     extra_env=shim_env(), check=False)
    assert proc.returncode == 77, proc.stderr  # every rename is one of the call's
    db = Vantre(path)
    check_same(db, model)
    db.persist()
    del db
    db = reopen(path)
    check_same(db, model)


def test_long_log_emptied_by_replacement(tmp_path, store_dir):
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, [("put", f"k{i}", value(f"k{i}", i, 70000)) for i in range(70)], model)
    for call in (db.persist, db.vacuum):
        assert os.path.getsize(os.path.join(store_dir, "wal.bin")) > 4 << 20
        call()
        assert os.path.getsize(os.path.join(store_dir, "wal.bin")) == 0
        assert "wal.bin.new" not in os.listdir(store_dir)
        apply_ops(db, [("put", f"k{i}", value(f"k{i}", -i, 70000)) for i in range(70)], model)
    check_same(db, model)
    del db, call
    db = reopen(store_dir)
    check_same(db, model)


# ---------------------------------------- a log that cannot be emptied

TRUNCATE_CHILD = """
import os
from _vantre import Vantre
db = Vantre({path!r})
for i in range(50):
    db.set_bytes(f"k{{i}}", b"v%d" % i)
for name in ("persist", "vacuum"):
    os.environ["VANTRE_FAIL_TRUNCATE"] = "wal.bin"
    try:
        getattr(db, name)()
        print("no error")
    except OSError as e:
        print(type(e).__name__)
    try:
        db.set_bytes("refused", b"x")
        print("write accepted")
    except BaseException as e:  # noqa: B902 - panics derive from BaseException
        print(type(e).__name__)
    os.environ.pop("VANTRE_FAIL_TRUNCATE")
    db.persist()  # empties the log: writes go on
    db.set_bytes(f"after {{name}}", b"A")
"""


def test_log_not_emptied_after_the_commit_refuses_writes_until_emptied(store_dir):
    # The new snapshot and the whole log (which it covers) open to the same
    # state; a put appended behind them would not: open would refuse the
    # store (its replayed puts would meet records written for later ones).
    proc = run_child(TRUNCATE_CHILD.format(path=store_dir), extra_env=shim_env())
    assert proc.stdout.split() == ["OSError", "PanicException"] * 2, proc.stdout
    db = Vantre(store_dir)
    model = {f"k{i}": b"v%d" % i for i in range(50)}
    model.update({"after persist": b"A", "after vacuum": b"A"})
    check_same(db, model)
