#!/usr/bin/env python3
"""A get_bytes loop to run under a profiler: builds a store of --n keys
(100-byte values), then reads --ops random present keys --loops times.

    perf record -e cpu-clock -g -- /usr/bin/python3 bench/profile_get.py --mode hit
    valgrind --tool=callgrind /usr/bin/python3 bench/profile_get.py --n 100000 --ops 100000 --loops 1

--mode hit    cache_size = --ops, filled by an untimed pass: every read hits
--mode miss   default cache (10,000 entries): almost every read misses
--mode floor  the C floor function (bench/floor.c) on the same keys
Prints ns per call of the measured loops (profiler overhead included).
To profile only the measured loops, start perf disabled with a control
fifo and name it in PERF_CTL_FIFO; the script enables perf around them:

    mkfifo /tmp/ctl; PERF_CTL_FIFO=/tmp/ctl perf record -D -1 --control fifo:/tmp/ctl \
        -e cpu-clock -g -- /usr/bin/python3 bench/profile_get.py --mode hit
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.append(os.path.join(os.path.dirname(HERE), "build", "python"))

from _vantre import Vantre  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mode", choices=("hit", "miss", "floor"), default="hit")
    ap.add_argument("--n", type=int, default=1000000)
    ap.add_argument("--ops", type=int, default=200000)
    ap.add_argument("--loops", type=int, default=20)
    args = ap.parse_args()

    tmp = tempfile.mkdtemp(prefix="vantre-profile-")
    try:
        rng = random.Random(1)
        keys = ["key%010d" % i for i in range(args.n)]
        rng.shuffle(keys)
        value = bytes(100)
        path = os.path.join(tmp, "store")
        db = Vantre(path, cache_size=1)
        put = db.set_bytes
        for k in keys:
            put(k, value)
        db = put = None  # closes the store (and its directory lock) for the reopen below
        sample = rng.sample(keys, args.ops)
        if args.mode == "floor":
            import floor
            get = floor.load().get
        else:
            db = Vantre(path, cache_size=args.ops) if args.mode == "hit" else Vantre(path)
            get = db.get_bytes
            for k in sample:
                get(k)
        ctl = os.environ.get("PERF_CTL_FIFO")
        ctl = open(ctl, "w", buffering=1) if ctl else None
        if ctl:
            ctl.write("enable\n")
        t0 = time.perf_counter_ns()
        for _ in range(args.loops):
            for k in sample:
                get(k)
        ns = (time.perf_counter_ns() - t0) / (args.loops * args.ops)
        if ctl:
            ctl.write("disable\n")
            ctl.close()
        print("%s: %.0f ns per call over %d calls" % (args.mode, ns, args.loops * args.ops))
        db = None
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
