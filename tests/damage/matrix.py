"""Damage-lifecycle matrix: each file of a store damaged in each way, then
each step of a writer's life, then two reopens and the tool.

    matrix.py [--case PATTERN] [--rounds N] [--keys N] [--jobs N] [--list] [--verbose] [--keep]

A case is named FILE/DAMAGE/STEP/PATH, e.g. keys.bin/cut-middle/vacuum/package:
  FILE    snapshot.bin, wal.bin, offsets.bin, keys.bin, vals.bin
  DAMAGE  cut-0; cut-middle, to the middle of the bytes in use (offsets.bin
          is sized ahead of its records); cut-short, one byte off the file;
          zeroed, a seeded range of the bytes in use; garbage, random bytes
          appended; removed; and the file replaced by its copy from before
          the template's last persist (older-persist) or before its last
          writes (older-writes)
  STEP    what a writer then does: nothing, writes (20 of them: new keys,
          overwrites, deletes), persist, vacuum, close; every step but close
          ends by dropping the store, whose teardown writes the buffers out
  PATH    package (vantre.open) or native (_vantre.Vantre)
`--case` takes names or shell patterns ('keys.bin/*/vacuum/*'). A case's
seed is a hash of its name (rounds past the first add "#R" to the name), so
a failing case re-runs alone with the same damage and the same writes.

Every case starts from a copy of one template store with a history (see
plan_history) and runs in three processes in turn: the writer (damage,
step, read every key, end), reopen 1 (open, read, close) and reopen 2 (the
same, then the tool's `check`, `stats` and `dump --values`). Each read
classes every key the template ever held, and every key of the step's
writes, as held (its value), refused (the read or the open raised) or
absent because it was deleted. A case fails on anything else:
  - a key absent that was not deleted, a deleted key that comes back, a key
    with an older value or other bytes, an acknowledged write not read back,
    a key listed twice, never written or reading as absent, or held but not
    listed. Two exceptions: a key whose stored bytes in keys.bin or
    vals.bin, or whose record in offsets.bin, the zeroed range changed in
    place, which nothing in the format can tell; and the template's last writes that a killed writer could
    have lost with its log buffer, since a crash must reopen silently and
    a file cut by that much looks the same;
  - `check`, `stats` or `dump` exiting 0 while reopen 2 found a key lost or
    unreadable (or could not open the store), `dump` printing a wrong key
    or value, or the tool raising instead of reporting;
  - the package raising something that is not an Exception;
  - a crash (a signal), a hang (no word for STAGE_TIMEOUT seconds), the
    store's files growing tenfold (apparent size or blocks: a sparse 1 TiB
    keys.bin counts) or a worker's peak memory growing tenfold.
A step, an open or a read may raise: that is recorded (shown on a failing
case's line, and with --verbose for every case), never a failure by itself.

Processes: the cases run in chunks, each chunk by one worker process per
phase (the tool is called in-process through vantre.cli.main), so that every
open of a store is in a process that has not opened it before and every
phase sees the files the previous one left. A worker that dies or falls
silent is charged with the case and stage it was in, and a new worker goes
on with the cases after it. The chunks run in --jobs threads at once.

Sections: the cases | the template | damage | stores | reading and classing
| the worker | the driver.
"""
import argparse
import base64
import collections
import concurrent.futures
import fnmatch
import hashlib
import io
import json
import os
import random
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "harness"))
import common  # noqa: E402

# ------------------------------------------------------------------ the cases
FILES = ("snapshot.bin", "wal.bin", "offsets.bin", "keys.bin", "vals.bin")
DAMAGES = ("cut-0", "cut-middle", "cut-short", "zeroed", "garbage", "removed",
           "older-persist", "older-writes")
STEPS = ("nothing", "writes", "persist", "vacuum", "close")
PATHS = ("package", "native")
OLDER = ("older-persist", "older-writes")

STEP_WRITES = 20
STAGE_TIMEOUT = 30    # seconds a worker may stay silent before it counts as hung
GROWTH = 10           # files or peak memory this many times their baseline fail a case
CHUNK = 100           # cases per chunk of worker processes
# Workers' data segment limit: a runaway allocation fails (and is reported)
# instead of taking the shared machine's memory. The store's maps are shared
# file maps, which this limit does not count.
MEMORY_CAP = 4 << 30
RECORD = struct.Struct("<QIQI")  # offsets.bin: key offset, key length, value offset, value length
LOG_HEAD = struct.Struct("<IQ")  # wal.bin: tag (0 put, 1 delete), key length; then the key,
LOG_LENGTH = struct.Struct("<Q")  # and for a put the value length and the value
BAD = ("lost", "came back", "older value", "other value")
CLASSES = ("held", "deleted", "refused", "changed in place") + BAD


