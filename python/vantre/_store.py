"""The Store class: the native ``_vantre.Vantre`` behind the mapping protocol.

What each call raises
---------------------
Every failure is an ``Exception``; none of the native module's own
exceptions (its ``PanicException`` derives from ``BaseException``) leaves
the package. The native exceptions carry their failure as data (``errno``,
``kind``, ``file``), and the package maps them by those attributes.

``StoreIOError`` (an ``OSError``), and its subclasses by errno
    Every I/O failure, of any call, ``open`` included, with ``errno``,
    ``strerror`` (saying what to do next) and ``filename``; the native
    exception is chained as ``__cause__``. ``StorePermissionError`` is also
    a ``PermissionError``, ``StoreFileNotFoundError`` a
    ``FileNotFoundError``, ``StoreBlockingIOError`` (``errno == EAGAIN``,
    the directory is held by another open store) a ``BlockingIOError``,
    ``StoreNotADirectoryError`` a ``NotADirectoryError`` (a file where the
    store's directory should be), and so on. A failed write ends what the
    store can do until it is closed and opened again; a record that cannot
    be read because a file is damaged or cut short fails alone (``errno``
    EIO: ``vantre check`` shows the damage, ``vantre recover`` copies what
    can still be read). ``errno`` is EIO where the failure is the engine's
    own (``kind`` names it). A write to a store opened with
    ``readonly=True`` raises one with ``errno == EBADF``.
``KeyError``
    ``db[k]`` and ``del db[k]`` for a key that is not stored.
``TypeError``
    A key that is not a ``str`` (``in``, ``get`` and ``[]`` alike), a value
    that is not bytes-like (the buffer protocol), a ``str`` given to
    ``get_many`` for its iterable of keys.
``ValueError``
    A key that is not encodable as UTF-8 (a lone surrogate); a key or
    value longer than 4294967295 bytes.
``MemoryError``
    Memory ran out; the store is as before the call.
``ClosedStoreError`` (a ``ValueError``)
    Any call on a closed store except ``close()`` itself.
``RuntimeError``
    A call from a forked child on its parent's store (open it again in the
    child), a call on a store from inside a call on it, or ``close()``
    while another thread is inside a call on the store.
"""

from __future__ import annotations

import dataclasses
import errno as _errno
import os
import platform
import sys
import warnings
from collections.abc import (
    Callable,
    ItemsView,
    Iterable,
    Iterator,
    Mapping,
    MutableMapping,
    ValuesView,
)
from types import TracebackType
from typing import Any, NoReturn, Optional, Protocol, Type, TypeVar, Union, cast, overload

import _vantre
from vantre import _capi

__all__ = [
    "CacheStats",
    "ClosedStoreError",
    "StoreBlockingIOError",
    "StoreFileNotFoundError",
    "StoreIOError",
    "StoreNotADirectoryError",
    "StorePermissionError",
    "Stats",
    "Store",
    "open",
]

# Keys read per native call when values are listed (items(), values()).
BATCH = 1024
DEFAULT_CACHE_SIZE = 10000

_T = TypeVar("_T")
StrPath = Union[str, "os.PathLike[str]"]
_BytesLike = Union[bytes, bytearray, memoryview]
# The files a writer opens for writing, checked before the native open so
# that a store it may not write is refused with the path, untouched.
_STORE_FILES = ("offsets.bin", "keys.bin", "vals.bin", "wal.bin", "snapshot.bin")


def _native_class() -> tuple[str, Callable[..., _vantre.Vantre]]:
    """The path to the engine: under PyPy the C interface through cffi
    (the JIT calls it directly, where the C-API module pays for the
    interpreter's emulation of the CPython C API), elsewhere the native
    module. VANTRE_BACKEND=module or =capi chooses one explicitly. Both
    raise the same exceptions with the same data, mapped below."""
    choice = os.environ.get("VANTRE_BACKEND", "")
    if choice not in ("", "module", "capi"):
        raise ImportError(f"VANTRE_BACKEND is 'module' or 'capi', not {choice!r}")
    if choice == "capi" or (not choice and platform.python_implementation() == "PyPy"):
        if _capi.load():
            return "capi", cast(Callable[..., _vantre.Vantre], _capi.Vantre)
        if choice == "capi":
            raise ImportError(f"the store's C interface is not available ({_capi.LIBRARY})")
    return "module", _vantre.Vantre


