"""A store with the face of the standard library's ``dbm`` modules.

A program written for ``dbm`` switches by changing its import::

    import vantre.dbm as dbm

    with dbm.open("/var/lib/app/cache", "c") as db:
        db[b"greeting"] = b"hello"
        db["greeting"]            # b"hello": str keys are UTF-8 text
        db.keys()                 # [b"greeting"]

and ``shelve.Shelf(vantre.dbm.open(path, "c"))`` keeps pickled objects in
a store. Keys are ``str``, or ``bytes`` holding UTF-8 text (the store's keys
are text); any other key raises TypeError, bytes that are not UTF-8 raise
ValueError. Values are bytes-like, or ``str`` (stored as UTF-8); reads
return ``bytes``. Every failure of the store is raised as :class:`error`
(an ``OSError``), except ``KeyError`` for a missing key and the TypeError /
ValueError of a wrong key or value; its message speaks of this module's
flags. ``sync()`` on a database opened with ``'r'`` has nothing to write
and returns, so ``shelve`` closes one.
"""

from __future__ import annotations

import builtins
import errno as _errno
import os
import stat
from collections.abc import Iterator, MutableMapping
from types import TracebackType
from typing import Any, Callable, Optional, Type, TypeVar, Union

from vantre._store import (
    _STORE_FILES,
    ClosedStoreError,
    Store,
    StoreIOError,
    missing_parts,
    store_present,
)

__all__ = ["error", "open"]

_T = TypeVar("_T")
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Key = Union[str, bytes]
_Value = Union[str, bytes, bytearray, memoryview]


class error(OSError):
    """A failure of a store opened through this module: its errno,
    strerror and filename are the store's (``vantre.StoreIOError``,
    chained as ``__cause__``)."""


def _key(key: object) -> str:
    if type(key) is str:
        return key
    if isinstance(key, (bytes, bytearray)):
        try:
            return bytes(key).decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"keys are UTF-8 text; {bytes(key)!r} is not UTF-8") from None
    if isinstance(key, str):
        return str(key)
    raise TypeError(f"keys are str or bytes, not {type(key).__name__}")


def _value(value: object) -> Any:
    return value.encode("utf-8") if isinstance(value, str) else value


# What to do next, in this module's flags, where the store's own message
# speaks of vantre.open's options.
_READ_ONLY = "the database was opened with flag 'r': open it with 'w' or 'c' to write"
_MISSING = "there is no database there: flag 'c' or 'n' creates one"
_NOT_WRITABLE = "the database may not be written here: open it with flag 'r' to read it"


def _run(call: Callable[[], _T], flag: str = "") -> _T:
    """Runs ``call``; the store's OSErrors and ClosedStoreError become
    ``error``. ``flag`` is given for an open with it."""
    try:
        return call()
    except ClosedStoreError as e:
        raise error(_errno.EBADF, "the database has been closed") from e
    except OSError as e:
        code = e.errno if e.errno is not None else _errno.EIO
        text = e.strerror or str(e)
        advice = None
        if isinstance(e, StoreIOError) and e.kind == "read_only":
            advice = _READ_ONLY
        elif flag and code == _errno.ENOENT and flag in "rw" and e.filename:
            advice = _MISSING
        elif (flag and flag in "wcn" and code in (_errno.EACCES, _errno.EPERM, _errno.EROFS)
                and isinstance(e.filename, str) and store_present(_store_dir(e.filename))):
            advice = _NOT_WRITABLE
        if advice is not None:
            text = f"{os.strerror(code)}; {advice}"
        raise error(code, text, e.filename) from e


def _store_dir(filename: str) -> str:
    # A refused open names the directory or one of the store's files.
    return os.path.dirname(filename) if os.path.basename(filename) in _STORE_FILES else filename


class _Database(MutableMapping[bytes, bytes]):
    """An open store seen as a ``dbm`` database."""

    def __init__(self, store: Store) -> None:
        self._store = store

    def __getitem__(self, key: _Key) -> bytes:
        k = _key(key)
        return _run(lambda: self._store[k])

    def __setitem__(self, key: _Key, value: _Value) -> None:
        k, v = _key(key), _value(value)
        _run(lambda: self._store.__setitem__(k, v))

    def __delitem__(self, key: _Key) -> None:
        k = _key(key)
        _run(lambda: self._store.__delitem__(k))

    def __contains__(self, key: object) -> bool:
        k = _key(key)
        return _run(lambda: k in self._store)

    def __len__(self) -> int:
        return _run(lambda: len(self._store))

    def __iter__(self) -> Iterator[bytes]:
        return iter(self.keys())

    def keys(self) -> list[bytes]:  # type: ignore[override]
        """Every key, as UTF-8 bytes, in the order of their latest writes."""
        return [k.encode("utf-8") for k in _run(lambda: list(self._store))]

    def get(self, key: _Key, default: Optional[bytes] = None) -> Optional[bytes]:  # type: ignore[override]
        """The value under ``key``, or ``default``."""
        k = _key(key)
        value = _run(lambda: self._store.get(k))
        return default if value is None else value

    def setdefault(self, key: _Key, default: _Value = b"") -> bytes:
        """The value under ``key``; stores ``default`` (``b""`` when not
        given, as the ``dbm`` modules do) if there is none."""
        k, v = _key(key), _value(default)
        return _run(lambda: self._store.setdefault(k, v))

    def sync(self) -> None:
        """Makes every write so far survive a crash (``Store.sync``)."""
        _run(self._store.sync)

    def close(self) -> None:
        """Writes the buffers out and closes the store; closing twice is
        allowed."""
        _run(self._store.close)

    def __enter__(self) -> _Database:
        if self._store.closed:
            raise error(_errno.EBADF, "the database has been closed")
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<vantre.dbm database {self._store.path!r}>"


