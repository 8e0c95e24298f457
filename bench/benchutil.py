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
