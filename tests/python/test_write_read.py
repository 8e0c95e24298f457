"""The write path, the read path and the value cache, observed through the
Python API and the bytes of the files on disk.

Buffering that the checks depend on: log records collect in an 8192-byte
buffer; key and value bytes collect per data file and are written out in
whole 2 MiB units, except that a piece of 64 KiB or more pushes them out and
goes straight to the file; all reach the files at persist() and when the
store is freed.
So file contents are checked after `del db; free()` or persist().
"""
import gc
import os
import struct

import pytest

from _vantre import Vantre

from conftest import file_bytes, file_size, run_child, shim_env

DEFAULT_CACHE = 10000
RECORD = struct.Struct("<QIQI")  # key offset, key length, value offset, value length
PANIC_PREFIX = "called `Result::unwrap()` on an `Err` value: "


def free():
    """Frees every store nobody references (PyPy frees only in a collection):
    teardown writes the buffers out and closes the files."""
    gc.collect()
    gc.collect()


def log_put(key, val):
    k = key.encode()
    return struct.pack("<IQ", 0, len(k)) + k + struct.pack("<Q", len(val)) + bytes(val)


def log_delete(key):
    k = key.encode()
    return struct.pack("<IQ", 1, len(k)) + k


def parse_log(data):
    """wal.bin as ("put", key, value) / ("del", key); it must end on a
    record boundary."""
    out, pos = [], 0
    while pos < len(data):
        tag, klen = struct.unpack_from("<IQ", data, pos)
        key = data[pos + 12:pos + 12 + klen]
        assert len(key) == klen, f"key cut short at {pos}"
        pos += 12 + klen
        if tag == 1:
            out.append(("del", key.decode()))
            continue
        assert tag == 0, f"tag {tag} at {pos}"
        (vlen,) = struct.unpack_from("<Q", data, pos)
        val = data[pos + 8:pos + 8 + vlen]
        assert len(val) == vlen, f"value cut short at {pos}"
        pos += 8 + vlen
        out.append(("put", key.decode(), val))
    return out


def records(path, count):
    data = file_bytes(path, "offsets.bin")
    return [RECORD.unpack_from(data, RECORD.size * i) for i in range(count)]


def expected_records(puts):
    """Records of `puts` ((key, value) pairs) appended to empty data files."""
    out, koff, voff = [], 0, 0
    for key, val in puts:
        k = key.encode()
        out.append((koff, len(k), voff, len(val)))
        koff += len(k)
        voff += len(val)
    return out


# --- write path -------------------------------------------------------------


@pytest.mark.parametrize("key", ["a", "\u00e9\u20ac\U0001F600", "a\x00b", ""],
                         ids=["ascii", "multibyte", "nul", "empty"])
def test_put_appends_a_record_per_write(store_dir, key):
    db = Vantre(store_dir)
    assert db.cache_stats() == (0, DEFAULT_CACHE)
    db.set_bytes(key, b"one")
    assert (db.len(), db.cache_stats(), db.get_bytes(key)) == (1, (1, DEFAULT_CACHE), b"one")
    db.set_bytes("other", b"xx")
    db.set_bytes(key, b"second")  # an overwrite takes a new record id
    assert (db.len(), db.cache_stats(), db.get_bytes(key)) == (2, (2, DEFAULT_CACHE), b"second")
    db.set_bytes(key, b"second")  # the same value again still appends
    assert db.keys() == ["other", key]  # ascending record id
    db.clear_cache()
    assert db.get_many([key, "other"]) == [(key, b"second"), ("other", b"xx")]
    assert file_size(store_dir, "wal.bin") == 0  # still in the log buffer
    del db
    free()

    puts = [(key, b"one"), ("other", b"xx"), (key, b"second"), (key, b"second")]
    assert file_bytes(store_dir, "keys.bin") == "".join(k for k, _ in puts).encode()
    assert file_bytes(store_dir, "vals.bin") == b"onexxsecondsecond"
    assert records(store_dir, 5) == expected_records(puts) + [(0, 0, 0, 0)]
    assert file_bytes(store_dir, "wal.bin") == b"".join(log_put(k, v) for k, v in puts)
    db = Vantre(store_dir)
    assert (db.len(), db.get_bytes(key), db.get_bytes("other")) == (2, b"second", b"xx")


