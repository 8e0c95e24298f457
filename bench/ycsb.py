"""YCSB-style skewed mixed workloads for the comparative benchmark
(bench/compare.py).

A store is loaded with N keys ("key%010d", 0 <= i < N, inserted in random
order), then runs, one after the other and single-threaded:

  A  50% reads, 50% updates
  B  95% reads,  5% updates
  C  100% reads
  F  50% reads, 50% read-modify-writes (read the key, then write a new value)

Keys are drawn from a Zipf distribution of constant 0.99 over the N keys:
the key of popularity rank r (0 = hottest) is drawn with probability
proportional to 1 / (r + 1)^0.99, sampled exactly through the cumulative
weights. Ranks map to keys through a seeded random permutation, so hot keys
are scattered over the key space rather than adjacent. Updates write values
of the run's value size from a pool of random values.

The operation kinds, keys and values are generated from the seed before
anything is timed, so every store runs the identical sequence. Each workload
runs its sequence twice on the store: once untimed per operation, for the
throughput (operations over the loop's wall time; a read-modify-write counts
as one operation), then once with every operation timed by two
time.perf_counter_ns() readings into a preallocated array, for the 99th
percentile latency. Those latencies include the clock's own cost, which
timer_cost() measures.

This file runs under CPython 3.11 and PyPy 3.9: no syntax newer than 3.9.
"""

import bisect
import itertools
import math
import random
import time
from array import array

from benchutil import timed

ZIPF_THETA = 0.99
READ, UPDATE, RMW = 0, 1, 2
VALUE_POOL = 1024  # distinct random update values

# letter -> (description, [(kind, proportion)])
WORKLOADS = {
    "a": ("50% read, 50% update", [(READ, 0.5), (UPDATE, 0.5)]),
    "b": ("95% read, 5% update", [(READ, 0.95), (UPDATE, 0.05)]),
    "c": ("100% read", [(READ, 1.0)]),
    "f": ("50% read, 50% read-modify-write", [(READ, 0.5), (RMW, 0.5)]),
}
LETTERS = "abcf"


# ------------------------------------------------------------- generation
class ScrambledZipf:
    """Draws key ids in [0, n) with Zipf(ZIPF_THETA) popularity; the rank to
    id mapping is a random permutation from `rng`."""

    def __init__(self, n, rng):
        self.cdf = array("d", itertools.accumulate((r + 1) ** -ZIPF_THETA for r in range(n)))
        self.total = self.cdf[-1]
        self.ids = list(range(n))
        rng.shuffle(self.ids)
        self.last = n - 1

    def draw(self, u):
        """The key id for a uniform u in [0, 1)."""
        rank = bisect.bisect_right(self.cdf, u * self.total)
        return self.ids[rank if rank < self.last else self.last]


def make_sequence(zipf, letter, ops, vsize, key_kind, seed):
    """(kinds, keys, vals) of `ops` operations of workload `letter`: kinds an
    array of READ/UPDATE/RMW, keys in the store's key type, vals the value
    each update writes (None for reads)."""
    rng = random.Random("%d:%s" % (seed, letter))
    mix = WORKLOADS[letter][1]
    bounds = list(itertools.accumulate(p for _k, p in mix))
    pool = [rng.getrandbits(8 * vsize).to_bytes(vsize, "little") for _ in range(VALUE_POOL)]
    kinds = array("b", bytes(ops))
    keys = [None] * ops
    vals = [None] * ops
    rnd = rng.random
    for i in range(ops):
        x = rnd()
        j = 0
        while j < len(bounds) - 1 and x >= bounds[j]:
            j += 1
        kind = mix[j][0]
        kinds[i] = kind
        k = "key%010d" % zipf.draw(rnd())
        keys[i] = k.encode() if key_kind == "bytes" else k
        if kind != READ:
            vals[i] = pool[i % VALUE_POOL]
    return kinds, keys, vals


def last_writes(kinds, keys, vals, count=25):
    """Up to `count` (key, value) pairs: keys the sequence writes, each with
    the last value written to it, for checking the store afterwards."""
    seen = {}
    for i in range(len(kinds) - 1, -1, -1):
        if kinds[i] != READ and keys[i] not in seen:
            seen[keys[i]] = vals[i]
            if len(seen) == count:
                break
    return list(seen.items())


# ------------------------------------------------------------------ loops
# Both loops are shared by every store: `read(k)` and `update(k, v)` are
# the store's own calls, bound once by its adapter (stores.Store.ycsb_calls).
# The kinds are compared with literals (READ, UPDATE, else RMW): a constant
# is cheaper than a global lookup on CPython.
def run_plain(read, update, kinds, keys, vals):
    for kind, k, v in zip(kinds, keys, vals):
        if kind == 0:
            read(k)
        elif kind == 1:
            update(k, v)
        else:
            read(k)
            update(k, v)


def run_timed(read, update, kinds, keys, vals, lat):
    """Records each operation's nanoseconds into lat[i]."""
    clock = time.perf_counter_ns
    i = 0
    for kind, k, v in zip(kinds, keys, vals):
        t0 = clock()
        if kind == 0:
            read(k)
        elif kind == 1:
            update(k, v)
        else:
            read(k)
            update(k, v)
        lat[i] = clock() - t0
        i += 1


def percentile(lat, q):
    """The nearest-rank q-quantile (0 < q <= 1) of the recorded latencies."""
    s = sorted(lat)
    # ceil(len * q) - 1, with len * q's rounding error (20000 * 0.99 is
    # 19800.000000000004) kept from moving the rank up by one
    at = int(math.ceil(len(s) * q - 1e-9)) - 1
    return s[max(0, at)]


def timer_cost(n=200000, rounds=3):
    """(median, p99) nanoseconds between two back-to-back perf_counter_ns()
    readings stored into an array, as run_timed takes them: the part of every
    recorded latency that is the clock. The last of `rounds` rounds counts
    (PyPy's JIT is warm by then)."""
    clock = time.perf_counter_ns
    lat = array("q", bytes(8 * n))
    for _ in range(rounds):
        for i in range(n):
            t0 = clock()
            lat[i] = clock() - t0
    return percentile(lat, 0.5), percentile(lat, 0.99)


def run_workload(st, seq, ops):
    """Runs one workload on the open store `st`; returns (ops/s, p99 ns)."""
    kinds, keys, vals = seq
    read, update = st.ycsb_calls()
    ns = timed(run_plain, read, update, kinds, keys, vals)[0]
    lat = array("q", bytes(8 * ops))
    timed(run_timed, read, update, kinds, keys, vals, lat)
    return ops * 1e9 / ns, percentile(lat, 0.99)
