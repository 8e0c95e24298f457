"""A short tour of the store: write, read, delete, persist, reopen, compact."""
import shutil
import tempfile

from _vantre import Vantre

path = tempfile.mkdtemp(prefix="vantre-demo-")
try:
    db = Vantre(path, cache_size=1000)
    for i in range(5):
        db.set_bytes(f"user:{i}", f"profile {i}".encode())
    print("stored", db.len(), "keys:", db.keys())
    print("user:3 ->", db.get_bytes("user:3"))
    print("deleted user:1:", db.delete("user:1"), "| again:", db.delete("user:1"))
    print("batch read:", db.get_many(["user:0", "user:1", "user:4"]))
    db.persist()
    db.set_bytes("user:3", b"updated after the snapshot")
    print("cache (entries, capacity):", db.cache_stats())
    del db

    db = Vantre(path)
    print("reopened:", db.len(), "keys; user:3 ->", db.get_bytes("user:3"))
    db.vacuum()
    print("after vacuum:", db.keys())
finally:
    shutil.rmtree(path)
