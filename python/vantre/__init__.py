"""Vantre: a persistent key-value store of ``str`` keys and ``bytes`` values.

    import vantre

    with vantre.open("/var/lib/app/store") as db:
        db["greeting"] = b"hello"
        db["greeting"]            # b"hello"
        "greeting" in db          # True
        db.sync()                 # every write so far survives a crash
        db.persist()              # also a snapshot; the log is emptied

``open`` returns a :class:`Store`, a ``MutableMapping[str, bytes]`` over the
native class ``_vantre.Vantre``; ``open(path, readonly=True)`` shares a
store between readers. What each call raises is listed in the
documentation of ``vantre._store``: every failure is an ``Exception``, I/O
ones a ``StoreIOError`` (an ``OSError``). ``vantre.dbm`` is a face for
programs written for the standard library's ``dbm``. The command-line tool
is ``vantre`` (``python -m vantre``).
"""

from vantre._store import (
    CacheStats,
    ClosedStoreError,
    Stats,
    Store,
    StoreBlockingIOError,
    StoreFileNotFoundError,
    StoreIOError,
    StoreNotADirectoryError,
    StorePermissionError,
    open,
)

# The release, as pyproject.toml names it.
__version__ = "0.1.0"

__all__ = [
    "CacheStats",
    "ClosedStoreError",
    "Stats",
    "Store",
    "StoreBlockingIOError",
    "StoreFileNotFoundError",
    "StoreIOError",
    "StoreNotADirectoryError",
    "StorePermissionError",
    "open",
]
