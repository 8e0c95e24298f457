"""The Python surface of _vantre: the module, the Vantre type, argument
parsing and conversion, result types, error mapping and panics."""
import array
import datetime
import gc
import importlib
import os
import re
import struct
import sys

import pytest

import _vantre
from _vantre import Vantre

from conftest import IS_PYPY, SANITIZED, file_bytes, file_size, run_child, shim_env

METHODS = ["set_bytes", "get_bytes", "delete", "persist", "vacuum", "len", "keys",
           "cache_stats", "clear_cache", "get_many"]
NO_ARG_METHODS = ["persist", "vacuum", "len", "keys", "cache_stats", "clear_cache"]
RANGE_TEXT = "out of range integral type conversion attempted"
OS_ERROR_TEXT = re.compile(r"^\S.* \(os error \d+\)$")
cpython_only = pytest.mark.skipif(IS_PYPY, reason="CPython-only behaviour")


def collect():
    """Frees unreferenced stores (PyPy frees objects only on a collection)."""
    gc.collect()
    gc.collect()


@pytest.fixture
def db(store_dir):
    return Vantre(store_dir)


class Seq:
    """A sequence that is neither a list nor a buffer; `length` may lie or
    be an exception for __len__ to raise."""

    def __init__(self, items, length=None):
        self.items, self.length = list(items), length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


# -- module and type -------------------------------------------------------

def _import_again():
    try:
        del sys.modules["_vantre"]
        return importlib.import_module("_vantre")
    finally:
        sys.modules["_vantre"] = _vantre


def test_module_holds_only_the_type():
    import _vantre as again
    assert again is _vantre
    assert _vantre.__all__ == ["Vantre"]
    assert {k: v for k, v in vars(_vantre).items() if not k.startswith("__")} == {"Vantre": Vantre}
    reloaded = _import_again()
    assert reloaded.Vantre is Vantre and reloaded.__all__ == ["Vantre"]


@cpython_only  # PyPy builds a new module object for every import of an extension
def test_reimport_gives_the_same_module():
    assert _import_again() is _vantre


def test_type_names_methods_and_protocols(db):
    assert (Vantre.__name__, Vantre.__module__) == ("Vantre", "builtins")
    assert [n for n in vars(Vantre) if not n.startswith("_")] == METHODS
    for dunder in ("__len__", "__getitem__", "__contains__", "__iter__"):
        assert not hasattr(Vantre, dunder), dunder
    for use in (len, iter, lambda d: d["a"], lambda d: "a" in d):
        with pytest.raises(TypeError):
            use(db)
    assert db.len() == 0


@cpython_only
def test_text_signatures():
    assert Vantre.__text_signature__ == "(storage_path, cache_size=...)"
    params = {"set_bytes": ", key, val", "get_bytes": ", key", "delete": ", key",
              "get_many": ", keys"}
    for name in METHODS:
        method = getattr(Vantre, name)
        assert method.__text_signature__ == "($self%s)" % params.get(name, ""), name
        assert not method.__doc__, name  # nothing beyond the signature


# -- constructor -----------------------------------------------------------

def _with_path(path, args, kwargs):
    return (tuple(path if a == "P" else a for a in args),
            {k: path if v == "P" else v for k, v in kwargs.items()})


@pytest.mark.parametrize("args, kwargs, capacity", [
    (("P",), {}, 10000),
    (("P", 0), {}, 0),
    (("P",), {"cache_size": 7}, 7),
    ((), {"storage_path": "P", "cache_size": 3}, 3),
    (("P", 4294967295), {}, 4294967295),
    (("P", type("Idx", (), {"__index__": lambda self: 5})()), {}, 5),
    (("P", type("Int", (int,), {})(6)), {}, 6),
])
def test_constructor_accepts(store_dir, args, kwargs, capacity):
    args, kwargs = _with_path(store_dir, args, kwargs)
    assert Vantre(*args, **kwargs).cache_stats() == (0, capacity)


