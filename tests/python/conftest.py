"""Shared fixtures for the module tests.

Child interpreters: tests that need a separate process (crash tests, exit
behaviour, fault injection) start it with `run_child`, which uses the
command prefix in VANTRE_PYTHON_CMD when set (an emulated interpreter, for
example) and this interpreter otherwise, with the same module path.
"""
import gc
import os
import shlex
import subprocess
import sys
import tempfile

import pytest

import _vantre

HERE = os.path.dirname(os.path.abspath(__file__))
IS_PYPY = sys.implementation.name == "pypy"
SANITIZED = os.environ.get("VANTRE_SANITIZED") == "1"


def python_cmd():
    cmd = os.environ.get("VANTRE_PYTHON_CMD")
    return shlex.split(cmd) if cmd else [sys.executable]


def child_env(extra=None):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(_vantre.__file__))
    parts = [module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(parts))
    if extra:
        env.update(extra)
    return env


def run_child(code, extra_env=None, timeout=300, check=True):
    """Runs `code` in a new interpreter; returns the CompletedProcess."""
    proc = subprocess.run(
        python_cmd() + ["-c", code],
        env=child_env(extra_env),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if check and proc.returncode not in (0,):
        raise AssertionError(
            f"child exited {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        )
    return proc


_shim_path = None


def fault_shim():
    """Path of the LD_PRELOAD fault-injection library, built on first use.
    Skips the test when no compiler for this interpreter's platform exists."""
    global _shim_path
    if _shim_path is None:
        cc = os.environ.get("VANTRE_CC", "cc")
        out = os.path.join(tempfile.mkdtemp(prefix="vantre-shim-"), "faultshim.so")
        try:
            subprocess.run(
                [cc, "-shared", "-fPIC", "-O1", "-o", out, os.path.join(HERE, "faultshim.c"), "-ldl"],
                check=True,
                capture_output=True,
            )
        except (OSError, subprocess.CalledProcessError) as e:
            pytest.skip(f"cannot build the fault shim: {e}")
        _shim_path = out
    return _shim_path


def shim_env(**settings):
    """Environment for a child with the fault shim preloaded (after any
    sanitizer runtime already preloaded)."""
    preload = [p for p in os.environ.get("LD_PRELOAD", "").split(":") if p]
    env = {"LD_PRELOAD": ":".join(preload + [fault_shim()])}
    env.update({k: str(v) for k, v in settings.items()})
    return env


@pytest.fixture
def store_dir(tmp_path):
    return str(tmp_path / "store")


def reopen(db, path, **kwargs):
    """Frees `db` (the caller must hold no other reference) and opens `path`
    again."""
    del db
    gc.collect()
    gc.collect()
    return _vantre.Vantre(path, **kwargs)


def file_bytes(path, name):
    with open(os.path.join(path, name), "rb") as f:
        return f.read()


def file_size(path, name):
    return os.path.getsize(os.path.join(path, name))
