"""Crash loop: a child writes to a store and is killed with SIGKILL at a
random moment; the parent reopens the store and checks it against what the
child was told, allowing only the loss README's Durability section states
(tests/harness/common.py, check_recovery).

    crash_loop.py [--rounds N] [--seed S]

The child journals each operation before it starts ("B seq op key length")
and once it is acknowledged ("A seq"), with unbuffered writes to a file
the kernel keeps when the process dies. Values are made from their key and
sequence number, so the journal need not hold them. The store carries on
across rounds (a recovered store is the next round's start) and is made
afresh every ROUNDS_PER_STORE rounds.

Every other round the child also runs, beside its own calls (persist,
vacuum and sync among them), a writer thread on keys of its own ("t...",
sequence numbers from THREAD_SEQ) and a reader thread that checks every
value it reads was written for its key, and never older than one it read
before ("X ..." in the journal otherwise). A write acknowledged before a
persist, vacuum or sync began is durable, whichever thread made it; the
writes of both threads acknowledged after it may be lost only as far as
the log buffer holds them.
"""
import argparse
import os
import random
import shutil
import signal
import sys
import tempfile
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import common  # noqa: E402

KEYS = 300
ROUNDS_PER_STORE = 10
THREAD_KEYS = 100
# Sequence numbers grow across rounds (ROUND_SEQ per round), so that a key's
# values are ordered by them whichever round wrote them; the writer thread's
# start THREAD_SEQ above the main thread's.
ROUND_SEQ = 10**7
THREAD_SEQ = ROUND_SEQ // 2
DURABLE_OPS = ("persist", "vacuum", "sync")


