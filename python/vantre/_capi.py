"""The engine through its plain C interface (libvantre_capi.so), via cffi.

Under PyPy a call through cffi is compiled by the JIT into a direct C call,
where a call into ``_vantre`` goes through the interpreter's emulation of
the CPython C API and costs several times more. :class:`Vantre` here has
the methods, arguments and exceptions of ``_vantre.Vantre``, so that the
package runs on either; :func:`load` says whether this path is available.

Each thread keeps one scratch set (a key buffer, a result buffer for single
reads and a batch for ``get_many`` and ``keys``), so a read allocates only
its result, and a store needs no lock of its own on this side.
"""

from __future__ import annotations

import os
import threading
import warnings
from collections.abc import Sequence
from typing import Any, Optional

# The declarations of src/capi/vantre_capi.h, which documents them (values
# are declared `const char*` here so that bytes objects pass in place).
CDEF = """
#define VANTRE_OK 0
#define VANTRE_ABSENT 1
#define VANTRE_FAILED -1
#define VANTRE_FATAL -2
#define VANTRE_NO_MEMORY -3
#define VANTRE_CLOSED -4
#define VANTRE_BUSY -5
#define VANTRE_OPEN_READ_ONLY 1
#define VANTRE_OPEN_NO_CREATE 2
typedef struct vantre_error {
  int32_t kind; int32_t os_errno; char message[1024]; char file[1024];
} vantre_error;
typedef struct vantre_buf { char* data; size_t len; size_t cap; } vantre_buf;
typedef struct vantre_batch {
  char* data; uint64_t* offsets; int64_t* lengths; size_t count; size_t data_cap;
  size_t entries_cap;
} vantre_batch;
typedef struct vantre_db vantre_db;
int vantre_open(const char* path, uint64_t cache_capacity, int flags, vantre_db** out,
                vantre_error* err);
int vantre_close(vantre_db* db, vantre_error* err);
void vantre_free(vantre_db* db);
size_t vantre_open_notice(vantre_db* db, const char* path, char* out, size_t cap);
int vantre_put(vantre_db* db, const char* key, size_t key_len, const char* val, size_t val_len,
               vantre_error* err);
int vantre_get(vantre_db* db, const char* key, size_t key_len, vantre_buf* out, vantre_error* err);
int vantre_get_many(vantre_db* db, const char* const* keys, const size_t* key_lens, size_t n,
                    vantre_batch* out, vantre_error* err);
int vantre_get_many_packed(vantre_db* db, const char* keys, const size_t* key_lens, size_t n,
                           vantre_batch* out, vantre_error* err);
int vantre_delete(vantre_db* db, const char* key, size_t key_len, vantre_error* err);
int vantre_len(vantre_db* db, uint64_t* out, vantre_error* err);
int vantre_keys(vantre_db* db, vantre_batch* out, vantre_error* err);
int vantre_cache_stats(vantre_db* db, uint64_t* entries, uint64_t* capacity, vantre_error* err);
int vantre_clear_cache(vantre_db* db, vantre_error* err);
int vantre_persist(vantre_db* db, vantre_error* err);
int vantre_vacuum(vantre_db* db, vantre_error* err);
int vantre_sync(vantre_db* db, vantre_error* err);
int vantre_flush(vantre_db* db, vantre_error* err);
uint64_t vantre_max_value_length(void);
void vantre_last_error(vantre_error* out);
void vantre_buf_free(vantre_buf* buf);
void vantre_batch_free(vantre_batch* batch);
"""

LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libvantre_capi.so")

# Error kinds, numbered as the C interface numbers them.
KIND_NAMES = ("os", "would_block", "unexpected_eof", "write_zero", "invalid_input",
              "invalid_data", "reentered", "wrong_process")
_RUNTIME_KINDS = ("reentered", "wrong_process")
_MAX_LENGTH = 0xFFFFFFFF
_DEFAULT_CACHE = 10000

_ffi: Any = None
_lib: Any = None
_max_value = _MAX_LENGTH


class PanicException(BaseException):
    """A failure the store's native code cannot recover from; as the native
    module's exception of the same name, it derives from BaseException."""


def load() -> bool:
    """Loads cffi and the library once; False if either is missing."""
    global _ffi, _lib, _max_value
    if _lib is not None:
        return True
    try:
        import cffi  # type: ignore[import]
    except ImportError:
        return False
    if not os.path.exists(LIBRARY):
        return False
    ffi = cffi.FFI()
    ffi.cdef(CDEF)
    _lib = ffi.dlopen(LIBRARY)
    _ffi = ffi
    _max_value = int(_lib.vantre_max_value_length())
    return True