def case_names(rounds):
    names = [f"{f}/{d}/{s}/{p}" for f in FILES for d in DAMAGES for s in STEPS for p in PATHS]
    return [name + (f"#{r}" if r else "") for r in range(rounds) for name in names]


def case_seed(name):
    return int.from_bytes(hashlib.sha256(name.encode()).digest()[:8], "little")


def case_parts(name):
    """(file, damage, step, path) of a case name."""
    return tuple(name.split("#")[0].split("/"))


# --------------------------------------------------------------- the template
def plan_history(n, rng):
    """The template's history over about `n` keys, as ops ["put", key, seq,
    length], ["del", key], ["persist"] and ["copy", age] (close the store,
    keep a copy of its files, reopen it):
      1. most keys written, some overwritten, some deleted; persist;
      2. more keys, overwrites and deletes, some deleted keys written again;
         the copy older-persist; more of each; persist;
      3. a few more writes (left in the log); the copy older-writes;
      4. the last writes (also left in the log).
    So every file of each copy differs from the final one: the older
    snapshot misses stage 2, the older data files miss records the final
    snapshot or log names, and the older logs hold other records.
    Every 60th write is past 64 KiB (written straight to the data file) and
    every 8th past 8 KiB (straight to the log); the rest are small."""
    plan, live, dead = [], [], []
    names = iter([f"key{i}" + ("-\u00e9" if i % 50 == 7 else "") for i in range(n * 2)])
    seq = [0]

    def put(key):
        seq[0] += 1
        s = seq[0]
        length = (rng.randrange(65600, 68000) if s % 60 == 3 else
                  rng.randrange(8200, 8400) if s % 8 == 5 else rng.randrange(0, 300))
        plan.append(["put", key, s, length])

    def writes(new, overwrite, delete, revive=0):
        for _ in range(new):
            key = next(names)
            put(key)
            live.append(key)
        for key in rng.sample(live, overwrite):
            put(key)
        for key in rng.sample(dead, min(revive, len(dead))):
            put(key)
            dead.remove(key)
            live.append(key)
        for key in rng.sample(live, delete):
            plan.append(["del", key])
            live.remove(key)
            dead.append(key)

    writes(n * 7 // 10, n // 7, n // 12)
    plan.append(["persist"])
    writes(n // 10, n // 20, n // 30, revive=3)
    plan.append(["copy", "older-persist"])
    writes(n // 10, n // 20, n // 30, revive=2)
    plan.append(["persist"])
    writes(n // 20, n // 20, n // 30)
    plan.append(["copy", "older-writes"])
    writes(n // 20, n // 20, n // 30, revive=3)
    return plan


def build_template(root, n, seed):
    """Runs the planned history on root/final through the native class,
    keeping the copies in root/<age>; writes root/model.json (the plan and
    where each key's live record lies)."""
    from _vantre import Vantre
    plan = plan_history(n, random.Random(seed))
    store = os.path.join(root, "final")
    db = Vantre(store)
    for op in plan:
        if op[0] == "put":
            db.set_bytes(op[1], common.value_for(op[1], op[2], op[3]))
        elif op[0] == "del":
            db.delete(op[1])
        elif op[0] == "persist":
            db.persist()
        else:
            db._close()
            copy_store(store, os.path.join(root, op[1]))
            db = Vantre(store)
    db._close()
    del db
    common.collect()
    with open(os.path.join(root, "model.json"), "w") as f:
        json.dump({"plan": plan, "locations": record_locations(store, plan),
                   "log": log_locations(store, plan)}, f)


def record_locations(store, plan):
    """{key: [key offset, key length, value offset, value length]} of each
    key's last record. offsets.bin holds one record per put, in order (no
    vacuum ran); each is checked against the bytes it locates."""
    read = lambda name: open(os.path.join(store, name), "rb").read()  # noqa: E731
    table, keys, values = read("offsets.bin"), read("keys.bin"), read("vals.bin")
    where = {}
    for i, op in enumerate(op for op in plan if op[0] == "put"):
        ko, kl, vo, vl = RECORD.unpack_from(table, i * RECORD.size)
        key, value = op[1].encode(), common.value_for(op[1], op[2], op[3])
        if keys[ko:ko + kl] != key or values[vo:vo + vl] != value:
            raise SystemExit(f"matrix: record {i} of the template does not locate {op[1]!r}; "
                             "offsets.bin is not one record per put")
        where[op[1]] = [ko, kl, vo, vl]
    return where


def log_locations(store, plan):
    """[key, key offset, key length, value offset, value length] of each
    record of wal.bin: the writes since the last persist, back to back,
    each checked against the bytes there."""
    with open(os.path.join(store, "wal.bin"), "rb") as f:
        log = f.read()
    last = max(i for i, op in enumerate(plan) if op[0] == "persist")
    at, where = 0, []
    for op in plan[last + 1:]:
        if op[0] not in ("put", "del"):
            continue
        key = op[1].encode()
        value = common.value_for(op[1], op[2], op[3]) if op[0] == "put" else b""
        tag, length = LOG_HEAD.unpack_from(log, at)
        k = at + LOG_HEAD.size
        v = k + len(key) + (LOG_LENGTH.size if op[0] == "put" else 0)
        if (tag, length) != ((0 if op[0] == "put" else 1), len(key)) or log[k:k + len(key)] != key \
                or log[v:v + len(value)] != value:
            raise SystemExit(f"matrix: wal.bin of the template does not hold {op!r} at {at}")
        where.append([op[1], k, len(key), v, len(value)])
        at = v + len(value)
    return where


class Model:
    """The template replayed: each key's final value (None once deleted),
    every value it ever held, the values a crash of the template's writer
    could have left instead, where each live record lies, and the bytes of
    every file at each age ("final" and the older copies)."""

    def __init__(self, template):
        with open(os.path.join(template, "model.json")) as f:
            saved = json.load(f)
        self.final, self.history = {}, collections.defaultdict(set)
        log = []  # (op, the key's value before it) since the last persist
        for op in saved["plan"]:
            if op[0] in ("put", "del"):
                value = common.value_for(op[1], op[2], op[3]) if op[0] == "put" else None
                log.append((op, self.final.get(op[1])))
                self.final[op[1]] = value
                self.history[op[1]].add(value)
            elif op[0] == "persist":
                log = []
        # A killed writer loses at most the log records still in its buffer
        # (common.check_recovery): the last records, each and all together
        # under WAL_BUFFER bytes. Files cut by that much look the same as a
        # crash, which must reopen silently, so those values are accepted.
        self.crash = collections.defaultdict(set)
        lost = 0
        for op, before in reversed(log):
            size = common.wal_size(op[:2] + [b"x" * op[3]] if op[0] == "put" else op)
            lost += size
            if size >= common.WAL_BUFFER or lost > common.WAL_BUFFER:
                break
            self.crash[op[1]].add(before)
        self.locations, self.log = saved["locations"], saved["log"]
        # The id of each key's last record: offsets.bin holds one record
        # per put, in order (no vacuum ran).
        puts = [op for op in saved["plan"] if op[0] == "put"]
        self.record_ids = {op[1]: i for i, op in enumerate(puts)}
        self.files = {}
        for age in ("final",) + OLDER:
            for name in FILES:
                with open(os.path.join(template, age, name), "rb") as f:
                    self.files[age, name] = f.read()


# --------------------------------------------------------------------- damage
def damaged(model, file, damage, seed):
    """The damaged file's bytes (None: removed), the keys whose stored
    bytes a zeroed range changed in place, and whether it changed a
    stored key (which then reads and lists as other text)."""
    rng = random.Random(seed)
    data = model.files["final", file]
    if damage == "none":
        return data, set(), False
    if damage in OLDER:
        return model.files[damage, file], set(), False
    if damage == "removed":
        return None, set(), False
    if damage == "cut-0":
        return b"", set(), False
    # offsets.bin is sized ahead of its records: the middle and the zeroed
    # range are taken in the bytes in use.
    used = len(data.rstrip(b"\0")) or len(data)
    if damage == "cut-middle":
        return data[:used // 2], set(), False
    if damage == "cut-short":
        return data[:-1], set(), False
    if damage == "garbage":
        garbage = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 4097)))
        return data + garbage, set(), False
    # zeroed: 1/16 to 1/8 of the bytes in use, at a seeded place. The keys
    # and values in keys.bin, vals.bin and the log's records carry no check
    # of their bytes; lengths, tags, offsets and the snapshot do.
    length = max(1, used // rng.randrange(8, 17))
    start = rng.randrange(0, used - length + 1)
    end = start + length
    hit = lambda offset, size: size and offset < end and start < offset + size  # noqa: E731
    spans = {"keys.bin": [[k] + loc for k, loc in model.locations.items()],
             "vals.bin": [[k] + loc for k, loc in model.locations.items()],
             "wal.bin": model.log}.get(file, [])
    in_keys = {key for key, ko, kl, vo, vl in spans if file != "vals.bin" and hit(ko, kl)}
    in_values = {key for key, ko, kl, vo, vl in spans if file != "keys.bin" and hit(vo, vl)}
    # A record zeroed only in part may still locate its key, with the value
    # at another place: the record table's bytes carry no check either.
    in_records = {key for key, i in model.record_ids.items()
                  if file == "offsets.bin" and hit(i * RECORD.size, RECORD.size)}
    return (data[:start] + bytes(length) + data[end:], in_keys | in_values | in_records,
            bool(in_keys))


def step_ops(model, seed):
    """The step's writes: 14 new keys, 4 overwrites and 2 deletes of keys
    the template holds, shuffled; one value past 64 KiB, two past 8 KiB."""
    rng = random.Random(f"{seed}/writes")
    held = sorted(k for k, v in model.final.items() if v is not None)
    sizes = [rng.randrange(66000, 68000)] + [rng.randrange(8200, 8400)] * 2
    ops = [["put", f"step{i}", 1000000 + i, sizes[i] if i < 3 else rng.randrange(0, 300)]
           for i in range(14)]
    picked = rng.sample(held, 6)
    ops += [["put", key, 1000100 + i, rng.randrange(0, 300)] for i, key in enumerate(picked[:4])]
    ops += [["del", key] for key in picked[4:]]
    rng.shuffle(ops)
    assert len(ops) == STEP_WRITES
    return ops


def expected(model, ops, outcome):
    """{key: set of values it may read back (None: absent)} after the step's
    writes: the template's value, or one a crash could have left; an
    acknowledged write replaces the set, a write that raised (or whose fate
    is unknown, False) adds to it."""
    allowed = {key: {value} | model.crash.get(key, set()) for key, value in model.final.items()}
    for op, ok in zip(ops, outcome):
        if ok is None:
            continue
        new = common.value_for(op[1], op[2], op[3]) if op[0] == "put" else None
        allowed[op[1]] = {new} if ok else allowed.get(op[1], {None}) | {new}
    return allowed


# --------------------------------------------------------------------- stores
def write_sparse(path, data):
    """Writes `data` leaving all-zero 4 KiB blocks as holes, as the engine
    leaves offsets.bin beyond its records, so that block counts compare."""
    with open(path, "wb") as f:
        for at in range(0, len(data), 4096):
            block = data[at:at + 4096]
            if block.count(0) != len(block):
                f.seek(at)
                f.write(block)
        f.truncate(len(data))


def copy_store(src, dst):
    os.makedirs(dst)
    for name in os.listdir(src):
        with open(os.path.join(src, name), "rb") as f:
            write_sparse(os.path.join(dst, name), f.read())


def footprint(store):
    """(apparent bytes, allocated bytes, largest file name and size) of a
    store directory."""
    size = blocks = 0
    largest = ("", 0)
    for name in os.listdir(store):
        st = os.stat(os.path.join(store, name))
        size += st.st_size
        blocks += st.st_blocks * 512
        largest = max(largest, (name, st.st_size), key=lambda x: x[1])
    return size, blocks, largest


class Package:
    """The store through the package."""

    def __init__(self, path):
        import vantre
        self.db = vantre.open(path)

    def get(self, key):
        return self.db.get(key)

    def keys(self):
        return list(self.db)

    def put(self, key, value):
        self.db[key] = value

    def delete(self, key):
        del self.db[key]

    def call(self, step):
        getattr(self.db, step)()


class Native:
    """The store through the native class."""

    def __init__(self, path):
        import _vantre
        self.db = _vantre.Vantre(path)

    def get(self, key):
        return self.db.get_bytes(key)

    def keys(self):
        return self.db.keys()

    def put(self, key, value):
        self.db.set_bytes(key, value)

    def delete(self, key):
        self.db.delete(key)

    def call(self, step):
        getattr(self.db, "_close" if step == "close" else step)()


# ------------------------------------------------------- reading and classing
PHASES = ("writer", "reopen 1", "reopen 2")


class Case:
    """One case inside a worker: its store, its model and what it found."""

    def __init__(self, model, spec, store, phase):
        self.model, self.name, self.seed = model, spec["name"], spec["seed"]
        self.file, self.damage, self.step, self.path = case_parts(self.name)
        self.store, self.label = store, PHASES[phase - 1]
        self.ops = step_ops(model, self.seed)
        self.outcome = spec.get("outcome") or [None] * len(self.ops)
        self.problems = []    # [phase or tool command, what was wrong]
        self.notes = []       # what raised
        self.seen = []        # per phase, how many keys read back how
        # A zeroed stored key reads and lists as other text, perhaps twice.
        self.data, self.in_place, self.names_changed = damaged(model, self.file, self.damage,
                                                               self.seed)

    def problem(self, text, label=None):
        self.problems.append([label or self.label, text])

    def attempt(self, what, fn, *args):
        """(True, result), or (False, None) when `fn` raised, which is noted."""
        try:
            return True, fn(*args)
        except KeyboardInterrupt:
            raise
        except BaseException as e:  # noqa: B902 - a panic is a refusal like any other
            self.raised(what, e)
            return False, None

    def raised(self, what, e):
        text = f"{self.label} {what}: {type(e).__name__}"
        if getattr(e, "errno", None) is not None:
            text += f" (errno {e.errno})"
        text += " " + str(e).replace(self.store, "STORE")[:60]
        if text not in self.notes:
            self.notes.append(text)
        if isinstance(e, MemoryError):
            self.problem(f"{what} ran out of memory")
        if self.path == "package" and not isinstance(e, Exception):
            self.problem(f"{what}: the package raised {type(e).__name__}, not an Exception")

    def open(self):
        """The store, or None when the open raised."""
        return self.attempt("open", Package if self.path == "package" else Native, self.store)[1]

    def classify(self, store, allowed):
        """Reads every key of `allowed` from `store` (None: the open was
        refused) and lists the keys; records what is wrong. Returns True
        when the store read back whole: every key as allowed, none refused."""
        if store is None:
            self.seen.append(f"{self.label}: refused")
            return False
        classes = collections.defaultdict(list)
        for key, may in allowed.items():
            ok, got = self.attempt("read", store.get, key)
            if not ok:
                kind = "refused"
            elif got in may:
                kind = "held" if got is not None else "deleted"
            elif key in self.in_place:
                kind = "changed in place"
            elif got is None:
                kind = "lost"
            elif may == {None}:
                kind = "came back"
            elif got in self.model.history.get(key, ()):
                kind = "older value"
            else:
                kind = "other value"
            classes[kind].append(key)
        self.seen.append(f"{self.label}: " + ", ".join(
            f"{len(classes[k])} {k}" for k in CLASSES if classes[k]))
        wrong = [f"{len(classes[k])} {k} ({', '.join(map(repr, classes[k][:3]))})"
                 for k in BAD if classes[k]]
        ok, listed = self.attempt("listing", store.keys)
        if ok:
            shown = set(listed)
            foreign = sorted(shown - set(allowed))
            absent = shown & set(classes["deleted"] + classes["lost"])
            unlisted = set(classes["held"]) - shown
            if len(shown) != len(listed) and not self.names_changed:
                wrong.append(f"lists {len(listed) - len(shown)} keys twice")
            if foreign and not self.names_changed:
                wrong.append(f"lists {len(foreign)} keys never written ({foreign[:3]!r})")
            if absent:
                wrong.append(f"lists {len(absent)} keys that read as absent")
            if unlisted:
                wrong.append(f"{len(unlisted)} keys read but not listed")
        for text in wrong:
            self.problem(text)
        return ok and not wrong and not classes["refused"]

    def end(self, store, close):
        """Closes `store`, or drops it so that its teardown writes it out."""
        if close:
            self.attempt("close", store.call, "close")
        store.db = None
        common.collect()


def run_tool(argv):
    """(status, standard output) of `vantre ARGV`, run in this process as
    `python -m vantre` runs it; the status is a text when the tool raised."""
    from vantre import cli
    out = io.StringIO()
    saved, sys.stderr = sys.stderr, io.StringIO()
    try:
        status = cli.main(argv, out=out)
    except SystemExit as e:
        status = e.code
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # noqa: B902 - the tool must report, not raise
        status = f"raised {type(e).__name__}: {str(e)[:60]}"
    finally:
        sys.stderr = saved
    return status, out.getvalue()


def check_tool(case, allowed, whole):
    """Runs check, stats and dump --values on the case's store: none may
    exit 0 unless the store read back whole, and dump may print only keys
    the store holds, with their values (all of them when it exits 0)."""
    for command in ("check", "stats", "dump"):
        say(case, command)
        status, out = run_tool([command, case.store] + (["--values"] if command == "dump" else []))
        if isinstance(status, str):
            case.problem(status, command)
            continue
        if status == 0 and not whole:
            case.problem("exit 0 over a store that lost or refused keys", command)
        if command != "dump":
            continue
        printed, wrong = set(), []
        for line in out.splitlines():
            try:
                item = json.loads(line)
                key, value = item["key"], base64.b64decode(item["value"])
            except (ValueError, KeyError, TypeError):
                wrong.append(line[:40])
                continue
            printed.add(key)
            if key in allowed:
                if value not in allowed[key] and key not in case.in_place:
                    wrong.append(key)
            elif not case.names_changed:
                wrong.append(key)
        if wrong:
            case.problem(f"printed {len(wrong)} wrong keys or values ({wrong[:3]!r})", command)
        held = [k for k, may in allowed.items() if None not in may and k not in case.in_place]
        missing = [k for k in held if k not in printed]
        if status == 0 and missing:
            case.problem(f"exit 0 without {len(missing)} keys ({missing[:3]!r})", command)


# ----------------------------------------------------------------- the worker
def say(case, stage):
    print(json.dumps({"i": case.index, "stage": stage}), flush=True)


def writer(case):
    """Phase 1: damages the store, opens it, runs the step, reads it, ends it."""
    if case.data is None:
        os.remove(os.path.join(case.store, case.file))
    else:
        write_sparse(os.path.join(case.store, case.file), case.data)
    say(case, "open")
    store = case.open()
    if store is None:
        case.classify(None, {})  # noted as refused
        return
    say(case, case.step)
    if case.step == "writes":
        for j, op in enumerate(case.ops):
            if op[0] == "put":
                value = common.value_for(op[1], op[2], op[3])
                case.outcome[j] = case.attempt("write", store.put, op[1], value)[0]
            else:
                case.outcome[j] = case.attempt("delete", store.delete, op[1])[0]
    elif case.step in ("persist", "vacuum"):
        case.attempt(case.step, store.call, case.step)
    say(case, "read")
    case.classify(store, expected(case.model, case.ops, case.outcome))
    say(case, "end")
    case.end(store, close=case.step == "close")


def reopen(case, tool):
    """Phases 2 and 3: opens the store, reads it, closes it; then the tool."""
    allowed = expected(case.model, case.ops, case.outcome)
    say(case, "open")
    store = case.open()
    say(case, "read")
    whole = case.classify(store, allowed)
    if store is not None:
        say(case, "close")
        case.end(store, close=True)
    if tool:
        check_tool(case, allowed, whole)


def worker(spec_path):
    """Runs one phase over the cases of a spec file; prints a progress line
    before each stage and a result line after each case."""
    with open(spec_path) as f:
        spec = json.load(f)
    phase = spec["phase"]
    _, hard = resource.getrlimit(resource.RLIMIT_DATA)
    resource.setrlimit(resource.RLIMIT_DATA, (MEMORY_CAP, hard))
    model = Model(spec["template"])
    # The intact template (damage "none"), read through both paths: the
    # harness's own check, and the baselines of memory and file sizes.
    warm = os.path.join(spec["work"], f"intact-{phase}")
    copy_store(os.path.join(spec["template"], "final"), warm)
    for path in PATHS:
        control = Case(model, {"name": f"vals.bin/none/nothing/{path}", "seed": 0}, warm, phase)
        store = control.open()
        control.classify(store, expected(model, [], []))
        if store is not None:
            control.end(store, close=True)
        if control.problems or control.notes:
            raise SystemExit(f"matrix: the intact template does not read back through the "
                             f"{path}: {control.problems + control.notes}")
    size, blocks, _ = footprint(warm)
    shutil.rmtree(warm)
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    current = [None]

    def unraisable(u):  # an exception in a store's teardown
        if current[0] is not None and u.exc_value is not None:
            current[0].raised("teardown", u.exc_value)
    sys.unraisablehook = unraisable
    for index, item in enumerate(spec["cases"]):
        store = os.path.join(spec["work"], str(item["index"]))
        if phase == 1:
            copy_store(os.path.join(spec["template"], "final"), store)
        case = current[0] = Case(model, item, store, phase)
        case.index = index
        say(case, "start")
        if phase == 1:
            writer(case)
        else:
            reopen(case, tool=phase == 3)
        written = sum(len(op[1]) + op[3] for op in case.ops if op[0] == "put")
        total, allocated, (name, largest) = footprint(store)
        if total > GROWTH * (size + written) or allocated > GROWTH * (blocks + written):
            case.problem(f"files grew tenfold: {total} bytes, {allocated} allocated "
                         f"({name}: {largest} bytes)")
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        if peak > GROWTH * rss:
            case.problem(f"peak memory {peak >> 10} MiB, over {GROWTH}x the "
                         f"{rss >> 10} MiB of reading the intact store")
        current[0] = None
        print(json.dumps({"i": index, "problems": case.problems, "notes": case.notes,
                          "seen": case.seen, "outcome": case.outcome}), flush=True)
        if peak > GROWTH * rss:
            return 3  # a fresh worker measures the next case
    return 0


# ----------------------------------------------------------------- the driver
def lines(proc, timeout):
    """Lines of a worker's output; None when it stayed silent `timeout` s."""
    fd, buf = proc.stdout.fileno(), b""
    while True:
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            yield None
            return
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            return
        *done, buf = (buf + chunk).split(b"\n")
        yield from done


def run_phase(phase, cases, template, work):
    """Runs `phase` over `cases` (dicts, updated in place) in workers; a
    worker that dies or hangs is charged with its case and stage, and a
    new one takes the cases after it."""
    label = ("writer", "reopen 1", "reopen 2")[phase - 1]
    pending = cases
    while pending:
        spec_path = os.path.join(work, f"spec-{phase}.json")
        with open(spec_path, "w") as f:
            json.dump({"phase": phase, "template": template, "work": work, "cases": pending}, f)
        err_path = os.path.join(work, f"stderr-{phase}")
        with open(err_path, "wb") as err:
            proc = common.spawn([os.path.abspath(__file__), "--worker", spec_path],
                                stdout=subprocess.PIPE, stderr=err)
        last, stage, hung = -1, None, False
        for line in lines(proc, STAGE_TIMEOUT):
            if line is None:
                hung = True
                proc.kill()
                break
            try:
                msg = json.loads(line)
            except ValueError:
                continue  # not ours: something in the worker wrote to standard output
            if "stage" in msg:
                last, stage = msg["i"], msg["stage"]
                continue
            case = pending[msg["i"]]
            case["problems"] += msg["problems"]
            case["notes"] += msg["notes"]
            case["seen"] += msg["seen"]
            case["outcome"] = msg["outcome"]
            last, stage = msg["i"], None
        proc.stdout.close()
        status = proc.wait()
        if stage is not None:
            case = pending[last]
            if hung:
                what = f"hang: silent for {STAGE_TIMEOUT} s"
            else:
                what = f"crash: {signal_name(status)}"
                with open(err_path, "rb") as f:
                    tail = f.read().decode(errors="replace").strip().splitlines()[-1:]
                what += f" ({tail[0][:120]})" if tail else ""
            case["problems"].append([label, f"{stage}: {what}"])
            if phase == 1 and case_parts(case["name"])[2] == "writes":
                # The writes' fate is unknown: each may or may not have happened.
                case["outcome"] = [False] * STEP_WRITES
        elif last < 0 or (status == 0 and last < len(pending) - 1):
            with open(err_path, "rb") as f:
                raise SystemExit(f"matrix: a {label} worker ended with {signal_name(status)} "
                                 f"before its cases:\n{f.read().decode(errors='replace')}")
        elif status not in (0, 3):  # 3: ended after a case over the memory bound
            pending[last]["problems"].append([label, f"the worker then ended with "
                                                     f"{signal_name(status)}"])
        pending = pending[last + 1:]


def signal_name(status):
    if status < 0:
        try:
            return signal.Signals(-status).name
        except ValueError:
            return f"signal {-status}"
    return f"exit status {status}"


def run_chunk(chunk, template, root, keep):
    """Runs the three phases over `chunk`; returns the seconds each took."""
    work = tempfile.mkdtemp(prefix="chunk-", dir=root)
    seconds = []
    for phase in (1, 2, 3):
        started = time.monotonic()
        run_phase(phase, chunk, template, work)
        seconds.append(time.monotonic() - started)
    if not keep:
        shutil.rmtree(work)
    return seconds


def summary(problems):
    """The problems of a case, each said once after the phases or tool
    commands that found it: "writer, reopen 1: 3 lost (...)"."""
    where = {}
    for label, text in problems:
        where.setdefault(text, []).append(label)
    groups = {}
    for text, labels in where.items():
        groups.setdefault(", ".join(dict.fromkeys(labels)), []).append(text)
    return "; ".join(f"{labels}: {', '.join(texts)}" for labels, texts in groups.items())


def grid(cases):
    """The failing cases as a table: file and damage by step, "P" where the
    package path failed and "N" where the native one did."""
    cells = collections.defaultdict(str)
    rows = []
    for case in cases:
        file, damage, step, path = case_parts(case["name"])
        if (file, damage) not in rows:
            rows.append((file, damage))
        mark = "P" if path == "package" else "N"
        if case["problems"] and mark not in cells[file, damage, step]:
            cells[file, damage, step] += mark
    print("\nfailing cases (P: through the package, N: through the native class)")
    print(f"{'file':13}{'damage':15}" + "".join(f"{s:9}" for s in STEPS))
    for file, damage in rows:
        print(f"{file:13}{damage:15}" + "".join(f"{cells[file, damage, s] or '.':9}" for s in STEPS))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--case", action="append", help="a case name or shell pattern (repeatable)")
    ap.add_argument("--rounds", type=int, default=1, help="runs of each case, each with its own seed")
    ap.add_argument("--keys", type=int, default=300, help="keys in the template's history")
    ap.add_argument("--jobs", type=int, default=min(2, os.cpu_count() or 1))
    ap.add_argument("--list", action="store_true", help="print the case names and stop")
    ap.add_argument("--verbose", action="store_true", help="a line for every case, with its notes")
    ap.add_argument("--keep", action="store_true", help="keep the stores and print where")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args.worker)
    # A pattern naming a later round ("...#2") brings that round in.
    rounds = max([args.rounds] + [int(r) + 1 for p in args.case or [] for r in re.findall(r"#(\d+)", p)])
    names = case_names(rounds)
    if args.case:
        names = [n for n in names if any(fnmatch.fnmatchcase(n, p) for p in args.case)]
    if args.list:
        print("\n".join(names))
        return 0
    if not names:
        raise SystemExit(f"matrix: no case matches {args.case}")
    started = time.monotonic()
    root = tempfile.mkdtemp(prefix="vantre-matrix-")
    template = os.path.join(root, "template")
    build_template(template, args.keys, seed=31)
    cases = [{"name": n, "seed": case_seed(n), "index": i, "problems": [], "notes": [], "seen": [],
              "outcome": None} for i, n in enumerate(names)]
    chunks = [cases[i:i + CHUNK] for i in range(0, len(cases), CHUNK)]
    with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
        seconds = list(pool.map(lambda c: run_chunk(c, template, root, args.keep), chunks))
    tally = common.Tally("damage matrix")
    for case in cases:
        notes = f" [{'; '.join(case['notes'])}]" if case["notes"] else ""
        if case["problems"]:
            tally.fail(case["name"], summary(case["problems"]) + ("" if args.verbose else notes))
        else:
            tally.ok()
            if args.verbose:
                print(f"  ok {case['name']}")
        if args.verbose:
            print(f"      {'; '.join(case['seen'])}{notes}")
    if len(cases) > 1:
        grid(cases)
    if args.keep:
        print(f"stores kept in {root}")
    else:
        shutil.rmtree(root)
    tally.figure("cases", len(cases))
    for phase, label in enumerate(PHASES):
        tally.figure(f"seconds in {label} workers", round(sum(s[phase] for s in seconds)))
    tally.figure("seconds", round(time.monotonic() - started))
    return tally.finish()


if __name__ == "__main__":
    sys.exit(main())