def test_empty_value_and_exact_log_bytes(store_dir):
    db = Vantre(store_dir)
    db.set_bytes("a", b"")
    assert db.get_bytes("a") == b""
    db.clear_cache()
    assert db.get_bytes("a") == b""  # from the files, not None
    assert db.len() == 1
    del db
    free()
    wal = file_bytes(store_dir, "wal.bin")
    assert wal.hex() == "00000000" "0100000000000000" "61" "0000000000000000"
    assert (file_bytes(store_dir, "keys.bin"), file_bytes(store_dir, "vals.bin")) == (b"a", b"")
    assert records(store_dir, 1) == [(0, 1, 0, 0)]

    db = Vantre(store_dir, cache_size=0)
    assert db.get_bytes("a") == b""
    db.set_bytes("b", b"xy")
    db.set_bytes("c", b"")
    db.set_bytes("d", b"z")
    db.clear_cache()
    assert db.get_many(["b", "c", "d"]) == [("b", b"xy"), ("c", b""), ("d", b"z")]
    assert db.delete("a") is True
    del db
    free()
    wal = file_bytes(store_dir, "wal.bin")
    assert wal[:21] == log_put("a", b"")
    assert wal[-13:].hex() == "01000000" "0100000000000000" "61"
    assert file_bytes(store_dir, "vals.bin") == b"xyz"  # the empty values add nothing
    # The replay at the second open found "a" where record 0 points, and kept it.
    assert records(store_dir, 4) == [(0, 1, 0, 0), (1, 1, 0, 2), (2, 1, 2, 0), (3, 1, 2, 1)]


def test_delete_appends_a_record_whether_or_not_the_key_is_stored(store_dir):
    db = Vantre(store_dir)
    assert db.delete("ghost") is False
    assert db.len() == 0
    db.set_bytes("k", b"v1")
    assert db.delete("k") is True
    assert (db.get_bytes("k"), db.len(), db.keys()) == (None, 0, [])
    assert db.delete("k") is False
    db.set_bytes("k", b"v2")
    assert (db.get_bytes("k"), db.len(), db.keys()) == (b"v2", 1, ["k"])
    assert file_size(store_dir, "wal.bin") == 0  # deletes are buffered too
    del db
    free()
    wal = file_bytes(store_dir, "wal.bin")
    assert wal == (log_delete("ghost") + log_put("k", b"v1") + log_delete("k") + log_delete("k")
                   + log_put("k", b"v2"))
    # A delete takes no record; the put after it takes the next id.
    assert records(store_dir, 3) == [(0, 1, 0, 2), (1, 1, 2, 2), (0, 0, 0, 0)]
    assert file_bytes(store_dir, "keys.bin") == b"kk"
    assert Vantre(store_dir).get_bytes("k") == b"v2"


@pytest.mark.parametrize("bad", [[1, 256], [-1], [0, 2**64], [255] * 100 + [256]])
def test_out_of_range_byte_changes_nothing(store_dir, bad):
    db = Vantre(store_dir)
    db.set_bytes("x", b"keep")
    stats = db.cache_stats()
    for key in ("x", "y"):
        with pytest.raises(OverflowError):
            db.set_bytes(key, bad)
    got = (db.get_bytes("x"), db.get_bytes("y"), db.len(), db.cache_stats())
    assert got == (b"keep", None, 1, stats)
    db.set_bytes("z", [0, 255])
    db.set_bytes("w", bytearray(b"ba"))
    del db
    free()
    puts = [("x", b"keep"), ("z", b"\x00\xff"), ("w", b"ba")]
    assert file_bytes(store_dir, "wal.bin") == b"".join(log_put(k, v) for k, v in puts)
    assert records(store_dir, 4) == expected_records(puts) + [(0, 0, 0, 0)]
    assert file_bytes(store_dir, "keys.bin") == b"xzw"


