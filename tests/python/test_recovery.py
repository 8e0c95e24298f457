"""Opening a directory, recovery from snapshot.bin and wal.bin, persist,
what survives the end of a process, and len/keys/cache_stats/clear_cache."""
import errno
import os
import random
import warnings

import pytest
from _vantre import Vantre

from conftest import (EMPTY_SNAPSHOT, TABLE, apply_ops, check_contents, collect, contents,
                      file_bytes, file_size, ops_child, parse_snapshot, parse_wal, reopen,
                      run_child, shim_env, write_ops)


# A log with every kind of record: overwrite, delete, delete of a missing
# key, empty key and value, non-ASCII text, a value past the 64 KiB append
# buffer and one past the 8 KiB log buffer.
MIXED = [
    ("put", "alpha", b"1"),
    ("put", "beta", b""),
    ("put", "gamma", b"g" * 70000),
    ("put", "alpha", b"2"),
    ("del", "beta"),
    ("put", "δέλτα", "ü".encode() * 3),
    ("del", "missing"),
    ("put", "", b"empty key"),
    ("put", "eps", b"e" * 9000),
]


def put_bytes(ops, field):
    return b"".join(op[1].encode() if field == 1 else op[2] for op in ops if op[0] == "put")


@pytest.mark.parametrize("sub", ["store", "a/b/c/store", "new/slash/", "existing", "relative/x"])
def test_open_creates_an_empty_store(tmp_path, monkeypatch, sub):
    path = str(tmp_path / sub)
    if sub == "existing":
        os.mkdir(path)
    if sub.startswith("relative"):
        monkeypatch.chdir(tmp_path)
        path = sub
    db = Vantre(path)
    assert sorted(os.listdir(path)) == ["keys.bin", "offsets.bin", "vals.bin", "wal.bin"]
    assert file_bytes(path, "offsets.bin") == bytes(TABLE)
    assert [file_size(path, n) for n in ("keys.bin", "vals.bin", "wal.bin")] == [0, 0, 0]
    assert (db.len(), db.keys(), db.cache_stats()) == (0, [], (0, 10000))
    assert db.get_bytes("anything") is None


def test_log_replay_restores_unpersisted_writes(store_dir):
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, MIXED, model)
    del db
    db = reopen(store_dir)
    check_contents(db, model, absent=["beta", "missing"])
    del db
    collect()
    # The log is kept; replay found every key and value where the records
    # point and wrote nothing again, however often the store is reopened.
    reopen(store_dir)
    assert parse_wal(file_bytes(store_dir, "wal.bin")) == MIXED
    assert file_bytes(store_dir, "keys.bin") == put_bytes(MIXED, 1)
    assert file_bytes(store_dir, "vals.bin") == put_bytes(MIXED, 2)


def test_replay_that_fails_to_write_again_opens_whole_later(store_dir):
    # Data files that lost their bytes (written out after the log, cut by a
    # crash) make replay append every key and value again; a write failing
    # midway fails the open, and the next open replays the same log whole.
    db = Vantre(store_dir)
    model = {f"k{i}": bytes([i % 251]) * (50 + i % 200) for i in range(2000)}
    for key, value in model.items():
        db.set_bytes(key, value)
    del db
    collect()
    for name in ("keys.bin", "vals.bin"):
        open(os.path.join(store_dir, name), "wb").close()
    opening = f"from _vantre import Vantre\nVantre({store_dir!r})\n"
    failed = run_child(opening, extra_env=shim_env(VANTRE_FAIL_WRITE="vals.bin"), check=False)
    assert failed.returncode == 1 and "PanicException" in failed.stderr, failed.stderr
    check_contents(reopen(store_dir), model)


def test_reopen_loads_snapshot_then_replays_log(store_dir):
    first = [("put", f"p{i}", b"P%d" % i) for i in range(50)] + [("del", "p7")]
    later = [("put", "p3", b"new"), ("del", "p4"), ("put", "q1", b"Q"), ("del", "q1"),
             ("put", "q2", b"Q2"), ("put", "p4", b"back"), ("put", "p7", b"seven")]
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, first, model)
    db.persist()
    apply_ops(db, later, model)
    del db
    db = reopen(store_dir)
    check_contents(db, model, absent=["q1"])
    del db
    collect()
    # Replay wrote the log's keys and values again from the snapshot's data
    # ends, over the same bytes: nothing was duplicated.
    assert file_bytes(store_dir, "keys.bin") == put_bytes(first, 1) + put_bytes(later, 1)
    assert file_bytes(store_dir, "vals.bin") == put_bytes(first, 2) + put_bytes(later, 2)


