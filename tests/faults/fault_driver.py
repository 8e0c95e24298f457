"""Fault injection at every system call the engine makes on a store.

    fault_driver.py [--scenarios a,b] [--modes EIO,ENOSPC,EINTR,SHORT,STICKY] [--max-n N]

For each scenario (an operation on a prepared store) a clean run counts the
calls the operation makes on the store directory (syscall_shim.c); then the
n-th call is failed, for every n and every mode, each time on a fresh copy
of the store. After each injection:
  - the operation succeeded, or raised an exception its contract allows
    (EINTR storms and short transfers must be absorbed: no exception);
  - the object stays usable: a persist then clears any failure and a new
    write reads back;
  - nothing acknowledged is lost: the store reads every acknowledged write,
    and the failed operation's write is wholly there or wholly absent;
  - a reopen sees the same, consistent contents.
One child process runs every n of one scenario and mode; if it dies, the
driver reports the n it died at and goes on from the next.

The scenarios "persist beside writes" and "vacuum beside writes" run a
writer thread on keys of its own while the call runs, and fail the n-th
call of the calling thread only (the writer's own calls run): the store
then holds every write the writer was told succeeded, and the next persist
and vacuum work.
"""
import argparse
import ctypes
import errno
import gc
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "harness"))
import common  # noqa: E402

MODES = {"EIO": errno.EIO, "ENOSPC": errno.ENOSPC, "EINTR": -1, "SHORT": -2, "STICKY": -3}
# Calls whose failure the store remembers until it is reopened.
SYNC_CALLS = {"fsync", "fdatasync", "msync"}

# ------------------------------------------------------------- scenarios
# `prepare` runs on the template store; `warm` runs in the child before
# arming (filling the buffers, which a reopen empties); `ops` run armed. An
# op is ("put", key, value), ("del", key), ("get", key), ("persist",),
# ("vacuum",) or ("open",). `allowed` names the exceptions the module's
# contract gives the method for an I/O failure.
PANIC = "PanicException"


def fill(prefix, count, length):
    return [("put", f"{prefix}{i}", common.value_for(f"{prefix}{i}", i, length))
            for i in range(count)]


SCENARIOS = {
    # Writes that push out the log buffer and the append buffers, and write
    # straight to the files.
    "set": dict(prepare=fill("p", 40, 190) + fill("q", 2, 30000),
                warm=fill("w", 38, 190),
                ops=[("put", "s0", common.value_for("s0", 1, 100)),
                     ("put", "s1", common.value_for("s1", 2, 9000)),
                     ("put", "s2", common.value_for("s2", 3, 70000))],
                allowed={PANIC}),
    "delete": dict(prepare=fill("p", 40, 190), warm=fill("w", 38, 190),
                   ops=[("del", f"p{i}") for i in range(0, 40, 3)] + [("del", "absent")],
                   allowed={PANIC}),
    # Reads of values that are only in the files, on a store just opened
    # (the open's own calls are the open scenario's).
    "get": dict(prepare=fill("p", 30, 3000),
                ops=[("open",)] + [("get", f"p{i}") for i in range(30)],
                allowed={PANIC, "OSError", "FileNotFoundError", "PermissionError"}),
    "persist": dict(prepare=fill("p", 30, 500) + [("persist",)] + fill("r", 10, 50),
                    ops=[("persist",)], allowed={"OSError", "FileNotFoundError",
                                                 "PermissionError", "InterruptedError", PANIC}),
    # The "v" values lie back to back, so vacuum copies them file to file.
    "vacuum": dict(prepare=fill("p", 30, 500) + fill("v", 3, 30000) + [("persist",)] +
                   [("del", f"p{i}") for i in range(0, 30, 2)] + fill("r", 5, 50),
                   ops=[("vacuum",)], allowed={"OSError", PANIC}),
    "open": dict(prepare=fill("p", 20, 500) + [("persist",)] + fill("r", 10, 50),
                 ops=[("open",)], allowed={"OSError", "FileNotFoundError", "PermissionError",
                                           "FileExistsError", "BlockingIOError", PANIC}),
}
# The ways a store ends, with writes still in the log's and the data files'
# buffers: the object freed, closed, or closed through the C interface. A
# write-out that fails is reported, and never keeps the other buffers from
# being written: what the log holds comes back at the reopen.
for ending in ("teardown", "close", "capi-close"):
    SCENARIOS[ending] = dict(prepare=fill("p", 30, 500) + [("persist",)],
                             warm=fill("x", 2, 20000) + fill("w", 30, 190),
                             ops=[("end", ending)], allowed={"OSError", "StoreIOError",
                                                             "RuntimeError"},
                             ending=True)

