"""Limits that matter most on 32-bit hosts: data files past 4 GiB, lengths
that do not fit 32 or 31 bits, and record table growth when the address
space runs out. (cache_size at and past 2**32 - 1: test_binding.py.)"""
import errno
import os
import shutil
import struct

import pytest
from _vantre import Vantre

from conftest import (collect, contents, file_bytes, file_size, parse_snapshot, parse_wal,
                      reopen, run_child)

FAR = 2**32 + 12345
VAL = b"a value past 4 GiB"
FILL = "called `Result::unwrap()` on an `Err` value: EngineError { kind: UnexpectedEof, " \
       "message: \"failed to fill whole buffer\" }"


def record(path, rid):
    """(key offset, key length, value offset, value length) of record `rid`."""
    with open(os.path.join(path, "offsets.bin"), "rb") as f:
        f.seek(rid * 24)
        return struct.unpack("<QIQI", f.read(24))


def extend(path, size):
    # Through the descriptor: 32-bit PyPy's os.truncate(path, n) raises OverflowError
    # for n past 4 GiB.
    with open(path, "r+b") as f:
        os.ftruncate(f.fileno(), size)


def put(key, val):
    k = key.encode()
    return struct.pack("<IQ", 0, len(k)) + k + struct.pack("<Q", len(val)) + val


def delete(key):
    k = key.encode()
    return struct.pack("<IQ", 1, len(k)) + k


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    return str(info.value)


# -- data past 4 GiB ---------------------------------------------------------

@pytest.fixture
def far_store(tmp_path):
    """A store directory whose data files may be extended past 4 GiB without
    using disk space; removed afterwards."""
    probe = tmp_path / "probe"
    probe.write_bytes(b"")
    extend(probe, 1 << 30)
    sparse = os.stat(probe).st_blocks * 512 < 1 << 20
    probe.unlink()
    if not sparse:
        pytest.skip("tmp_path's filesystem has no sparse files")
    path = str(tmp_path / "store")
    Vantre(path)  # creates the files
    collect()
    yield path
    collect()
    shutil.rmtree(path)


@pytest.mark.parametrize("name", ["keys.bin", "vals.bin"])
def test_data_past_4gib_without_snapshot(far_store, name):
    extend(os.path.join(far_store, name), FAR)
    field = 0 if name == "keys.bin" else 2
    db = Vantre(far_store)
    db.set_bytes("far", VAL)
    assert db.get_bytes("far") == VAL
    db.clear_cache()
    assert db.get_bytes("far") == VAL and db.get_many(["far", "x"]) == [("far", VAL), ("x", None)]
    assert db.keys() == ["far"]
    del db
    collect()
    assert record(far_store, 0)[field:field + 2] == (FAR, 3 if field == 0 else len(VAL))
    assert not os.path.exists(os.path.join(far_store, "snapshot.bin"))
    # No snapshot: replay finds the pair where the record says and reuses it.
    step = 3 if field == 0 else len(VAL)
    db = reopen(far_store)
    assert db.get_bytes("far") == VAL and db.keys() == ["far"]
    db.set_bytes("next", b"2")
    db.clear_cache()
    assert contents(db) == [("far", VAL), ("next", b"2")]
    del db
    collect()
    assert record(far_store, 0)[field] == FAR
    assert record(far_store, 1)[field] == FAR + step
    assert os.path.getsize(os.path.join(far_store, name)) == FAR + step + (4 if field == 0 else 1)


def test_data_past_4gib_with_snapshot(far_store):
    for name in ("keys.bin", "vals.bin"):
        extend(os.path.join(far_store, name), FAR)
    db = Vantre(far_store)
    db.set_bytes("far", VAL)
    db.persist()
    del db
    collect()
    snap = parse_snapshot(file_bytes(far_store, "snapshot.bin"))
    assert (snap.record_count, snap.key_end, snap.value_end) == (1, FAR + 3, FAR + len(VAL))
    assert file_size(far_store, "wal.bin") == 0
    db = reopen(far_store)
    assert db.get_bytes("far") == VAL and db.keys() == ["far"]
    db.set_bytes("next", b"2")  # placed at the snapshot's data ends
    db.clear_cache()
    assert contents(db) == [("far", VAL), ("next", b"2")]
    del db
    collect()
    assert record(far_store, 0) == (FAR, 3, FAR, len(VAL))
    assert record(far_store, 1) == (FAR + 3, 4, FAR + len(VAL), 1)
    db = reopen(far_store)
    assert contents(db) == [("far", VAL), ("next", b"2")]
    db.vacuum()  # copies both pairs from past 4 GiB to the start of new files
    db.clear_cache()
    assert contents(db) == [("far", VAL), ("next", b"2")]
    assert file_bytes(far_store, "keys.bin") == b"farnext"
    assert file_bytes(far_store, "vals.bin") == VAL + b"2"


