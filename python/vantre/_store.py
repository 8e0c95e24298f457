"""The Store class: the native ``_vantre.Vantre`` behind the mapping protocol.

What each call raises
---------------------
``StoreIOError`` (an ``OSError``)
    An I/O failure while writing or reading records: ``db[k] = v``,
    ``del db[k]``, ``db[k]``, ``get``, ``in``, ``items()``, ``values()``,
    iteration, ``update``, ``persist``, ``vacuum``. The native class ends
    such a call with its ``PanicException`` (a ``BaseException``); the
    store raises this instead, with the errno and text of the failure, the
    original chained as ``__cause__``. After one, reopen the directory.
``OSError`` (a subclass by errno)
    A failure the native call reports itself: opening (missing permission,
    a path that is a file, ``BlockingIOError`` when another open store
    holds the directory), ``persist`` and ``vacuum`` on their own files.
``KeyError``
    ``db[k]`` and ``del db[k]`` for a key that is not stored.
``TypeError``
    A key that is not a ``str`` (``in`` answers False instead), a value
    that is not bytes-like.
``ClosedStoreError`` (a ``ValueError``)
    Any call on a closed store except ``close()`` itself.
"""

from __future__ import annotations

import dataclasses
import gc
import os
import platform
import re
from collections.abc import (
    ItemsView,
    Iterable,
    Iterator,
    Mapping,
    MutableMapping,
    ValuesView,
)
from types import TracebackType
from typing import NoReturn, Optional, Type, TypeVar, Union, overload

import _vantre

__all__ = [
    "CacheStats",
    "ClosedStoreError",
    "StoreIOError",
    "Stats",
    "Store",
    "open",
]

# Keys read per native call when values are listed (items(), values()).
BATCH = 1024
DEFAULT_CACHE_SIZE = 10000

_PYPY = platform.python_implementation() == "PyPy"
_T = TypeVar("_T")
StrPath = Union[str, "os.PathLike[str]"]

# The panic message ends with the failure's rendering:
#   OsError { code: 28, message: "No space left on device" }
#   EngineError { kind: UnexpectedEof, message: "failed to fill whole buffer" }
_OS_ERROR = re.compile(r'OsError \{ code: (\d+), message: "(.*)" \}\s*$', re.S)
_ENGINE_ERROR = re.compile(r'EngineError \{ kind: (\w+), message: "(.*)" \}\s*$', re.S)


class StoreIOError(OSError):
    """An I/O failure inside a store operation.

    ``errno`` and ``strerror`` are those of the operating-system call that
    failed, or ``None`` and the engine's own text (a short read, a write
    that accepted nothing) with ``kind`` naming it. The native exception
    is chained as ``__cause__``. The store's state after one is the native
    class's: the failed write is not applied, and buffered writes that
    could not be written out may be lost; reopen the directory.
    """

    kind: Optional[str]

    def __init__(self, errno: Optional[int], strerror: str, kind: Optional[str] = None) -> None:
        super().__init__(errno, strerror)
        self.kind = kind


class ClosedStoreError(ValueError):
    """Raised by any use of a store after ``close()``."""


def _is_panic(exc: BaseException) -> bool:
    # The native module does not export the type: recognise it by name and
    # by its place outside Exception.
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def io_error_of(exc: BaseException) -> Optional[StoreIOError]:
    """The StoreIOError for a native panic caused by an I/O failure, or None
    for any other exception (including panics with another cause)."""
    if not _is_panic(exc):
        return None
    text = str(exc)
    match = _OS_ERROR.search(text)
    if match:
        return StoreIOError(int(match.group(1)), match.group(2))
    match = _ENGINE_ERROR.search(text)
    if match:
        return StoreIOError(None, match.group(2), match.group(1))
    return None


class _Translate:
    """Context manager turning native I/O panics into StoreIOError."""

    def __enter__(self) -> None:
        return None

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        if exc is not None:
            error = io_error_of(exc)
            if error is not None:
                raise error from exc


_translate = _Translate()


@dataclasses.dataclass(frozen=True)
class CacheStats:
    """The value cache: values held and the most it holds."""

    entries: int
    capacity: int