BACKEND, _Native = _native_class()


class StoreIOError(OSError):
    """An I/O failure of a store call: ``errno``, ``strerror`` (which says
    what to do next) and ``filename``; ``kind`` names the engine's failure
    (``"os"`` for a failed system call). The native exception is chained as
    ``__cause__``."""

    kind: Optional[str]

    def __init__(
        self,
        errno: int,
        strerror: str,
        filename: Optional[str] = None,
        kind: Optional[str] = None,
    ) -> None:
        if filename is None:
            super().__init__(errno, strerror)
        else:
            super().__init__(errno, strerror, filename)
        self.kind = kind


class StorePermissionError(StoreIOError, PermissionError):
    """A StoreIOError for EACCES, EPERM or EROFS."""


class StoreFileNotFoundError(StoreIOError, FileNotFoundError):
    """A StoreIOError for ENOENT: no such directory, or no store in it."""


class StoreBlockingIOError(StoreIOError, BlockingIOError):
    """The directory is held by another open store (``errno == EAGAIN``)."""


class StoreNotADirectoryError(StoreIOError, NotADirectoryError):
    """A StoreIOError for ENOTDIR: a file stands where the store's
    directory, or one of its parents, should be (for a writer and a reader
    alike)."""


_ERRNO_CLASSES: dict[int, Type[StoreIOError]] = {
    _errno.EACCES: StorePermissionError,
    _errno.EPERM: StorePermissionError,
    _errno.EROFS: StorePermissionError,
    _errno.ENOENT: StoreFileNotFoundError,
    _errno.EAGAIN: StoreBlockingIOError,
    _errno.ENOTDIR: StoreNotADirectoryError,
}


def store_error(code: int, text: str, filename: Optional[str], kind: Optional[str] = None) -> StoreIOError:
    """The StoreIOError subclass for ``code``."""
    return _ERRNO_CLASSES.get(code, StoreIOError)(code, text, filename, kind)


class ClosedStoreError(ValueError):
    """Raised by any use of a store after ``close()``."""


# Texts of the engine's own failures, by kind.
_KIND_TEXT = {
    "unexpected_eof": "a store file ends before a record it holds",
    "write_zero": "a write to a store file accepted nothing",
    "invalid_data": "a store file holds bytes that do not decode",
    "invalid_input": "the path cannot be used (it holds a NUL character)",
}
_REOPEN = "close the store and open it again"
# Failures that say a store file is damaged or cut short: reopening cannot
# mend them, but the tool can show the damage and copy what can be read.
_DAMAGE_KINDS = ("unexpected_eof", "invalid_data")
_LOCKED = ("the store directory is in use by another open store, in this process or "
           "another: close that store first")


def _is_panic(exc: BaseException) -> bool:
    # The native module does not export the type: recognise it by name and
    # by its place outside Exception.
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def missing_parts(path: str) -> list[str]:
    """``path`` and each of its parents that do not exist, outermost last:
    the directories a writer's open of ``path`` creates."""
    missing = []
    path = os.path.abspath(path)
    while not os.path.lexists(path):
        missing.append(path)
        parent = os.path.dirname(path)
        if parent == path:
            break
        path = parent
    return missing


def store_present(path: str) -> bool:
    """True when directory ``path`` holds any of a store's files."""
    return any(os.path.exists(os.path.join(path, name)) for name in _STORE_FILES)


def _advice(action: str, code: int, panic: bool, kind: Optional[str], path: str,
            readonly: bool = False, create: bool = True) -> str:
    """What to do next after a failure of ``action`` with errno ``code``,
    naming only what the caller can do: for ``open``, with the options the
    caller passed (``readonly``, ``create``)."""
    space = "free some space, then " if code in (_errno.ENOSPC, _errno.EDQUOT) else ""
    if panic:
        if space:
            return f"{space}retry, or {_REOPEN}"
        if kind in _DAMAGE_KINDS:
            return (f"run `vantre check {path}` to see the damage, and `vantre recover {path} "
                    "NEW_DIR` to copy what can still be read into a new store")
        check = f"; run `vantre check {path}` to inspect the files" if kind in _KIND_TEXT else ""
        return f"{_REOPEN}{check}"
    if action == "open":
        if not path:
            return "the path is empty: name the store's directory"
        if code in (_errno.EACCES, _errno.EPERM, _errno.EROFS):
            if readonly:
                return ""
            if store_present(path):
                return "the store may not be written here: open it with readonly=True to read it"
            return "the store cannot be created here: choose another path"
        if code == _errno.ENOENT:
            if not create:
                return "there is no store there (create=False opens only an existing one)"
            if readonly:
                return "there is no such directory (readonly=True creates nothing)"
            return ""
        if code == _errno.ENOTDIR:
            return "a file stands where the store's directory should be: choose another path"
        return f"{space}open it again" if space else ""
    if action in ("persist", "vacuum", "sync"):
        return ("writes since the last successful persist or sync may not be on disk: "
                f"{space}{_REOPEN}")
    if action == "close":
        return "buffered writes may be lost; the store is closed"
    return _REOPEN