@pytest.mark.parametrize("damage", ["cut 1", "cut 7", "header only", "garbage tail", "bad tag"])
def test_torn_log_tail_is_cut_at_open(store_dir, damage):
    ops = [("put", f"k{i}", bytes([i]) * 100) for i in range(10)] + [("del", "k2")]
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, ops, model)
    db.set_bytes("last", b"L" * 50)
    del db
    collect()
    wal = os.path.join(store_dir, "wal.bin")
    whole = os.path.getsize(wal)
    good = whole - (20 + 4 + 50)  # where the "last" record starts
    if damage.startswith("cut"):
        os.truncate(wal, whole - int(damage.split()[1]))
    elif damage == "header only":
        os.truncate(wal, good + 3)
    else:
        model["last"] = b"L" * 50
        good = whole
        with open(wal, "ab") as f:
            f.write(b"\x07\x00\x00\x00junk" if damage == "bad tag" else b"\x00\x00\x00\x00\x05")
    damaged = file_bytes(store_dir, "wal.bin")
    with pytest.warns(RuntimeWarning):
        db = reopen(store_dir)
    check_contents(db, model, absent=["k2", "last"])
    assert file_size(store_dir, "wal.bin") == good
    assert file_bytes(store_dir, "wal.bin.cut") == damaged[good:]
    # Writes after the cut are replayed by the next open.
    more = [("put", "after", b"A" * 20), ("del", "k0"), ("put", "k1", b"one")]
    apply_ops(db, more, model)
    del db
    db = reopen(store_dir)
    check_contents(db, model, absent=["k0", "k2"])
    parse_wal(file_bytes(store_dir, "wal.bin"))


def _log_flipped_in_its_middle(store_dir):
    """Writes k0..k19 and flips the tag of k10's log record; returns the
    operations, the damaged log and where its undecodable tail starts."""
    ops = [("put", f"k{i}", bytes([i]) * 100) for i in range(20)]
    db = Vantre(store_dir)
    apply_ops(db, ops)
    del db
    collect()
    flipped = bytearray(file_bytes(store_dir, "wal.bin"))
    good = 10 * (len(flipped) // 20)
    flipped[good] ^= 0xFF
    with open(os.path.join(store_dir, "wal.bin"), "wb") as f:
        f.write(flipped)
    return ops, bytes(flipped), good


def test_log_damaged_in_its_middle_is_kept_in_the_cut_file_with_a_warning(store_dir):
    ops, flipped, good = _log_flipped_in_its_middle(store_dir)
    cut_path = os.path.join(store_dir, "wal.bin.cut")
    with pytest.warns(RuntimeWarning, match=f"{len(flipped) - good} bytes .* {cut_path}"):
        db = reopen(store_dir)
    check_contents(db, dict((op[1], op[2]) for op in ops[:10]), absent=["k10", "k19"])
    assert file_bytes(store_dir, "wal.bin.cut") == flipped[good:]
    del db
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        db = reopen(store_dir)
    assert db.len() == 10


def test_cut_file_is_synced_before_the_log_is_cut(tmp_path, store_dir):
    _, flipped, good = _log_flipped_in_its_middle(store_dir)
    opening = f"from _vantre import Vantre\nVantre({store_dir!r})\n"
    failed = run_child(opening, extra_env=shim_env(VANTRE_FAIL_WRITE="wal.bin.cut"), check=False)
    assert failed.returncode == 1 and "OSError" in failed.stderr, failed.stderr
    assert file_bytes(store_dir, "wal.bin") == flipped
    trace = str(tmp_path / "trace")
    run_child(opening, extra_env=shim_env(VANTRE_TRACE=trace))
    with open(trace) as f:
        calls = [line.split() for line in f]
    assert calls.index(["fsync", "wal.bin.cut"]) < calls.index(["ftruncate", "wal.bin"]), calls
    assert file_size(store_dir, "wal.bin") == good


@pytest.mark.parametrize("garbage", [b"", b"\xff" * 100, b"not a snapshot" * 40,
                                     EMPTY_SNAPSHOT[:-1]], ids=["empty", "ff", "text", "short"])
def test_undecodable_snapshot_is_refused_and_nothing_changes(store_dir, garbage):
    db = Vantre(store_dir)
    apply_ops(db, MIXED)
    del db
    collect()
    with open(os.path.join(store_dir, "snapshot.bin"), "wb") as f:
        f.write(garbage)
    before = {n: file_bytes(store_dir, n) for n in os.listdir(store_dir)}
    with pytest.raises(OSError) as raised:
        Vantre(store_dir)
    assert raised.value.errno == errno.EIO
    text = str(raised.value)
    assert "snapshot.bin" in text and "nothing was changed" in text
    assert "vantre check" in text and "vantre recover" in text
    assert {n: file_bytes(store_dir, n) for n in os.listdir(store_dir)} == before


def expected_ids(ops):
    """Live ids per key and the record count after `ops`."""
    ids, count = {}, 0
    for op in ops:
        if op[0] == "put":
            ids[op[1]] = count
            count += 1
        else:
            ids.pop(op[1], None)
    return ids, count


def test_persist_writes_a_snapshot_and_empties_the_log(store_dir):
    db = Vantre(store_dir)
    db.persist()
    assert file_bytes(store_dir, "snapshot.bin") == EMPTY_SNAPSHOT
    model = {}
    apply_ops(db, MIXED, model)
    db.persist()
    snap = file_bytes(store_dir, "snapshot.bin")
    db.persist()
    assert file_bytes(store_dir, "snapshot.bin") == snap
    assert file_size(store_dir, "wal.bin") == 0
    assert not os.path.exists(os.path.join(store_dir, "snapshot.bin.tmp"))

    s = parse_snapshot(snap)
    ids, count = expected_ids(MIXED)
    assert sorted(s.index.values()) == s.live == sorted(ids.values())
    assert s.dead == sorted(set(range(count)) - set(ids.values()))
    assert s.record_count == count
    assert (s.key_end, s.value_end) == (len(put_bytes(MIXED, 1)), len(put_bytes(MIXED, 2)))
    assert file_size(store_dir, "keys.bin") == s.key_end
    assert file_size(store_dir, "vals.bin") == s.value_end
    del db
    db = reopen(store_dir)
    check_contents(db, model, absent=["beta"])
    db.persist()  # the same state again, loaded from the snapshot
    assert parse_snapshot(file_bytes(store_dir, "snapshot.bin")) == s
    del db
    collect()
    assert file_size(store_dir, "wal.bin") == 0


@pytest.mark.parametrize("when", ["before open", "while open"])
def test_leftover_snapshot_tmp_is_truncated_and_reused(store_dir, when):
    tmp = os.path.join(store_dir, "snapshot.bin.tmp")
    if when == "before open":
        os.makedirs(store_dir)
        with open(tmp, "wb") as f:
            f.write(os.urandom(200000))
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, MIXED, model)
    if when == "while open":
        with open(tmp, "wb") as f:
            f.write(os.urandom(200000))
    db.persist()
    assert not os.path.exists(tmp)
    assert parse_snapshot(file_bytes(store_dir, "snapshot.bin")).record_count == 7
    del db
    db = reopen(store_dir)
    check_contents(db, model)


