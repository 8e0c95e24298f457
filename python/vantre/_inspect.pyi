"""Read-only inspection of a store directory (native, built with _vantre)."""

import os
from collections.abc import Callable
from typing import Optional, TypedDict, Union, final

_Path = Union[str, bytes, os.PathLike[str]]
_Progress = Optional[Callable[[int, int], object]]

@final
class Inspector:
    """The state that opening a directory would rebuild, read without
    changing anything. OSError if the directory cannot be read."""

    def __init__(self, path: _Path) -> None: ...
    def figures(self) -> dict[str, int]: ...
    def problems(self) -> list[str]: ...
    def refusal(self) -> Optional[str]: ...
    def notes(self) -> list[str]: ...
    def verify(self, progress: _Progress, /) -> bool: ...
    def live_count(self) -> int: ...
    def entries(
        self, start: int, count: int, values: bool, /
    ) -> list[Optional[tuple[str, Optional[bytes]]]]: ...

class _RecoveryReport(TypedDict):
    from_record_table: bool
    count: int
    lost_records: int
    lost: list[str]
    problems: list[str]

@final
class Recovery:
    """Every key of a directory that can still be read, with its latest
    value, decided without changing anything."""

    def __init__(self, path: _Path) -> None: ...
    def scan(self, progress: _Progress, /) -> bool: ...
    def report(self) -> _RecoveryReport: ...
    def entries(self, start: int, count: int, /) -> list[tuple[str, bytes]]: ...
