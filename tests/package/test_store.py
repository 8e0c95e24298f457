"""vantre.Store: the mapping protocol, closing, and the errors it raises."""
import gc
import os

import pytest

import vantre
from vantre import _store

from conftest import fill, run, shim_env


# ------------------------------------------------------------ mapping protocol

def test_item_access_and_key_errors(store_dir):
    with vantre.open(store_dir) as db:
        db["a"] = b"1"
        db["b"] = bytearray(b"2")
        assert db["a"] == b"1" and db["b"] == b"2"
        with pytest.raises(KeyError) as missing:
            db["nope"]
        assert missing.value.args == ("nope",)
        del db["a"]
        with pytest.raises(KeyError):
            del db["a"]
        assert "a" not in db and "b" in db
        assert 3 not in db  # not a str: absent, not a TypeError
        with pytest.raises(TypeError):
            db[3] = b"x"
        assert db.get("a") is None and db.get("a", b"d") == b"d" and db.get("b", b"d") == b"2"
        assert db.pop("b") == b"2" and len(db) == 0


def test_iteration_and_views_in_write_order(store_dir):
    with vantre.open(store_dir) as db:
        db.update({"x": b"1", "y": b"2"})
        db.update([("z", b"3")], w=b"4")
        db["x"] = b"5"  # a rewrite moves the key to the end
        assert list(db) == ["y", "z", "w", "x"]
        assert list(db.items()) == [("y", b"2"), ("z", b"3"), ("w", b"4"), ("x", b"5")]
        assert list(db.values()) == [b"2", b"3", b"4", b"5"]
        assert dict(db) == {"x": b"5", "y": b"2", "z": b"3", "w": b"4"}
        assert ("x", b"5") in db.items() and ("x", b"1") not in db.items()
        db.clear()
        assert len(db) == 0 and list(db) == []


def test_views_read_in_batches_and_skip_keys_deleted_meanwhile(store_dir, monkeypatch):
    monkeypatch.setattr(_store, "BATCH", 7)
    with vantre.open(store_dir) as db:
        for i in range(30):
            db[f"k{i:02}"] = bytes([i])
        seen = []
        for key, value in db.items():
            seen.append(key)
            if key == "k03":
                del db["k20"]  # in a later batch
        assert len(seen) == 29 and "k20" not in seen
        assert list(db.values()) == [bytes([i]) for i in range(30) if i != 20]


# -------------------------------------------------------------- lifetime

def test_close_frees_the_directory_and_keeps_buffered_writes(store_dir):
    db = vantre.open(store_dir)
    db["k"] = b"v"  # its log record is still in the store's buffer
    assert os.path.getsize(os.path.join(store_dir, "wal.bin")) == 0
    db.close()
    # Only the native store's teardown writes the buffer out.
    assert os.path.getsize(os.path.join(store_dir, "wal.bin")) > 0, "close() left the store alive"
    db.close()  # a second close is allowed
    with vantre.open(store_dir) as again:
        assert again["k"] == b"v"


def test_closed_store_raises(store_dir):
    with vantre.open(store_dir) as db:
        db["k"] = b"v"
    assert db.closed and "closed" in repr(db)
    operations = [
        lambda: db["k"], lambda: db.__setitem__("k", b"v"), lambda: db.__delitem__("k"),
        lambda: "k" in db, lambda: len(db), lambda: list(db), lambda: db.get("k"),
        lambda: list(db.items()), db.persist, db.vacuum, db.stats, db.cache_stats,
        db.clear_cache, lambda: db.update(a=b"1"), lambda: db.__enter__(),
    ]
    for op in operations:
        with pytest.raises(vantre.ClosedStoreError, match="closed store"):
            op()
    assert issubclass(vantre.ClosedStoreError, ValueError)


def test_close_during_iteration_is_seen(store_dir, monkeypatch):
    monkeypatch.setattr(_store, "BATCH", 2)
    db = vantre.open(store_dir)
    db.update({"a": b"1", "b": b"2", "c": b"3"})
    items = iter(db.items())
    next(items)
    db.close()
    next(items)  # the rest of the batch already read
    with pytest.raises(vantre.ClosedStoreError):
        next(items)


def test_reopen_after_close_in_a_loop(store_dir):
    # Under PyPy the native store dies only when collected: close() must
    # collect, or the next open finds the directory still in use.
    for i in range(5):
        with vantre.open(store_dir, cache_size=10) as db:
            assert len(db) == i
            db[f"k{i}"] = b"x"
    gc.collect()


# ------------------------------------------------------ figures and upkeep

def test_stats_and_cache(store_dir):
    expected = fill(store_dir)
    with vantre.open(store_dir, cache_size=3) as db:
        db.clear_cache()  # replaying the log filled it
        assert db.cache_stats() == vantre.CacheStats(0, 3)
        db["k0"], db["k1"]
        stats = db.stats()
        assert stats.keys == 45 and stats.cache.entries == 2 and stats.cache.capacity == 3
        assert stats.snapshot_bytes > 0 and stats.log_bytes > 0 and stats.path == store_dir
        before = db.stats().data_bytes
        db.vacuum()
        assert db.stats().log_bytes == 0 and db.stats().data_bytes < before
        db.persist()
        assert dict(db) == expected


# ---------------------------------------------------------------- errors

def _panic(message):
    # A stand-in with the native exception's name and place in the
    # hierarchy; the real one is raised in test_full_disk_raises_store_io_error.
    panic = type("PanicException", (BaseException,), {})
    return panic(message)


@pytest.mark.parametrize(
    "message, errno, strerror, kind",
    [
        ('called `Result::unwrap()` on an `Err` value: OsError { code: 28, message: "No space left on device" }',
         28, "No space left on device", None),
        ('called `Result::unwrap()` on an `Err` value: EngineError { kind: UnexpectedEof, message: "failed to fill whole buffer" }',
         None, "failed to fill whole buffer", "UnexpectedEof"),
    ],
)
def test_io_panics_become_store_io_error(message, errno, strerror, kind):
    error = _store.io_error_of(_panic(message))
    assert isinstance(error, OSError) and isinstance(error, vantre.StoreIOError)
    assert (error.errno, error.strerror, error.kind) == (errno, strerror, kind)


def test_other_exceptions_pass_through():
    assert _store.io_error_of(_panic("capacity overflow")) is None
    assert _store.io_error_of(RuntimeError('OsError { code: 5, message: "x" }')) is None


def test_full_disk_raises_store_io_error(store_dir):
    # A child whose writes to vals.bin fail with ENOSPC: the first value
    # that does not fit the append buffer must come out as StoreIOError.
    code = f"""
import errno, os, vantre
db = vantre.open({store_dir!r})
os.environ["VANTRE_FAIL_WRITE"] = "vals.bin"
try:
    db["big"] = bytes(1 << 20)
except Exception as e:
    assert isinstance(e, vantre.StoreIOError), type(e)
    assert e.errno == errno.ENOSPC and e.strerror == os.strerror(errno.ENOSPC), e
    assert type(e.__cause__).__name__ == "PanicException"
    print("translated")
"""
    proc = run(["-c", code], shim_env(VANTRE_FAIL_ERRNO=28))
    assert proc.returncode == 0 and proc.stdout.strip() == "translated", proc.stderr