# -- lengths of 2**32 and more in wal.bin and snapshot.bin ---------------------

GOOD_LOG = put("a", b"1") + put("", b"e") + put("b", b"22") + delete("a")

# Each bad record would decode as a whole record if its length were cut to
# its low 32 bits (the key "" set to b"X", "z" set, "c" set, "d" set, "" removed).
@pytest.mark.parametrize("bad", [
    struct.pack("<IQQ", 0, 2**32, 1) + b"X",
    struct.pack("<IQ", 0, 2**32 + 1) + b"z" + struct.pack("<Q", 1) + b"Y",
    struct.pack("<IQ", 0, 1) + b"c" + struct.pack("<Q", 2**32 + 5) + b"hello",
    struct.pack("<IQ", 0, 1) + b"d" + struct.pack("<Q", 2**63),
    struct.pack("<IQ", 1, 2**32),
], ids=["key-2^32", "key-2^32+1", "value-2^32+5", "value-2^63", "delete-key-2^32"])
@pytest.mark.filterwarnings("ignore:.*wal.bin did not decode:RuntimeWarning")
def test_log_length_past_32_bits_ends_replay(store_dir, bad):
    os.makedirs(store_dir)
    with open(os.path.join(store_dir, "wal.bin"), "wb") as f:
        f.write(GOOD_LOG + bad + put("late", b"L"))
    db = Vantre(store_dir)
    assert contents(db) == [("", b"e"), ("b", b"22")]
    assert db.get_many(["a", "z", "c", "d", "late"]) == [(k, None) for k in "azcd"] + [("late", None)]
    assert file_size(store_dir, "wal.bin") == len(GOOD_LOG)
    db.set_bytes("after", b"A")
    del db
    db = reopen(store_dir)
    assert contents(db) == [("", b"e"), ("b", b"22"), ("after", b"A")]
    del db
    collect()
    assert parse_wal(file_bytes(store_dir, "wal.bin"))[-1] == ("put", "after", b"A")


@pytest.mark.parametrize("field", ["index-count", "live-length", "dead-length"])
def test_snapshot_length_past_32_bits_is_refused(store_dir, field):
    db = Vantre(store_dir)
    for k, v in (("a", b"1"), ("b", b"2"), ("a", b"3")):  # id 0 dead, 1 and 2 live
        db.set_bytes(k, v)
    db.persist()
    db.set_bytes("c", b"4")  # the log holds only this
    del db
    collect()
    data = bytearray(file_bytes(store_dir, "snapshot.bin"))
    snap = parse_snapshot(bytes(data))
    assert (len(snap.index), snap.live, snap.dead) == (2, [1, 2], [0])
    live_at = 8 + 12 * 2
    at = {"index-count": 0, "live-length": live_at,
          "dead-length": live_at + 8 + struct.unpack_from("<Q", data, live_at)[0]}[field]
    struct.pack_into("<Q", data, at, 2**32 + struct.unpack_from("<Q", data, at)[0])
    with open(os.path.join(store_dir, "snapshot.bin"), "wb") as f:
        f.write(data)
    with pytest.raises(OSError) as raised:
        Vantre(store_dir)
    assert raised.value.errno == errno.EIO


# -- record lengths of 2**31 and more ------------------------------------------