def test_log_reaches_the_file_in_whole_records(store_dir):
    db = Vantre(store_dir)
    value = b"v" * 77  # 20 + 3 + 77 = 100 bytes per record
    for i in range(81):
        db.set_bytes(f"k{i:02d}", value)
    assert file_size(store_dir, "wal.bin") == 0  # 8100 bytes buffered
    db.set_bytes("k81", value)  # does not fit: the 81 before it are written
    assert file_size(store_dir, "wal.bin") == 8100
    log = parse_log(file_bytes(store_dir, "wal.bin"))
    assert log == [("put", f"k{i:02d}", value) for i in range(81)]
    db.set_bytes("big", b"B" * 9000)  # larger than the buffer: written at once, after k81
    log = parse_log(file_bytes(store_dir, "wal.bin"))
    assert len(log) == 83 and log[-2:] == [("put", "k81", value), ("put", "big", b"B" * 9000)]
    assert db.get_bytes("big") == b"B" * 9000


@pytest.mark.parametrize(
    "op, size, direct",
    [("put", 8191, False), ("put", 8192, True), ("del", 8191, False), ("del", 8192, True)],
)
def test_log_record_as_large_as_the_buffer_is_written_directly(store_dir, op, size, direct):
    db = Vantre(store_dir)
    if op == "put":
        db.set_bytes("k", b"x" * (size - 21))
        record = log_put("k", b"x" * (size - 21))
    else:
        key = "d" * (size - 12)
        assert db.delete(key) is False
        record = log_delete(key)
    assert len(record) == size
    assert file_bytes(store_dir, "wal.bin") == (record if direct else b"")
    del db
    free()
    assert file_bytes(store_dir, "wal.bin") == record


def test_data_file_buffers_and_reads_from_both(store_dir):
    unit = 64 * 1024
    db = Vantre(store_dir)
    expected = []
    while sum(len(v) for _, v in expected) < unit:  # the last one crosses the unit boundary
        assert file_size(store_dir, "vals.bin") == 0
        expected.append(("v%d" % len(expected), bytes([65 + len(expected) % 26]) * 6000))
        db.set_bytes(*expected[-1])
    vals = b"".join(v for _, v in expected)
    assert file_bytes(store_dir, "vals.bin") == vals[:unit]  # exactly the first unit
    expected.append(("d", b"d" * 65536))  # goes to the file at once, after the buffer
    db.set_bytes(*expected[-1])
    assert file_bytes(store_dir, "vals.bin") == vals + b"d" * 65536
    expected.append(("e", b"e"))
    db.set_bytes(*expected[-1])
    assert file_size(store_dir, "keys.bin") == 0
    db.clear_cache()
    # file, buffer, and the piece split at the boundary
    assert db.get_many([k for k, _ in expected]) == expected
    db.persist()
    assert file_bytes(store_dir, "keys.bin") == "".join(k for k, _ in expected).encode()
    assert file_bytes(store_dir, "vals.bin") == b"".join(v for _, v in expected)
    big_key = "K" * 65536
    db.set_bytes(big_key, b"k")
    assert file_bytes(store_dir, "keys.bin") == "".join(k for k, _ in expected).encode() + big_key.encode()
    db.clear_cache()
    assert db.get_bytes(big_key) == b"k" and db.keys()[-1] == big_key


