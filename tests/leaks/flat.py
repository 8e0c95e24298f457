"""Resident memory and descriptors stay flat over long loops.

    flat.py [--scale F]

Loops: opening and freeing a store; writing and reading a working set that
fits the cache; reading, with a small cache, a working set one key larger
than it (every read evicts). After a warm-up the loop runs twice as long
again; the resident set may not grow by more than SLACK_MIB over the
second half, and the open descriptors not at all.
"""
import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
import common  # noqa: E402
from _vantre import Vantre  # noqa: E402

SLACK_MIB = 8


def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def fds():
    return len(os.listdir("/proc/self/fd"))


# Each maker opens what its loop needs and returns the loop's step.
def open_close(path):
    def step(i):
        db = Vantre(path)
        db.set_bytes(f"k{i % 10}", b"v" * 100)
        del db
        common.collect()
    return step


def hot_set_get(path):
    db = Vantre(path)

    def step(i):
        key = f"k{i % 1000}"
        db.set_bytes(key, b"x" * (i % 50))
        db.get_bytes(key)
        if i % 50000 == 0:
            db.persist()
    return step


def evicting_reads(path):
    db = Vantre(path, cache_size=10)
    for i in range(11):
        db.set_bytes(f"k{i}", b"v")
    return lambda i: db.get_bytes(f"k{i % 11}")


# (name, maker, warm-up count, known fault it shows until fixed)
LOOPS = [("open/close", open_close, 300, None),
         ("set/get, hot keys", hot_set_get, 200000, None),
         ("get, every read evicts", evicting_reads, 500000, None)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scale", type=float, default=1.0)
    args = ap.parse_args()
    tally = common.Tally("flat memory")
    root = tempfile.mkdtemp(prefix="vantre-flat-")
    try:
        for i, (name, loop, count, known) in enumerate(LOOPS):
            path = os.path.join(root, str(i))
            count = max(1, int(count * args.scale))
            step = loop(path)
            # PyPy's collector sizes its heap over the first few hundred
            # thousand operations (seen: +16 MiB between 400,000 and 800,000
            # reads, then flat for millions): warm up past that.
            warm_up = count * (4 if sys.implementation.name == "pypy" else 1)
            for n in range(warm_up):
                step(n)
            common.collect()
            rss, fd = rss_mib(), fds()
            for n in range(warm_up, warm_up + 2 * count):
                step(n)
            common.collect()
            del step
            common.collect()
            grew, fd_grew = rss_mib() - rss, fds() - fd
            tally.figure(f"{name}: RSS growth MiB over {2 * count} iterations", round(grew, 1))
            if grew > SLACK_MIB or fd_grew > 0:
                tally.fail(name, f"RSS +{grew:.1f} MiB, descriptors +{fd_grew}", known=known)
            else:
                tally.ok()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return tally.finish()


if __name__ == "__main__":
    sys.exit(main())
