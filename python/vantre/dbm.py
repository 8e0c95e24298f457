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
ValueError of a wrong key or value.
"""

from __future__ import annotations

import errno as _errno
from collections.abc import Iterator, MutableMapping
from types import TracebackType
from typing import Any, Callable, Optional, Type, TypeVar, Union

from vantre._store import ClosedStoreError, Store, StrPath

__all__ = ["error", "open"]

_T = TypeVar("_T")
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


def _run(call: Callable[[], _T]) -> _T:
    """Runs ``call``; the store's OSErrors and ClosedStoreError become
    ``error``."""
    try:
        return call()
    except ClosedStoreError as e:
        raise error(_errno.EBADF, "the database has been closed") from e
    except OSError as e:
        code = e.errno if e.errno is not None else _errno.EIO
        raise error(code, e.strerror or str(e), e.filename) from e


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


def open(file: StrPath, flag: str = "r", mode: int = 0o666) -> _Database:
    """Opens the store in directory ``file`` as a ``dbm`` database.

    ``flag``: ``"r"`` read-only (shared with other readers), ``"w"`` read
    and write an existing store, ``"c"`` read and write, creating the store
    when missing, ``"n"`` a new empty store (an existing one is emptied).
    The modifiers ``"f"``, ``"s"`` and ``"u"`` of ``dbm.gnu`` are accepted
    and change nothing. ``mode`` is accepted for compatibility: the store's
    files are created with mode 0o666 less the umask. A missing store with
    ``"r"`` or ``"w"`` raises ``error`` (errno ENOENT).
    """
    if not isinstance(flag, str) or not flag or flag[0] not in "rwcn" or not set(flag[1:]) <= set("fsu"):
        raise ValueError(f"flag is 'r', 'w', 'c' or 'n' (optionally with 'f', 's', 'u'), not {flag!r}")
    if type(mode) is not int:
        raise TypeError(f"mode is an int, not {type(mode).__name__}")
    kind = flag[0]
    store = _run(lambda: Store(file, readonly=kind == "r", create=kind in "cn"))
    if kind == "n" and len(store):
        def empty() -> None:
            store.clear()
            store.vacuum()

        try:
            _run(empty)
        except BaseException:
            store.close()
            raise
    return _Database(store)