def test_record_table_doubles_when_full(store_dir):
    n = 100000
    keys = [str(i) for i in range(n + 5)]
    db = Vantre(store_dir, cache_size=16)
    put = db.set_bytes
    for k in keys[:n]:
        put(k, k.encode())
    assert file_size(store_dir, "offsets.bin") == n * 24
    put(keys[n], keys[n].encode())
    assert file_size(store_dir, "offsets.bin") == 2 * n * 24
    for k in keys[n + 1:]:
        put(k, k.encode())
    assert db.len() == n + 5
    db.clear_cache()
    assert db.get_many(keys) == [(k, k.encode()) for k in keys]
    del db, put
    free()
    data = file_bytes(store_dir, "offsets.bin")
    assert len(data) == 2 * n * 24
    got = list(RECORD.iter_unpack(data[:(n + 6) * 24]))
    assert got == expected_records([(k, k.encode()) for k in keys]) + [(0, 0, 0, 0)]
    assert file_bytes(store_dir, "keys.bin") == "".join(keys).encode()


# --- read path and value cache ---------------------------------------------


@pytest.mark.parametrize("cache_size", [0, 1, DEFAULT_CACHE])
def test_reads_and_the_cache_entry_count(store_dir, cache_size):
    db = Vantre(store_dir, cache_size=cache_size)
    assert db.get_bytes("never") is None
    assert db.cache_stats() == (0, cache_size)
    db.set_bytes("k", b"v")
    assert db.cache_stats() == (1, cache_size)
    for _ in range(2):  # a hit, and a miss on an absent key, change nothing
        assert (db.get_bytes("k"), db.get_bytes("absent")) == (b"v", None)
        assert db.cache_stats() == (1, cache_size)
    db.clear_cache()
    assert db.cache_stats() == (0, cache_size)
    assert db.get_bytes("k") == b"v"  # a miss caches what it read
    assert db.cache_stats() == (1, cache_size)
    assert db.delete("k") is True  # takes the cached copy with it
    assert db.cache_stats() == (0, cache_size)
    assert db.get_bytes("k") is None
    db.set_bytes("k", b"w")
    assert db.get_bytes("k") == b"w"
    for i, key in enumerate("abcde"):
        db.set_bytes(key, key.encode())
        assert db.cache_stats() == (min(i + 2, max(cache_size, 1)), cache_size)
    db.set_bytes("e", b"again")
    assert db.cache_stats() == (min(6, max(cache_size, 1)), cache_size)


# Least-recently-used eviction. A, B and C are put in that order; then the
# store is persisted (its data files written out) and the values in vals.bin
# are rewritten in upper case with ordinary file writes, which the store sees
# through its shared map. A cached key still reads its own value; a key read
# from the files reads the rewritten one.
VALUES = {"A": b"alpha", "B": b"bravo!", "C": b"charlie"}
ROTATED = {k: v.upper() for k, v in VALUES.items()}
LRU_CASES = {
    # cache size, operations before the rewrite, reads after it as
    # (key, served from the cache; None: deleted)
    "evicts-least-recent": (2, "sA sB gA sC",
                            [("A", True), ("C", True), ("B", False), ("A", False)]),
    "miss-evicts-older": (2, "sA sB gA sC", [("B", False), ("C", True), ("A", False)]),
    "absent-key-evicts-nothing": (2, "sA sB sC gA gZ", [("A", True), ("C", True), ("B", False)]),
    "size-0-holds-one": (0, "sA sB sC", [("C", True), ("B", False), ("C", False)]),
    "all-fit": (3, "sA sB sC gA", [("A", True), ("B", True), ("C", True)]),
    "cleared": (3, "sA sB sC c", [("A", False), ("B", False), ("C", False)]),
    "hit-refreshes": (2, "sA sB sC gB", [("B", True), ("C", True), ("A", False), ("C", True)]),
    # A deleted entry's room is reused: inserting C evicts nothing.
    "delete-frees-an-entry": (2, "sA sB dA sC", [("B", True), ("C", True), ("A", None)]),
    "delete-then-miss": (2, "sA sB sC dB gA", [("C", True), ("A", True), ("B", None)]),
}


