"""vantre.dbm against the standard library's own dbm tests, and what those
do not cover: shelve in every flag, paths, the mode bits, messages in the
module's own flags."""
import errno
import importlib
import os
import pathlib
import shelve
import shutil
import stat
import tempfile
import types
import unittest

import pytest

import vantre
import vantre.dbm

from conftest import run

# Debian ships the standard library's tests apart: libpython3.11-testsuite
# for CPython, pypy3-lib-testsuite for PyPy (scripts/setup.sh installs both).
# Each interpreter runs its own copy; PyPy's (3.9) lacks the tests of bytes
# and path-like paths, which test_paths_of_every_kind covers.
try:
    stdlib_test_dbm = importlib.import_module("test.test_dbm")
except ImportError as e:
    stdlib_test_dbm = None
    missing_reason = f"the standard library's test.test_dbm cannot be imported: {e}"


def test_the_standard_library_dbm_tests_are_present():
    if stdlib_test_dbm is None:
        if os.environ.get("VANTRE_PYTHON_CMD"):
            pytest.skip(missing_reason + " (not in the emulated interpreter's sysroot)")
        pytest.fail(missing_reason + "; apt-get install libpython3.11-testsuite pypy3-lib-testsuite")


class _Dispatcher(types.SimpleNamespace):
    """Stands in for the standard library's ``dbm`` inside test_dbm, which
    opens every database through it: the real one recognises databases by
    their files' magic numbers and takes a directory for no database at
    all, so 'r' and 'w' would never reach vantre.dbm. This one sends every
    open to the module the test case installs as ``_defaultmod``, as the
    real one does for a database it recognises."""

    def open(self, file, flag="r", mode=0o666):
        return self._defaultmod.open(file, flag, mode)


if stdlib_test_dbm is not None:

    class TestStandardLibraryDbm(stdlib_test_dbm.AnyDBMTestCase, unittest.TestCase):
        module = vantre.dbm

        def setUp(self):
            # The test case works in the current directory.
            work = tempfile.TemporaryDirectory(prefix="vantre-test-dbm-")
            self.addCleanup(work.cleanup)
            self.addCleanup(os.chdir, os.getcwd())
            os.chdir(work.name)
            real = stdlib_test_dbm.dbm
            self.addCleanup(setattr, stdlib_test_dbm, "dbm", real)
            stdlib_test_dbm.dbm = _Dispatcher(error=vantre.dbm.error, _defaultmod=None)
            super().setUp()


@pytest.mark.parametrize("flag", ["c", "w", "r"])
def test_shelve_round_trip_in_every_flag(store_dir, flag):
    with shelve.Shelf(vantre.dbm.open(store_dir, "c")) as shelf:
        shelf["config"] = {"retries": 3}
    with shelve.Shelf(vantre.dbm.open(store_dir, flag)) as shelf:  # closing syncs
        assert dict(shelf) == {"config": {"retries": 3}}
        if flag != "r":
            shelf["more"] = [1]
    with vantre.dbm.open(store_dir, "r") as db:
        assert sorted(db.keys()) == ([b"config"] if flag == "r" else [b"config", b"more"])
        db.sync()  # nothing to write: returns


def test_paths_of_every_kind(tmp_path):
    for i, path in enumerate([str(tmp_path / "s0"), os.fsencode(tmp_path / "s1"), tmp_path / "s2",
                              _BytesPath(os.fsencode(tmp_path / "s3"))]):
        with vantre.dbm.open(path, "c") as db:
            db[b"k"] = b"%d" % i
        with vantre.dbm.open(path, "r") as db:
            assert db[b"k"] == b"%d" % i
    with pytest.raises(TypeError, match="path"):
        vantre.dbm.open(3, "c")


