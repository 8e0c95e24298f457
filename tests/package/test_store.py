"""vantre.Store: the mapping protocol, closing, sync, read-only sharing,
the errors it raises, and the dbm face."""
import array
import errno
import gc
import inspect
import json
import os
import shelve
import shutil
import subprocess
import tempfile
import warnings

import pytest

import vantre
from vantre import _store

import vantre.dbm
from conftest import child_env, digest, fill, python_cmd, run, shim_env


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
        keys = [f"k{i:02}" for i in range(25)] + ["absent"]
        assert db.get_many(iter(keys)) == [db.get(k) for k in keys]  # spans 4 batches
        with pytest.raises(TypeError):
            db.get_many(["k01", 1])
        db["o"] = db["k"] = b"x"
        for text in ("ok", b"ok"):  # not read letter by letter
            with pytest.raises(TypeError):
                db.get_many(text)


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


def test_close_releases_at_once_whatever_holds_the_store(store_dir):
    db = vantre.open(store_dir)
    db["k"] = b"v"
    others = [db, iter(db.items()), db._native]  # references a close must not wait for
    try:
        raise RuntimeError
    except RuntimeError as e:
        others.append(e.__traceback__)
    db.close()
    with vantre.open(store_dir) as again:  # no collection in between
        assert again["k"] == b"v"
    with pytest.raises(vantre.ClosedStoreError):
        next(others[1])
    # A hot loop at module level, then a reopen in the same process.
    code = f"""
import vantre
with vantre.open({store_dir!r}) as db:
    for i in range(100000):
        db[str(i)] = b"x"
with vantre.open({store_dir!r}) as db:
    print(len(db))
"""
    proc = run(["-c", code])
    assert proc.stdout.strip() == "100001", proc.stderr


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

def _panic(message, **data):
    # A stand-in with the native exception's name, place in the hierarchy
    # and data; the real one is raised in test_full_disk_raises_store_io_error.
    panic = type("PanicException", (BaseException,), {})(message)
    for name in ("errno", "kind", "file"):
        setattr(panic, name, data.get(name))
    return panic


_REOPEN = "open it again"
_RECOVER = "`vantre recover "


@pytest.mark.parametrize(
    "native, cls, code, filename, hint",
    [
        (_panic("unwrap: OsError", errno=28, kind="os", file="/s/vals.bin"), vantre.StoreIOError, 28,
         "/s/vals.bin", _REOPEN),
        # A file cut short: reopening cannot mend it, the tool shows and recovers.
        (_panic("unwrap: EngineError", kind="unexpected_eof", file=None), vantre.StoreIOError, errno.EIO,
         None, _RECOVER),
        (_panic("range end index 9 out of range"), vantre.StoreIOError, errno.EIO, None, _REOPEN),
        (_panic("unwrap: OsError", errno=13, kind="os", file="/s/offsets.bin"), PermissionError, 13,
         "/s/offsets.bin", _REOPEN),
    ],
)
def test_native_failures_are_mapped_by_their_data(store_dir, native, cls, code, filename, hint):
    with vantre.open(store_dir) as db:
        db._native, real = _Failing(native), db._native
        with pytest.raises(cls) as caught:
            db["k"] = b"v"
        db._native = real
    e = caught.value
    assert isinstance(e, vantre.StoreIOError) and isinstance(e, Exception)
    assert (e.errno, e.filename) == (code, filename or store_dir) and e.__cause__ is native
    assert hint in e.strerror and "unwrap" not in str(e)
    assert (_REOPEN in e.strerror) == (hint == _REOPEN)


class _Failing:
    def __init__(self, exc):
        self.exc = exc

    def set_bytes(self, key, value):
        raise self.exc


def test_wrong_keys_and_values_raise_type_error_in_the_package_words(store_dir):
    with vantre.open(store_dir) as db:
        for call in (lambda: 1 in db, lambda: db.get(1), lambda: db[1], lambda: db.__setitem__(1, b"")):
            with pytest.raises(TypeError, match="keys are str, not int"):
                call()
        for value in ([1, 2], "text", None):
            with pytest.raises(TypeError, match="values are bytes-like"):
                db["k"] = value
        with pytest.raises(ValueError, match="UTF-8"):
            db["\udc80"] = b""
        db["a"] = array.array("i", [1, 2])
        db["m"] = memoryview(b"xyz")[::2]
        assert db["a"] == array.array("i", [1, 2]).tobytes() and db["m"] == b"xz"


