"""Eight threads mix every method on one store for a bounded time.

    threads.py [--seconds S] [--seed S]

Each thread writes only its own keys (so the final contents are known) and
reads, lists, persists and vacuums the whole store. Checks: no crash, no
deadlock (every thread finishes within a deadline), every read of a
thread's own key sees that thread's latest write, and the final contents,
in process and after a reopen, are the union of the threads' models.
"""
import argparse
import os
import random
import shutil
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import common  # noqa: E402
from _vantre import Vantre  # noqa: E402

THREADS = 8
KEYS_PER_THREAD = 50


def worker(db, index, seed, stop, model, errors):
    rng = random.Random(seed)
    seq = 0
    try:
        while not stop.is_set():
            seq += 1
            key = f"t{index}-{rng.randrange(KEYS_PER_THREAD)}"
            r = rng.random()
            if r < 0.4:
                value = common.value_for(key, seq, rng.randrange(0, 300))
                db.set_bytes(key, value)
                model[key] = value
            elif r < 0.55:
                if db.delete(key) != (key in model):
                    raise AssertionError(f"delete({key!r}) disagrees with the model")
                model.pop(key, None)
            elif r < 0.75:
                if db.get_bytes(key) != model.get(key):
                    raise AssertionError(f"get_bytes({key!r}) is not the thread's last write")
            elif r < 0.85:
                got = dict(db.get_many([key, f"t{rng.randrange(THREADS)}-0"]))
                if got[key] != model.get(key):
                    raise AssertionError(f"get_many({key!r}) is not the thread's last write")
            elif r < 0.93:
                listed = db.keys()
                if len(listed) != len(set(listed)):
                    raise AssertionError("keys() lists a key twice")
                db.len()
                db.cache_stats()
            elif r < 0.99:
                db.persist()
            else:
                db.vacuum()
    except BaseException as e:  # noqa: B902 - a panic is a failure too
        errors.append(f"thread {index}: {type(e).__name__}: {e}")
        stop.set()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--seed", type=int)
    args = ap.parse_args()
    rng, _ = common.seeded(args.seed)
    tally = common.Tally("threads")
    path = tempfile.mkdtemp(prefix="vantre-threads-")
    try:
        db = Vantre(os.path.join(path, "store"), cache_size=64)
        stop = threading.Event()
        models = [{} for _ in range(THREADS)]
        errors = []
        threads = [threading.Thread(target=worker, daemon=True,
                                    args=(db, i, rng.randrange(1 << 30), stop, models[i], errors))
                   for i in range(THREADS)]
        for t in threads:
            t.start()
        time.sleep(args.seconds)
        stop.set()
        for t in threads:
            t.join(timeout=60)
        if any(t.is_alive() for t in threads):
            tally.fail("run", "a thread did not finish within 60 s of the stop: deadlock")
            tally.finish()
            os._exit(1)  # the stuck thread holds the store; nothing more can run
        for e in errors:
            tally.fail("run", e)
        if not errors:
            tally.ok()
        want = {}
        for m in models:
            want.update(m)
        for when in ("final state", "after reopen"):
            try:
                got = common.read_state(db)
                wrong = common.diff_keys(got, want)
                if wrong:
                    tally.fail(when, f"{len(wrong)} keys differ, e.g. {wrong[:3]}")
                else:
                    tally.ok()
            except BaseException as e:  # noqa: B902
                tally.fail(when, f"{type(e).__name__}: {e}")
            del db
            common.collect()
            db = Vantre(os.path.join(path, "store"))
        del db
        common.collect()
        tally.figure("keys at the end", len(want))
    finally:
        shutil.rmtree(path, ignore_errors=True)
    return tally.finish()


if __name__ == "__main__":
    sys.exit(main())
