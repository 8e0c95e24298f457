"""Helpers shared by the benchmark scripts: the interpreter, /proc/self/status
and a timer."""

import gc
import platform
import time


def interpreter_tag():
    return "pypy" if platform.python_implementation() == "PyPy" else "cpython"


def proc_status():
    """The byte-valued fields of /proc/self/status (VmRSS, VmHWM, RssAnon...)."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            k, _, v = line.partition(":")
            v = v.strip()
            if v.endswith(" kB"):
                out[k] = int(v[:-3]) * 1024
    return out


def timed(fn, *args):
    """(nanoseconds, result) of fn(*args), with CPython's cycle collector
    paused (as timeit does); PyPy's collector frees everything and stays on."""
    gc.collect()
    pause = interpreter_tag() == "cpython"
    if pause:
        gc.disable()
    try:
        t0 = time.perf_counter_ns()
        out = fn(*args)
        return time.perf_counter_ns() - t0, out
    finally:
        if pause:
            gc.enable()


def prime_free_memory(nbytes):
    """Touches `nbytes` of fresh memory and gives it back at once, so that a
    timed run that allocates about that much (page cache for the files it
    writes) finds it ready. This virtual machine hands memory that stays
    free for a couple of seconds back to its host, and the first touch of
    such a page then costs about 9 us per 4 KiB, ten times the copy into
    it; which run meets returned memory would otherwise depend on what ran
    before it (a store whose files were just deleted leaves ready memory
    behind). A device has no such cost: priming every run the same way is
    the nearer model."""
    import mmap
    pages = max(1, nbytes // mmap.PAGESIZE)
    m = mmap.mmap(-1, pages * mmap.PAGESIZE)
    try:
        m[::mmap.PAGESIZE] = b"\1" * pages
    finally:
        m.close()
