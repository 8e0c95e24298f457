"""The store inside the process around it: fork, a changed working
directory, files it may not write, failed syncs, other SIGBUS handlers, a
call made from inside a call, and values too large to read back."""
import hashlib
import os
import shutil
import signal
import struct
import subprocess
import tempfile

import pytest
from _vantre import Vantre

from conftest import (SANITIZED, child_env, collect, contents, python_cmd, reopen, run_child,
                      shim_env)

HEAD = "import gc, os, sys\nfrom _vantre import Vantre\n"
EMULATED = bool(os.environ.get("VANTRE_PYTHON_CMD"))


def tree(path):
    """Name -> (mode, size, mtime, digest) of every file in `path`."""
    out = {}
    for name in sorted(os.listdir(path)):
        full = os.path.join(path, name)
        st = os.stat(full)
        with open(full, "rb") as f:
            out[name] = (st.st_mode, st.st_size, st.st_mtime_ns, hashlib.sha1(f.read()).hexdigest())
    return out


def filled(path, n=3, tag=b"v"):
    db = Vantre(path)
    for i in range(n):
        db.set_bytes(f"k{i}", tag + bytes([i]))
    db.persist()
    del db
    collect()


def child(args, **kwargs):
    return subprocess.run(python_cmd() + args, env=child_env(), capture_output=True, text=True,
                          timeout=240, **kwargs)


# -- fork ---------------------------------------------------------------------

CHILD_WRITES = """
    for call in (lambda: db.set_bytes("k", b"child"), lambda: db.get_bytes("k"), db.persist):
        try:
            call()
            raise AssertionError("no error")
        except RuntimeError as e:
            assert "another process" in str(e), e
    del db
    gc.collect()
"""


@pytest.mark.parametrize("in_child", ["", CHILD_WRITES])
def test_forked_child_leaves_the_parents_store_alone(store_dir, in_child):
    # The child ends with sys.exit, so the exit flush runs there too.
    run_child(HEAD + f"""
db = Vantre({store_dir!r})
db.set_bytes("k", b"old")
db.persist()
db.set_bytes("k", b"new")
pid = os.fork()
if pid == 0:{in_child}
    sys.exit(0)
assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
db.set_bytes("after", b"a")
""")
    assert contents(reopen(store_dir)) == [("k", b"new"), ("after", b"a")]


def test_multiprocessing_fork_child_gets_runtime_error(store_dir):
    out = run_child(HEAD + f"""
import multiprocessing
db = Vantre({store_dir!r})
db.set_bytes("k", b"parent")

def target(q):
    try:
        db.set_bytes("k", b"child")
    except RuntimeError as e:
        q.put(str(e))

ctx = multiprocessing.get_context("fork")
q = ctx.Queue()
p = ctx.Process(target=target, args=(q,))
p.start()
print(q.get(timeout=60))
p.join()
""").stdout
    assert "opened by another process" in out
    assert contents(reopen(store_dir)) == [("k", b"parent")]


def test_parent_reopens_while_forked_child_lives(store_dir):
    run_child(HEAD + f"""
db = Vantre({store_dir!r})
db.set_bytes("k", b"1")
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.read(r, 1)  # lives until the parent is done
    os._exit(0)
del db
gc.collect(); gc.collect()
db = Vantre({store_dir!r})  # no BlockingIOError: the child holds no lock
db.set_bytes("k", b"2")
os.write(w, b"x")
os.waitpid(pid, 0)
""")
    assert contents(reopen(store_dir)) == [("k", b"2")]


# -- working directory --------------------------------------------------------

def test_relative_open_keeps_its_directory_after_chdir(tmp_path, monkeypatch):
    decoy = str(tmp_path / "decoy" / "store")
    filled(decoy, tag=b"decoy")
    before = tree(decoy)
    (tmp_path / "real").mkdir()
    monkeypatch.chdir(tmp_path / "real")
    db = Vantre("store")
    model = {f"k{i}": b"real%d" % i for i in range(300)}
    for k, v in model.items():
        db.set_bytes(k, v)
    db.persist()
    monkeypatch.chdir(tmp_path / "decoy")
    for i in range(0, 300, 2):
        model[f"k{i}"] = b"again%d" % i
        db.set_bytes(f"k{i}", model[f"k{i}"])
    db.persist()
    db.vacuum()
    db.set_bytes("last", b"L")
    model["last"] = b"L"
    db.persist()
    del db
    collect()
    assert tree(decoy) == before
    assert dict(contents(Vantre(str(tmp_path / "real" / "store")))) == model