def test_mapping_methods_behave_as_dicts(store_dir):
    class KeysOnly:  # not a Mapping, not iterable as pairs: read through keys()
        def keys(self):
            return ["p", "q"]

        def __getitem__(self, key):
            return key.encode()

    with vantre.open(store_dir) as db:
        db.update(KeysOnly(), r=b"r")
        assert dict(db) == {"p": b"p", "q": b"q", "r": b"r"}
        with pytest.raises(ValueError):
            db.update([("x", b"1", b"extra")])
        assert db.popitem() == ("r", b"r")  # the last written, as dict's
        assert db.setdefault("p", b"new") == b"p" and db.setdefault("s", b"s") == b"s"
        with pytest.raises(TypeError):
            db.setdefault("t")  # None cannot be stored
        assert db.pop("q") == b"q" and db.pop("q", None) is None
        db.clear()
        with pytest.raises(KeyError):
            db.popitem()


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
    assert e.errno == errno.ENOSPC and e.strerror.startswith(os.strerror(errno.ENOSPC)), e
    assert e.filename.endswith("vals.bin") and "free some space" in e.strerror, e
    assert type(e.__cause__).__name__ == "PanicException"
    print("translated")
"""
    proc = run(["-c", code], shim_env(VANTRE_FAIL_ERRNO=28))
    assert proc.returncode == 0 and proc.stdout.strip() == "translated", proc.stderr
    assert "panic" not in proc.stderr, proc.stderr


def test_failed_reads_print_nothing_and_point_at_the_tool(tmp_path):
    # Data files cut short under open stores: every read through the
    # package raises StoreIOError and prints nothing, on every path to the
    # engine, while the native class keeps its diagnostic.
    code = f"""
import json, os, sys, _vantre, vantre

def cut(path):
    os.truncate(os.path.join(path, "vals.bin"), 0)

with vantre.open({str(tmp_path / "package")!r}, cache_size=0) as db:
    db.update({{f"k{{i}}": b"value %d" % i for i in range(40)}})
    db.persist()
    cut(db.path)
    failures = []
    for key in list(db)[:-1]:  # the last value is still in memory
        try:
            db[key]
        except vantre.StoreIOError as e:
            failures.append(e)
    try:
        db.get_many(list(db)[:-1])
    except vantre.StoreIOError as e:
        failures.append(e)
print(json.dumps([len(failures), sorted({{e.errno for e in failures}}),
                  sorted({{e.strerror for e in failures}})]), flush=True)
sys.stderr.write("native:\\n")
sys.stderr.flush()
native = _vantre.Vantre({str(tmp_path / "native")!r}, 0)
native.set_bytes("k", b"value")
native.set_bytes("last", b"value")
native.persist()
cut({str(tmp_path / "native")!r})
try:
    native.get_bytes("k")
except BaseException as e:
    print(type(e).__name__)
