"""vacuum(): the compacted files, the size of offsets.bin, failures, and
crashes at every step of the file switch."""
import os
import random
import signal
import struct
import subprocess
import time

import pytest
from _vantre import Vantre

from conftest import (EMPTY_SNAPSHOT, TABLE, apply_ops, check_contents, child_env, collect,
                      contents, file_bytes, file_size, ops_child, parse_snapshot, parse_wal,
                      python_cmd, reopen, run_child, shim_env, tool_finds_sound, write_ops)

TEMPORARIES = {"keys.bin.vac", "vals.bin.vac", "offsets.bin.vac", "snapshot.bin.vac",
               "snapshot.bin.tmp"}


def check_compacted(path, model):
    """The files right after a vacuum: exactly the live records of `model`,
    renumbered 0..n-1 in its (record id) order, a snapshot of that state
    and an empty log."""
    keys = [k.encode() for k in model]
    vals = list(model.values())
    n = len(keys)
    assert file_bytes(path, "keys.bin") == b"".join(keys)
    assert file_bytes(path, "vals.bin") == b"".join(vals)
    table = file_bytes(path, "offsets.bin")
    assert len(table) == max(n, 100000) * 24
    expected, key_at, val_at = [], 0, 0
    for k, v in zip(keys, vals):
        expected.append(struct.pack("<QIQI", key_at, len(k), val_at, len(v)))
        key_at += len(k)
        val_at += len(v)
    assert table[:24 * n] == b"".join(expected)
    assert table[24 * n:] == bytes(len(table) - 24 * n)
    s = parse_snapshot(file_bytes(path, "snapshot.bin"))
    assert sorted(s.index.values()) == s.live == list(range(n))
    assert (s.dead, s.record_count, s.key_end, s.value_end) == ([], n, key_at, val_at)
    assert file_size(path, "wal.bin") == 0
    assert not TEMPORARIES & set(os.listdir(path))