# Persist and vacuum with a writer thread beside them: the template has puts
# in its log after its snapshot, so that the commit replaces the log too.
for call in ("persist", "vacuum"):
    SCENARIOS[f"{call} beside writes"] = dict(
        prepare=fill("p", 2000, 100) + [("persist",)] + [("del", f"p{i}") for i in range(0, 2000, 9)]
        + fill("r", 300, 50),
        ops=[(call,)], allowed=SCENARIOS[call]["allowed"], beside=True)

# Cases that fail only because of a known fault: (scenario, failed call).
KNOWN = {}


# ---------------------------------------------------------------- child side
def opener(sc):
    """The class a scenario opens its store with: the C interface's for
    its close, else the native one."""
    if sc["ops"][0] == ("end", "capi-close"):
        from vantre import _capi
        if not _capi.load():
            raise SystemExit("fault injection: the C interface is not built")
        return _capi.Vantre
    from _vantre import Vantre
    return Vantre


def prefixes(base, warm, final):
    """The states after each prefix of the warm writes, less `final`'s own
    writes past them: what a store whose log buffer could not be written
    may hold (`final` with its last writes undone)."""
    states, state = [], dict(base)
    states.append(dict(state))
    for op in warm:
        common.apply(state, op)
        states.append(dict(state))
    extra = {k: v for k, v in final.items() if k == "after"}
    return [dict(s, **extra) for s in states]



def apply_op(db, op, state):
    """Runs one op on `db`; on success updates the model `state`."""
    kind = op[0]
    if kind == "put":
        db.set_bytes(op[1], op[2])
    elif kind == "del":
        db.delete(op[1])
    elif kind == "get":
        got = db.get_bytes(op[1])
        if got != state.get(op[1]):
            raise common.Inconsistent(f"get_bytes({op[1]!r}) read a wrong value")
    elif kind in ("persist", "vacuum"):
        getattr(db, kind)()
    elif kind == "end":
        # The native object's close (and teardown) write the buffers out
        # and report a failure; the object is closed either way.
        db._close()
    if kind in ("put", "del"):
        common.apply(state, op)


class Writer(threading.Thread):
    """Writes keys "b<i>" until stopped, keeping the writes it was told
    succeeded (in order) and the failures it met."""

    def __init__(self, db):
        super().__init__(daemon=True)
        self.db, self.acked, self.failures = db, [], []
        self.stop = threading.Event()

    def run(self):
        seq = 0
        while not self.stop.is_set():
            seq += 1
            key = f"b{seq % 50}"
            op = ("put", key, common.value_for(key, seq, 20 + seq % 150)) if seq % 5 else ("del", key)
            try:
                if op[0] == "put":
                    self.db.set_bytes(op[1], op[2])
                else:
                    self.db.delete(op[1])
            except BaseException as e:  # noqa: B902 - panics derive from BaseException
                self.failures.append(type(e).__name__)
                continue
            self.acked.append(op)

    def finish(self, state):
        """Stops the thread and applies its writes to `state`."""
        self.stop.set()
        self.join(60)
        if self.is_alive():
            raise common.Inconsistent("the writer thread is stuck")
        for op in self.acked:
            common.apply(state, op)