@pytest.mark.parametrize("field, length, call, expected", [
    ("value", 2**31, "get_bytes", "capacity overflow"),
    ("value", 2**31 - 1, "get_bytes", FILL),
    ("key", 2**31, "keys", "capacity overflow"),  # get_bytes: test_binding.py
    ("key", 2**31 - 1, "get_bytes", FILL),
    ("key", 2**31 - 1, "keys", FILL),
], ids=["value-2^31", "value-2^31-1", "key-2^31-keys", "key-2^31-1", "key-2^31-1-keys"])
def test_record_length_from_2_31_is_refused(store_dir, field, length, call, expected):
    # Just below 2**31 the read is attempted: it fails for want of the bytes
    # in the file, the same way on every platform.
    db = Vantre(store_dir)
    db.set_bytes("a", b"1")
    db.set_bytes("z", b"26")  # the last record, which open checks against the snapshot
    db.persist()  # the reopened store reads "a" through its record
    del db
    collect()
    with open(os.path.join(store_dir, "offsets.bin"), "r+b") as f:
        f.seek(8 if field == "key" else 20)
        f.write(struct.pack("<I", length))
    db = Vantre(store_dir)
    calls = {"get_bytes": lambda: db.get_bytes("a"), "keys": db.keys}
    assert panic_of(calls[call]) == expected
    if field == "value":
        assert db.keys() == ["a", "z"]
    # The same object goes on working.
    assert db.len() == 2 and db.get_bytes("zz") is None and db.get_bytes("z") == b"26"
    db.set_bytes("b", b"2")
    assert db.get_bytes("b") == b"2" and db.delete("b") is True and db.len() == 2


# -- record table growth when the address space runs out -----------------------

GROW_CHILD = """
import mmap, os, resource, sys, gc
from _vantre import Vantre
NEED = 4800000  # the grown record table's map
db = Vantre({path!r})
assert db.len() == 100000 and db.get_bytes("k99999") == b"v99999"
grown, failed, rest, caught, held = "grown", "failed", b"x", None, []

def can_map(n):
    try:
        mmap.mmap(-1, n, flags=mmap.MAP_PRIVATE, prot=mmap.PROT_READ).close()
        return True
    except (OSError, MemoryError):
        return False

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
status = [l for l in open("/proc/self/status") if l.startswith("VmSize:")]
gc.collect()
gc.disable()
resource.setrlimit(resource.RLIMIT_AS, (int(status[0].split()[1]) * 1024 + (1 << 20), hard))
how = "rlimit"
if can_map(NEED):
    # Not enforced (an emulator ignores it): take the address space itself,
    # then give back at most 2 MiB, less than the map needs even if joined.
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    how, size = "mmap", 1 << (30 if sys.maxsize < 2**32 else 46)
    while size >= mmap.PAGESIZE:
        try:
            held.append(mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE, prot=mmap.PROT_READ))
        except (OSError, MemoryError):
            size //= 2
    back = 0
    for m in sorted(held, key=len):
        if back + len(m) <= 2 << 20:
            back += len(m)
            m.close()
if can_map(NEED):
    blocked = False
else:
    blocked = True
    try:
        db.set_bytes(failed, rest)
    except BaseException as e:
        caught = e
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
for m in held:
    m.close()
del held
gc.enable()
print(how)
if not blocked:
    print("SKIP could not keep", NEED, "bytes of address space from the store")
    sys.exit(0)
print(type(caught).__name__)
print(str(caught))
assert db.len() == 100000
assert db.get_many(["k0", "k50000", "k99999", failed]) == [
    ("k0", b"v0"), ("k50000", b"v50000"), ("k99999", b"v99999"), (failed, None)]
db.set_bytes(grown, b"G")
assert db.len() == 100001 and db.get_bytes(grown) == b"G"
assert os.path.getsize(os.path.join({path!r}, "offsets.bin")) == NEED
print("done")
"""


def test_table_growth_without_address_space_panics_and_recovers(store_dir):
    # Exactly the initial capacity, written as a log for the child to replay.
    os.makedirs(store_dir)
    with open(os.path.join(store_dir, "wal.bin"), "wb") as f:
        f.write(b"".join(put("k%d" % i, b"v%d" % i) for i in range(100000)))
    out = run_child(GROW_CHILD.format(path=store_dir)).stdout.splitlines()
    if out[1].startswith("SKIP"):
        pytest.skip(f"{out[1][5:]} ({out[0]})")
    assert out[1] == "PanicException", out
    assert out[2].startswith("called `Result::unwrap()` on an `Err` value: OsError { code: 12"), out
    assert out[3:] == ["done"], out
    db = reopen(store_dir)
    assert db.len() == 100001
    assert db.get_many(["k0", "k99999", "grown", "failed"]) == [
        ("k0", b"v0"), ("k99999", b"v99999"), ("grown", b"G"), ("failed", None)]