# -- files the process may not write ------------------------------------------

@pytest.fixture
def shared_dir():
    """A directory that another user may enter; removed afterwards."""
    path = tempfile.mkdtemp(prefix="vantre-ro-")
    os.chmod(path, 0o755)
    yield path
    os.chmod(os.path.join(path, "store"), 0o755)
    shutil.rmtree(path)


@pytest.mark.skipif(EMULATED, reason="runs the child as another user")
@pytest.mark.parametrize("dir_mode", [0o555, 0o777])
def test_unwritable_store_fails_and_changes_nothing(shared_dir, dir_mode):
    path = os.path.join(shared_dir, "store")
    filled(path)
    db = Vantre(path)
    db.set_bytes("in-log", b"x")  # a log that a replay acts on
    del db
    collect()
    for name in os.listdir(path):
        os.chmod(os.path.join(path, name), 0o444)
    os.chmod(path, dir_mode)
    before = tree(path)
    user = 65534 if os.geteuid() == 0 else None
    proc = child(["-c", HEAD + f"""
try:
    Vantre({path!r})
except BaseException as e:
    print(type(e).__name__)
"""], user=user, group=user)
    assert proc.stdout.split() in (["PanicException"], ["PermissionError"]), proc
    assert tree(path) == before


# -- failed syncs -------------------------------------------------------------

def sync_child(path, var, value, action, then):
    """Code for a child that writes, runs `action` with the shim variable
    set, then the lines `then`; attempt() prints "ok" or the OSError."""
    return HEAD + f"""
def attempt(call):
    try:
        call()
        print("ok")
    except OSError as e:
        print(type(e).__name__, e)
db = Vantre({path!r})
db.set_bytes("a", b"1")
db.set_bytes("b", b"2")
db.delete("b")
os.environ[{var!r}] = {value!r}
attempt(db.{action})
del os.environ[{var!r}]
{then}
"""


@pytest.mark.parametrize("n", ["1", "2", "3"])
def test_failed_sync_is_remembered_until_reopen(store_dir, n):
    then = """
db.set_bytes("c", b"3")  # writes and reads go on
assert db.get_bytes("a") == b"1"
attempt(db.persist)
attempt(db.vacuum)
"""
    out = run_child(sync_child(store_dir, "VANTRE_FAIL_SYNC", n, "persist", then),
                    extra_env=shim_env()).stdout.splitlines()
    assert len(out) == 3 and out[0].startswith("OSError"), out
    assert all("reopen the store" in line and "os error 5" in line for line in out[1:]), out
    db = reopen(store_dir)
    db.persist()
    db.vacuum()
    assert contents(db) == [("a", b"1"), ("c", b"3")]


def test_failed_directory_sync_after_vacuum_commit_keeps_later_writes(store_dir):
    filled(store_dir)
    then = """
db.set_bytes("a", b"2")
db.set_bytes("c", b"3")
attempt(db.persist)  # refused: the failed sync stands until reopen
"""
    code = sync_child(store_dir, "VANTRE_FAIL_SYNC_AFTER", "snapshot.bin.vac", "vacuum", then)
    out = run_child(code, extra_env=shim_env()).stdout.splitlines()
    assert len(out) == 2 and all(line.startswith("OSError") for line in out), out
    db = reopen(store_dir)
    assert dict(contents(db)) == {"k0": b"v\0", "k1": b"v\1", "k2": b"v\2", "a": b"2", "c": b"3"}
    assert not [n for n in os.listdir(store_dir) if n.endswith(".vac")]


# -- other SIGBUS handlers ----------------------------------------------------