def child(args):
    """Runs every injection n in [first, last] of one scenario and mode;
    prints one JSON line per n."""
    from _vantre import Vantre
    shim = ctypes.CDLL(os.environ["VANTRE_FI_SHIM"])
    shim.vantre_fi_disarm.restype = ctypes.c_long
    shim.vantre_fi_injected.restype = ctypes.c_char_p
    shim.vantre_fi_injected_file.restype = ctypes.c_char_p
    sc = SCENARIOS[args.scenario]
    template, work = args.template, args.work
    with open(os.path.join(template, "model.json")) as f:
        base = {k: v.encode("latin-1") for k, v in json.load(f).items()}
    shim.vantre_fi_track(work.encode())
    for n in range(args.first, args.last + 1):
        print(json.dumps({"n": n, "start": True}), flush=True)
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(os.path.join(template, "store"), work)
        state = dict(base)
        result = {"n": n, "problems": []}
        db = None if sc["ops"][0][0] == "open" else opener(sc)(work)
        for op in sc.get("warm", []):
            apply_op(db, op, state)
        pending = None
        writer = None
        if sc.get("beside"):
            writer = Writer(db)
            writer.start()
            while len(writer.acked) < 20 and writer.is_alive():
                time.sleep(0.001)
            shim.vantre_fi_arm_thread(n, MODES[args.mode])
        else:
            shim.vantre_fi_arm(n, MODES[args.mode])
        try:
            for op in sc["ops"]:
                pending = op
                if op[0] == "open":
                    db = Vantre(work)
                elif op[0] == "end" and op[1] == "teardown":
                    # Freed with its buffers full; a failure it cannot raise
                    # goes to the unraisable hook, which records it.
                    unraisable = []
                    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
                    try:
                        db = None
                        gc.collect()
                    finally:
                        sys.unraisablehook = hook
                    if unraisable:
                        raise OSError(str(unraisable[0].exc_value))
                else:
                    apply_op(db, op, state)
            pending = None
        except common.Inconsistent as e:
            result["problems"].append(f"wrong result under the fault: {e}")
        except BaseException as e:  # noqa: B902 - panics derive from BaseException
            result["raised"] = type(e).__name__
            result["message"] = str(e)[:200]
        if writer is not None:
            time.sleep(0.002)  # a few writes after the call, too
        result["calls"] = shim.vantre_fi_disarm()
        result["injected"] = shim.vantre_fi_injected().decode()
        result["file"] = shim.vantre_fi_injected_file().decode()
        if writer is not None:
            try:
                writer.finish(state)
            except common.Inconsistent as e:
                result["problems"].append(str(e))
            result["writes beside"] = len(writer.acked)
            wrong = [f for f in writer.failures if f != PANIC]
            if wrong:
                result["problems"].append(f"the writer thread met {wrong[:3]}")
            result["writes refused"] = len(writer.failures)
            del writer
        if sc.get("ending"):
            # Ended: reopened below. A failed write of the log's buffer,
            # reported, may cost the writes still in it (a suffix of the
            # warm ones); a failed write of a data file costs nothing, as
            # the log is written all the same.
            db = None
            common.collect()
            if "raised" in result and result["file"] == "wal.bin":
                result["lossy"] = True
        try:
            if db is None:
                db = Vantre(work)
            if "raised" in result and db is not None and result["injected"] in SYNC_CALLS:
                # A failed sync is remembered: persist refuses until the
                # store is reopened.
                try:
                    db.persist()
                    result["problems"].append("persist succeeded after a failed sync")
                except OSError as e:
                    if "reopen the store" not in str(e):
                        result["problems"].append(f"persist after a failed sync: {e}")
                db = None
                gc.collect()
                db = Vantre(work)
            if "raised" in result:
                db.persist()
                if sc.get("beside"):
                    db.vacuum()
            db.set_bytes("after", b"A")
            if db.get_bytes("after") != b"A":
                result["problems"].append("unusable: a new write does not read back")
            state["after"] = b"A"
        except BaseException as e:  # noqa: B902
            result["problems"].append(f"unusable after the fault: {type(e).__name__}: {e}")
        for when in ("in process", "after reopen"):
            try:
                got = common.read_state(db)
                options = [state]
                if result.get("lossy"):
                    options += prefixes(base, sc.get("warm", []), state)
                if pending is not None and pending[0] in ("put", "del"):
                    other = dict(state)
                    common.apply(other, pending)
                    options.append(other)
                if got not in options:
                    wrong = common.diff_keys(got, state)
                    result["problems"].append(f"{when}: {len(wrong)} keys wrong, e.g. {wrong[:3]}")
            except BaseException as e:  # noqa: B902
                result["problems"].append(f"{when}: {type(e).__name__}: {e}")
            del db
            common.collect()
            if when == "in process":
                try:
                    db = Vantre(work)
                except BaseException as e:  # noqa: B902
                    result["problems"].append(f"reopen failed: {type(e).__name__}: {e}")
                    break
        print(json.dumps(result), flush=True)


# ---------------------------------------------------------------- parent side
def make_template(root, name):
    """Builds the scenario's starting store and its model under `root`."""
    from _vantre import Vantre
    sc = SCENARIOS[name]
    template = os.path.join(root, name)
    path = os.path.join(template, "store")
    os.makedirs(template)
    db = Vantre(path)
    state = {}
    for op in sc["prepare"]:
        apply_op(db, op, state)
    del db
    common.collect()
    with open(os.path.join(template, "model.json"), "w") as f:
        json.dump({k: v.decode("latin-1") for k, v in state.items()}, f)
    return template