@pytest.mark.parametrize("size,expected", [(0, TABLE), (240, TABLE), (TABLE + 10, TABLE + 10),
                                           (TABLE * 3, TABLE * 3)])
def test_existing_offsets_file_is_extended_never_shrunk(store_dir, size, expected):
    os.makedirs(store_dir)
    with open(os.path.join(store_dir, "offsets.bin"), "wb") as f:
        f.write(bytes(size))
    db = Vantre(store_dir)
    assert file_size(store_dir, "offsets.bin") == expected
    db.set_bytes("k", b"v")
    del db
    db = reopen(store_dir)
    assert db.get_bytes("k") == b"v"
    assert file_size(store_dir, "offsets.bin") == expected


def test_keys_follow_record_id_order(store_dir):
    db = Vantre(store_dir)
    db.set_bytes("A", b"a")
    db.set_bytes("B", b"b")
    db.persist()
    del db
    db = reopen(store_dir)
    assert db.keys() == ["A", "B"]
    steps = [(("put", "C", b"c"), "ABC"), (("put", "A", b"a2"), "BCA"), (("del", "B"), "CA"),
             (("del", "B"), "CA"), (("put", "B", b"b2"), "CAB")]
    for op, expected in steps:
        apply_ops(db, [op])
        assert db.keys() == list(expected)
    db.persist()
    apply_ops(db, [("put", "D", b"d"), ("put", "C", b"c2")])
    del db
    db = reopen(store_dir)  # snapshot, then the log on top
    check_contents(db, {"A": b"a2", "B": b"b2", "D": b"d", "C": b"c2"})