class _BytesPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_new_replaces_what_is_not_a_store(tmp_path):
    file, target, link = tmp_path / "file", tmp_path / "target", tmp_path / "link"
    file.write_bytes(b"not a store")
    target.write_bytes(b"kept")
    link.symlink_to(target)
    for path in (file, link):
        with vantre.dbm.open(path, "n") as db:
            assert len(db) == 0
            db[b"k"] = b"v"
        assert path.is_dir() and not path.is_symlink()
    assert target.read_bytes() == b"kept"  # the link was replaced, not what it named
    with vantre.dbm.open(file, "n") as db:  # an existing store is emptied
        assert len(db) == 0
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(vantre.dbm.error) as refused:
        vantre.dbm.open(tmp_path / "fifo", "n")
    assert refused.value.errno == errno.ENOTDIR and stat.S_ISFIFO(os.lstat(tmp_path / "fifo").st_mode)
    for flag in "cwr":  # only 'n' replaces
        with pytest.raises(vantre.dbm.error) as refused:
            vantre.dbm.open(tmp_path / "target", flag)
        assert refused.value.errno == errno.ENOTDIR
        assert refused.value.filename == str(tmp_path / "target")
    assert target.read_bytes() == b"kept"


def _modes(path):
    return {name: stat.S_IMODE(os.stat(os.path.join(path, name)).st_mode)
            for name in [""] + sorted(os.listdir(path))}


@pytest.mark.parametrize("mode, umask, files, directory", [
    (0o640, 0o022, 0o640, 0o750),
    (0o666, 0o022, 0o644, 0o755),
    (0o604, 0o002, 0o604, 0o705),  # the owner keeps every right on a directory
    (0o660, 0o077, 0o600, 0o700),
])
def test_mode_sets_the_permission_bits_less_the_umask(tmp_path, mode, umask, files, directory):
    old = os.umask(umask)
    try:
        store = tmp_path / "parent" / "store"
        with vantre.dbm.open(store, "c", mode) as db:
            db[b"k"] = b"v"
        modes = _modes(store)
        assert modes.pop("") == directory and stat.S_IMODE(os.stat(store.parent).st_mode) == directory
        assert set(modes.values()) == {files} and "wal.bin" in modes
        # 'c' on an existing store leaves its files alone; 'n' makes them new.
        vantre.dbm.open(store, "c", 0o600).close()
        assert set(_modes(store).values()) == {directory, files}
        with vantre.dbm.open(store, "n", 0o600) as db:
            assert len(db) == 0
        modes = _modes(store)
        assert modes.pop("") == directory and set(modes.values()) == {0o600 & ~umask}
    finally:
        os.umask(old)


def test_messages_speak_in_the_module_flags():
    top = tempfile.mkdtemp()  # open to the unprivileged user of the child below
    os.chmod(top, 0o755)
    try:
        _messages_in_the_module_flags(os.path.join(top, "store"))
    finally:
        shutil.rmtree(top)


def _messages_in_the_module_flags(store_dir):
    for flag in "rw":
        with pytest.raises(vantre.dbm.error) as missing:
            vantre.dbm.open(store_dir, flag)
        assert missing.value.errno == errno.ENOENT and "flag 'c' or 'n' creates one" in str(missing.value)
        assert "readonly" not in str(missing.value) and "create=" not in str(missing.value)
    vantre.dbm.open(store_dir, "c").close()
    with vantre.dbm.open(store_dir, "r") as db:
        for write in (lambda: db.__setitem__(b"k", b"v"), lambda: db.__delitem__(b"k")):
            with pytest.raises(vantre.dbm.error) as refused:
                write()
            assert refused.value.errno == errno.EBADF
            assert "opened with flag 'r': open it with 'w' or 'c'" in refused.value.strerror
    # A store this user may not write: 'r' is the way to read it.
    os.chmod(store_dir, 0o555)
    try:
        code = f"""
import vantre.dbm
try:
    vantre.dbm.open({store_dir!r}, "w")
except vantre.dbm.error as e:
    print(e.errno, e.strerror)
with vantre.dbm.open({store_dir!r}, "r") as db:
    print(len(db))
"""
        proc = run(["-c", code], **({"user": 65534, "group": 65534} if os.geteuid() == 0 else {}))
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.splitlines() == [
            f"{errno.EACCES} {os.strerror(errno.EACCES)}; the database may not be written here: "
            "open it with flag 'r' to read it", "0"]
    finally:
        os.chmod(store_dir, 0o755)
