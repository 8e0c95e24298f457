#!/usr/bin/env python3
"""Before/after: the same workload on `_vantre` built from several git
revisions, run alternately in one session so that the machine's drift
falls on every revision alike. Prints ns per call, the best and the
spread over the rounds, per revision.

    python3 bench/revs.py 7ce90f6 HEAD            # 200,000 keys, 3 rounds
    python3 bench/revs.py --keys 1000000 --rounds 5 HEAD~3 HEAD

Each revision is built once (CPython only) into build/revs/<sha>/, from a
`git archive` of that revision. Workload, keys in random order, 100-byte
values: insert, overwrite, persist, clear_cache, get (default cache),
get_many in batches of 1,000, delete.
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ROWS = ("insert", "overwrite", "get", "get_many", "delete")

CHILD = r"""
import random, shutil, sys, tempfile, time
sys.path.insert(0, sys.argv[1])
from _vantre import Vantre
n = int(sys.argv[2])
keys = [f"key{i:09d}" for i in range(n)]
random.Random(1).shuffle(keys)
val = b"v" * 100
d = tempfile.mkdtemp()
db = Vantre(d + "/s")
def timed(fn):
    t = time.perf_counter_ns(); fn(); return (time.perf_counter_ns() - t) / n
def put():
    for k in keys: db.set_bytes(k, val)
def get():
    for k in keys: db.get_bytes(k)
def many():
    for i in range(0, n, 1000): db.get_many(keys[i:i + 1000])
def delete():
    for k in keys: db.delete(k)
out = [timed(put), timed(put)]
db.persist()
db.clear_cache()
out += [timed(get), timed(many), timed(delete)]
del db
shutil.rmtree(d)
print(" ".join("%.0f" % x for x in out))
"""


def build(rev):
    sha = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", rev], check=True,
                         capture_output=True, text=True).stdout.strip()
    src = os.path.join(ROOT, "build", "revs", sha)
    out = os.path.join(src, "build", "python")
    if not os.path.isdir(out):
        os.makedirs(src, exist_ok=True)
        archive = subprocess.run(["git", "-C", ROOT, "archive", sha], check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        subprocess.run(["cmake", "-S", src, "-B", os.path.join(src, "build"),
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVANTRE_TESTS=OFF",
                        "-DVANTRE_PYTHONS=/usr/bin/python3"], check=True, capture_output=True)
        subprocess.run(["cmake", "--build", os.path.join(src, "build"), "-j2",
                        "--target", "vantre_py0"], check=True, capture_output=True)
    return sha, out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("revs", nargs="+")
    ap.add_argument("--keys", type=int, default=200_000)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    builds = [build(rev) for rev in args.revs]
    results = {sha: [] for sha, _ in builds}
    with tempfile.TemporaryDirectory():
        for _ in range(args.rounds):
            for sha, path in builds:
                line = subprocess.run([sys.executable, "-c", CHILD, path, str(args.keys)],
                                      check=True, capture_output=True, text=True).stdout
                results[sha].append([float(x) for x in line.split()])
    print(f"_vantre by revision, CPython, {args.keys:,} keys, 100-byte values; "
          f"ns per call, best (spread) of {args.rounds} alternating rounds")
    print(f"{'revision':10s}" + "".join(f"{row:>18s}" for row in ROWS))
    for sha, runs in results.items():
        cells = []
        for i in range(len(ROWS)):
            col = [r[i] for r in runs]
            cells.append(f"{min(col):8.0f} ({min(col):.0f}-{max(col):.0f})")
        print(f"{sha:10s}" + "".join(f"{c:>18s}" for c in cells))


if __name__ == "__main__":
    main()