def _translate(exc: BaseException, path: str, action: str, readonly: bool = False,
               create: bool = True) -> Optional[BaseException]:
    """The package's exception for a native one, or None for one that
    passes as it is (MemoryError, RuntimeError, the package's own).
    ``readonly`` and ``create`` are the options of the store's open."""
    panic = _is_panic(exc)
    if not panic and not isinstance(exc, OSError):
        if isinstance(exc, UnicodeError):
            return ValueError("keys are text encodable as UTF-8 (no lone surrogates)")
        if isinstance(exc, OverflowError):
            return ValueError("keys and values are at most 4294967295 bytes long")
        return None
    kind: Optional[str] = getattr(exc, "kind", None)
    code: Optional[int] = getattr(exc, "errno", None)
    filename: str = getattr(exc, "file", None) or path
    if kind == "would_block":
        return StoreBlockingIOError(_errno.EAGAIN, _LOCKED, path, kind)
    if action == "open" and code == _errno.EEXIST:
        # Creating the directory met a file in its place: the condition a
        # reader meets as ENOTDIR, reported alike.
        code = _errno.ENOTDIR
    if code:
        text = os.strerror(code)
    elif kind in _KIND_TEXT:
        text = _KIND_TEXT[kind]
    else:
        text = "the store met a failure it cannot recover from" if panic else str(exc)
    if kind == "invalid_data" and not panic:
        text = str(exc)  # the engine's text names the file and what to run
        advice = ""
    else:
        advice = _advice(action, code or _errno.EIO, panic, kind, path, readonly, create)
    return store_error(code or _errno.EIO, f"{text}; {advice}" if advice else text, filename, kind)


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


def _value_bytes(value: object) -> Union[bytes, bytearray]:
    """A value as the native call takes it: bytes and bytearray as they
    are, any other bytes-like object (the buffer protocol) copied."""
    if type(value) is bytes or type(value) is bytearray:
        return value
    try:
        view = memoryview(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"values are bytes-like (bytes, bytearray, memoryview, array, ...), "
            f"not {type(value).__name__}"
        ) from None
    with view:
        return view.tobytes()


def _key_error(key: object) -> TypeError:
    return TypeError(f"keys are str, not {type(key).__name__}")


class _KeysAndGetitem(Protocol):
    def keys(self) -> Iterable[str]: ...
    def __getitem__(self, key: str, /) -> bytes: ...