"""
    proc = run(["-c", code])
    assert proc.returncode == 0, proc.stderr
    report, native = proc.stdout.splitlines()
    count, codes, (text,) = json.loads(report)
    assert (count, codes, native) == (40, [errno.EIO], "PanicException"), proc.stdout
    assert "close the store" not in text and "open it again" not in text, text
    assert f"vantre check {tmp_path / 'package'}" in text and f"vantre recover {tmp_path / 'package'} NEW_DIR" in text
    package_err, native_err = proc.stderr.split("native:\n")
    assert package_err == "", package_err
    assert native_err.startswith("_vantre: panic at ") and native_err.count("panic at") == 1, native_err


def test_a_file_in_the_directory_place_is_one_error_for_all(tmp_path):
    file = tmp_path / "file"
    file.write_bytes(b"")
    raised = []
    for path in (file, file / "store"):
        for options in ({}, {"readonly": True}, {"create": False}):
            with pytest.raises(vantre.StoreNotADirectoryError) as refused:
                vantre.open(path, **options)
            e = refused.value
            assert isinstance(e, NotADirectoryError) and isinstance(e, vantre.StoreIOError)
            assert (e.errno, e.filename) == (errno.ENOTDIR, str(path))
            raised.append(e.strerror)
    assert set(raised) == {f"{os.strerror(errno.ENOTDIR)}; a file stands where the store's "
                           "directory should be: choose another path"}
    assert file.read_bytes() == b""


def _tear_log(path):
    with open(os.path.join(path, "wal.bin"), "ab") as f:
        f.write(b"\x00\x00")


def test_the_warning_of_a_cut_log_names_the_callers_line(store_dir):
    fill(store_dir)
    for how in ("vantre.open", "vantre.dbm.open"):
        _tear_log(store_dir)
        with pytest.warns(RuntimeWarning, match="wal.bin.cut") as caught:
            if how == "vantre.open":
                db, line = vantre.open(store_dir), inspect.currentframe().f_lineno
            else:
                db, line = vantre.dbm.open(store_dir, "w"), inspect.currentframe().f_lineno
        db.close()
        assert [(w.filename, w.lineno) for w in caught] == [(__file__, line)], how
    # Warnings made errors: the open fails and leaves the directory free.
    _tear_log(store_dir)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            vantre.open(store_dir)
    with vantre.open(store_dir) as db:
        assert len(db) == 45


def test_every_error_class_is_exported():
    classes = {name for name, value in vars(_store).items()
               if isinstance(value, type) and issubclass(value, BaseException)
               and value.__module__ == _store.__name__ and not name.startswith("_")}
    assert classes == {"StoreIOError", "StorePermissionError", "StoreFileNotFoundError",
                       "StoreBlockingIOError", "StoreNotADirectoryError", "ClosedStoreError"}
    assert classes <= set(vantre.__all__)
    for name in classes:
        assert getattr(vantre, name) is getattr(_store, name)


def test_hints_name_only_what_the_caller_passed(tmp_path):
    for options in ({}, {"readonly": True}, {"create": False}):
        with pytest.raises(vantre.StoreFileNotFoundError) as refused:
            vantre.open("", **options)
        assert refused.value.strerror.endswith("; the path is empty: name the store's directory")
        with pytest.raises(vantre.StoreFileNotFoundError) as refused:
            vantre.open(tmp_path / "missing", **(options or {"create": False}))
        text = refused.value.strerror
        named = [option for option in ("create=False", "readonly=True") if option in text]
        assert named == ([f"{k}={v}" for k, v in options.items()] or ["create=False"]), text


def test_store_that_may_not_be_written_is_refused_unchanged():
    # Files and directory without write permission for the opener: root
    # opens as an unprivileged user instead.
    top = tempfile.mkdtemp()
    try:
        path = os.path.join(top, "store")
        expected = fill(path)
        for name in os.listdir(path) + [""]:
            os.chmod(os.path.join(path, name), 0o555 if not name else 0o444)
        os.chmod(top, 0o755)
        before = digest(path)
        code = f"""
import vantre
try:
    vantre.open({path!r})
except PermissionError as e:
    assert isinstance(e, vantre.StoreIOError) and e.filename.startswith({path!r}), e
    assert "readonly=True" in e.strerror, e
else:
    raise AssertionError("opened")
# A store that cannot be created: readonly=True would not help.
try:
    vantre.open({path!r} + "/sub")
except PermissionError as e:
    assert "readonly" not in e.strerror and "cannot be created here" in e.strerror, e
else:
    raise AssertionError("opened")
with vantre.open({path!r}, readonly=True) as db:
    print(len(db))
"""
        user = {"user": 65534, "group": 65534} if os.geteuid() == 0 else {}
        proc = run(["-c", code], **user)
        assert proc.returncode == 0 and proc.stdout.strip() == str(len(expected)), proc.stderr
        assert digest(path) == before and sorted(os.listdir(path)) == sorted(before)
    finally:
        os.chmod(os.path.join(top, "store"), 0o755)
        shutil.rmtree(top)


# ------------------------------------------------------- sync and read-only

def test_sync_syncs_the_log_and_writes_no_snapshot(store_dir, tmp_path):
    trace = tmp_path / "trace"
    code = f"""