@pytest.mark.parametrize("cache_size, ops, reads", LRU_CASES.values(), ids=LRU_CASES.keys())
def test_value_cache_evicts_the_least_recently_used(store_dir, cache_size, ops, reads):
    db = Vantre(store_dir, cache_size=cache_size)
    for op in ops.split():
        if op[0] == "s":
            db.set_bytes(op[1], VALUES[op[1]])
        elif op[0] == "g":
            assert db.get_bytes(op[1]) == VALUES.get(op[1])
        elif op[0] == "d":
            assert db.delete(op[1]) is True
        else:
            db.clear_cache()
    db.persist()
    with open(os.path.join(store_dir, "vals.bin"), "r+b") as f:
        stored = f.read()
        assert stored == b"".join(VALUES.values())
        f.seek(0)
        f.write(stored.upper())
    for key, cached in reads:
        want = None if cached is None else (VALUES if cached else ROTATED)[key]
        assert db.get_bytes(key) == want, (key, cached)


@pytest.mark.parametrize("cache_size", [0, DEFAULT_CACHE])
def test_get_many(store_dir, cache_size):
    db = Vantre(store_dir, cache_size=cache_size)
    db.set_bytes("a", b"1")
    db.set_bytes("b", b"")
    db.set_bytes("gone", b"x")
    db.delete("gone")
    db.clear_cache()
    assert db.get_many([]) == []
    assert db.get_many(["a", "a"]) == [("a", b"1"), ("a", b"1")]
    assert db.get_many(["x", "b", "gone", "a", "x"]) == [
        ("x", None), ("b", b""), ("gone", None), ("a", b"1"), ("x", None)]
    assert db.get_many(("a",)) == [("a", b"1")]

    # Writes made while the key list is being read all land before the
    # first lookup: the batch sees one state.
    class Writing(list):
        def __iter__(self):
            for i, key in enumerate(list.__iter__(self)):
                db.set_bytes("a", str(i).encode())
                if i == 1:
                    db.delete("b")
                yield key

    assert db.get_many(Writing(["a", "b", "a", "b"])) == [("a", b"3"), ("b", None)] * 2


EXIT_CHILD = r"""
import os
from _vantre import Vantre
db = Vantre(PATH)
db.set_bytes("a", b"1")
db.delete("zz")
if MODE == "os._exit":
    os._exit(0)
if MODE == "SystemExit":
    raise SystemExit(0)
"""


@pytest.mark.parametrize("mode, written",
                         [("end", True), ("SystemExit", True), ("os._exit", False)])
def test_buffers_reach_the_files_at_interpreter_exit(store_dir, mode, written):
    # The store is never freed here (PyPy does not free it at exit): the
    # exit itself writes the buffers, unless the process ends abruptly.
    run_child(f"PATH = {store_dir!r}\nMODE = {mode!r}\n" + EXIT_CHILD)
    got = tuple(file_bytes(store_dir, name) for name in ("wal.bin", "keys.bin", "vals.bin"))
    expected = (log_put("a", b"1") + log_delete("zz"), b"a", b"1") if written else (b"", b"", b"")
    assert got == expected


# --- failures inside a write -------------------------------------------------

