"""The package beside persist and vacuum, through both paths to the engine
(the native module and the C interface): writer and reader threads while
they run, every method from several threads at once, and the exact
contents after a reopen. Each case runs in a child interpreter, which picks
its path at import (VANTRE_BACKEND)."""
import json

import pytest

from conftest import run

CHILD = r"""
import json, random, sys, threading
import vantre

path, mode = sys.argv[1], sys.argv[2]
TIMEOUT = 120  # seconds: far beyond any run; a thread still alive is stuck


def value(key, seq):
    return f"{key}#{seq}#".encode() * (1 + seq % 7)


class Worker(threading.Thread):
    def __init__(self, db, prefix, seed, mixed):
        super().__init__(daemon=True)
        self.db, self.prefix, self.rng, self.mixed = db, prefix, random.Random(seed), mixed
        self.model, self.seq, self.steps, self.error = {}, 0, 0, None
        self.stop = threading.Event()

    def run(self):
        try:
            while not self.stop.is_set() or self.steps < 300:
                self.step()
                self.steps += 1
        except BaseException as e:  # noqa: B902
            self.error = repr(e)

    def step(self):
        db, rng = self.db, self.rng
        key = f"{self.prefix}{rng.randrange(200)}"
        r = rng.random()
        if self.mixed and r < 0.04:
            getattr(db, rng.choice(["persist", "vacuum", "sync", "__len__", "keys"]))()
        elif r < 0.5:
            self.seq += 1
            db[key] = self.model[key] = value(key, self.seq)
        elif r < 0.6:
            if key in self.model:
                del db[key]
                del self.model[key]
            else:
                assert key not in db, key
        elif r < 0.9:
            assert db.get(key) == self.model.get(key), key
        else:
            keys = [f"{self.prefix}{rng.randrange(200)}" for _ in range(100)]
            assert db.get_many(keys) == [self.model.get(k) for k in keys]


def contents(db):
    return {k: v for k, v in db.items()}


db = vantre.open(path)
base = {f"base{i}": value(f"base{i}", i) for i in range(5000)}
db.update(base)
for i in range(0, 5000, 10):
    del db[f"base{i}"], base[f"base{i}"]
mixed = mode == "mixed"
workers = [Worker(db, f"w{i}-", i, mixed) for i in range(4 if mixed else 2)]
for w in workers:
    w.start()
if not mixed:
    for call in (db.persist, db.vacuum, db.sync, db.vacuum, db.persist):
        call()
        got = {k: db[k] for k in list(base)[::97]}
        assert got == {k: base[k] for k in list(base)[::97]}
for w in workers:
    w.stop.set()
for w in workers:
    w.join(TIMEOUT)
stuck = [w.prefix for w in workers if w.is_alive()]
errors = [w.error for w in workers if w.error]
model = dict(base)
for w in workers:
    model.update(w.model)
same = contents(db) == model
db.close()
with vantre.open(path) as db:
    reopened = contents(db) == model
print(json.dumps({"backend": vantre._store.BACKEND, "stuck": stuck, "errors": errors,
                  "same": same, "reopened": reopened}))
"""


@pytest.mark.parametrize("mode", ["maintenance", "mixed"])
@pytest.mark.parametrize("backend", ["module", "capi"])
def test_threads_beside_persist_and_vacuum(tmp_path, backend, mode):
    proc = run(["-c", CHILD, str(tmp_path / "store"), mode], extra_env={"VANTRE_BACKEND": backend})
    if proc.returncode != 0 and "C interface is not available" in proc.stderr:
        pytest.skip("the C interface is not built")
    assert proc.returncode == 0, proc.stderr[-3000:]
    out = json.loads(proc.stdout.splitlines()[-1])
    assert out == {"backend": backend, "stuck": [], "errors": [], "same": True, "reopened": True}
