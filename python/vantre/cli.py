"""The ``vantre`` command-line tool.

    vantre stats DIR [--json]        figures of a store directory
    vantre check DIR [--json]        verify it without changing it
    vantre dump DIR [--values]       the keys (and values) as JSON Lines
    vantre load DIR [FILE] [--force] read JSON Lines into a new or empty store
    vantre compact DIR               check, then vacuum and persist
    vantre recover SRC DST           copy what can still be read into a new store

``stats``, ``check``, ``dump`` and ``recover`` only read their directory
(through the engine's own decoders, in ``vantre._inspect``): they never
create, change or lock a file in it, and may run beside a process that has
the store open, in which case they see what that process has written out so
far. ``load`` and ``compact`` open the store and need the directory to
themselves.

A progress bar is drawn on standard error during long work when it is a
terminal. Errors are printed as ``vantre: <path>: <message>``.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import io
import json
import os
import shutil
import sys
import time
from collections.abc import Iterator, Sequence
from typing import IO, Any, Optional, TextIO

from vantre import _store

# Keys (and values) read per native call by dump and recover.
BATCH = 4096

EXIT_OK = 0
EXIT_PROBLEMS = 1
EXIT_USAGE = 2

EXIT_CODES = f"""\
exit status:
  {EXIT_OK}  success: the store is sound, the command did its work
  {EXIT_PROBLEMS}  problems: check or stats found damage, compact or load refused,
     recover could not bring everything back, or the command failed
  {EXIT_USAGE}  usage: bad arguments, DIR is missing or is not a store directory, or
     its files disagree so that vantre.open refuses it (run `vantre recover`)
"""


class CommandError(Exception):
    """A failure the tool reports as ``vantre: <path>: <message>``."""

    def __init__(self, path: str, message: str, status: int = EXIT_PROBLEMS) -> None:
        super().__init__(f"{path}: {message}")
        self.path = path
        self.message = message
        self.status = status


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


def _inspector(path: str) -> Any:
    """The read-only inspector of store directory ``path``; CommandError
    (exit 2) when it is missing or is not a store directory."""
    from vantre import _inspect

    try:
        inspector = _inspect.Inspector(path)
    except (FileNotFoundError, NotADirectoryError) as e:
        raise CommandError(path, e.strerror or str(e), EXIT_USAGE) from None
    if not inspector.figures()["store_present"]:
        raise CommandError(path, "not a store directory: none of its files exist", EXIT_USAGE)
    return inspector


def _refuse_as_open_does(inspector: Any, path: str) -> None:
    """CommandError (exit 2) with open's own reason when ``vantre.open``
    refuses the store: every command sees the store the package sees."""
    refusal = inspector.refusal()
    if refusal:
        raise CommandError(path, refusal, EXIT_USAGE)


def _verified(path: str, label: str, refuse: bool = True) -> Any:
    """The inspector of ``path`` after a full verification; CommandError
    (exit 2) for a store open refuses, unless ``refuse`` is false."""
    inspector = _inspector(path)
    if refuse:
        _refuse_as_open_does(inspector, path)
    bar = Progress(label)
    try:
        inspector.verify(bar.update)
    finally:
        bar.finish()
    return inspector


def _problems(n: int) -> str:
    return f"{n} problem" if n == 1 else f"{n} problems"


def _warn(path: str, message: str) -> None:
    sys.stderr.write(f"vantre: {path}: {message}\n")


def cmd_stats(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre stats DIR [--json]``: the directory's figures, read-only;
    exit 1 with a warning when the store is damaged."""
    inspector = _verified(args.dir, "checking")
    figures = inspector.figures()
    if args.json:
        json.dump(figures, out, indent=2, sort_keys=True)
        out.write("\n")
    else:
        _print_figures(figures, out)
    problems = inspector.problems()
    if problems:
        _warn(args.dir, f"warning: the store is damaged ({_problems(len(problems))}), these figures "
                        f"may be wrong; run `vantre check {args.dir}`")
        return EXIT_PROBLEMS
    return EXIT_OK