def child(path, journal_path, seed, threaded, first_seq):
    import threading
    from _vantre import Vantre
    rng = random.Random(seed)
    journal = os.open(journal_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    note = lambda text: os.write(journal, (text + "\n").encode())
    db = Vantre(path)
    note("ready")
    if threaded:
        def writer():
            wrng = random.Random(seed + 1)
            seq = first_seq + THREAD_SEQ
            while True:
                seq += 1
                key = f"t{wrng.randrange(THREAD_KEYS)}"
                op = "put" if wrng.random() < 0.7 else "del"
                length = common.random_length(wrng) if op == "put" else 0
                note(f"B {seq} {op} {key} {length}")
                if op == "put":
                    db.set_bytes(key, common.value_for(key, seq, length))
                else:
                    db.delete(key)
                note(f"A {seq}")

        def reader():
            rrng = random.Random(seed + 2)
            seen = {}
            while True:
                key = (f"t{rrng.randrange(THREAD_KEYS)}" if rrng.random() < 0.5
                       else f"k{rrng.randrange(KEYS)}")
                value = db.get_bytes(key)
                if value is None:
                    continue
                parts = value.split(b"#", 2)
                seq = int(parts[1]) if len(parts) == 3 and parts[0] == key.encode() else -1
                if seq < 0 or value != common.value_for(key, seq, len(value)):
                    note(f"X {key} read a value not written for it: {value[:40]!r}")
                elif seq < seen.get(key, 0):
                    note(f"X {key} read #{seq} after #{seen[key]}")
                else:
                    seen[key] = seq

        for target in (writer, reader):
            threading.Thread(target=target, daemon=True).start()
    seq = first_seq
    while True:
        seq += 1
        key = f"k{rng.randrange(KEYS)}"
        r = rng.random()
        op = ("put" if r < 0.6 else "del" if r < 0.8 else "get" if r < 0.94
              else "sync" if r < 0.97 else "persist" if r < 0.99 else "vacuum")
        length = common.random_length(rng) if op == "put" else 0
        note(f"B {seq} {op} {key} {length}")
        if op == "put":
            db.set_bytes(key, common.value_for(key, seq, length))
        elif op == "del":
            db.delete(key)
        elif op == "get":
            db.get_many([key, f"k{rng.randrange(KEYS)}"])
        elif op == "sync":
            db._sync()  # every acknowledged write so far survives the kill
        else:
            getattr(db, op)()
        note(f"A {seq}")


class Part:
    """One thread's writes in a journal: its acknowledged writes in order,
    how many of them were durable (acknowledged before a completed persist,
    vacuum or sync began), and its write in flight."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.writes = []
        self.durable = 0
        self.inflight = None


def parse_journal(path):
    """Returns (ready, parts, problems, killed in): a Part for the main
    thread's keys ("k") and one for the writer thread's ("t"); the reader's
    complaints; the persist, vacuum or sync the kill interrupted, if any."""
    with open(path) as f:
        lines = f.read().splitlines()
    ready = bool(lines) and lines[0] == "ready"
    parts = {"k": Part("k"), "t": Part("t")}
    started, problems = {}, []
    durable_at = {}  # seq of a durability op -> acknowledged writes per part when it began
    for line in lines[1:]:
        fields = line.split()
        if not fields:
            continue
        if fields[0] == "X":
            problems.append(line)
        elif fields[0] == "B" and len(fields) == 5:
            seq, op, key, length = fields[1], fields[2], fields[3], int(fields[4])
            started[seq] = (op, key, length)
            if op in DURABLE_OPS:
                durable_at[seq] = {p: len(part.writes) for p, part in parts.items()}
            elif op in ("put", "del"):
                part = parts[key[0]]
                part.inflight = (("put", key, common.value_for(key, int(seq), length)) if op == "put"
                                 else ("del", key))
        elif fields[0] == "A" and len(fields) == 2 and fields[1] in started:
            op, key, length = started.pop(fields[1])
            if op in DURABLE_OPS:
                for p, n in durable_at.pop(fields[1]).items():
                    parts[p].durable = max(parts[p].durable, n)
            elif op in ("put", "del"):
                part = parts[key[0]]
                part.inflight = None
                part.writes.append(("put", key, common.value_for(key, int(fields[1]), length))
                                   if op == "put" else ("del", key))
    killed_in = next((op for op, _, _ in started.values() if op in DURABLE_OPS), None)
    return ready, parts, problems, killed_in


def one_round(tally, rng, path, state, workdir, index):
    journal = os.path.join(workdir, f"journal-{index}")
    threaded = index % 2 == 1
    proc = common.spawn([os.path.abspath(__file__), "--child", path, journal,
                         str(rng.randrange(1 << 30)), "1" if threaded else "0",
                         str(index * ROUND_SEQ)])
    # Most kills land in the write loop; one in eight during open.
    if rng.random() < 0.875:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and proc.poll() is None:
            if os.path.exists(journal) and os.path.getsize(journal) > 0:
                break
            time.sleep(0.005)
    time.sleep(rng.uniform(0, 0.4))
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    tally.figure("kills", 1 if proc.returncode == -signal.SIGKILL else 0)
    if proc.returncode != -signal.SIGKILL:
        tally.fail(f"round {index}", f"child ended by itself with status {proc.returncode}")
        return None
    if os.path.exists(journal):
        ready, parts, problems, killed_in = parse_journal(journal)
    else:
        ready, parts, problems, killed_in = False, {"k": Part("k"), "t": Part("t")}, [], None
    if killed_in:
        tally.figure(f"kills during {killed_in}" + (" with threads" if threaded else ""), 1)
    if problems:
        tally.fail(f"round {index}", f"the reader thread saw {len(problems)} wrong values, e.g. "
                   f"{problems[:3]}")
        return None
    try:
        with warnings.catch_warnings():
            # A kill during a write of the log's buffer leaves a torn tail,
            # which open moves aside with a warning: part of the kill's loss.
            warnings.simplefilter("ignore", RuntimeWarning)
            got = common.open_read_close(path)
    except BaseException as e:  # noqa: B902 - a panic is a failure too
        tally.fail(f"round {index}", f"reopen failed: {type(e).__name__}: {e}")
        return None
    # Each thread's keys against its own writes; the log buffer the kill may
    # lose is one, shared by both.
    wrong, lost_bytes, lost = [], 0, 0
    for prefix, part in parts.items():
        base = {k: v for k, v in state.items() if k.startswith(prefix)}
        for op in part.writes[:part.durable]:
            common.apply(base, op)
        mine = {k: v for k, v in got.items() if k.startswith(prefix)}
        n, bad = common.check_recovery(mine, base, part.writes[part.durable:], part.inflight)
        wrong += bad
        if not bad:
            lost += n
            lost_bytes += sum(common.wal_size(op) for op in part.writes[len(part.writes) - n:])
    stray = [k for k in got if k[:1] not in parts]
    writes = sum(len(p.writes) for p in parts.values())
    tally.figure("writes acknowledged", writes)
    tally.figure("writes acknowledged beside the main thread", len(parts["t"].writes))
    tally.figure("keys checked", len(got) + len(wrong))
    tally.figure("writes lost within the log-buffer window", lost if not wrong else 0)
    tally.figure("keys lost beyond the window", len(wrong))
    if wrong or stray or lost_bytes > common.WAL_BUFFER:
        tally.fail(f"round {index}", f"{len(wrong)} keys differ beyond the window, e.g. "
                   f"{wrong[:3]}; {len(stray)} keys nobody wrote; {lost_bytes} log bytes lost; "
                   f"{writes} writes, durable {[p.durable for p in parts.values()]}")
        return None
    tally.ok()
    return got


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--seed", type=int)
    ap.add_argument("--child", nargs=5)
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], args.child[1], int(args.child[2]), args.child[3] == "1",
                     int(args.child[4]))
    rng, _ = common.seeded(args.seed)
    tally = common.Tally("crash loop")
    workdir = tempfile.mkdtemp(prefix="vantre-crash-")
    try:
        state = None
        for index in range(args.rounds):
            path = os.path.join(workdir, f"store-{index // ROUNDS_PER_STORE}")
            if index % ROUNDS_PER_STORE == 0 or state is None:
                shutil.rmtree(path, ignore_errors=True)
                state = {}
            state = one_round(tally, rng, path, state, workdir, index)
        tally.figure("rounds", args.rounds)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return tally.finish()


if __name__ == "__main__":
    sys.exit(main())