import os, vantre
db = vantre.open({store_dir!r})
db.update({{f"k{{i}}": b"v" for i in range(1000)}})
db.persist()
db["late"] = b"x"
open({str(trace)!r}, "w").close()
db.sync()
os._exit(0)  # no teardown: only what sync wrote out remains
"""
    proc = run(["-c", code], shim_env(VANTRE_TRACE=trace))
    assert proc.returncode == 0, proc.stderr
    calls = trace.read_text().split("\n")
    assert any("sync" in c and "wal.bin" in c for c in calls), calls
    assert not any("snapshot" in c for c in calls), calls
    with vantre.open(store_dir) as db:
        assert db["late"] == b"x" and len(db) == 1001


def test_readonly_stores_share_and_exclude_writers(store_dir):
    fill(store_dir)  # its log holds records after the snapshot
    with vantre.open(store_dir) as db:  # and a key put and deleted, one rewritten
        db["gone"] = b"x"
        del db["gone"]
        db["k20"] = b"again"
        expected, order = dict(db), list(db)
    before = digest(store_dir)
    holder = subprocess.Popen(  # a reader in another process, until its stdin closes
        python_cmd() + ["-c", f"import vantre, sys; db = vantre.open({store_dir!r}, readonly=True); "
                              "print(len(db), flush=True); sys.stdin.read()"],
        env=child_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline().strip() == str(len(expected))
    with pytest.raises(BlockingIOError):
        vantre.open(store_dir)
    with vantre.open(store_dir, readonly=True) as a, vantre.open(store_dir, readonly=True) as b:
        assert dict(a) == dict(b) == expected and len(a) == len(expected) and a.readonly
        assert list(a) == order and "gone" not in a
        with pytest.raises(BlockingIOError) as refused:
            vantre.open(store_dir)
        assert refused.value.errno == errno.EAGAIN
        with pytest.raises(vantre.StoreIOError, match="read-only") as write:
            a["k"] = b"v"
        assert write.value.errno == errno.EBADF
        for call in (lambda: a.__delitem__("k0"), a.persist, a.vacuum):
            with pytest.raises(vantre.StoreIOError):
                call()
        assert a.sync() is None  # nothing to write
    holder.communicate("")
    assert digest(store_dir) == before
    with vantre.open(store_dir) as writer:
        with pytest.raises(BlockingIOError):
            vantre.open(store_dir, readonly=True)


def test_open_without_create_needs_a_store(tmp_path):
    missing, empty = tmp_path / "missing", tmp_path / "empty"
    empty.mkdir()
    for path, options in ((missing, {}), (empty, {}), (missing, {"readonly": True})):
        with pytest.raises(FileNotFoundError) as e:
            vantre.open(path, create=False, **options)
        assert isinstance(e.value, vantre.StoreIOError) and e.value.filename == str(path)
    with vantre.open(empty, readonly=True) as db:
        assert len(db) == 0
    assert not missing.exists() and list(empty.iterdir()) == []


# ------------------------------------------------------------- dbm face

def test_dbm_face_and_shelve(store_dir):
    with pytest.raises(vantre.dbm.error) as missing:
        vantre.dbm.open(store_dir)  # 'r' opens only an existing store
    assert missing.value.errno == errno.ENOENT and issubclass(vantre.dbm.error, OSError)
    with vantre.dbm.open(store_dir, "c") as db:
        db[b"a"] = b"1"
        db["b"] = "2"
        assert db.keys() == [b"a", b"b"] and db["a"] == b"1" and b"b" in db
        assert db.get("x") is None and db.setdefault("c") == b"" and len(db) == 3
        with pytest.raises(TypeError):
            db[1]
        with pytest.raises(ValueError):
            db[b"\xff"] = b""
    with vantre.dbm.open(store_dir, "r") as db:
        with pytest.raises(vantre.dbm.error):
            db["a"] = b"2"
    with shelve.Shelf(vantre.dbm.open(store_dir, "n")) as shelf:
        shelf["obj"] = {"x": [1, 2]}
    with shelve.Shelf(vantre.dbm.open(store_dir, "w")) as shelf:
        assert dict(shelf) == {"obj": {"x": [1, 2]}}
    db = vantre.dbm.open(store_dir, "w")
    db.close()
    with pytest.raises(vantre.dbm.error):
        db["obj"]
