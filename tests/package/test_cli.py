"""The vantre command-line tool: check on sound and damaged directories,
stats, dump and load, compact, recover, the progress bar, exit codes and
the installed entry points."""
import base64
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


def contents(path):
    with vantre.open(path) as db:
        return dict(db)


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
    # A store open refuses (its snapshot does not decode) is exit 2, as for
    # every command; damage open confines is exit 1.
    assert status == (2 if damage is _short_snapshot else 1)
    assert out.startswith(f"{path}: 1 problem\n  - ") and expected in out, out
    assert digest(path) == before


@pytest.mark.parametrize("command", ["check", "stats", "dump", "compact", "recover"])
def test_a_directory_that_is_not_a_store_exits_2(tmp_path, capsys, command):
    extra = [str(tmp_path / "dst")] if command == "recover" else []
    (tmp_path / "empty").mkdir()
    for path, message in [(tmp_path / "absent", "No such file or directory"),
                          (tmp_path / "empty", "not a store directory")]:
        assert tool(command, str(path), *extra) == (2, "")
        assert capsys.readouterr().err == f"vantre: {path}: {message}" + (
            ": none of its files exist\n" if "store" in message else "\n")
    assert os.listdir(tmp_path / "empty") == []


def test_check_json_and_the_cut_file_note(filled):
    path, expected = filled
    status, out = tool("check", path, "--json")
    report = json.loads(out)
    assert status == 0 and report["sound"] and report["problems"] == report["notes"] == []
    assert report["figures"]["live_keys"] == len(expected)
    _torn_log(path)
    with pytest.warns(RuntimeWarning, match="2 bytes"):
        vantre.open(path).close()
    status, out = tool("check", path)
    assert status == 0 and "note: " + os.path.join(path, "wal.bin.cut") + " holds 2 bytes" in out
    assert json.loads(tool("check", path, "--json")[1])["figures"]["cut_file_bytes"] == 2


def test_check_json_prints_a_report_for_every_outcome(filled, tmp_path, capsys):
    path, _ = filled
    (tmp_path / "empty").mkdir()
    _key_past_data(path)
    for target, status, error in [
        (path, 1, None),
        (str(tmp_path / "absent"), 2, "No such file or directory"),
        (str(tmp_path / "empty"), 2, "not a store directory: none of its files exist"),
    ]:
        got, out = tool("check", target, "--json")
        report = json.loads(out)
        assert got == status and report["path"] == target and report["sound"] is False
        assert report["error"] == error
        assert (report["figures"] is None) == (error is not None) and bool(report["problems"]) == (not error)
        err = capsys.readouterr().err
        assert err == (f"vantre: {target}: {error}\n" if error else ""), err


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


def test_dump_writes_json_lines_that_load_reads_back(filled, tmp_path, capsys):
    path, expected = filled
    status, out = tool("dump", path, "--values")
    assert status == 0
    lines = [json.loads(line) for line in out.splitlines()]
    with vantre.open(path) as db:
        assert [line["key"] for line in lines] == list(db)
    assert {line["key"]: base64.b64decode(line["value"]) for line in lines} == expected
    assert tool("dump", path)[1].splitlines() == [json.dumps({"key": line["key"]}) for line in lines]
    dump_file = tmp_path / "dump.jsonl"
    dump_file.write_text(out)
    copy = str(tmp_path / "copy")
    assert tool("load", copy, str(dump_file)) == (0, f"{copy}: loaded {len(expected)} keys\n")
    assert contents(copy) == expected
    assert json.loads(tool("stats", copy, "--json")[1])["log_bytes"] == 0  # persisted
    # A store that holds keys is refused unless told.
    assert tool("load", copy, str(dump_file))[0] == 1
    assert "holds 45 keys" in capsys.readouterr().err
    dump_file.write_text(json.dumps({"key": "extra", "value": "eA=="}) + "\n")
    assert tool("load", copy, str(dump_file), "--force")[0] == 0
    assert contents(copy) == {**expected, "extra": b"x"}


@pytest.mark.parametrize("line, message", [
    ("not json", "line 2: not JSON"),
    ('{"key": "a"}', 'line 2: no base64 "value"'),
    ('{"key": "a", "value": "!!"}', "line 2: value is not base64"),
])
def test_load_reports_the_bad_line(tmp_path, capsys, line, message):
    dump_file = tmp_path / "in.jsonl"
    dump_file.write_text('{"key": "ok", "value": ""}\n' + line + "\n")
    assert tool("load", str(tmp_path / "s"), str(dump_file))[0] == 1
    assert f"vantre: {dump_file}: {message}" in capsys.readouterr().err


def test_load_of_a_key_utf8_cannot_encode_reports_the_line(tmp_path):
    target = tmp_path / "new" / "store"
    proc = run(["-m", "vantre", "load", str(target)], input='{"key":"\\ud800","value":""}\n')
    assert proc.returncode == 1 and "Traceback" not in proc.stderr, proc.stderr
    assert proc.stderr.startswith('vantre: <stdin>: line 1: the "key" is not text a store can hold'), proc.stderr
    assert not (tmp_path / "new").exists()  # nor the parent it created


def test_a_failed_load_leaves_no_directory_it_created(tmp_path, capsys):
    dump_file = tmp_path / "in.jsonl"
    dump_file.write_text('{"key": "ok", "value": ""}\n' + "not json\n")
    target = tmp_path / "a" / "b"
    assert tool("load", str(target), str(dump_file))[0] == 1
    assert not (tmp_path / "a").exists()
    assert f"{tmp_path / 'a'}, which load created, was removed" in capsys.readouterr().err
    existing = tmp_path / "existing"
    existing.mkdir()
    assert tool("load", str(existing), str(dump_file))[0] == 1
    assert "1 keys before it were written" in capsys.readouterr().err
    assert existing.is_dir() and contents(str(existing)) == {"ok": b""}


