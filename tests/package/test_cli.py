"""The vantre command-line tool: check on sound and damaged directories,
stats, dump, compact, the progress bar, and the installed entry points."""
import io
import json
import os
import struct

import pytest

import vantre
from vantre import cli

from conftest import digest, fill, run


def tool(*args):
    """Runs the tool in this process; returns (exit status, output)."""
    out = io.StringIO()
    status = cli.main(list(args), out=out)
    return status, out.getvalue()


@pytest.fixture
def filled(store_dir):
    return store_dir, fill(store_dir)


def test_check_passes_a_sound_directory_without_changing_it(filled):
    path, expected = filled
    before = digest(path)
    status, out = tool("check", path)
    assert status == 0, out
    assert out == f"{path}: sound ({len(expected)} live keys, 60 records, 15 log records)\n"
    assert digest(path) == before


def _flip_key_byte(path):
    with open(os.path.join(path, "keys.bin"), "r+b") as f:
        f.seek(20)  # after k0..k9, which the log rewrites
        f.write(b"j")  # record 10's key k10 becomes j10


def _torn_log(path):
    with open(os.path.join(path, "wal.bin"), "ab") as f:
        f.write(b"\x00\x00")


def _short_snapshot(path):
    with open(os.path.join(path, "snapshot.bin"), "r+b") as f:
        f.truncate(30)


def _key_past_data(path):
    with open(os.path.join(path, "offsets.bin"), "r+b") as f:
        f.seek(12 * 24 + 8)  # record 12's key length
        f.write(struct.pack("<I", 1 << 20))


@pytest.mark.parametrize(
    "damage, expected",
    [
        (_flip_key_byte, "record 10: its key j10 does not hash to a key index entry naming it"),
        (_torn_log, "wal.bin has a torn tail: 2 bytes"),
        (_short_snapshot, "snapshot.bin does not decode"),
        (_key_past_data, "record 12: key bytes 26+1048576 lie outside the key data"),
    ],
)
def test_check_flags_a_damaged_directory(filled, damage, expected):
    path, _ = filled
    damage(path)
    before = digest(path)
    status, out = tool("check", path)
    assert status == 1
    assert out.startswith(f"{path}: 1 problem\n  - ") and expected in out, out
    assert digest(path) == before


def test_check_of_a_missing_directory(tmp_path):
    status, out = tool("check", str(tmp_path / "absent"))
    assert status == 1 and "No such file or directory" in out


def test_stats_figures(filled):
    path, expected = filled
    status, out = tool("stats", path, "--json")
    figures = json.loads(out)
    assert status == 0
    assert figures["live_keys"] == len(expected) == 45
    assert (figures["records"], figures["dead_records"], figures["log_records"]) == (60, 15, 15)
    assert figures["log_bytes"] == os.path.getsize(os.path.join(path, "wal.bin"))
    assert figures["reclaimable_bytes"] > 0
    status, text = tool("stats", path)
    assert "live keys:" in text and "reclaimable by vacuum:" in text


def test_dump_lists_what_the_store_holds(filled):
    path, expected = filled
    status, out = tool("dump", path, "--values")
    assert status == 0
    lines = [line.split("\t") for line in out.splitlines()]
    with vantre.open(path) as db:
        assert [json.loads(k) for k, _ in lines] == list(db)
    assert {json.loads(k): eval(v) for k, v in lines} == expected
    status, keys_only = tool("dump", path)
    assert keys_only.splitlines() == [k for k, _ in lines]


def test_compact_drops_dead_records(filled):
    path, expected = filled
    status, out = tool("compact", path)
    assert status == 0 and f"{path}: 45 keys" in out
    figures = json.loads(tool("stats", path, "--json")[1])
    assert (figures["records"], figures["dead_records"], figures["log_bytes"]) == (45, 0, 0)
    assert figures["reclaimable_bytes"] == 0
    with vantre.open(path) as db:
        assert dict(db) == expected


class _Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_only_on_a_terminal():
    terminal, pipe = _Terminal(), io.StringIO()
    for stream in (terminal, pipe):
        bar = cli.Progress("checking", stream=stream, delay=0.0)
        bar.update(5, 10)
        bar.finish()
    assert "checking [" in terminal.getvalue() and "50%" in terminal.getvalue()
    assert terminal.getvalue().endswith("\r\033[K")
    assert pipe.getvalue() == ""


def test_python_dash_m(filled):
    path, _ = filled
    proc = run(["-m", "vantre", "check", path])
    assert proc.returncode == 0 and "sound" in proc.stdout, proc.stderr
    proc = run(["-m", "vantre", "stats"])
    assert proc.returncode == 2 and "DIR" in proc.stderr