SIGBUS_CHILD = HEAD + """
import faulthandler, signal, time
path, mode = sys.argv[1:]
if mode == "faulthandler-before":
    faulthandler.enable()
db = Vantre(path, cache_size=0)
for i in range(200):
    db.set_bytes(f"k{i}", bytes([i]) * 4096)
db.persist()  # restored from the snapshot, reads of other keys go through offsets.bin
del db
gc.collect(); gc.collect()
db = Vantre(path, cache_size=0)
assert db.get_bytes("k199") == bytes([199]) * 4096  # read through the map
if mode == "faulthandler-after":
    faulthandler.enable()
if mode == "python-after":
    signal.signal(signal.SIGBUS, lambda *args: print("python handler"))
time.sleep(0.02)  # the guard checks its place at most every few milliseconds
for name, size, key in (("vals.bin", 40960, "k150"), ("offsets.bin", 0, "k3")):
    with open(os.path.join(path, name), "r+b") as f:
        os.ftruncate(f.fileno(), size)
    try:
        db.get_many([key]) if name == "offsets.bin" else db.get_bytes(key)
    except BaseException as e:
        print(name, type(e).__name__, "fill whole buffer" in str(e))
if mode in ("default", "faulthandler-before") and not os.environ.get("VANTRE_PYTHON_CMD"):
    # Not a guarded access: handed on to the action found at open, which
    # ends the process. (The emulator delivers a signal a process sends
    # itself its own way.)
    os.kill(os.getpid(), signal.SIGBUS)
"""


@pytest.mark.parametrize("mode", ["default", "faulthandler-before", "faulthandler-after",
                                  "python-after"])
def test_guard_holds_beside_other_sigbus_handlers(tmp_path, mode):
    proc = child(["-c", SIGBUS_CHILD, str(tmp_path / "s"), mode])
    assert proc.stdout.splitlines() == ["vals.bin PanicException True",
                                        "offsets.bin PanicException True"], proc
    killed = mode in ("default", "faulthandler-before") and not EMULATED
    if killed and SANITIZED:
        return  # the sanitizer's own handler ends the process its way
    assert proc.returncode == (-signal.SIGBUS if killed else 0), proc
    assert ("Fatal Python error: Bus error" in proc.stderr) == (killed and mode != "default"), proc


# -- a call from inside a call ------------------------------------------------

def test_finalizer_reading_the_store_during_a_read_succeeds(store_dir):
    # Finalizers of garbage cycles run whenever the collector gets to them,
    # in the middle of a get when it runs from an allocation there; reads
    # make their results only once the store's locks are released.
    run_child(HEAD + f"""
db = Vantre({store_dir!r}, cache_size=1)
db.set_bytes("k", b"v" * 200000)
seen = []

class Reader:
    def __init__(self):
        self.cycle = self
    def __del__(self):
        try:
            seen.append(db.get_bytes("k") is not None)
        except RuntimeError:  # the read found the store's locks taken
            seen.append(False)

for i in range(20000):
    Reader()
    junk = [object() for _ in range(20)]
    db.get_bytes("k")
    db.get_many(["k", "k"])
gc.collect()
assert seen and all(seen), seen
""")


# -- values too large for the platform ----------------------------------------

@pytest.mark.skipif(struct.calcsize("P") != 4, reason="the limit applies to 32-bit processes")
@pytest.mark.parametrize("path", ["module", "capi"])
def test_value_too_large_to_read_back_is_refused(store_dir, path):
    if path == "capi":
        _capi = pytest.importorskip("vantre._capi")
        if not _capi.load():
            pytest.skip("the C interface is not built")
    db = Vantre(store_dir) if path == "module" else _capi.Vantre(store_dir)
    db.set_bytes("k", b"small")
    wal = os.path.getsize(os.path.join(store_dir, "wal.bin"))
    with pytest.raises(OverflowError):
        db.set_bytes("k", bytes((128 << 20) + 1))
    assert db.get_bytes("k") == b"small" and db.len() == 1
    assert os.path.getsize(os.path.join(store_dir, "wal.bin")) == wal


@pytest.mark.skipif(EMULATED or SANITIZED, reason="address-space limit under emulation or "
                    "the sanitizers' shadow memory")
def test_failed_result_allocation_is_memory_error(store_dir):
    out = run_child(HEAD + f"""
import resource
db = Vantre({store_dir!r})
db.set_bytes("big", bytes(64 << 20))
db.set_bytes("small", b"s")
with open("/proc/self/status") as f:
    vm = int([l for l in f if l.startswith("VmSize")][0].split()[1]) * 1024
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm + (32 << 20), hard))
for call in (lambda: db.get_bytes("big"), lambda: db.get_many(["small", "big"])):
    try:
        call()
    except MemoryError:
        print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert db.get_many(["small", "big"]) == [("small", b"s"), ("big", bytes(64 << 20))]
""").stdout
    assert out.split() == ["MemoryError", "MemoryError"]
