"""Type information for the native module ``_vantre``.

The module has one class, :class:`Vantre`. Its failures (see the
``vantre`` package's documentation for each call):

* ``OSError`` and its subclasses for a failure the call reports and
  survives (opening, ``persist``, ``vacuum``, ``_sync``, ``_close``);
  like ``PanicException`` it carries the failure as the attributes
  ``errno`` (int or None), ``kind`` (str) and ``file`` (str or None);
* ``pyo3_runtime.PanicException``, which derives from ``BaseException``,
  for one it cannot recover from (an I/O failure while writing or reading
  a record, a damaged record). The type is not an attribute of the module;
* ``ValueError`` for any call after ``_close()``.
"""

from collections.abc import Sequence
from typing import SupportsIndex, final

__all__ = ["Vantre"]

@final
class Vantre:
    """One open storage directory; freeing the object closes it."""

    def __new__(
        cls,
        storage_path: str,
        cache_size: SupportsIndex = ...,
        *,
        readonly: object = ...,
        create: object = ...,
    ) -> Vantre:
        """Opens the store; ``readonly`` shares it with other readers and
        changes nothing, ``create=False`` opens only an existing store."""
    def set_bytes(self, key: str, val: bytes | bytearray | Sequence[int]) -> None:
        """Stores ``val`` under ``key``."""
    def get_bytes(self, key: str) -> bytes | None:
        """The value stored under ``key``, or None."""
    def delete(self, key: str) -> bool:
        """Removes ``key``; False if it was not stored."""
    def persist(self) -> None:
        """Writes a snapshot and empties the log."""
    def vacuum(self) -> None:
        """Rewrites the data files with only the live records."""
    def _sync(self) -> None:
        """Writes the buffers out and syncs the log."""
    def _close(self) -> None:
        """Writes the buffers out and closes the store at once."""
    def len(self) -> int:
        """Number of stored keys."""
    def keys(self) -> list[str]:
        """Every stored key, in the order of their latest writes."""
    def cache_stats(self) -> tuple[int, int]:
        """(entries, capacity) of the value cache."""
    def clear_cache(self) -> None:
        """Empties the value cache."""
    def get_many(self, keys: Sequence[str]) -> list[tuple[str, bytes | None]]:
        """(key, value or None) for each of ``keys``, in order."""