@dataclasses.dataclass(frozen=True)
class Stats:
    """Figures of an open store.

    ``keys`` is exact. The byte counts are the files' sizes on disk, which
    lag behind writes still in the store's buffers (see ``persist``).
    """

    path: str
    keys: int
    cache: CacheStats
    data_bytes: int  # keys.bin + vals.bin + offsets.bin
    log_bytes: int  # wal.bin
    snapshot_bytes: int  # snapshot.bin; 0 before the first persist


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except FileNotFoundError:
        return 0


class Store(MutableMapping[str, bytes]):
    """A store directory as a mutable mapping of ``str`` keys to ``bytes``.

    Open with :func:`open`. Writes are acknowledged once they are in the
    store's memory; ``close()``, leaving ``with`` and a normal interpreter
    exit write the buffers out, and ``persist()`` makes everything written
    so far survive a killed process (see the README's Durability section).
    Iteration and ``keys()`` list the keys present when iteration starts,
    in the order of their latest writes; changing the store meanwhile does
    not raise. A store is not safe to close while another thread uses it.
    """

    def __init__(self, path: StrPath, cache_size: int = DEFAULT_CACHE_SIZE) -> None:
        """Opens (creating if needed) the store in directory ``path``,
        caching up to ``cache_size`` values. Raises OSError (see the module
        documentation)."""
        self._path = os.fspath(path)
        self._native: Optional[_vantre.Vantre] = _vantre.Vantre(self._path, cache_size)

    # ------------------------------------------------------------ lifetime

    @property
    def path(self) -> str:
        """The store's directory, as given to open."""
        return self._path

    @property
    def closed(self) -> bool:
        """True once ``close()`` has run."""
        return self._native is None

    def close(self) -> None:
        """Writes the buffers out and frees the directory for the next open.

        Closing twice is allowed. Errors while writing the buffers out are
        not reported (call ``persist()`` first to see them). The native store
        is released by dropping its only reference; under PyPy, whose objects
        are freed only by a collection, one is run at once.
        """
        native, self._native = self._native, None
        if native is None:
            return
        del native
        if _PYPY:
            gc.collect()

    def __enter__(self) -> Store:
        """Returns the store itself; ClosedStoreError if it is closed."""
        self._live()
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        """Closes the store, whatever ended the block."""
        self.close()

    def _live(self) -> _vantre.Vantre:
        """The native store; ClosedStoreError once closed."""
        native = self._native
        if native is None:
            raise ClosedStoreError(f"operation on a closed store: {self._path}")
        return native

    def __repr__(self) -> str:
        state = "closed" if self._native is None else "open"
        return f"<vantre.Store {self._path!r} {state}>"

    # ------------------------------------------------------------- mapping

    # The per-key calls reach the native store without a closed check or a
    # context manager: a closed store's None fails the attribute lookup,
    # and _fail sorts out what went wrong only once something has.

    def _fail(self, exc: BaseException) -> NoReturn:
        if self._native is None and isinstance(exc, AttributeError):
            raise ClosedStoreError(f"operation on a closed store: {self._path}") from None
        error = io_error_of(exc)
        if error is not None:
            raise error from exc
        raise exc

    def __getitem__(self, key: str) -> bytes:
        """The value under ``key``; KeyError if it is not stored."""
        try:
            value = self._native.get_bytes(key)  # type: ignore[union-attr]
        except BaseException as e:
            self._fail(e)
        if value is None:
            raise KeyError(key)
        return value

    def __setitem__(self, key: str, value: bytes) -> None:
        """Stores ``value`` (bytes-like) under ``key``."""
        try:
            self._native.set_bytes(key, value)  # type: ignore[union-attr]
        except BaseException as e:
            self._fail(e)

    def __delitem__(self, key: str) -> None:
        """Removes ``key``; KeyError if it is not stored."""
        try:
            removed = self._native.delete(key)  # type: ignore[union-attr]
        except BaseException as e:
            self._fail(e)
        if not removed:
            raise KeyError(key)

    def __contains__(self, key: object) -> bool:
        """True if ``key`` is stored; False for anything that is not a str."""
        if not isinstance(key, str):
            self._live()
            return False
        try:
            return self._native.get_bytes(key) is not None  # type: ignore[union-attr]
        except BaseException as e:
            self._fail(e)

    def __len__(self) -> int:
        """Number of stored keys."""
        native = self._live()
        with _translate:
            return native.len()

    def __iter__(self) -> Iterator[str]:
        """The keys stored when iteration starts."""
        native = self._live()
        with _translate:
            keys = native.keys()
        return iter(keys)

    @overload
    def get(self, key: str) -> Optional[bytes]: ...
    @overload
    def get(self, key: str, default: Union[bytes, _T]) -> Union[bytes, _T]: ...

    def get(self, key: str, default: object = None) -> object:
        """The value under ``key``, or ``default``."""
        try:
            value = self._native.get_bytes(key)  # type: ignore[union-attr]
        except BaseException as e:
            self._fail(e)
        return default if value is None else value

    def items(self) -> ItemsView[str, bytes]:
        """(key, value) pairs, read ``BATCH`` keys per native call; keys
        deleted while iterating are skipped."""
        return _ItemsView(self)

    def values(self) -> ValuesView[bytes]:
        """Values, read as ``items()`` reads them."""
        return _ValuesView(self)

    def update(  # type: ignore[override]
        self,
        other: Union[Mapping[str, bytes], Iterable[tuple[str, bytes]]] = (),
        /,
        **kwargs: bytes,
    ) -> None:
        """Stores every pair of a mapping or an iterable of pairs, then
        the keyword arguments."""
        native = self._live()
        pairs: Iterable[tuple[str, bytes]]
        if isinstance(other, Mapping):
            pairs = other.items()
        else:
            pairs = other
        with _translate:
            for key, value in pairs:
                native.set_bytes(key, value)
            for key, value in kwargs.items():
                native.set_bytes(key, value)

    def clear(self) -> None:
        """Removes every key: one logged delete each, from one listing of
        the keys (the inherited version lists them once per key)."""
        native = self._live()
        with _translate:
            for key in native.keys():
                native.delete(key)

    def _batches(self) -> Iterator[list[tuple[str, Optional[bytes]]]]:
        # The store is looked up for every batch, so that a close() in the
        # middle of an iteration is seen and holds no native reference.
        with _translate:
            keys = self._live().keys()
        for start in range(0, len(keys), BATCH):
            with _translate:
                yield self._live().get_many(keys[start:start + BATCH])

    # ---------------------------------------------------------- operations

    def persist(self) -> None:
        """Writes out the buffers and a snapshot, then empties the log.

        When it returns, everything written so far survives a killed
        process; it survives being killed itself. Raises StoreIOError or
        OSError on a failure.
        """
        native = self._live()
        with _translate:
            native.persist()

    def vacuum(self) -> None:
        """Rewrites the data files with only the live records and writes a
        snapshot; reclaims the space of overwritten and deleted values.
        Raises OSError (the store is unchanged) or StoreIOError."""
        native = self._live()
        with _translate:
            native.vacuum()

    def cache_stats(self) -> CacheStats:
        """Entries and capacity of the value cache."""
        native = self._live()
        entries, capacity = native.cache_stats()
        return CacheStats(entries, capacity)

    def clear_cache(self) -> None:
        """Empties the value cache."""
        self._live().clear_cache()

    def stats(self) -> Stats:
        """Key count, cache figures and the sizes of the store's files."""
        native = self._live()
        join = os.path.join
        return Stats(
            path=self._path,
            keys=native.len(),
            cache=self.cache_stats(),
            data_bytes=sum(_size(join(self._path, n)) for n in ("keys.bin", "vals.bin", "offsets.bin")),
            log_bytes=_size(join(self._path, "wal.bin")),
            snapshot_bytes=_size(join(self._path, "snapshot.bin")),
        )


class _ItemsView(ItemsView[str, bytes]):
    """``Store.items()``: pairs read in batches of ``BATCH`` keys."""

    _mapping: Store

    def __iter__(self) -> Iterator[tuple[str, bytes]]:
        for batch in self._mapping._batches():
            for key, value in batch:
                if value is not None:
                    yield key, value


class _ValuesView(ValuesView[bytes]):
    """``Store.values()``: values read in batches of ``BATCH`` keys."""

    _mapping: Store

    def __iter__(self) -> Iterator[bytes]:
        for batch in self._mapping._batches():
            for _, value in batch:
                if value is not None:
                    yield value


def open(path: StrPath, cache_size: int = DEFAULT_CACHE_SIZE) -> Store:
    """Opens (creating if needed) the store in directory ``path``.

    ``cache_size`` is the number of values kept in memory (0 disables the
    cache). Use the result with ``with`` or call ``close()``.
    """
    return Store(path, cache_size)
