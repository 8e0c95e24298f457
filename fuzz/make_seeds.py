"""Writes the seed corpora under fuzz/corpus/ from small stores made with
the module (run with the module on PYTHONPATH). The committed seeds came
from this script; rerun it after a change to the file layouts."""
import os
import shutil
import struct
import sys
import tempfile

from _vantre import Vantre

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = ["snapshot.bin", "wal.bin", "offsets.bin", "keys.bin", "vals.bin"]


def read(path, name, limit=None):
    try:
        with open(os.path.join(path, name), "rb") as f:
            return f.read() if limit is None else f.read(limit)
    except FileNotFoundError:
        return b""


def id_sets(snapshot):
    """The live and dead sets of a snapshot.bin, as bytes."""
    (n,) = struct.unpack_from("<Q", snapshot, 0)
    pos, out = 8 + 12 * n, []
    for _ in range(2):
        (length,) = struct.unpack_from("<Q", snapshot, pos)
        out.append(snapshot[pos + 8:pos + 8 + length])
        pos += 8 + length
    return out


def make_store(path, keys, deletes, persist, later):
    db = Vantre(path)
    for i in range(keys):
        db.set_bytes(f"k{i}", b"v%d" % i * (i % 7))
    for i in range(0, deletes):
        db.delete(f"k{i * 3}")
    if persist:
        db.persist()
    for i in range(later):
        db.set_bytes(f"late{i}" if i % 3 else "ключ", bytes(range(i % 256)))
        if i % 4 == 0:
            db.delete(f"k{i}")
    del db


def save(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    shapes = {"small": (5, 1, True, 4), "wal-only": (0, 0, False, 9),
              "bitmap": (6000, 500, True, 3), "empty": (0, 0, True, 0)}
    for label, shape in shapes.items():
        path = tempfile.mkdtemp(prefix="vantre-seed-")
        try:
            make_store(path, *shape)
            snap = read(path, "snapshot.bin")
            if snap:
                save("snapshot", label, snap)
                for which, data in zip(("live", "dead"), id_sets(snap)):
                    save("id_set", f"{label}-{which}", data)
            save("wal_entry", label, read(path, "wal.bin"))
            if shape[0] <= 100:  # the directory target wants small inputs
                record_bytes = 24 * (shape[0] + shape[3])
                parts = [read(path, n, record_bytes if n == "offsets.bin" else None) for n in FILES]
                save("store_dir", label, b"".join(struct.pack("<I", len(p)) + p for p in parts))
        finally:
            shutil.rmtree(path)


if __name__ == "__main__":
    sys.exit(main())
