"""Shared helpers of the reliability harness (tests/crash, tests/faults,
tests/diskfull, tests/threads, tests/leaks, tests/damage).

The harness scripts are plain programs with a round or case count, run by
scripts/test-harness.sh (bounded) and `make harness-long`. They import
_vantre from PYTHONPATH, as the module tests do, and start children with
the same interpreter. Each ends with a closing line "N passed, N failed";
a case that fails only because of a fault already known and being fixed
(KNOWN_FAULTS) is counted apart as "expected to fail until fixed" and does
not fail the run. Remove an id from KNOWN_FAULTS once its fix lands: the
case then counts as an ordinary failure again.

Sections: known faults | values and log sizes | reading a store whole |
the recovery check | child processes | the tally.
"""
import gc
import os
import random
import subprocess
import sys

import _vantre

# ---------------------------------------------------------------- known faults
# Ids of the issue "Failure paths" items that harness cases show; a case
# names its id when it fails for that reason alone.
KNOWN_FAULTS = {}

# ---------------------------------------------------------- values and log sizes
# The log buffer (engine/io/wal_writer.h): a kill loses at most the records
# still in it, never more than this many bytes, and never a record of this
# size or more (those go straight to the file).
WAL_BUFFER = 8192
WAL_PUT_OVERHEAD = 20
WAL_DELETE_OVERHEAD = 12


def value_for(key, seq, length):
    """The value written for `key` by operation `seq`: a header naming both,
    padded to `length` bytes (at least the header) with a pattern that
    depends on them. A torn, stale or foreign value never equals it."""
    head = f"{key}#{seq}#".encode()
    fill = bytes((seq * 31 + i) & 0xFF for i in range(256))
    body = (fill * (max(0, length - len(head)) // 256 + 1))[: max(0, length - len(head))]
    return head + body


def wal_size(op):
    """Encoded log-record size of ("put", key, value) or ("del", key)."""
    key = op[1].encode()
    if op[0] == "put":
        return WAL_PUT_OVERHEAD + len(key) + len(op[2])
    return WAL_DELETE_OVERHEAD + len(key)


def random_length(rng):
    """Value lengths around the buffer sizes: mostly small, some near the
    8 KiB log buffer, a few past the 64 KiB direct-write threshold of the data files."""
    r = rng.random()
    if r < 0.8:
        return rng.randrange(0, 200)
    if r < 0.97:
        return rng.randrange(8000, 8400)
    return rng.randrange(65000, 70000)


def apply(state, op):
    """Applies ("put", key, value) or ("del", key) to a dict."""
    if op[0] == "put":
        state[op[1]] = op[2]
    else:
        state.pop(op[1], None)


# ------------------------------------------------------------ reading a store
class Inconsistent(AssertionError):
    pass


def read_state(db):
    """The store's contents as a dict, read three ways that must agree:
    keys() and len(), get_many(keys()), and get_bytes of each key."""
    keys = db.keys()
    if db.len() != len(keys) or len(set(keys)) != len(keys):
        raise Inconsistent(f"len() {db.len()} vs {len(keys)} keys ({len(set(keys))} distinct)")
    pairs = db.get_many(keys)
    state = dict(pairs)
    for key, value in pairs:
        if value is None:
            raise Inconsistent(f"listed key {key!r} reads None")
        if db.get_bytes(key) != value:
            raise Inconsistent(f"get_bytes({key!r}) disagrees with get_many")
    return state


def collect():
    """Frees unreachable stores (PyPy frees only on collection)."""
    gc.collect()
    gc.collect()


def open_read_close(path):
    """Opens `path`, reads it whole with read_state, frees the store."""
    db = _vantre.Vantre(path)
    try:
        return read_state(db)
    finally:
        del db
        collect()


def is_panic(exc):
    return type(exc).__name__ == "PanicException"


# ---------------------------------------------------------- the recovery check
def diff_keys(got, want):
    """Keys whose value differs between two dicts (absent counts)."""
    return sorted(k for k in set(got) | set(want) if got.get(k) != want.get(k))


def check_recovery(got, base, acked, inflight=None):
    """Checks a reopened store's contents `got` against what a kill may lose.

    `base` is the state as of the last completed persist or vacuum (kept
    whole); `acked` the writes acknowledged after it, in order; `inflight`
    a write that was started but not acknowledged. A kill may lose a suffix
    of `acked` whose records could all still be in the log buffer: each
    smaller than WAL_BUFFER and WAL_BUFFER bytes in all. `inflight` may be
    kept or lost. Returns (lost ops, keys wrong beyond the window): the
    first is the suffix that explains `got`, the second is empty when one
    does, else the keys that differ from the full acknowledged state."""
    states = [dict(base)]
    for op in acked:
        states.append(dict(states[-1]))
        apply(states[-1], op)
    if inflight is not None:
        with_inflight = dict(states[-1])
        apply(with_inflight, inflight)
        if got == with_inflight:
            return 0, []
    lost_bytes = 0
    for k in range(len(acked), -1, -1):
        if k < len(acked):
            size = wal_size(acked[k])
            if size >= WAL_BUFFER:
                break
            lost_bytes += size
            if lost_bytes > WAL_BUFFER:
                break
        if got == states[k]:
            return len(acked) - k, []
    return len(acked), diff_keys(got, states[-1])


# ------------------------------------------------------------ child processes
def module_env(extra=None):
    """Environment for a child interpreter that finds the same _vantre."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(_vantre.__file__))
    parts = [module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(parts))
    env.update(extra or {})
    return env


def spawn(args, extra_env=None, **kwargs):
    """Starts this interpreter on `args` (a script and its arguments)."""
    return subprocess.Popen([sys.executable] + list(args), env=module_env(extra_env), **kwargs)


def run(args, extra_env=None, timeout=300):
    """Runs this interpreter on `args`; returns the CompletedProcess."""
    return subprocess.run([sys.executable] + list(args), env=module_env(extra_env),
                          capture_output=True, text=True, timeout=timeout)


def interpreter():
    return sys.implementation.name


# ------------------------------------------------------------------ the tally
class Tally:
    """Counts cases of one harness part and prints its closing lines."""

    def __init__(self, part):
        self.part = part
        self.passed = 0
        self.failed = []     # (case, message)
        self.expected = []   # (case, fault id, message)
        self.figures = {}

    def ok(self):
        self.passed += 1

    def fail(self, case, message, known=None):
        """A failed case; `known` names a KNOWN_FAULTS id it is put down to."""
        if known in KNOWN_FAULTS:
            self.expected.append((case, known, message))
            print(f"  expected failure [{known}] {case}: {message}", flush=True)
        else:
            self.failed.append((case, message))
            print(f"  FAIL {case}: {message}", flush=True)

    def figure(self, name, value):
        self.figures[name] = self.figures.get(name, 0) + value

    def finish(self):
        """Prints figures and the closing line; returns the exit status."""
        for name, value in self.figures.items():
            print(f"{self.part} [{interpreter()}] {name}: {value}")
        if self.expected:
            ids = sorted({e[1] for e in self.expected})
            print(f"{self.part}: {len(self.expected)} expected to fail until fixed ({', '.join(ids)})")
        print(f"{self.part}: {self.passed} passed, {len(self.failed)} failed")
        return 1 if self.failed else 0


def seeded(seed):
    """A random generator, its seed printed so a failure can be rerun."""
    if seed is None:
        seed = random.randrange(1 << 30)
    print(f"seed {seed}", flush=True)
    return random.Random(seed), seed