def workload(seed, n_keys):
    """Puts of n_keys keys, then overwrites, deletes and re-puts, shuffled
    after the first puts."""
    rnd = random.Random(seed)
    ops = [("put", f"key{i}", rnd.randbytes(rnd.randrange(0, 300))) for i in range(n_keys)]
    tail = [("put", f"key{rnd.randrange(n_keys)}", b"over%d" % i) for i in range(n_keys // 5)]
    tail += [("del", f"key{rnd.randrange(n_keys)}") for _ in range(n_keys // 7)]
    rnd.shuffle(tail)
    tail += [("put", f"key{rnd.randrange(n_keys)}", b"back%d" % i) for i in range(n_keys // 40)]
    return ops + tail


MIXED = [("put", "dup", b"first"), ("put", "gone", b"GONE-BYTES"), ("put", "keep", b"K"),
         ("put", "dup", b"second"), ("del", "gone"), ("put", "", b"empty key"),
         ("put", "big", b"b" * 70000), ("put", "zero", b"")]


@pytest.mark.parametrize("ops", [
    [],
    [("put", "a", b"1"), ("put", "b", b"2"), ("del", "a"), ("del", "b")],
    [("put", "k", b"one"), ("put", "k", b"two")],
    MIXED,
], ids=["fresh", "all deleted", "written twice", "mixed"])
def test_vacuum_keeps_only_the_current_records(store_dir, ops):
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, ops, model)
    db.vacuum()
    check_compacted(store_dir, model)
    if not model:
        assert file_bytes(store_dir, "snapshot.bin") == EMPTY_SNAPSHOT
    for name in ("keys.bin", "vals.bin", "snapshot.bin"):
        assert b"GONE" not in file_bytes(store_dir, name)
    check_contents(db, model, absent=["gone", "a", "b"])
    before = {n: file_bytes(store_dir, n) for n in ("keys.bin", "vals.bin", "offsets.bin",
                                                       "snapshot.bin")}
    db.vacuum()  # a second vacuum has nothing to do
    assert {n: file_bytes(store_dir, n) for n in before} == before
    del db
    db = reopen(store_dir)
    check_contents(db, model, absent=["gone"])


@pytest.mark.parametrize("scenario,after_vacuum,after_put", [
    ("100000 live", TABLE, TABLE * 2),
    ("100001 live", TABLE + 24, 200002 * 24),
    ("grown, 99999 live", TABLE, TABLE),
    ("grown by overwrites", TABLE, TABLE),
])
def test_vacuum_sizes_offsets_to_the_survivors(store_dir, scenario, after_vacuum, after_put):
    n = 100001 if scenario.startswith(("100001", "grown,")) else 100000
    if scenario == "grown by overwrites":
        n = 60000
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, [("put", f"k{i:06d}", b"%d" % i) for i in range(n)], model)
    if scenario == "grown, 99999 live":
        apply_ops(db, [("del", "k000000"), ("del", "k050000")], model)
    if scenario == "grown by overwrites":
        apply_ops(db, [("put", f"k{i:06d}", b"v%d" % i) for i in range(n)], model)
    db.vacuum()
    assert file_size(store_dir, "offsets.bin") == after_vacuum
    check_compacted(store_dir, model)
    apply_ops(db, [("put", "one more", b"x")], model)
    assert file_size(store_dir, "offsets.bin") == after_put
    del db
    db = reopen(store_dir)
    check_contents(db, model)
    assert file_size(store_dir, "offsets.bin") == after_put


def test_vacuum_of_a_store_opened_from_snapshot_and_log(store_dir):
    db = Vantre(store_dir)
    model = {}
    ops = workload(1, 300)
    apply_ops(db, ops[:200], model)
    db.persist()
    apply_ops(db, ops[200:], model)
    del db
    db = reopen(store_dir, cache_size=7)
    db.get_many(list(model)[:20])
    assert db.cache_stats() == (7, 7)
    db.vacuum()
    assert db.cache_stats() == (0, 7)
    check_compacted(store_dir, model)
    check_contents(db, model)


@pytest.mark.parametrize("after", ["nothing", "persist", "writes", "writes, persist"])
def test_compacted_state_survives_reopen(store_dir, after):
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, workload(2, 200), model)  # its log records are still buffered
    db.vacuum()
    later = []
    if "writes" in after:
        key = next(iter(model))
        later = [("put", key, b"changed"), ("del", list(model)[5]), ("put", "new", b"n" * 9000),
                 ("put", "new2", b"m")]
        apply_ops(db, later, model)
    if "persist" in after:
        db.persist()
        later = []
    del db
    collect()
    # The log holds only what was written after the vacuum.
    assert parse_wal(file_bytes(store_dir, "wal.bin")) == later
    db = reopen(store_dir)
    check_contents(db, model)


@pytest.mark.parametrize("when", ["while open", "at open"])
def test_leftover_temporaries_are_overwritten(store_dir, when):
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, MIXED, model)
    # Leftovers of a vacuum cut short before its commit; snapshot.bin.vac
    # exists at open only after the commit, so only an open store sees one.
    names = TEMPORARIES - ({"snapshot.bin.vac"} if when == "at open" else set())
    if when == "at open":
        del db
        collect()
    for name in names:
        with open(os.path.join(store_dir, name), "wb") as f:
            f.write(os.urandom(300000))
    if when == "at open":
        db = Vantre(store_dir)
        check_contents(db, model)
    db.vacuum()
    check_compacted(store_dir, model)
    del db
    db = reopen(store_dir)
    check_contents(db, model)


@pytest.mark.parametrize("blocker", ["keys.bin.vac", "vals.bin.vac", "offsets.bin.vac",
                                     "snapshot.bin.tmp"])
def test_failed_vacuum_leaves_the_store_usable(store_dir, blocker):
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, MIXED, model)
    os.mkdir(os.path.join(store_dir, blocker))  # cannot be created as a file
    with pytest.raises(OSError) as failure:
        db.vacuum()
    assert type(failure.value) is OSError
    assert str(failure.value) == "Is a directory (os error 21)"
    check_contents(db, model)
    apply_ops(db, [("put", "after", b"a"), ("del", "keep")], model)
    del db
    db = reopen(store_dir)  # the log was kept
    check_contents(db, model, absent=["keep"])
    os.rmdir(os.path.join(store_dir, blocker))
    db.vacuum()
    check_compacted(store_dir, model)


FLUSH = ("put", "flush", b"F" * 8192)  # pushes the log buffer out, then itself


@pytest.mark.parametrize("name", ["keys.bin.vac", "vals.bin.vac", "offsets.bin.vac",
                                  "snapshot.bin.tmp"])
def test_vacuum_write_failure_is_reported_and_harmless(tmp_path, store_dir, name):
    ops = workload(3, 500) + [FLUSH]
    proc = run_child(ops_child(store_dir, write_ops(tmp_path, ops), "vacuum", persist_at=300,
                               fault=("VANTRE_FAIL_WRITE", name)),
                     extra_env=shim_env(VANTRE_FAIL_ERRNO=28))
    assert proc.stdout == "OSError No space left on device (os error 28)\n"
    model = {}
    apply_ops(None, ops + [("put", "after", b"A")], model)
    db = Vantre(store_dir)
    check_contents(db, model)
    db.vacuum()
    check_compacted(store_dir, model)


# Vacuum renames, in order: snapshot.bin.tmp -> snapshot.bin.vac (the
# commit), keys.bin.vac, vals.bin.vac, offsets.bin.vac onto the data files,
# then snapshot.bin.vac -> snapshot.bin. Temporaries left after rename k:
LEFT_AFTER = [
    {"keys.bin.vac", "vals.bin.vac", "offsets.bin.vac", "snapshot.bin.tmp"},
    {"keys.bin.vac", "vals.bin.vac", "offsets.bin.vac", "snapshot.bin.vac"},
    {"vals.bin.vac", "offsets.bin.vac", "snapshot.bin.vac"},
    {"offsets.bin.vac", "snapshot.bin.vac"},
    {"snapshot.bin.vac"},
    set(),
]


# Written after FLUSH, these records are still in the log buffer when vacuum
# starts: a crash before the commit may lose them, one after it must not.
TAIL = [("put", "t1", b"t1 newer"), ("del", "t2"), ("put", "t3", b"t3")]


def crash_params():
    for k in range(1, 6):
        for when in ("before", "after"):
            for tail in (False, True):
                yield pytest.param(k, when, tail,
                                   id=f"{when} rename {k}{', records buffered' if tail else ''}")


@pytest.mark.parametrize("persisted", [False, True], ids=["log only", "snapshot and log"])
@pytest.mark.parametrize("k,when,tail", crash_params())
def test_crash_during_vacuum(tmp_path, k, when, tail, persisted):
    ops = workload(4, 2000) + [("put", "t1", b"t1 old"), ("put", "t2", b"t2"), FLUSH]
    model = {}
    apply_ops(None, ops, model)
    allowed = [list(model.items())]
    if tail:
        ops += TAIL
        apply_ops(None, TAIL, model)
        allowed = [list(model.items())] + (allowed if (k, when) == (1, "before") else [])
    path = str(tmp_path / "store")
    var = "VANTRE_CRASH_RENAME" if when == "before" else "VANTRE_CRASH_AFTER_RENAME"
    # persist renames once before the vacuum starts.
    proc = run_child(ops_child(path, write_ops(tmp_path, ops), "vacuum",
                               persist_at=1500 if persisted else None,
                               fault=(var, k + (1 if persisted else 0))),
                     extra_env=shim_env(PYTHONDONTWRITEBYTECODE=1), check=False)
    assert proc.returncode == 77, proc.stderr
    assert TEMPORARIES & set(os.listdir(path)) == LEFT_AFTER[k if when == "after" else k - 1]
    db = Vantre(path)
    state = contents(db)
    assert state in allowed
    model = dict(state)
    del db
    db = reopen(path)
    check_contents(db, model)
    db.vacuum()
    check_compacted(path, model)
    del db
    db = reopen(path)
    check_contents(db, model)


KILL_CHILD = """
from _vantre import Vantre
print("ready", flush=True)
db = Vantre({path!r})
i = {start}
while True:
    db.vacuum()
    if i < {start} + 100:
        db.set_bytes(f"loop{{i}}", bytes([i % 256]) * 9000)  # straight to wal.bin
        print(i, flush=True)
        i += 1
"""


def test_sigkill_during_repeated_vacuum(store_dir):
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, workload(5, 2000), model)
    db.persist()
    del db
    collect()
    rnd = random.Random(5)
    delays = [0.0, 0.01, 1.0] + [rnd.uniform(0, 1) for _ in range(7)]
    loops = 0
    for delay in delays:
        code = KILL_CHILD.format(path=store_dir, start=loops)
        proc = subprocess.Popen(python_cmd() + ["-c", code], env=child_env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert proc.stdout.readline() == "ready\n", proc.communicate()[1]
        time.sleep(delay)
        proc.send_signal(signal.SIGKILL)
        out, err = proc.communicate(timeout=120)
        assert proc.returncode == -signal.SIGKILL, err
        done = [int(x) for x in out.split()]
        assert done == list(range(loops, loops + len(done)))
        # Every reported write is there; one more may have been written.
        db = Vantre(store_dir)
        end = loops + len(done)
        if db.get_bytes(f"loop{end}") is not None:
            end += 1
        for i in range(loops, end):
            model[f"loop{i}"] = bytes([i % 256]) * 9000
        check_contents(db, model, absent=[f"loop{end}"])
        loops = end
        del db
        collect()
    db = Vantre(store_dir)
    db.vacuum()
    check_compacted(store_dir, model)


def test_snapshot_whose_index_misses_a_live_record_is_refused(store_dir):
    # A snapshot whose key index lost an entry while its live set kept the
    # id: open would read that key as absent. It refuses the store instead,
    # and changes nothing.
    db = Vantre(store_dir)
    db.set_bytes("a", b"1")
    db.set_bytes("b", b"2")
    db.persist()
    del db
    collect()
    path = os.path.join(store_dir, "snapshot.bin")
    with open(path, "rb") as f:
        data = f.read()
    (n,) = struct.unpack_from("<Q", data, 0)
    assert n == 2
    entries = [data[8 + 12 * i:20 + 12 * i] for i in range(2)]
    kept = [e for e in entries if struct.unpack_from("<I", e, 8)[0] == 0]
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", 1) + kept[0] + data[8 + 24:])
    before = sorted(os.listdir(store_dir))
    with pytest.raises(OSError) as raised:
        Vantre(store_dir)
    assert "key index has 1 entries for 2 live records" in str(raised.value)
    assert sorted(os.listdir(store_dir)) == before



# The files a vacuum replaces are shrunk a step at a time before they are
# closed; a failure there (the name the shim sees is that of the unlinked
# old file) changes nothing: the vacuum succeeds, the store goes on, and a
# new process and the tool see every key.
RELEASE_CHILD = """
import os
from _vantre import Vantre
db = Vantre({path!r})
for i in range(400):
    db.set_bytes(f"k{{i}}", bytes([i % 251]) * 60000)
db.persist()
for i in range(0, 400, 2):
    db.delete(f"k{{i}}")
os.environ["VANTRE_FAIL_TRUNCATE"] = "vals.bin (deleted)"
db.vacuum()
os.environ.pop("VANTRE_FAIL_TRUNCATE")
db.set_bytes("after", b"A")
db.persist()
db.vacuum()
print("done")
"""


def test_a_failure_freeing_the_replaced_files_is_harmless(store_dir):
    proc = run_child(RELEASE_CHILD.format(path=store_dir), extra_env=shim_env())
    assert proc.stdout == "done\n"
    model = {f"k{i}": bytes([i % 251]) * 60000 for i in range(1, 400, 2)}
    model["after"] = b"A"
    db = reopen(store_dir)
    check_contents(db, model, absent=["k0", "k398"])
    del db
    if subprocess.run(python_cmd() + ["-c", "import vantre"], env=child_env(),
                      capture_output=True).returncode != 0:
        return  # the tool is not importable in this interpreter
    tool_finds_sound(store_dir, model)