def _print_figures(figures: dict[str, Any], out: TextIO) -> None:
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
    if figures["cut_file_bytes"]:
        rows.append(("wal.bin.cut", _human(figures["cut_file_bytes"])))
    if figures["vacuum_pending"]:
        rows.append(("pending", "a compaction switch, completed by the next open"))
    elif figures["switch_pending"]:
        rows.append(("pending", "a snapshot and log switch, completed by the next open"))
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        out.write(f"{name + ':':<{width + 1}} {value}\n")


def cmd_check(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre check DIR [--json]``: 0 when sound, 1 with the list of
    problems. Notes (a wal.bin.cut side file) do not make it unsound.
    With ``--json`` every outcome prints a report; one that could not
    check (exit 2 for a directory that is not a store, 1 otherwise) has
    ``"sound": false``, the reason in ``"error"`` and ``"figures": null``,
    and the error is also printed on standard error."""
    try:
        inspector = _verified(args.dir, "checking", refuse=False)
    except (CommandError, OSError) as e:
        if args.json:
            reason = e.message if isinstance(e, CommandError) else e.strerror or str(e)
            json.dump({"path": args.dir, "sound": False, "error": reason, "problems": [], "notes": [],
                       "figures": None}, out, indent=2, sort_keys=True)
            out.write("\n")
        raise
    problems, notes, figures = inspector.problems(), inspector.notes(), inspector.figures()
    refusal = inspector.refusal()
    status = EXIT_USAGE if refusal else EXIT_PROBLEMS if problems else EXIT_OK
    if args.json:
        report = {"path": args.dir, "sound": not problems, "error": refusal, "problems": problems,
                  "notes": notes, "figures": figures}
        json.dump(report, out, indent=2, sort_keys=True)
        out.write("\n")
        return status
    if not problems:
        out.write(
            f"{args.dir}: sound ({figures['live_keys']} live keys, "
            f"{figures['records']} records, {figures['log_records']} log records)\n"
        )
    else:
        out.write(f"{args.dir}: {_problems(len(problems))}\n")
        for problem in problems:
            out.write(f"  - {problem}\n")
    for note in notes:
        out.write(f"  note: {note}\n")
    if refusal:
        _warn(args.dir, refusal)
    return status


def cmd_dump(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre dump DIR [--values]``: JSON Lines in listing order, one
    object a key: ``{"key": ...}``, with ``--values`` also ``"value"``,
    the value in base64. ``vantre load`` reads it back. Keys whose records
    are damaged (a read of them fails) are left out and counted: exit 1.
    A store open refuses is refused: exit 2."""
    inspector = _inspector(args.dir)
    _refuse_as_open_does(inspector, args.dir)
    total = inspector.live_count()
    left_out = 0
    bar = Progress("dumping")
    try:
        for start in range(0, total, BATCH):
            bar.update(start, total)
            for entry in inspector.entries(start, BATCH, args.values):
                if entry is None:
                    left_out += 1
                    continue
                key, value = entry
                line: dict[str, str] = {"key": key}
                if value is not None:
                    line["value"] = base64.b64encode(value).decode("ascii")
                out.write(json.dumps(line, ensure_ascii=False) + "\n")
        bar.update(total, total)
    finally:
        bar.finish()
    if left_out:
        _warn(args.dir, f"{left_out} of {total} keys were left out: their records are damaged "
                        f"and cannot be read; run `vantre check {args.dir}`, and `vantre recover "
                        f"{args.dir} NEW_DIR` to copy what can be read")
        return EXIT_PROBLEMS
    return EXIT_OK


def _parse_line(text: str, where: str) -> tuple[str, bytes]:
    """The key and value of one line of ``vantre dump --values``."""
    try:
        item = json.loads(text)
    except ValueError as e:
        raise CommandError(where, f"not JSON: {e}") from None
    if not isinstance(item, dict) or not isinstance(item.get("key"), str):
        raise CommandError(where, 'expected an object with a string "key"')
    if not isinstance(item.get("value"), str):
        raise CommandError(where, 'no base64 "value" (dump with --values)')
    try:
        item["key"].encode("utf-8")
    except UnicodeEncodeError:
        raise CommandError(where, 'the "key" is not text a store can hold (a lone surrogate, '
                                  "which UTF-8 cannot encode)") from None
    try:
        return item["key"], base64.b64decode(item["value"], validate=True)
    except binascii.Error as e:
        raise CommandError(where, f"value is not base64: {e}") from None


def _input_lines(source: IO[str]) -> Iterator[tuple[int, str]]:
    """Numbered non-blank lines of ``source``."""
    for number, text in enumerate(source, 1):
        if text.strip():
            yield number, text


def cmd_load(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre load DIR [FILE] [--force]``: reads ``vantre dump --values``
    output (FILE, or standard input) into a new or empty store, then
    persists. A store that holds keys is refused unless ``--force``."""
    if os.path.isdir(args.dir) and os.listdir(args.dir):
        inspector = _inspector(args.dir)
        _refuse_as_open_does(inspector, args.dir)
        existing = inspector.figures()["live_keys"]
        if existing and not args.force:
            raise CommandError(args.dir, f"holds {existing} keys; load fills a new or empty store "
                                         "(--force loads into it anyway)")
    name = "<stdin>" if args.file == "-" else args.file
    try:
        # UTF-8, as dump writes it, whatever the locale says.
        source = (io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8")
                  if args.file == "-" else open(args.file, encoding="utf-8"))
    except OSError as e:
        raise CommandError(name, e.strerror or str(e)) from None
    loaded = 0
    created = _store.missing_parts(args.dir)
    try:
        with _store.open(args.dir, cache_size=0) as db:
            for number, text in _input_lines(source):
                key, value = _parse_line(text, f"{name}: line {number}")
                db[key] = value
                loaded += 1
            db.persist()
    except BaseException as e:
        # A failed load leaves no directory behind that it created.
        removed = _remove_created(created)
        if isinstance(e, CommandError):
            e.message += (f" (nothing was kept: {removed}, which load created, was removed)" if removed
                          else f" ({loaded} keys before it were written to {args.dir})")
        raise
    finally:
        if args.file == "-":
            source.detach()  # standard input stays open
        else:
            source.close()
    out.write(f"{args.dir}: loaded {loaded} keys\n")
    return EXIT_OK


def _remove_created(created: list[str]) -> Optional[str]:
    """Removes the outermost directory of ``created`` (with what a load
    wrote into it), if it was made; returns it, or None."""
    if not created or not os.path.isdir(created[-1]):
        return None
    shutil.rmtree(created[-1], ignore_errors=True)
    return None if os.path.lexists(created[-1]) else created[-1]


def cmd_compact(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre compact DIR``: the checks of ``check`` first (refusing a
    damaged store, changing nothing), then vacuum and persist."""
    problems = _verified(args.dir, "checking").problems()
    if problems:
        raise CommandError(args.dir, f"damaged ({_problems(len(problems))}); nothing was changed. "
                                     f"Run `vantre check {args.dir}` for the list and "
                                     f"`vantre recover {args.dir} NEW_DIR` to copy what can be read")
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
    return EXIT_OK


def _copy_recovered(recovery: Any, count: int, dst: str) -> None:
    """Writes the ``count`` recovered entries into the new store ``dst``."""
    bar = Progress("writing")
    try:
        with _store.open(dst, cache_size=0) as db:
            for start in range(0, count, BATCH):
                bar.update(start, count)
                for key, value in recovery.entries(start, BATCH):
                    db[key] = value
            db.persist()
            bar.update(count, count)
    finally:
        bar.finish()


def cmd_recover(args: argparse.Namespace, out: TextIO) -> int:
    """``vantre recover SRC DST``: a new store at DST with every key of
    SRC that can still be read, with its latest value; SRC is only read.
    Exit 0 when nothing was lost, 1 with the report otherwise."""
    from vantre import _inspect

    _inspector(args.dir)  # exit 2 for a directory that is not a store
    src, dst = os.path.realpath(args.dir), os.path.realpath(args.dst)
    if os.path.commonpath([src, dst]) == src:
        raise CommandError(args.dst, "lies inside the source store, which recover never writes to")
    if os.path.exists(args.dst) and (not os.path.isdir(args.dst) or os.listdir(args.dst)):
        raise CommandError(args.dst, "not empty; recover writes a new store (choose a new directory)")
    recovery = _inspect.Recovery(args.dir)
    bar = Progress("reading")
    try:
        recovery.scan(bar.update)
    finally:
        bar.finish()
    report = recovery.report()
    _copy_recovered(recovery, report["count"], args.dst)
    origin = "the record table and the data files, the log on top" if report["from_record_table"] \
        else "the snapshot and the log"
    out.write(f"{args.dir} -> {args.dst}: recovered {report['count']} keys from {origin}\n")
    if report["lost"]:
        out.write("could not recover:\n")
        for item in report["lost"]:
            out.write(f"  - {item}\n")
    if report["from_record_table"]:
        out.write("warning: without a usable snapshot, keys deleted before the last persist may "
                  f"have come back in {args.dst}\n")
    return EXIT_PROBLEMS if report["lost"] else EXIT_OK


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("vantre")
    except metadata.PackageNotFoundError:
        import vantre

        return str(getattr(vantre, "__version__", "(not installed)"))


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the tool, one sub-command per command."""
    parser = argparse.ArgumentParser(
        prog="vantre", description="Inspect and maintain Vantre store directories.",
        epilog=EXIT_CODES, formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"vantre {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, run: Any, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help, epilog=EXIT_CODES,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("dir", metavar="SRC" if name == "recover" else "DIR")
        sub.set_defaults(run=run)
        return sub

    stats = command("stats", cmd_stats, "figures of a store directory (read-only)")
    stats.add_argument("--json", action="store_true", help="print the figures as JSON")
    check = command("check", cmd_check, "verify a directory without changing it")
    check.add_argument("--json", action="store_true", help="print the report as JSON")
    dump = command("dump", cmd_dump, "list the keys as JSON Lines (read-only)")
    dump.add_argument("--values", action="store_true", help="add each value, base64-encoded")
    load = command("load", cmd_load, "read `dump --values` output into a new or empty store")
    load.add_argument("file", metavar="FILE", nargs="?", default="-",
                      help="JSON Lines to read (default: standard input)")
    load.add_argument("--force", action="store_true", help="load into a store that holds keys")
    command("compact", cmd_compact, "check, then vacuum and persist (opens the store)")
    recover = command("recover", cmd_recover,
                      "copy every key that can still be read into a new store (SRC is only read)")
    recover.add_argument("dst", metavar="DST")
    return parser


def main(argv: Optional[Sequence[str]] = None, out: Optional[TextIO] = None) -> int:
    """Runs the tool with ``argv`` (default: the process's arguments),
    writing to ``out`` (default: standard output); returns the exit status."""
    args = build_parser().parse_args(argv)
    stream = sys.stdout if out is None else out
    try:
        status: int = args.run(args, stream)
    except BrokenPipeError:  # output closed early (| head)
        return EXIT_PROBLEMS
    except CommandError as e:
        _warn(e.path, e.message)
        return e.status
    except OSError as e:
        _warn(e.filename if isinstance(e.filename, str) else args.dir, e.strerror or str(e))
        return EXIT_PROBLEMS
    return status


def main_exit() -> None:
    """Entry point of the installed ``vantre`` script."""
    sys.exit(main())
