"""The engine's plain C interface through cffi (vantre._capi): status codes,
errors as data, and the caller-owned result buffers."""
import os

import pytest

import _vantre
from conftest import reopen, run_child, shim_env

pytest.importorskip("cffi")
from vantre import _capi  # noqa: E402

if not _capi.load():
    pytest.skip("libvantre_capi.so is not built", allow_module_level=True)


def test_values_pass_through_the_reused_buffers(store_dir):
    # Sizes go up and down, so that the single-read buffer and the batch
    # must grow and then be reused for smaller results.
    values = {"small": b"x" * 10, "empty": b"", "large": os.urandom(300_000), "tiny": b"z"}
    db = _capi.Vantre(store_dir)
    for key, value in values.items():
        db.set_bytes(key, value)
    assert {k: db.get_bytes(k) for k in values} == values
    assert db.get_bytes("absent") is None and db.get_bytes("tiny") == b"z"
    assert db.get_many(["large", "absent", "empty"]) == [
        ("large", values["large"]), ("absent", None), ("empty", b"")]
    assert db.get_many(["tiny"]) == [("tiny", b"z")] and db.get_many([]) == []
    assert db.keys() == list(values) and db.len() == 4
    assert db.delete("small") is True and db.delete("small") is False
    db.persist()
    db._close()
    # The same files through the native module.
    db = reopen(store_dir)
    assert db.get_many(["large", "empty", "small"]) == [
        ("large", values["large"]), ("empty", b""), ("small", None)]


def test_one_store_per_directory_whichever_path_opened_it(store_dir):
    db = _capi.Vantre(store_dir)
    for opener in (_capi.Vantre, _vantre.Vantre):
        with pytest.raises(BlockingIOError) as caught:
            opener(store_dir)
        assert caught.value.kind == "would_block"
    db._close()
    with pytest.raises(ValueError):
        db.get_bytes("a")
    _vantre.Vantre(store_dir)  # close released the directory at once


def test_failures_carry_errno_kind_and_file(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    with pytest.raises(OSError) as caught:
        _capi.Vantre(str(blocker / "store"))
    assert caught.value.errno is not None and caught.value.kind == "os"
    with pytest.raises(TypeError):
        _capi.Vantre(str(tmp_path / "s")).set_bytes(1, b"")


def test_io_failure_is_fatal_to_the_write_and_reported_by_persist(store_dir):
    proc = run_child(f"""
import os
from vantre import _capi
db = _capi.Vantre({store_dir!r})
db.set_bytes("kept", b"1")
os.environ["VANTRE_FAIL_WRITE"] = "wal.bin"
try:
    db.set_bytes("big", b"x" * 20000)  # goes straight to the log
except _capi.PanicException as e:
    print("put", e.errno, e.kind, os.path.basename(e.file))
try:
    db.persist()
except OSError as e:
    print("persist", type(e).__name__, e.errno)
del os.environ["VANTRE_FAIL_WRITE"]
db.persist()
db._close()
""", extra_env=shim_env(VANTRE_FAIL_ERRNO=28))
    assert proc.stdout.split("\n")[:2] == ["put 28 os wal.bin", "persist OSError 28"], proc.stdout
    db = reopen(store_dir)
    assert db.get_many(["kept", "big"]) == [("kept", b"1"), ("big", None)]


def test_threads_read_through_their_own_buffers(store_dir):
    import threading
    db = _capi.Vantre(store_dir)
    values = {f"k{i}": bytes([i]) * (1 + 5000 * i) for i in range(4)}
    for key, value in values.items():
        db.set_bytes(key, value)
    wrong = []

    def reader(key):
        for _ in range(2000):
            if db.get_bytes(key) != values[key] or db.get_many([key]) != [(key, values[key])]:
                wrong.append(key)
                return

    threads = [threading.Thread(target=reader, args=(key,)) for key in values]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []


def test_a_finalizer_reading_mid_call_leaves_the_call_its_own_buffers(store_dir):
    # The collector runs finalizers of garbage cycles whenever it gets to
    # them, which can be between a call filling this thread's buffers and
    # reading them back; each call must still get its own key's value.
    import gc
    db = _capi.Vantre(store_dir, cache_size=1)
    values = {"outer": b"o" * 3000, "inner": b"i" * 70, "x" * 1500: b"long key"}
    for key, value in values.items():
        db.set_bytes(key, value)
    wrong = []

    class Reader:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            if db.get_bytes("inner") != values["inner"] or db.get_many(["inner"]) != [("inner", b"i" * 70)]:
                wrong.append("inner")

    keys = list(values) * 20  # a batch read back in a loop
    for i in range(5000):
        Reader()
        junk = [object() for _ in range(20)]  # noqa: F841  (allocations trigger collections)
        for key, value in values.items():
            if db.get_bytes(key) != value:
                wrong.append(key)
        if db.get_many(keys) != [(key, values[key]) for key in keys]:
            wrong.append("batch")
        db.set_bytes("outer", values["outer"])
        db.delete("absent")
    gc.collect()
    assert wrong == []
