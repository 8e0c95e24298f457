"""Shared fixtures for the module tests.

Child interpreters: tests that need a separate process (crash tests, exit
behaviour, fault injection) start it with `run_child`, which uses the
command prefix in VANTRE_PYTHON_CMD when set (an emulated interpreter, for
example) and this interpreter otherwise, with the same module path.
"""
import atexit
import collections
import gc
import os
import pickle
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile

import pytest

import _vantre

HERE = os.path.dirname(os.path.abspath(__file__))
IS_PYPY = sys.implementation.name == "pypy"
SANITIZED = os.environ.get("VANTRE_SANITIZED") == "1"


def python_cmd():
    cmd = os.environ.get("VANTRE_PYTHON_CMD")
    return shlex.split(cmd) if cmd else [sys.executable]


def child_env(extra=None):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(_vantre.__file__))
    parts = [module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(parts))
    if extra:
        env.update(extra)
    return env


def run_child(code, extra_env=None, timeout=300, check=True):
    """Runs `code` in a new interpreter; returns the CompletedProcess."""
    proc = subprocess.run(
        python_cmd() + ["-c", code],
        env=child_env(extra_env),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if check and proc.returncode not in (0,):
        raise AssertionError(
            f"child exited {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        )
    return proc


# offsets.bin of a new or compacted store: room for 100,000 records.
TABLE = 100000 * 24
# snapshot.bin of a store that never held a record.
EMPTY_SNAPSHOT = bytes(8) + bytes.fromhex("0800000000000000" "3a30000000000000") * 2 + bytes(20)

_shim_path = None


def _remove_dir_of(pid, path):
    if os.getpid() == pid:
        shutil.rmtree(path, ignore_errors=True)


def fault_shim():
    """Path of the LD_PRELOAD fault-injection library, built on first use.
    Skips the test when no compiler for this interpreter's platform exists."""
    global _shim_path
    if _shim_path is None:
        cc = os.environ.get("VANTRE_CC", "cc")
        shim_dir = tempfile.mkdtemp(prefix="vantre-shim-")
        # Removed when the test run ends (by this process only, not by a
        # forked child): children that preload the library have all
        # exited by then.
        atexit.register(_remove_dir_of, os.getpid(), shim_dir)
        out = os.path.join(shim_dir, "faultshim.so")
        try:
            # The compiler runs without the sanitizer runtimes this process
            # may have preloaded: their leak check would fail it.
            env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
            subprocess.run(
                [cc, "-shared", "-fPIC", "-O1", "-o", out, os.path.join(HERE, "faultshim.c"), "-ldl"],
                check=True,
                capture_output=True,
                env=env,
            )
        except (OSError, subprocess.CalledProcessError) as e:
            pytest.skip(f"cannot build the fault shim: {e}")
        _shim_path = out
    return _shim_path


def shim_env(**settings):
    """Environment for a child with the fault shim preloaded (after any
    sanitizer runtime already preloaded)."""
    preload = [p for p in os.environ.get("LD_PRELOAD", "").split(":") if p]
    env = {"LD_PRELOAD": ":".join(preload + [fault_shim()])}
    env.update({k: str(v) for k, v in settings.items()})
    return env


@pytest.fixture
def store_dir(tmp_path):
    return str(tmp_path / "store")


def collect():
    """Frees every store that is no longer referenced (PyPy frees only on
    GC): its teardown writes out its buffers and closes its files."""
    gc.collect()
    gc.collect()


def reopen(*args, **kwargs):
    """`reopen(path, **kwargs)`: frees the stores nobody references any more
    and opens `path` again. Use it as `del db; db = reopen(path)`.

    The old form `db = reopen(db, path)` could not free `db`: the caller's
    own variable keeps the old store alive while the new one opens the same
    directory, and its teardown later writes stale buffers into files the
    new store uses. It is refused."""
    if len(args) != 1 or isinstance(args[0], _vantre.Vantre):
        raise TypeError("call as `del db; db = reopen(path)`: a store passed in cannot be freed")
    collect()
    return _vantre.Vantre(args[0], **kwargs)


def parse_wal(data):
    """Decodes a whole wal.bin into ("put", key, value) and ("del", key)
    tuples; fails on anything that is not a whole record."""
    out, pos = [], 0
    while pos < len(data):
        tag, klen = struct.unpack_from("<IQ", data, pos)
        pos += 12
        key = data[pos:pos + klen]
        assert len(key) == klen, f"key cut short at {pos}"
        pos += klen
        if tag == 0:
            (vlen,) = struct.unpack_from("<Q", data, pos)
            pos += 8
            val = data[pos:pos + vlen]
            assert len(val) == vlen, f"value cut short at {pos}"
            pos += vlen
            out.append(("put", key.decode(), val))
        else:
            assert tag == 1, f"bad tag {tag} at {pos - 12 - klen}"
            out.append(("del", key.decode()))
    return out


def _parse_ids(data):
    # The written form of an id set: cookie 12346 (never run containers),
    # container count, (key, cardinality - 1) headers, offsets, containers.
    cookie, count = struct.unpack_from("<II", data, 0)
    assert cookie == 12346, f"cookie {cookie:#x}"
    headers = [struct.unpack_from("<HH", data, 8 + 4 * i) for i in range(count)]
    pos = 8 + 8 * count
    ids = []
    for key, card in headers:
        card += 1
        if card <= 4096:
            lows = struct.unpack_from(f"<{card}H", data, pos)
            pos += 2 * card
        else:
            bits = int.from_bytes(data[pos:pos + 8192], "little")
            pos += 8192
            lows = [i for i in range(65536) if bits >> i & 1]
            assert len(lows) == card
        ids.extend(key << 16 | low for low in lows)
    assert pos == len(data), "trailing bytes in an id set"
    return ids


Snapshot = collections.namedtuple("Snapshot", "index live dead record_count key_end value_end")


def parse_snapshot(data):
    """Decodes snapshot.bin: index {key hash: id}, live and dead id lists
    (ascending), record count, key and value data ends."""
    (n,) = struct.unpack_from("<Q", data, 0)
    pos = 8
    index = {}
    for _ in range(n):
        h, i = struct.unpack_from("<QI", data, pos)
        index[h] = i
        pos += 12
    sets = []
    for _ in range(2):
        (length,) = struct.unpack_from("<Q", data, pos)
        pos += 8
        sets.append(_parse_ids(data[pos:pos + length]))
        pos += length
    count, key_end, value_end = struct.unpack_from("<IQQ", data, pos)
    assert pos + 20 == len(data), "trailing bytes in the snapshot"
    return Snapshot(index, sets[0], sets[1], count, key_end, value_end)


def apply_ops(db, ops, model=None):
    """Runs ("put", key, value) / ("del", key) operations on `db` (unless it
    is None) and on the expected contents `model` (a dict in record id
    order: a put moves the key to the end)."""
    for op in ops:
        if db is None:
            pass
        elif op[0] == "put":
            db.set_bytes(op[1], op[2])
        else:
            db.delete(op[1])
        if op[0] == "put":
            if model is not None:
                model.pop(op[1], None)
                model[op[1]] = op[2]
        elif model is not None:
            model.pop(op[1], None)


def check_contents(db, model, absent=()):
    """Every key of `model` reads back its value, `absent` keys read None,
    and len() and keys() (record id order) agree with `model`."""
    keys = list(model)
    assert db.get_many(keys) == list(model.items())
    absent = [k for k in absent if k not in model]
    assert db.get_many(absent) == [(k, None) for k in absent]
    assert db.len() == len(model)
    assert db.keys() == keys


def tool_finds_sound(store_dir, keys):
    """`vantre check` passes on the store, and `vantre dump` lists exactly
    `keys`."""
    check = subprocess.run(python_cmd() + ["-m", "vantre", "check", store_dir], env=child_env(),
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    dump = subprocess.run(python_cmd() + ["-m", "vantre", "dump", store_dir], env=child_env(),
                          capture_output=True, text=True)
    assert dump.returncode == 0, dump.stderr
    assert sorted(dump.stdout.splitlines()) == sorted('{"key": "%s"}' % k for k in keys)


def file_bytes(path, name):
    with open(os.path.join(path, name), "rb") as f:
        return f.read()


def file_size(path, name):
    return os.path.getsize(os.path.join(path, name))


def contents(db):
    """The store's (key, value) pairs in keys() order; checks len() too."""
    keys = db.keys()
    assert db.len() == len(keys)
    return db.get_many(keys)


def write_ops(tmp_path, ops, name="ops.pickle"):
    """Saves operations for `ops_child`; returns the file's path."""
    path = str(tmp_path / name)
    with open(path, "wb") as f:
        pickle.dump(ops, f, protocol=4)
    return path


def ops_child(path, ops_file, action, persist_at=None, fault=None):
    """Code for a child that opens `path`, runs the operations saved by
    `write_ops` (persisting before operation `persist_at`, if given), sets
    the fault variable fault=(name, value) (see faultshim.c) and calls
    `action` ("persist" or "vacuum") on the store. An OSError from it is
    printed as "TypeName message"; the child then writes "after" = b"A"
    and exits normally."""
    var, value = fault or ("VANTRE_UNUSED", "")
    return f"""
import os, pickle
from _vantre import Vantre
with open({ops_file!r}, "rb") as f:
    ops = pickle.load(f)
db = Vantre({path!r})
for i, op in enumerate(ops):
    if i == {persist_at!r}:
        db.persist()
    if op[0] == "put":
        db.set_bytes(op[1], op[2])
    else:
        db.delete(op[1])
os.environ[{var!r}] = {str(value)!r}
try:
    db.{action}()
except OSError as e:
    print(type(e).__name__, e)
os.environ.pop({var!r})
db.set_bytes("after", b"A")
"""