def run_child(shim, scenario, mode, template, work, first, last):
    """Runs the child over n in [first, last]; returns (results, n it died
    at or None, its stderr)."""
    proc = common.run([os.path.abspath(__file__), "--child", scenario, mode, template, work,
                       str(first), str(last)],
                      extra_env={"LD_PRELOAD": ":".join(
                          [p for p in os.environ.get("LD_PRELOAD", "").split(":") if p] + [shim]),
                          "VANTRE_FI_SHIM": shim})
    results, started = [], None
    for line in proc.stdout.splitlines():
        if not line.startswith("{"):
            continue
        rec = json.loads(line)
        if rec.get("start"):
            started = rec["n"]
        else:
            results.append(rec)
            started = None
    died = started if proc.returncode != 0 else None
    return results, died, proc.stderr


def check(tally, scenario, mode, rec, sites):
    case = f"{scenario}/{mode}/call {rec['n']} ({rec['injected'] or 'no injection'})"
    if not rec["injected"]:
        return  # the mode does not apply to that call
    sites.add((scenario, rec["injected"], rec["n"]))
    tally.figure("injections", 1)
    if "writes beside" in rec:
        tally.figure("writes beside an injected call", rec["writes beside"])
        tally.figure("writes refused beside an injected call", rec["writes refused"])
    problems = list(rec["problems"])
    raised = rec.get("raised")
    if raised and mode in ("EINTR", "SHORT"):
        problems.append(f"{raised} for a fault the engine must absorb: {rec.get('message')}")
    elif raised and raised not in SCENARIOS[scenario]["allowed"]:
        problems.append(f"raised {raised} outside the contract: {rec.get('message')}")
    if problems:
        tally.fail(case, "; ".join(problems), known=KNOWN.get((scenario, rec["injected"])))
    else:
        tally.ok()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scenarios", default=",".join(SCENARIOS))
    ap.add_argument("--modes", default=",".join(MODES))
    ap.add_argument("--max-n", type=int, default=0, help="cap on n per scenario (0: all)")
    ap.add_argument("--child", nargs=6)
    args = ap.parse_args()
    if args.child:
        (args.scenario, args.mode, args.template, args.work, first, last) = args.child
        args.first, args.last = int(first), int(last)
        return child(args)

    root = tempfile.mkdtemp(prefix="vantre-faults-")
    shim = os.path.join(root, "syscall_shim.so")
    subprocess.run([os.environ.get("VANTRE_CC", "cc"), "-shared", "-fPIC", "-O1", "-o", shim,
                    os.path.join(HERE, "syscall_shim.c"), "-ldl"], check=True)
    tally = common.Tally("fault injection")
    sites = set()
    try:
        for scenario in args.scenarios.split(","):
            template = make_template(root, scenario)
            work = os.path.join(root, "work")
            # The clean run: n = 0 fails nothing and counts the calls.
            clean, died, err = run_child(shim, scenario, "EIO", template, work, 0, 0)
            if died is not None or not clean or clean[0]["problems"]:
                tally.fail(f"{scenario}/clean", f"clean run failed: {clean} {err[-500:]}")
                continue
            total = clean[0]["calls"]
            if args.max_n:
                total = min(total, args.max_n)
            print(f"{scenario}: {clean[0]['calls']} calls on the store", flush=True)
            for mode in args.modes.split(","):
                if mode == "STICKY" and not SCENARIOS[scenario].get("ending"):
                    continue  # a write that keeps failing: for the endings
                n = 1
                while n <= total:
                    results, died, err = run_child(shim, scenario, mode, template, work, n, total)
                    for rec in results:
                        check(tally, scenario, mode, rec, sites)
                    if died is None:
                        break
                    last = err.strip().splitlines()[-3:] if err.strip() else ["(no output)"]
                    tally.fail(f"{scenario}/{mode}/call {died}", "the process died: " +
                               " | ".join(last))
                    n = died + 1
        tally.figure("call sites covered", len({(s, c) for s, c, _ in sites}))
        print("calls failed: " + ", ".join(sorted({c for _, c, _ in sites})), flush=True)
        tally.figure("calls failed (scenario, n)", len({(s, n) for s, _, n in sites}))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return tally.finish()


if __name__ == "__main__":
    sys.exit(main())