def _raise(status: int, err: Any, by_errno: bool) -> None:
    """Raises the exception the native module raises for the same failure:
    a reported failure as OSError (a subclass by errno when `by_errno`), a
    fatal one as PanicException, each with errno, kind and file set."""
    if status == _lib.VANTRE_NO_MEMORY:
        raise MemoryError()
    if status == _lib.VANTRE_CLOSED:
        raise ValueError("operation on a closed store")
    if status == _lib.VANTRE_BUSY:
        raise RuntimeError("the store is in use by another call; close it once that call returns")
    kind = KIND_NAMES[err.kind] if 0 <= err.kind < len(KIND_NAMES) else None
    code = err.os_errno or None
    text = _ffi.string(err.message).decode("utf-8", "replace")
    file = os.fsdecode(_ffi.string(err.file)) or None
    exc: BaseException
    if status == _lib.VANTRE_FATAL:
        exc = PanicException(text)
    elif kind in _RUNTIME_KINDS:
        exc = RuntimeError(text)
    elif kind == "would_block" and by_errno:
        exc = BlockingIOError(text)
    elif kind == "os" and by_errno and code is not None:
        exc = OSError(code, text)  # OSError picks the subclass for the errno
        exc.args = (text,)
    else:
        exc = OSError(text)
    for name, value in (("errno", code), ("kind", kind), ("file", file)):
        try:
            setattr(exc, name, value)
        except AttributeError:
            pass
    raise exc


def _key(key: object, name: str = "key") -> bytes:
    if not isinstance(key, str):
        raise TypeError(f"argument '{name}': '{type(key).__name__}' object cannot be converted to 'PyString'")
    return key.encode("utf-8")


# A read's key, up to this long, is copied into the thread's key buffer and
# passed from there rather than as the bytes object itself (which the
# interpreter must pin in place or copy for the call): measured faster for
# reads, not for writes, which pass their keys in place.
_KEY_ROOM = 1024


class _Scratch:
    """One thread's buffers, shared by every store: a call fills them and
    the result is copied out before the call returns, so threads need no
    lock around them (a lock here cost more than the read under PyPy).
    `busy` marks a call in progress: a call made meanwhile on the same
    thread (from a finalizer the collector runs mid-call, say) gets a
    scratch set of its own instead of overwriting this one's result."""

    __slots__ = ("key", "buf", "batch", "busy")

    def __init__(self) -> None:
        self.key = _ffi.new("char[]", _KEY_ROOM)
        self.buf = _ffi.gc(_ffi.new("vantre_buf*"), _lib.vantre_buf_free)
        self.batch = _ffi.gc(_ffi.new("vantre_batch*"), _lib.vantre_batch_free)
        self.busy = False

    def pass_key(self, k: bytes) -> Any:
        """What to pass for the encoded key `k`: the key buffer holding a
        copy of it, or `k` itself when it does not fit."""
        n = len(k)
        if n > _KEY_ROOM:
            return k
        self.key[0:n] = k
        return self.key


_local = threading.local()


def _scratch() -> _Scratch:
    """This thread's scratch set, marked busy; a fresh one if it is busy."""
    try:
        s: _Scratch = _local.scratch
    except AttributeError:
        s = _local.scratch = _Scratch()
    if s.busy:
        s = _Scratch()
    s.busy = True
    return s


def _fail(status: int, by_errno: bool) -> None:
    """Raises the failure of a call made with a NULL error, which the
    library kept for this thread."""
    err = _ffi.new("vantre_error*")
    _lib.vantre_last_error(err)
    _raise(status, err, by_errno)