class Store(MutableMapping[str, bytes]):
    """A store directory as a mutable mapping of ``str`` keys to ``bytes``.

    Open with :func:`open`. Writes are acknowledged once they are in the
    store's memory; ``sync()`` makes every write so far survive a crash at
    the cost of one log sync, ``persist()`` also writes a snapshot and
    empties the log; ``close()``, leaving ``with`` and a normal interpreter
    exit write the buffers out (see the README's Durability section).
    Iteration and ``keys()`` list the keys present when iteration starts,
    in the order of their latest writes; changing the store meanwhile does
    not raise. Keys are ``str``: any other key raises TypeError, in ``in``,
    ``get`` and ``[]`` alike. Values are bytes-like on the way in and
    ``bytes`` on the way out. ``close()`` while another thread is inside a
    call on the store raises RuntimeError and leaves it open.
    """

    def __init__(
        self,
        path: StrPath,
        cache_size: int = DEFAULT_CACHE_SIZE,
        *,
        readonly: bool = False,
        create: bool = True,
    ) -> None:
        """Opens the store in directory ``path``; see :func:`open`."""
        self._native: Optional[_vantre.Vantre] = None
        try:
            self._path = os.fspath(path)
        except TypeError:
            raise TypeError(f"the path is a str or os.PathLike, not {type(path).__name__}") from None
        if not isinstance(self._path, str):
            raise TypeError("the path is a str or os.PathLike[str], not bytes")
        if "\0" in self._path:
            raise ValueError("the path holds a NUL character")
        if type(cache_size) is bool or not isinstance(cache_size, int):
            raise TypeError(f"cache_size is an int, not {type(cache_size).__name__}")
        if not 0 <= cache_size <= 0xFFFFFFFF:
            raise ValueError(f"cache_size is between 0 and 4294967295, not {cache_size}")
        self._readonly = bool(readonly)
        self._create = bool(create)
        if not self._readonly:
            self._check_writable()
        self._native = self._open_native(cache_size)

    def _open_native(self, cache_size: int) -> _vantre.Vantre:
        """The native store, opened. The warning an open may give (a log
        tail cut off) is given again for the caller's line, outside the
        package, instead of this one."""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                native = _Native(self._path, cache_size, readonly=self._readonly,
                                 create=self._create)
            except BaseException as e:
                self._raise(e, "open")
        here = __file__.rsplit(".", 1)[0]
        try:
            for w in caught:
                if w.filename.rsplit(".", 1)[0] == here:
                    warnings.warn(w.message, w.category, stacklevel=_outside_package())
                else:  # another thread's, caught meanwhile: given back as it was
                    warnings.warn_explicit(w.message, w.category, w.filename, w.lineno,
                                           source=w.source)
        except BaseException:
            native._close()  # a warning filtered into an error fails the open
            raise
        return native

    def _check_writable(self) -> None:
        # The native open would fail on the first file it may not write,
        # possibly after creating others: refuse first, changing nothing.
        for name in ("",) + _STORE_FILES:
            target = os.path.join(self._path, name) if name else self._path
            if os.path.exists(target) and not os.access(target, os.W_OK):
                code = _errno.EROFS if _read_only_mount(target) else _errno.EACCES
                advice = _advice("open", code, False, None, self._path, False, self._create)
                raise store_error(code, f"{os.strerror(code)}; {advice}", target)

    # ------------------------------------------------------------ lifetime

    @property
    def path(self) -> str:
        """The store's directory, as given to open."""
        return self._path

    @property
    def readonly(self) -> bool:
        """True for a store opened with ``readonly=True``."""
        return self._readonly

    @property
    def closed(self) -> bool:
        """True once ``close()`` has run."""
        return self._native is None

    def close(self) -> None:
        """Writes the buffers out and closes the store at once: the files
        are unmapped and closed and the directory is free for the next
        open, whatever references to the store remain. Later calls raise
        ClosedStoreError; closing twice is allowed. A failure to write the
        buffers out is raised (StoreIOError) after the store is closed.
        RuntimeError, and the store stays open, while another thread is
        inside a call on it."""
        native, self._native = self._native, None
        if native is None:
            return
        try:
            native._close()
        except RuntimeError:
            self._native = native
            raise
        except BaseException as e:
            self._raise(e, "close")

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
        state = "closed" if self._native is None else "read-only" if self._readonly else "open"
        return f"<vantre.Store {self._path!r} {state}>"

    # ------------------------------------------------------------- errors

    def _raise(self, exc: BaseException, action: str) -> NoReturn:
        """Raises the package's exception for ``exc``, which ended a native
        call of ``action``."""
        if self._native is None and action not in ("open", "close") and isinstance(
            exc, (AttributeError, ValueError)
        ) and not isinstance(exc, UnicodeError):
            raise ClosedStoreError(f"operation on a closed store: {self._path}") from None
        if self._readonly and isinstance(exc, OSError) and getattr(exc, "errno", None) == _errno.EBADF:
            raise store_error(
                _errno.EBADF,
                "the store is open read-only: open it without readonly=True to write",
                self._path, "read_only",
            ) from exc
        error = _translate(exc, self._path, action, self._readonly, self._create)
        if error is None:
            raise exc
        raise error from exc

    # ------------------------------------------------------------- mapping

    # The per-key calls reach the native store without a closed check: a
    # closed store's None fails the attribute lookup, and _raise sorts out
    # what went wrong only once something has.

    def __getitem__(self, key: str) -> bytes:
        """The value under ``key``; KeyError if it is not stored."""
        if type(key) is not str and not isinstance(key, str):
            raise _key_error(key)
        try:
            value = self._native.get_bytes(key)  # type: ignore[union-attr]
        except BaseException as e:
            self._raise(e, "read")
        if value is None:
            raise KeyError(key)
        return value

    def __setitem__(self, key: str, value: _BytesLike) -> None:
        """Stores ``value`` (bytes-like) under ``key``."""
        if type(key) is not str and not isinstance(key, str):
            raise _key_error(key)
        if type(value) is not bytes:
            value = _value_bytes(value)
        try:
            self._native.set_bytes(key, value)  # type: ignore[union-attr]
        except BaseException as e:
            self._raise(e, "write")

    def __delitem__(self, key: str) -> None:
        """Removes ``key``; KeyError if it is not stored."""
        if type(key) is not str and not isinstance(key, str):
            raise _key_error(key)
        try:
            removed = self._native.delete(key)  # type: ignore[union-attr]
        except BaseException as e:
            self._raise(e, "write")
        if not removed:
            raise KeyError(key)

    def __contains__(self, key: object) -> bool:
        """True if ``key`` is stored; TypeError for a key that is not a str."""
        if type(key) is not str and not isinstance(key, str):
            raise _key_error(key)
        try:
            return self._native.get_bytes(key) is not None  # type: ignore[union-attr]
        except BaseException as e:
            self._raise(e, "read")

    def __len__(self) -> int:
        """Number of stored keys."""
        try:
            return self._live().len()
        except BaseException as e:
            self._raise(e, "read")

    def __iter__(self) -> Iterator[str]:
        """The keys stored when iteration starts."""
        native = self._live()
        try:
            keys = native.keys()
        except BaseException as e:
            self._raise(e, "read")
        return iter(keys)

    @overload
    def get(self, key: str) -> Optional[bytes]: ...
    @overload
    def get(self, key: str, default: Union[bytes, _T]) -> Union[bytes, _T]: ...

    def get(self, key: str, default: object = None) -> object:
        """The value under ``key``, or ``default``; TypeError for a key
        that is not a str."""
        if type(key) is not str and not isinstance(key, str):
            raise _key_error(key)
        try:
            value = self._native.get_bytes(key)  # type: ignore[union-attr]
        except BaseException as e:
            self._raise(e, "read")
        return default if value is None else value

    def get_many(self, keys: Iterable[str]) -> list[Optional[bytes]]:
        """The value under each key, in order, ``None`` for a key that is
        not stored: one native call per ``BATCH`` keys, as the same
        sequence of ``get`` calls would read them. TypeError for a key that
        is not a str, and for a ``str`` given as ``keys`` (whose letters
        would be read as keys)."""
        if isinstance(keys, str):
            raise TypeError("get_many() takes an iterable of keys, not a str")
        texts = list(keys)
        for key in texts:
            if type(key) is not str and not isinstance(key, str):
                raise _key_error(key)
        out: list[Optional[bytes]] = []
        for start in range(0, len(texts), BATCH):
            try:
                batch = self._live().get_many(texts[start:start + BATCH])
            except BaseException as e:
                self._raise(e, "read")
            out.extend(value for _, value in batch)
        return out

    def items(self) -> ItemsView[str, bytes]:
        """(key, value) pairs, read ``BATCH`` keys per native call; keys
        deleted while iterating are skipped."""
        return _ItemsView(self)

    def values(self) -> ValuesView[bytes]:
        """Values, read as ``items()`` reads them."""
        return _ValuesView(self)

    def update(
        self,
        other: Union[Mapping[str, _BytesLike], _KeysAndGetitem, Iterable[tuple[str, _BytesLike]]] = (),
        /,
        **kwargs: _BytesLike,
    ) -> None:
        """Stores the pairs of ``other`` as ``dict.update`` reads it (an
        object with ``keys()`` through its keys and ``[]``, anything else
        as an iterable of pairs), then the keyword arguments."""
        self._live()
        if hasattr(other, "keys"):
            source: Any = other
            for key in source.keys():
                self[key] = source[key]
        else:
            for i, pair in enumerate(other):
                try:
                    key, value = pair
                except TypeError:
                    raise TypeError(f"update() takes (key, value) pairs; element #{i} is not one") from None
                except ValueError:
                    raise ValueError(f"update() takes (key, value) pairs; element #{i} has another length") from None
                self[key] = value
        for key, value in kwargs.items():
            self[key] = value

    def setdefault(self, key: str, default: Optional[_BytesLike] = None) -> bytes:
        """The value under ``key``; if there is none, stores ``default``
        and returns it as bytes (TypeError for a default that is not
        bytes-like, None included)."""
        value = self.get(key)
        if value is None:
            value = bytes(_value_bytes(default))
            self[key] = value
        return value

    def popitem(self) -> tuple[str, bytes]:
        """Removes and returns the pair written last, as ``dict.popitem``
        does; KeyError when the store is empty."""
        for key in reversed(list(self)):
            value = self.get(key)
            if value is not None:
                del self[key]
                return key, value
        raise KeyError("popitem(): store is empty")

    def clear(self) -> None:
        """Removes every key: one logged delete each, from one listing of
        the keys (the inherited version lists them once per key)."""
        native = self._live()
        try:
            for key in native.keys():
                native.delete(key)
        except BaseException as e:
            self._raise(e, "write")

    def _batches(self) -> Iterator[list[tuple[str, Optional[bytes]]]]:
        # The store is looked up for every batch, so that a close() in the
        # middle of an iteration is seen and holds no native reference.
        try:
            keys = self._live().keys()
        except BaseException as e:
            self._raise(e, "read")
        for start in range(0, len(keys), BATCH):
            native = self._live()
            try:
                batch = native.get_many(keys[start:start + BATCH])
            except BaseException as e:
                self._raise(e, "read")
            yield batch

    # ---------------------------------------------------------- operations

    def sync(self) -> None:
        """Writes the buffers out and syncs the log: every write made
        before the call survives a crash of the process or of the machine.
        Its cost does not depend on the store's size. After a failure
        (StoreIOError), close the store and open it again. A read-only
        store has nothing to write: sync() returns."""
        try:
            self._live()._sync()
        except BaseException as e:
            if self._readonly and isinstance(e, OSError) and e.errno == _errno.EBADF:
                return  # refused for a read-only store after the native checks passed
            self._raise(e, "sync")

    def persist(self) -> None:
        """Writes out the buffers and a snapshot, then empties the log.

        When it returns, everything written so far survives a crash; it
        survives being killed itself. Raises StoreIOError on a failure.
        """
        try:
            self._live().persist()
        except BaseException as e:
            self._raise(e, "persist")

    def vacuum(self) -> None:
        """Rewrites the data files with only the live records and writes a
        snapshot; reclaims the space of overwritten and deleted values.
        Raises StoreIOError."""
        try:
            self._live().vacuum()
        except BaseException as e:
            self._raise(e, "vacuum")

    def cache_stats(self) -> CacheStats:
        """Entries and capacity of the value cache."""
        entries, capacity = self._live().cache_stats()
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