def test_large_snapshot_lists_every_key(store_dir):
    # 70,000 ids span two id-set containers, a bitmap and an array one.
    ops = [("put", f"k{i}", b"%d" % i) for i in range(70000)]
    ops += [("del", f"k{i}") for i in range(0, 70000, 7)]
    ops += [("put", f"k{i}", b"again") for i in range(0, 70000, 5000)]
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, ops, model)
    db.persist()
    s = parse_snapshot(file_bytes(store_dir, "snapshot.bin"))
    ids, count = expected_ids(ops)
    assert s.live == sorted(ids.values()) and s.record_count == count
    assert len(s.dead) == count - len(ids)
    del db
    db = reopen(store_dir)
    check_contents(db, model)


def test_len_and_cache_bookkeeping(store_dir):
    db = Vantre(store_dir, cache_size=2)
    assert db.cache_stats() == (0, 2)
    assert db.clear_cache() is None
    for k in "abc":
        db.set_bytes(k, k.encode() * 3)
    assert (db.len(), db.cache_stats()) == (3, (2, 2))
    assert db.clear_cache() is None
    assert db.cache_stats() == (0, 2)
    assert db.get_bytes("a") == b"aaa"  # from the data files' append buffers
    assert db.cache_stats() == (1, 2)
    assert db.get_bytes("nope") is None
    assert db.cache_stats() == (1, 2)
    db.set_bytes("a", b"A")
    assert (db.len(), db.get_bytes("a")) == (3, b"A")
    assert db.delete("a") is True
    assert db.delete("a") is False
    assert (db.len(), db.cache_stats(), db.get_bytes("a")) == (2, (0, 2), None)
    db.persist()
    db.clear_cache()
    assert db.get_many(["b", "c"]) == [("b", b"bbb"), ("c", b"ccc")]  # from the files


def test_cache_size_zero(store_dir):
    db = Vantre(store_dir, cache_size=0)
    for i in range(5):
        db.set_bytes(f"k{i}", b"v%d" % i)
    assert [db.get_bytes(f"k{i}") for i in range(5)] == [b"v%d" % i for i in range(5)]
    entries, capacity = db.cache_stats()
    assert capacity == 0 and entries <= 1
    del db
    db = reopen(store_dir, cache_size=0)
    assert db.get_many(["k0", "k4"]) == [("k0", b"v0"), ("k4", b"v4")]


def random_ops(rnd, n):
    sizes = [0, 1, 100, 3000, 8150, 8168, 8169, 8170, 8171, 8172, 8192, 9000, 20000, 70000]
    ops = []
    for _ in range(n):
        key = f"k{rnd.randrange(60)}"
        if rnd.random() < 0.15:
            ops.append(("del", key))
        else:
            ops.append(("put", key, bytes([rnd.randrange(256)]) * rnd.choice(sizes)))
    return ops


@pytest.mark.parametrize("seed", range(4))
def test_log_after_persist_holds_exactly_the_later_writes(store_dir, seed):
    rnd = random.Random(seed)
    before, after = random_ops(rnd, 150), random_ops(rnd, 150)
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, before, model)
    db.persist()
    assert file_size(store_dir, "wal.bin") == 0
    apply_ops(db, after, model)
    check_contents(db, model)
    del db
    collect()
    assert parse_wal(file_bytes(store_dir, "wal.bin")) == after
    db = reopen(store_dir)
    check_contents(db, model)


@pytest.mark.parametrize("persist_first", [False, True])
def test_process_ended_without_teardown(store_dir, persist_first):
    # os._exit skips teardown and the exit hook: records still in the log
    # buffer are lost by design; those pushed out before are replayed.
    run_child(f"""
import os
from _vantre import Vantre
db = Vantre({store_dir!r})
for i in range(20):
    db.set_bytes(f"early{{i}}", b"e%d" % i)
if {persist_first}:
    db.persist()
for i in range(20):
    db.set_bytes(f"mid{{i}}", b"m%d" % i)
db.delete("early3")
db.set_bytes("big", b"B" * 9000)  # pushes the buffer out, then goes to wal.bin directly
db.set_bytes("late", b"lost")
os._exit(0)
""")
    model = {f"early{i}": b"e%d" % i for i in range(20) if i != 3}
    model.update({f"mid{i}": b"m%d" % i for i in range(20)})
    model["big"] = b"B" * 9000
    db = Vantre(store_dir)
    check_contents(db, model, absent=["early3", "late"])
    apply_ops(db, [("put", "late", b"kept"), ("del", "mid0")], model)
    del db
    db = reopen(store_dir)
    check_contents(db, model, absent=["early3", "mid0"])
    parse_wal(file_bytes(store_dir, "wal.bin"))