class Vantre:
    """A store opened through the C interface; the methods of
    ``_vantre.Vantre``. Calls pass a NULL error (the library keeps a
    failure per thread) and use per-thread result buffers, so a store is
    used from several threads without a lock of its own."""

    __slots__ = ("_db", "__weakref__")
    _db: Any

    def __init__(self, storage_path: str, cache_size: int = _DEFAULT_CACHE, *,
                 readonly: bool = False, create: bool = True) -> None:
        self._db = None
        if not load():
            raise ImportError("the store's C interface is not available")
        if not isinstance(storage_path, str):
            raise TypeError("argument 'storage_path': expected str")
        cache = int(cache_size.__index__())
        if not 0 <= cache <= 0xFFFFFFFF:
            raise OverflowError("cache_size does not fit in 32 bits")
        flags = ((_lib.VANTRE_OPEN_READ_ONLY if readonly else 0) |
                 (0 if create else _lib.VANTRE_OPEN_NO_CREATE))
        out = _ffi.new("vantre_db**")
        path = os.fsencode(storage_path)
        status = _lib.vantre_open(path, cache, flags, out, _ffi.NULL)
        if status != 0:
            _fail(status, True)
        self._db = out[0]
        size = _lib.vantre_open_notice(self._db, path, _ffi.NULL, 0)
        if size:
            text = _ffi.new("char[]", size + 1)
            _lib.vantre_open_notice(self._db, path, text, size + 1)
            warnings.warn(_ffi.string(text).decode("utf-8", "replace"), RuntimeWarning, stacklevel=2)

    def _close(self) -> None:
        """Writes the buffers out and releases the store at once (files,
        maps, directory lock); later calls raise ValueError."""
        status = _lib.vantre_close(self._db, _ffi.NULL)
        if status != 0:
            _fail(status, True)

    def __del__(self) -> None:
        db, self._db = self._db, None
        if db is not None:
            _lib.vantre_free(db)  # closes first; ignoring any potential errors

    def _call(self, fn: Any, by_errno: bool, *args: Any) -> int:
        """Runs `fn(db, *args, NULL)`; raises on a failure, else returns the
        status (0, or 1 for absent)."""
        status: int = fn(self._db, *args, _ffi.NULL)
        if status < 0:
            _fail(status, by_errno)
        return status

    def set_bytes(self, key: str, val: Any) -> None:
        k = _key(key)
        # bytes pass to C in place; anything else is copied into bytes first
        v = val if type(val) is bytes else bytes(val)
        if len(k) > _MAX_LENGTH:
            raise OverflowError(f"key is longer than {_MAX_LENGTH} bytes")
        if len(v) > _max_value:
            raise OverflowError(f"value is longer than {_max_value} bytes")
        # The key passes in place: a put fills no buffer of this thread's,
        # and its key, just encoded, is in the processor's cache.
        status = _lib.vantre_put(self._db, k, len(k), v, len(v), _ffi.NULL)
        if status < 0:
            _fail(status, True)

    def get_bytes(self, key: str) -> Optional[bytes]:
        k = _key(key)
        s = _scratch()
        try:
            buf = s.buf
            status = _lib.vantre_get(self._db, s.pass_key(k), len(k), buf, _ffi.NULL)
            if status == 0:
                value: bytes = _ffi.unpack(buf.data, buf.len)
                return value
        finally:
            s.busy = False
        if status < 0:
            _fail(status, True)
        return None

    def get_many(self, keys: Sequence[str]) -> list[tuple[str, Optional[bytes]]]:
        if isinstance(keys, str):
            raise TypeError("argument 'keys': Can't extract `str` to `Vec`")
        texts = list(keys)
        encoded = [_key(k, "keys") for k in texts]
        n = len(encoded)
        # The keys end to end in one bytes object: cheaper to build than an
        # array of pointers, one per key.
        lens = _ffi.new("size_t[]", [len(k) for k in encoded]) if n else _ffi.NULL
        s = _scratch()
        try:
            b = s.batch
            self._call(_lib.vantre_get_many_packed, True, b"".join(encoded), lens, n, b)
            return [(text, None if b.lengths[i] < 0 else _ffi.unpack(b.data + b.offsets[i], b.lengths[i]))
                    for i, text in enumerate(texts)]
        finally:
            s.busy = False

    def delete(self, key: str) -> bool:
        k = _key(key)
        status: int = _lib.vantre_delete(self._db, k, len(k), _ffi.NULL)
        if status < 0:
            _fail(status, True)
        return status == 0

    def len(self) -> int:
        out = _ffi.new("uint64_t*")
        self._call(_lib.vantre_len, True, out)
        return int(out[0])

    def keys(self) -> list[str]:
        s = _scratch()
        try:
            b = s.batch
            self._call(_lib.vantre_keys, True, b)
            return [_ffi.unpack(b.data + b.offsets[i], b.lengths[i]).decode("utf-8", "replace")
                    for i in range(b.count)]
        finally:
            s.busy = False

    def cache_stats(self) -> tuple[int, int]:
        entries = _ffi.new("uint64_t*")
        capacity = _ffi.new("uint64_t*")
        self._call(_lib.vantre_cache_stats, True, entries, capacity)
        return int(entries[0]), int(capacity[0])

    def clear_cache(self) -> None:
        self._call(_lib.vantre_clear_cache, True)

    def persist(self) -> None:
        self._call(_lib.vantre_persist, True)

    def vacuum(self) -> None:
        self._call(_lib.vantre_vacuum, False)

    def _sync(self) -> None:
        self._call(_lib.vantre_sync, True)

    def flush(self) -> None:
        self._call(_lib.vantre_flush, True)


__all__ = ["Vantre", "PanicException", "load", "LIBRARY"]