def _outside_package() -> int:
    """The ``stacklevel`` that names, in a warning given by the caller of
    this function, the first frame outside the package (the line of the
    program that called it)."""
    level = 2
    frame = sys._getframe(2)
    while frame.f_back is not None and frame.f_globals.get("__name__", "").partition(".")[0] == "vantre":
        frame = frame.f_back
        level += 1
    return level


def _read_only_mount(path: str) -> bool:
    try:
        return bool(os.statvfs(path).f_flag & getattr(os, "ST_RDONLY", 1))
    except OSError:
        return False


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


def open(
    path: StrPath,
    cache_size: int = DEFAULT_CACHE_SIZE,
    *,
    readonly: bool = False,
    create: bool = True,
) -> Store:
    """Opens the store in directory ``path``.

    ``cache_size`` is the number of values kept in memory (0 disables the
    cache). A writer (the default) creates the directory and the store's
    files when missing, and holds the directory alone: another open of it
    raises StoreBlockingIOError. With ``readonly=True`` nothing is created,
    changed or truncated; any number of read-only stores, in any
    processes, share the directory, while a writer is refused as long as
    one holds it (and they are refused while a writer does); writes raise
    StoreIOError (EBADF). With ``create=False`` only an existing store is
    opened (StoreFileNotFoundError otherwise); a read-only open of a
    directory without a store gives an empty store unless ``create=False``.
    Use the result with ``with`` or call ``close()``.
    """
    return Store(path, cache_size, readonly=readonly, create=create)