def test_compact_drops_dead_records(filled):
    path, expected = filled
    status, out = tool("compact", path)
    assert status == 0 and f"{path}: 45 keys" in out
    figures = json.loads(tool("stats", path, "--json")[1])
    assert (figures["records"], figures["dead_records"], figures["log_bytes"]) == (45, 0, 0)
    assert figures["reclaimable_bytes"] == 0
    with vantre.open(path) as db:
        assert dict(db) == expected


@pytest.mark.parametrize("damage", [_short_snapshot, _key_past_data])
def test_compact_and_stats_refuse_a_damaged_store(filled, capsys, damage):
    path, _ = filled
    damage(path)
    before = digest(path)
    if damage is _short_snapshot:
        # Refused by open: every command refuses it with open's own reason.
        with pytest.raises(vantre.StoreIOError) as raised:
            vantre.open(path)
        for command in ("compact", "stats", "dump"):
            assert tool(command, path) == (2, "")
            err = capsys.readouterr().err
            assert err == f"vantre: {path}: {raised.value.strerror}\n"
            assert f"vantre recover {path} NEW_DIR" in err
    else:
        assert tool("compact", path) == (1, "")
        err = capsys.readouterr().err
        assert f"vantre: {path}: damaged (1 problem); nothing was changed" in err
        assert f"vantre recover {path} NEW_DIR" in err
        status, out = tool("stats", path)
        assert status == 1 and "live keys:" in out
        assert "warning: the store is damaged" in capsys.readouterr().err
    assert digest(path) == before


def test_every_command_refuses_what_open_refuses_and_dump_says_what_it_left_out(filled, capsys):
    path, expected = filled
    # Records that neither the snapshot nor the log accounts for: a
    # snapshot older than the last persist.
    with vantre.open(path) as db:
        db.persist()
        older = open(os.path.join(path, "snapshot.bin"), "rb").read()
        for i in range(400):
            db[f"n{i}"] = b"v" * 50
        db.persist()
        db["last"] = b"l"
    with open(os.path.join(path, "snapshot.bin"), "wb") as f:
        f.write(older)
    before = digest(path)
    with pytest.raises(vantre.StoreIOError) as raised:
        vantre.open(path)
    assert "disagree" in str(raised.value)
    for command in ("stats", "dump", "compact", "load", "check"):
        status, _ = tool(command, path)
        err = capsys.readouterr().err
        assert status == 2 and raised.value.strerror in err, (command, err)
    assert digest(path) == before
    # A cut data file: opened with the damage confined; dump leaves out
    # what it cannot read, says so and exits 1, after any number of opens.
    other = path + "-cut"
    expected = fill(other)
    os.truncate(os.path.join(other, "vals.bin"), 100)
    for _ in range(2):
        with vantre.open(other) as db:
            db["more"] = b"m" * 100
        status, out = tool("dump", other, "--values")
        err = capsys.readouterr().err
        lines = [json.loads(line) for line in out.splitlines()]
        assert status == 1 and "keys were left out" in err, err
        dumped = {d["key"]: base64.b64decode(d["value"]) for d in lines}
        assert all(expected.get(k, b"m" * 100) == v for k, v in dumped.items())
        assert "more" in dumped and len(dumped) < len(expected)
        assert tool("check", other)[0] == 1
        assert tool("stats", other)[0] == 1
        capsys.readouterr()


def test_recover_takes_the_writes_a_lost_log_held_from_the_record_table(store_dir, tmp_path):
    with vantre.open(store_dir) as db:
        for i in range(300):
            db[f"k{i}"] = b"v" * 100
        db.persist()
        for i in range(300, 600):
            db[f"k{i}"] = b"w" * 100
    os.remove(os.path.join(store_dir, "wal.bin"))
    assert tool("check", store_dir)[0] == 2
    dst = str(tmp_path / "recovered")
    status, out = tool("recover", store_dir, dst)
    assert status == 1 and "300 later writes were taken from the record table" in out, out
    assert contents(dst) == {f"k{i}": b"v" * 100 if i < 300 else b"w" * 100 for i in range(600)}


def test_recover_from_a_damaged_snapshot(filled, tmp_path, capsys):
    path, expected = filled
    _short_snapshot(path)
    before = digest(path)
    dst = str(tmp_path / "recovered")
    status, out = tool("recover", path, dst)
    assert status == 0, out
    assert out.startswith(f"{path} -> {dst}: recovered 45 keys from the record table")
    assert "keys deleted before the last persist may have come back" in out
    assert contents(dst) == expected
    assert digest(path) == before
    # Only into a new or empty directory outside the source.
    assert tool("recover", path, dst) == (1, "")
    assert tool("recover", path, os.path.join(path, "new")) == (1, "")
    err = capsys.readouterr().err
    assert f"vantre: {dst}: not empty" in err and "lies inside the source store" in err
    assert digest(path) == before


def test_recover_reports_what_it_could_not_bring_back(filled, tmp_path):
    path, expected = filled
    _key_past_data(path)
    dst = str(tmp_path / "recovered")
    status, out = tool("recover", path, dst)
    assert status == 1
    assert "could not recover:\n  - record 12: key bytes 26+1048576" in out
    assert "may have come back" not in out
    del expected["k12"]
    assert contents(dst) == expected


def test_version_and_exit_codes_in_help(capsys):
    for args in (["--version"], ["--help"]):
        with pytest.raises(SystemExit) as stop:
            cli.main(args)
        assert stop.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith(f"vantre {vantre.__version__}\n")
    assert "exit status:\n  0  success" in out and "\n  2  usage" in out


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