@pytest.mark.parametrize("args, kwargs, exc, text", [
    ((), {}, TypeError, "Vantre.__new__() missing 1 required positional argument: 'storage_path'"),
    (("P", 1, 2), {}, TypeError,
     "Vantre.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (("P",), {"foo": 1}, TypeError, "Vantre.__new__() got an unexpected keyword argument 'foo'"),
    (("P",), {"storage_path": "P"}, TypeError,
     "Vantre.__new__() got multiple values for argument 'storage_path'"),
    (("P", 1), {"cache_size": 1}, TypeError,
     "Vantre.__new__() got multiple values for argument 'cache_size'"),
    (("P", -1), {}, OverflowError, None),
    (("P", 2**32), {}, OverflowError, RANGE_TEXT),
    (("P", "x"), {}, TypeError, "argument 'cache_size': "),
    (("P", 1.0), {}, TypeError, "argument 'cache_size': "),
    ((1,), {}, TypeError,
     "argument 'storage_path': 'int' object cannot be converted to 'PyString'"),
    ((b"P",), {}, TypeError,
     "argument 'storage_path': 'bytes' object cannot be converted to 'PyString'"),
])
def test_constructor_rejects(store_dir, args, kwargs, exc, text):
    args, kwargs = _with_path(store_dir, args, kwargs)
    with pytest.raises(exc) as info:
        Vantre(*args, **kwargs)
    assert type(info.value) is exc
    message = str(info.value)
    if text is not None:
        assert message == text or (text.endswith(": ") and message.startswith(text)), message
    assert not os.path.exists(store_dir)


def test_largest_cache_size_allocates_nothing_up_front(store_dir):
    # Opened under an address-space limit a little above what is in use.
    limit = not SANITIZED and "VANTRE_PYTHON_CMD" not in os.environ
    code = f"""if True:
        import resource, _vantre
        if {limit!r}:
            vm = [l for l in open('/proc/self/status') if l.startswith('VmSize:')]
            room = int(vm[0].split()[1]) * 1024 + (512 << 20)
            hard = resource.getrlimit(resource.RLIMIT_AS)[1]
            resource.setrlimit(resource.RLIMIT_AS, (room, hard))
        db = _vantre.Vantre({store_dir!r}, 4294967295)
        for i in range(100):
            db.set_bytes(str(i), b'v')
        print(db.cache_stats())
    """
    assert run_child(code).stdout.split() == ["(100,", "4294967295)"]


@pytest.mark.parametrize("rel, exc, pattern", [
    ("a\0b", OSError, None),
    ("x/y\0z", OSError, None),  # no "x", nor anything cut at the NUL
    ("\0", OSError, None),
    ("file", FileExistsError, OS_ERROR_TEXT),
    ("file/store", OSError, OS_ERROR_TEXT),
    ("file/a/b", OSError, OS_ERROR_TEXT),
    ("", FileNotFoundError, OS_ERROR_TEXT),
])
def test_unusable_paths(tmp_path, rel, exc, pattern):
    (tmp_path / "file").write_bytes(b"x")
    with pytest.raises(exc) as info:
        Vantre(str(tmp_path / rel) if rel else "")
    assert str(info.value) and (pattern is None or pattern.match(str(info.value))), str(info.value)
    assert os.listdir(tmp_path) == ["file"]


def test_unwritable_location(tmp_path):
    # Root passes permission checks: the child drops to an unprivileged user.
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    code = f"""if True:
        import os, _vantre
        if os.geteuid() == 0:
            os.setgid(65534)
            os.setuid(65534)
        try:
            _vantre.Vantre({str(locked / "store")!r})
        except BaseException as e:
            print(type(e).__name__ + ':' + str(e))
    """
    try:
        out = run_child(code).stdout.strip()
    finally:
        locked.chmod(0o700)
    assert out == "PermissionError:" + os.strerror(13) + " (os error 13)"
    assert os.listdir(locked) == []


def test_write_failures_map_to_oserror_subclasses(store_dir):
    # persist picks the subclass by errno; vacuum always raises OSError itself.
    code = f"""if True:
        import os, _vantre
        db = _vantre.Vantre({store_dir!r})
        for errno, method in [(13, 'persist'), (32, 'persist'), (28, 'persist'), (13, 'vacuum')]:
            db.set_bytes('k', b'v')
            os.environ['VANTRE_FAIL_WRITE'] = 'keys.bin'
            os.environ['VANTRE_FAIL_ERRNO'] = str(errno)
            try:
                getattr(db, method)()
            except BaseException as e:
                print(type(e).__name__ + ':' + str(e))
            del os.environ['VANTRE_FAIL_WRITE']
        db.persist()
    """
    out = run_child(code, extra_env=shim_env()).stdout.splitlines()
    assert out == ["%s:%s (os error %d)" % (name, os.strerror(n), n) for name, n in [
        ("PermissionError", 13), ("BrokenPipeError", 32), ("OSError", 28), ("OSError", 13)]]


# -- argument parsing ------------------------------------------------------

@pytest.mark.parametrize("method, args, kwargs, text", [
    ("set_bytes", (), {}, "missing 2 required positional arguments: 'key' and 'val'"),
    ("set_bytes", ("k",), {}, "missing 1 required positional argument: 'val'"),
    ("set_bytes", (), {"val": b""}, "missing 1 required positional argument: 'key'"),
    ("set_bytes", ("k", b"", b""), {}, "takes 2 positional arguments but 3 were given"),
    ("set_bytes", ("k", b""), {"val": b""}, "got multiple values for argument 'val'"),
    ("get_bytes", ("a", "b"), {}, "takes 1 positional arguments but 2 were given"),
    ("get_bytes", ("a", "b", "c"), {}, "takes 1 positional arguments but 3 were given"),
    ("get_bytes", (), {}, "missing 1 required positional argument: 'key'"),
    ("get_bytes", (), {"key": "a", "k": 2}, "got an unexpected keyword argument 'k'"),
    ("delete", ("a", "b"), {}, "takes 1 positional arguments but 2 were given"),
    ("delete", (), {"keys": "a"}, "got an unexpected keyword argument 'keys'"),
    ("get_many", (), {}, "missing 1 required positional argument: 'keys'"),
    ("get_many", ([],), {"keys": []}, "got multiple values for argument 'keys'"),
])
def test_argument_errors(db, method, args, kwargs, text):
    with pytest.raises(TypeError) as info:
        getattr(db, method)(*args, **kwargs)
    assert str(info.value) == "Vantre.%s() %s" % (method, text)
    assert db.len() == 0


def test_keyword_arguments(db):
    assert db.set_bytes(key="k", val=b"v") is None
    db.set_bytes("j", val=b"w")
    assert db.get_bytes(key="k") == b"v"
    assert db.get_many(keys=["k", "j"]) == [("k", b"v"), ("j", b"w")]
    assert db.delete(key="k") is True
    assert db.keys() == ["j"]


@pytest.mark.parametrize("method", NO_ARG_METHODS)
def test_no_argument_methods_refuse_arguments(db, method):
    for args, kwargs in (((1,), {}), ((), {"x": 1})):
        with pytest.raises(TypeError):
            getattr(db, method)(*args, **kwargs)


# -- conversions -----------------------------------------------------------

def test_str_subclass_key(db):
    db.set_bytes(StrSub("kéy\0"), b"1")
    assert db.get_bytes("kéy\0") == b"1" and db.get_bytes(StrSub("kéy\0")) == b"1"
    (key,) = db.keys()
    assert type(key) is str and key == "kéy\0"
    assert db.delete(StrSub("kéy\0")) is True


T, O, U = TypeError, OverflowError, UnicodeEncodeError
CANNOT = "argument '%s': '%s' object cannot be converted to '%s'"
REFUSED = [  # (call, exception class, exact text, or a prefix ending in ": ", or None)
    (lambda db: db.set_bytes(1, b"x"), T, CANNOT % ("key", "int", "PyString")),
    (lambda db: db.get_bytes(None), T, CANNOT % ("key", "NoneType", "PyString")),
    (lambda db: db.delete(b"a"), T, CANNOT % ("key", "bytes", "PyString")),
    (lambda db: db.set_bytes("\udc80", b"x"), U, None),
    (lambda db: db.get_bytes("a\udc80"), U, None),
    (lambda db: db.delete("\udc80"), U, None),
    (lambda db: db.get_many(["a", "\ud800"]), U, None),
    (lambda db: db.set_bytes("k", "str"), T, "argument 'val': Can't extract `str` to `Vec`"),
    (lambda db: db.set_bytes("k", StrSub("s")), T, "argument 'val': Can't extract `str` to `Vec`"),
    (lambda db: db.set_bytes("k", 5), T, CANNOT % ("val", "int", "Sequence")),
    (lambda db: db.set_bytes("k", {1: 2}), T, CANNOT % ("val", "dict", "Sequence")),
    (lambda db: db.set_bytes("k", type("It", (), {"__iter__": lambda s: iter([1])})()), T,
     CANNOT % ("val", "It", "Sequence")),
    (lambda db: db.set_bytes("k", datetime.date(2000, 1, 1)), T,  # module part of the name dropped
     CANNOT % ("val", "date", "Sequence")),
    (lambda db: db.set_bytes("k", [1, "x"]), T, "argument 'val': "),
    (lambda db: db.set_bytes("k", [256]), O, RANGE_TEXT),
    (lambda db: db.set_bytes("k", [-1]), O, RANGE_TEXT),
    (lambda db: db.set_bytes("k", (0, 255, 1000)), O, RANGE_TEXT),
    (lambda db: db.get_many("abc"), T, "argument 'keys': Can't extract `str` to `Vec`"),
    (lambda db: db.get_many(5), T, CANNOT % ("keys", "int", "Sequence")),
    (lambda db: db.get_many(k for k in "ab"), T, CANNOT % ("keys", "generator", "Sequence")),
    (lambda db: db.get_many(["a", 1]), T, CANNOT % ("keys", "int", "PyString")),
    (lambda db: db.get_many(("a", None)), T, CANNOT % ("keys", "NoneType", "PyString")),
]


@pytest.mark.parametrize("call, exc, text", REFUSED)
def test_refused_arguments(db, call, exc, text):
    db.set_bytes("a", b"1")
    db.clear_cache()
    with pytest.raises(exc) as info:
        call(db)
    assert type(info.value) is exc
    message = str(info.value)
    if text is not None:
        assert message == text or (text.endswith(": ") and message.startswith(text)), message
    # Conversion comes before any read or write.
    assert db.cache_stats()[0] == 0
    assert db.keys() == ["a"] and db.get_bytes("k") is None


def test_refused_arguments_leave_the_log_alone(store_dir):
    db = Vantre(store_dir)
    db.set_bytes("x", b"1")
    del db
    collect()
    db = Vantre(store_dir)
    base = file_size(store_dir, "wal.bin")
    assert base > 0
    for call, exc, _ in REFUSED:
        with pytest.raises(exc):
            call(db)
    del db
    collect()
    assert file_size(store_dir, "wal.bin") == base
    assert Vantre(store_dir).keys() == ["x"]


VALUE = bytes([0, 1, 127, 128, 255])


@pytest.mark.parametrize("make", [
    bytes, bytearray, list, tuple, memoryview, BytesSub, type("ByteArraySub", (bytearray,), {}),
    pytest.param(lambda b: array.array("B", b), id="array"),
    pytest.param(lambda b: memoryview(bytearray(b)), id="memoryview-rw"),
    Seq,
    pytest.param(lambda b: Seq(b, length=RuntimeError("no length")), id="Seq-len-raises"),
    # Lengths that lie: what is read counts, and nothing is reserved beyond it.
    pytest.param(lambda b: Seq(b, length=sys.maxsize), id="Seq-maxsize"),
    pytest.param(lambda b: Seq(b, length=0), id="Seq-zero"),
])
def test_value_forms(db, make):
    db.set_bytes("k", make(VALUE))
    db.set_bytes("e", make(b""))
    db.clear_cache()
    assert db.get_bytes("k") == VALUE and type(db.get_bytes("k")) is bytes
    assert db.get_bytes("e") == b""


def test_get_many_results(db):
    db.set_bytes("a", b"1")
    db.set_bytes("b", b"")
    keys = ["b", StrSub("a"), "missing", "a", "b"]

    class IterList(list):  # a subclass is read through its own iterator
        def __iter__(self):
            return iter(keys)

    for given in (keys, tuple(keys), Seq(keys, length=sys.maxsize), IterList(["junk"])):
        out = db.get_many(given)
        assert type(out) is list
        assert out == [("b", b""), ("a", b"1"), ("missing", None), ("a", b"1"), ("b", b"")]
        assert all(type(pair) is tuple and len(pair) == 2 for pair in out)
        for (key, value), want in zip(out, keys):
            assert type(key) is str and key == want
            assert value is None or type(value) is bytes
    assert db.get_many([]) == [] and db.get_many(()) == []


def test_result_types(db):
    assert db.set_bytes("a", b"1") is None
    assert type(db.get_bytes("a")) is bytes and db.get_bytes("nope") is None
    assert db.delete("a") is True and db.delete("a") is False
    db.set_bytes("b", [50])
    assert type(db.len()) is int and db.len() == 1
    stats = db.cache_stats()
    assert type(stats) is tuple and [type(v) for v in stats] == [int, int]
    keys = db.keys()
    assert type(keys) is list and keys == ["b"] and type(keys[0]) is str
    assert db.clear_cache() is None and db.cache_stats() == (0, 10000)
    assert db.persist() is None and db.vacuum() is None
    assert db.get_bytes("b") == b"2"


# -- panics ----------------------------------------------------------------

def _patch_record(path, at, data):
    with open(os.path.join(path, "offsets.bin"), "r+b") as f:
        f.seek(at)
        f.write(data)


PANIC_CLASSES = []


@pytest.mark.parametrize("corrupt, check", [
    (lambda p: _patch_record(p, 0, struct.pack("<Q", 10**12)),
     lambda m: m.startswith("called `Result::unwrap()` on an `Err` value")
     and "failed to fill whole buffer" in m),
    (lambda p: _patch_record(p, 8, struct.pack("<I", 2**31)), lambda m: m == "capacity overflow"),
], ids=["far-key-offset", "huge-key-length"])
def test_panic_leaves_object_usable(store_dir, capfd, corrupt, check):
    db = Vantre(store_dir)
    db.set_bytes("a", b"1")
    db.set_bytes("z", b"26")  # the last record, which open checks against the snapshot
    db.persist()  # empties the log: the reopened store reads "a" from the files
    del db
    collect()
    corrupt(store_dir)
    db = Vantre(store_dir)
    capfd.readouterr()
    caught = []
    for call in (lambda: db.get_bytes("a"), lambda: db.get_many(["b", "a"])):
        with pytest.raises(BaseException) as info:
            try:
                call()
            except Exception:
                pytest.fail("an ordinary except clause caught the panic")
        caught.append(info.value)
    message = str(caught[0])
    assert check(message), message
    cls = type(caught[0])
    assert type(caught[1]) is cls and str(caught[1]) == message
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (
        "PanicException", "PanicException", "pyo3_runtime")
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert cls.__doc__ and cls.__doc__.strip()
    PANIC_CLASSES.append(cls)
    assert all(c is cls for c in PANIC_CLASSES)
    assert message in capfd.readouterr().err
    # The same object goes on working.
    assert db.len() == 2 and db.get_bytes("z") == b"26"
    db.set_bytes("b", b"2")
    assert db.get_bytes("b") == b"2" and db.get_many(["b"]) == [("b", b"2")]
    assert db.delete("b") is True and db.len() == 2


# -- references and lifetime -----------------------------------------------

@cpython_only
def test_calls_do_not_leak_references(db):
    key, val, surrogate = "".join(["ref", "key"]), b"v" * 100, "bad\udc80"
    keys, bad_keys, bad_val = [key, key], [key, 1], [1, "x"]
    tracked = (db, key, val, surrogate, keys, bad_keys, bad_val)
    failing = (lambda: db.set_bytes("k", bad_val), lambda: db.get_many(bad_keys),
               lambda: db.get_bytes(surrogate), lambda: db.set_bytes(key, surrogate))

    def run():
        for _ in range(50):
            db.set_bytes(key, val)
            db.get_bytes(key), db.get_many(keys), db.keys(), db.len(), db.cache_stats()
            db.delete(key)
            db.get_bytes(key), db.get_many(keys)
            for call in failing:
                try:
                    call()
                except (TypeError, UnicodeEncodeError):
                    pass

    run()
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    run()
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before


def test_freed_object_flushed_everything(store_dir):
    db = Vantre(store_dir)
    for i in range(200):
        db.set_bytes("k%d" % i, bytes([i]) * i)
    db.delete("k7")
    del db
    collect()
    db = Vantre(store_dir)
    assert db.len() == 199 and db.get_bytes("k7") is None
    assert db.get_bytes("k199") == bytes([199]) * 199
    assert sorted(db.keys()) == sorted("k%d" % i for i in range(200) if i != 7)