def _umask() -> int:
    """The process's umask, read without changing it where the system
    shows it (setting it, even for a moment, would apply to files that
    other threads create meanwhile)."""
    try:
        with builtins.open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def open(file: _Path, flag: str = "r", mode: int = 0o666) -> _Database:
    """Opens the store in directory ``file`` (a ``str``, ``bytes`` or
    path-like object) as a ``dbm`` database.

    ``flag``: ``"r"`` read-only (shared with other readers), ``"w"`` read
    and write an existing store, ``"c"`` read and write, creating the store
    when missing, ``"n"`` a new empty store: an existing one is emptied,
    and a file in the directory's place is replaced. The modifiers ``"f"``,
    ``"s"`` and ``"u"`` of ``dbm.gnu`` are accepted and change nothing.
    ``mode`` sets the permission bits, less the umask, of the files this
    open creates (for ``"n"``, of every file of the store) and of the
    directories it creates, which also get search permission wherever
    ``mode`` grants read, and every right for their owner. A missing store
    with ``"r"`` or ``"w"`` raises ``error`` (errno ENOENT).
    """
    if not isinstance(flag, str) or not flag or flag[0] not in "rwcn" or not set(flag[1:]) <= set("fsu"):
        raise ValueError(f"flag is 'r', 'w', 'c' or 'n' (optionally with 'f', 's', 'u'), not {flag!r}")
    if type(mode) is not int:
        raise TypeError(f"mode is an int, not {type(mode).__name__}")
    try:
        path = os.fsdecode(file)
    except TypeError:
        raise TypeError(f"the path is a str, bytes or os.PathLike, not {type(file).__name__}") from None
    kind = flag[0]
    if kind == "n" and os.path.lexists(path) and not os.path.isdir(path):
        # Something that is not a store: a new database replaces it, as a
        # new dbm file replaces whatever file held its name. Only a file or
        # a link is removed (the link, not what it names).
        if not stat.S_ISREG(os.lstat(path).st_mode) and not os.path.islink(path):
            raise error(_errno.ENOTDIR, f"{os.strerror(_errno.ENOTDIR)}; the path names neither "
                                        "a directory nor a file that flag 'n' could replace", path)
        try:
            os.unlink(path)
        except OSError as e:
            raise error(e.errno or _errno.EIO, e.strerror or str(e), path) from e
    created = missing_parts(path) if kind in "cn" else []
    existing = [name for name in _STORE_FILES if os.path.exists(os.path.join(path, name))]
    store = _run(lambda: Store(path, readonly=kind == "r", create=kind in "cn"), kind)
    try:
        if kind == "n" and len(store):
            def empty() -> None:
                store.clear()
                store.vacuum()

            _run(empty)
        if kind in "cn":
            _set_mode(path, mode, created, [] if kind == "n" else existing)
    except BaseException:
        store.close()
        raise
    return _Database(store)


def _set_mode(path: str, mode: int, created: list[str], existing: list[str]) -> None:
    """Gives ``mode``, less the umask, to the store's files not named in
    ``existing`` and to the directories in ``created``."""
    bits = mode & 0o777 & ~_umask()
    # A directory is searchable wherever it is readable, and its owner
    # keeps every right: the store creates files in it (snapshots,
    # compactions) for as long as it is used.
    searchable = bits | ((bits & 0o444) >> 2) | 0o700

    def chmod(target: str, value: int) -> None:
        try:
            os.chmod(target, value)
        except OSError as e:
            raise error(e.errno or _errno.EIO, e.strerror or str(e), target) from e

    for name in _STORE_FILES:
        target = os.path.join(path, name)
        if name not in existing and os.path.exists(target):
            chmod(target, bits)
    for directory in created:
        if os.path.isdir(directory):
            chmod(directory, searchable)
