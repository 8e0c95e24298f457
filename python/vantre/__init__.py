"""Vantre: a persistent key-value store of ``str`` keys and ``bytes`` values.

    import vantre

    with vantre.open("/var/lib/app/store") as db:
        db["greeting"] = b"hello"
        db["greeting"]            # b"hello"
        "greeting" in db          # True
        db.persist()              # survives a killed process from here on

``open`` returns a :class:`Store`, a ``MutableMapping[str, bytes]`` over the
native class ``_vantre.Vantre``. What each call raises is listed in the
documentation of ``vantre._store``; the command-line tool is ``vantre``
(``python -m vantre``).
"""

from vantre._store import (
    CacheStats,
    ClosedStoreError,
    Stats,
    Store,
    StoreIOError,
    open,
)

__all__ = [
    "CacheStats",
    "ClosedStoreError",
    "Stats",
    "Store",
    "StoreIOError",
    "open",
]
