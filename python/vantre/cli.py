"""The ``vantre`` command-line tool.

    vantre stats DIR [--json]   figures of a store directory
    vantre check DIR            verify it without changing it; exit 1 on problems
    vantre dump DIR [--values]  list the keys (and values)
    vantre compact DIR          vacuum, then persist

``stats``, ``check`` and ``dump`` only read the directory (through the
engine's own decoders, in ``vantre._inspect``): they never create, change
or lock a file, and may run beside a process that has the store open, in
which case they see what that process has written out so far. ``compact``
opens the store and needs the directory to itself.

Exit status: 0 on success, 1 when ``check`` finds problems or a command
fails, 2 for a usage error. A progress bar is drawn on standard error
during long work when it is a terminal.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Sequence
from typing import Optional, TextIO

from vantre import _store

# Keys (and values) read per native call by dump.
DUMP_BATCH = 4096


class Progress:
    """A one-line progress bar on a terminal; silent anywhere else.

    The bar appears only once the work has lasted ``delay`` seconds, so
    short work prints nothing, and is redrawn at most ten times a second.
    """

    WIDTH = 30

    def __init__(self, label: str, stream: Optional[TextIO] = None, delay: float = 0.5) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.enabled = self.stream.isatty()
        self.label = label
        self.start = time.monotonic()
        self.delay = delay
        self.last = 0.0
        self.drawn = False

    def update(self, done: int, total: int) -> bool:
        """Shows ``done`` of ``total``; returns True (go on)."""
        if not self.enabled:
            return True
        now = time.monotonic()
        if now - self.start < self.delay or (now - self.last < 0.1 and done < total):
            return True
        self.last = now
        fraction = done / total if total else 1.0
        filled = int(self.WIDTH * fraction)
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        self.stream.write(f"\r{self.label} [{bar}] {fraction:4.0%} {done}/{total}")
        self.stream.flush()
        self.drawn = True
        return True

    def finish(self) -> None:
        """Clears the bar, if one was drawn."""
        if self.drawn:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.drawn = False


def _human(n: int) -> str:
    """A byte count for people: unit and exact count."""
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{n} B" if unit == "B" else f"{value:.1f} {unit} ({n} B)"
        value /= 1024
    return f"{n} B"  # not reached


def cmd_stats(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre stats DIR [--json]``: the directory's figures, read-only."""
    from vantre import _inspect

    inspector = _inspect.Inspector(args.dir)
    figures = inspector.figures()
    if args.json:
        json.dump(figures, out, indent=2, sort_keys=True)
        out.write("\n")
        return 0
    rows = [
        ("live keys", str(figures["live_keys"])),
        ("records", str(figures["records"])),
        ("dead records", str(figures["dead_records"])),
        ("record capacity", str(figures["record_capacity"])),
        ("offsets.bin", _human(figures["offsets_bytes"])),
        ("keys.bin", _human(figures["keys_bytes"])),
        ("vals.bin", _human(figures["values_bytes"])),
        ("snapshot.bin", _human(figures["snapshot_bytes"]) if figures["snapshot_present"] else "absent"),
        ("wal.bin", f"{_human(figures['log_bytes'])}, {figures['log_records']} records"),
        ("live data", _human(figures["live_data_bytes"])),
        ("reclaimable by vacuum", _human(figures["reclaimable_bytes"])),
    ]
    if figures["log_torn_bytes"]:
        rows.append(("torn log tail", _human(figures["log_torn_bytes"])))
    if figures["vacuum_pending"]:
        rows.append(("pending", "a compaction switch, completed by the next open"))
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        out.write(f"{name + ':':<{width + 1}} {value}\n")
    return 0


def cmd_check(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre check DIR``: 0 when sound, 1 with the list of problems."""
    from vantre import _inspect

    try:
        inspector = _inspect.Inspector(args.dir)
        bar = Progress("checking")
        try:
            inspector.verify(bar.update)
        finally:
            bar.finish()
        problems = inspector.problems()
        figures = inspector.figures()
    except OSError as e:
        out.write(f"{args.dir}: 1 problem\n  - cannot be read: {e.strerror or e}\n")
        return 1
    if not problems:
        out.write(
            f"{args.dir}: sound ({figures['live_keys']} live keys, "
            f"{figures['records']} records, {figures['log_records']} log records)\n"
        )
        return 0
    noun = "problem" if len(problems) == 1 else "problems"
    out.write(f"{args.dir}: {len(problems)} {noun}\n")
    for problem in problems:
        out.write(f"  - {problem}\n")
    return 1


def cmd_dump(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre dump DIR [--values]``: one JSON-quoted key a line, in
    listing order; with ``--values`` a tab and the value's ``repr``."""
    from vantre import _inspect

    inspector = _inspect.Inspector(args.dir)
    total = inspector.live_count()
    bar = Progress("dumping")
    try:
        for start in range(0, total, DUMP_BATCH):
            bar.update(start, total)
            for key, value in inspector.entries(start, DUMP_BATCH, args.values):
                line = json.dumps(key, ensure_ascii=False)
                if value is not None:
                    line += "\t" + repr(value)
                out.write(line + "\n")
        bar.update(total, total)
    finally:
        bar.finish()
    return 0


def cmd_compact(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre compact DIR``: vacuum, then persist; opens the store."""
    bar = Progress("compacting", delay=0.0)
    with _store.open(args.dir, cache_size=0) as db:
        before = db.stats()
        bar.update(0, 2)
        db.vacuum()
        bar.update(1, 2)
        db.persist()
        bar.update(2, 2)
        after = db.stats()
    bar.finish()
    out.write(
        f"{args.dir}: {after.keys} keys; data files {before.data_bytes} -> {after.data_bytes} bytes\n"
    )
    return 0


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the tool, one sub-command per command."""
    parser = argparse.ArgumentParser(prog="vantre", description="Inspect and maintain Vantre store directories.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    stats = commands.add_parser("stats", help="figures of a store directory (read-only)")
    stats.add_argument("dir", metavar="DIR")
    stats.add_argument("--json", action="store_true", help="print the figures as JSON")
    stats.set_defaults(run=cmd_stats)

    check = commands.add_parser("check", help="verify a directory without changing it")
    check.add_argument("dir", metavar="DIR")
    check.set_defaults(run=cmd_check)

    dump = commands.add_parser("dump", help="list the keys, one JSON string a line (read-only)")
    dump.add_argument("dir", metavar="DIR")
    dump.add_argument("--values", action="store_true", help="follow each key by a tab and its value")
    dump.set_defaults(run=cmd_dump)

    compact = commands.add_parser("compact", help="vacuum, then persist (opens the store)")
    compact.add_argument("dir", metavar="DIR")
    compact.set_defaults(run=cmd_compact)
    return parser


def main(argv: Optional[Sequence[str]] = None, out: Optional[TextIO] = None) -> int:
    """Runs the tool with ``argv`` (default: the process's arguments),
    writing to ``out`` (default: standard output); returns the exit status."""
    args = build_parser().parse_args(argv)
    stream = sys.stdout if out is None else out
    try:
        status: int = args.run(args, stream)
    except BrokenPipeError:  # output closed early (| head)
        return 1
    except OSError as e:
        sys.stderr.write(f"vantre {args.command}: {args.dir}: {e.strerror or e}\n")
        return 1
    return status


def main_exit() -> None:
    """Entry point of the installed ``vantre`` script."""
    sys.exit(main())