@pytest.mark.parametrize("ending", ["return", "sys.exit(3)", "raise"])
@pytest.mark.parametrize("persist_first", [False, True])
def test_normal_exit_writes_out_open_stores(store_dir, ending, persist_first):
    # A store kept in a module global may never be freed; the exit hook
    # writes its buffers out.
    proc = run_child(f"""
import sys
from _vantre import Vantre
STORE = Vantre({store_dir!r})
STORE.set_bytes("a", b"1")
if {persist_first}:
    STORE.persist()
STORE.set_bytes("b", b"2" * 100)
STORE.delete("a")
STORE.set_bytes("c", b"3")
{"" if ending == "return" else ending if ending != "raise" else "raise RuntimeError('x')"}
""", check=False)
    assert proc.returncode == {"return": 0, "sys.exit(3)": 3, "raise": 1}[ending], proc.stderr
    db = Vantre(store_dir)
    check_contents(db, {"b": b"2" * 100, "c": b"3"}, absent=["a"])


# Still in the log buffer when persist starts: they may be lost if the
# process dies before the snapshot's rename, but not after it.
TAIL = [("put", "t1", b"t1 newer"), ("del", "t2"), ("put", "t3", b"t3")]


@pytest.mark.parametrize("var,tail", [
    ("VANTRE_CRASH_RENAME", False),
    ("VANTRE_CRASH_RENAME", True),
    ("VANTRE_CRASH_AFTER_RENAME", False),
    ("VANTRE_CRASH_AFTER_RENAME", True),
], ids=["before rename", "before rename, records buffered", "after rename",
        "after rename, records buffered"])
def test_crash_around_the_snapshot_rename(tmp_path, store_dir, var, tail):
    ops = [("put", f"k{i}", b"%d" % i * 30) for i in range(300)]
    ops += [("put", f"k{i}", b"again") for i in range(0, 300, 7)] + [("del", "k5")]
    ops += [("put", "t1", b"t1 old"), ("put", "t2", b"t2"), ("put", "flush", b"F" * 8192)]
    model = {}
    apply_ops(None, ops, model)
    allowed = [list(model.items())]
    if tail:
        ops += TAIL
        apply_ops(None, TAIL, model)
        allowed = [list(model.items())] + (allowed if var == "VANTRE_CRASH_RENAME" else [])
    # The first persist renames once; the crash comes at the second's rename.
    proc = run_child(ops_child(store_dir, write_ops(tmp_path, ops), "persist", persist_at=200,
                               fault=(var, 2)),
                     extra_env=shim_env(PYTHONDONTWRITEBYTECODE=1), check=False)
    assert proc.returncode == 77, proc.stderr
    tmp_left = os.path.exists(os.path.join(store_dir, "snapshot.bin.tmp"))
    assert tmp_left == (var == "VANTRE_CRASH_RENAME")
    db = Vantre(store_dir)
    state = contents(db)
    assert state in allowed
    assert db.get_bytes("k5") is None
    model = dict(state)
    db.persist()
    del db
    db = reopen(store_dir)
    check_contents(db, model)


def test_persist_failure_leaves_files_and_store_as_they_were(store_dir):
    db = Vantre(store_dir)
    model = {}
    apply_ops(db, MIXED[:4], model)
    db.persist()
    apply_ops(db, MIXED[4:], model)
    snap, wal = file_bytes(store_dir, "snapshot.bin"), file_bytes(store_dir, "wal.bin")
    tmp = os.path.join(store_dir, "snapshot.bin.tmp")
    os.mkdir(tmp)  # cannot be opened as a file, even by root
    with pytest.raises(OSError, match=r"Is a directory \(os error 21\)"):
        db.persist()
    assert file_bytes(store_dir, "snapshot.bin") == snap
    assert file_bytes(store_dir, "wal.bin") == wal
    check_contents(db, model)
    apply_ops(db, [("put", "later", b"x")], model)
    del db
    db = reopen(store_dir)  # the log kept every record
    check_contents(db, model)
    os.rmdir(tmp)
    db.persist()
    del db
    db = reopen(store_dir)
    check_contents(db, model)


@pytest.mark.skipif(os.geteuid() == 0, reason="root bypasses directory permissions")
def test_persist_in_read_only_directory_raises_permission_error(store_dir):
    db = Vantre(store_dir)
    db.set_bytes("k", b"v")
    os.chmod(store_dir, 0o555)
    try:
        with pytest.raises(PermissionError):
            db.persist()
        assert not os.path.exists(os.path.join(store_dir, "snapshot.bin"))
        assert db.get_bytes("k") == b"v"
    finally:
        os.chmod(store_dir, 0o755)
