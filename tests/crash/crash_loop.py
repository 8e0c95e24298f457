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
"""
import argparse
import os
import random
import shutil
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import common  # noqa: E402

KEYS = 300
ROUNDS_PER_STORE = 10


def child(path, journal_path, seed):
    from _vantre import Vantre
    rng = random.Random(seed)
    journal = os.open(journal_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    note = lambda text: os.write(journal, (text + "\n").encode())
    db = Vantre(path)
    note("ready")
    seq = 0
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


def parse_journal(path):
    """Returns (ready, durable index, acknowledged writes, in-flight write):
    writes as ("put", key, value) / ("del", key); the durable index counts
    the writes before the last completed persist, vacuum or sync."""
    with open(path) as f:
        lines = f.read().splitlines()
    ready = bool(lines) and lines[0] == "ready"
    started, writes, durable, inflight = {}, [], 0, None
    for line in lines[1:]:
        parts = line.split()
        if parts[0] == "B" and len(parts) == 5:
            started[parts[1]] = parts[2:]
            inflight = parts[2:] + [parts[1]]
        elif parts[0] == "A" and len(parts) == 2 and parts[1] in started:
            op, key, length = started.pop(parts[1])
            inflight = None
            if op == "put":
                writes.append(("put", key, common.value_for(key, int(parts[1]), int(length))))
            elif op == "del":
                writes.append(("del", key))
            elif op in ("persist", "vacuum", "sync"):
                durable = len(writes)
    if inflight is not None:
        op, key, length, seq = inflight
        inflight = (("put", key, common.value_for(key, int(seq), int(length))) if op == "put"
                    else ("del", key) if op == "del" else None)
    return ready, durable, writes, inflight


def one_round(tally, rng, path, state, workdir, index):
    journal = os.path.join(workdir, f"journal-{index}")
    proc = common.spawn([os.path.abspath(__file__), "--child", path, journal,
                         str(rng.randrange(1 << 30))])
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
    ready, durable, writes, inflight = parse_journal(journal) if os.path.exists(journal) \
        else (False, 0, [], None)
    base = dict(state)
    for op in writes[:durable]:
        common.apply(base, op)
    try:
        got = common.open_read_close(path)
    except BaseException as e:  # noqa: B902 - a panic is a failure too
        tally.fail(f"round {index}", f"reopen failed: {type(e).__name__}: {e}")
        return None
    lost, wrong = common.check_recovery(got, base, writes[durable:], inflight)
    tally.figure("writes acknowledged", len(writes))
    tally.figure("keys checked", len(got) + len(wrong))
    tally.figure("writes lost within the log-buffer window", lost if not wrong else 0)
    tally.figure("keys lost beyond the window", len(wrong))
    if wrong:
        tally.fail(f"round {index}", f"{len(wrong)} keys differ beyond the window, e.g. "
                   f"{wrong[:3]}; {len(writes)} writes, {durable} durable")
        return None
    tally.ok()
    return got


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--seed", type=int)
    ap.add_argument("--child", nargs=3)
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], args.child[1], int(args.child[2]))
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