# The child opens a store, makes the `setup` puts, turns on the shim's write
# failure for one file, attempts `op`, turns it off, checks that nothing
# changed and that the store still works, puts k = b"new", and frees the
# store. Keys and values are given as (key char, key length, value char,
# value length).
FAULT_CHILD = r"""
import gc, os
from _vantre import Vantre

def make(spec):
    kc, kn, vc, vn = spec
    return kc * kn, vc.encode() * vn

path, setup, op, target, errno_ = CASE
db = Vantre(path)
for spec in setup:
    db.set_bytes(*make(spec))
order = db.keys()
before = db.get_many(order)
os.environ["VANTRE_FAIL_ERRNO"] = str(errno_)
os.environ["VANTRE_FAIL_WRITE"] = target
try:
    if op[0] == "put":
        db.set_bytes(*make(op[1]))
    else:
        db.delete(make(op[1])[0])
    err = None
except BaseException as e:
    err = e
del os.environ["VANTRE_FAIL_WRITE"]
assert err is not None and type(err).__name__ == "PanicException", repr(err)
assert str(err).startswith(PREFIX + "OsError { code: %d," % errno_), str(err)
assert (db.len(), db.keys(), db.get_many(order)) == (len(order), order, before)
db.clear_cache()
assert db.get_many(order) == before
if op[0] == "put" and make(op[1])[0] not in order:
    assert db.get_bytes(make(op[1])[0]) is None
db.set_bytes("k", b"new")
db.clear_cache()
assert db.get_bytes("k") == b"new"
del db
gc.collect()
gc.collect()
print("child done")
"""

K_OLD = ("k", 1, "o", 3)
FAULT_CASES = {
    # file, puts before, failing operation, errno
    "vals-flush": ("vals.bin", [K_OLD], ("put", ("k", 1, "v", 70000)), 5),
    "vals-direct": ("vals.bin", [K_OLD, ("p", 1, "P", 70000)],
                    ("put", ("k", 1, "v", 70000)), 28),
    "keys-flush": ("keys.bin", [K_OLD], ("put", ("K", 70000, "x", 1)), 5),
    "keys-direct": ("keys.bin", [K_OLD, ("P", 65536, "p", 1)], ("put", ("K", 70000, "x", 1)), 5),
    "wal-flush-big": ("wal.bin", [K_OLD], ("put", ("k", 1, "w", 9000)), 5),
    "wal-direct": ("wal.bin", [K_OLD, ("p", 1, "P", 9000)], ("put", ("k", 1, "w", 9000)), 28),
    # 24 + 8163 = 8187 bytes buffered: a small record no longer fits.
    "wal-flush-small": ("wal.bin", [K_OLD, ("p", 1, "P", 8142)], ("put", ("k", 1, "m", 3)), 5),
    "wal-flush-delete": ("wal.bin", [K_OLD, ("p", 1, "P", 8142)], ("del", ("k", 1, "", 0)), 5),
    # The value reaches vals.bin before the log fails: those bytes lie past
    # the data end, and the next value is written over them.
    "wal-after-value-written": ("wal.bin", [K_OLD], ("put", ("k", 1, "v", 70000)), 5),
}


@pytest.mark.parametrize("target, setup, op, errno_", FAULT_CASES.values(), ids=FAULT_CASES.keys())
def test_failed_write_leaves_the_store_as_it_was(store_dir, target, setup, op, errno_):
    case = (store_dir, setup, op, target, errno_)
    code = f"CASE = {case!r}\nPREFIX = {PANIC_PREFIX!r}\n" + FAULT_CHILD
    proc = run_child(code, extra_env=shim_env(), timeout=120)
    assert "child done" in proc.stdout, proc.stderr

    puts = [(kc * kn, vc.encode() * vn) for kc, kn, vc, vn in setup] + [("k", b"new")]
    log = parse_log(file_bytes(store_dir, "wal.bin"))
    assert log == [("put", k, v) for k, v in puts], proc.stderr
    assert file_bytes(store_dir, "keys.bin") == "".join(k for k, _ in puts).encode()
    vals = b"".join(v for _, v in puts)
    if target == "wal.bin" and op[1][3] >= 65536:
        # The failed value went straight to vals.bin; b"new" overwrote its start.
        vals += (op[1][2] * op[1][3])[len("new"):].encode()
    assert file_bytes(store_dir, "vals.bin") == vals
    assert records(store_dir, len(puts) + 1) == expected_records(puts) + [(0, 0, 0, 0)]
    model = dict(puts)
    db = Vantre(store_dir)
    assert db.len() == len(model)
    assert db.get_many(list(model)) == list(model.items())
