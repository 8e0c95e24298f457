"""The vantre package: the mapping API, `with`, upkeep and errors."""
import shutil
import tempfile

import vantre

path = tempfile.mkdtemp(prefix="vantre-quickstart-")
try:
    with vantre.open(path, cache_size=1000) as db:
        db["user:1"] = b"alice"
        db.update({"user:2": b"bob", "user:3": b"carol"})
        del db["user:3"]
        print("user:1 ->", db["user:1"], "| user:3 stored:", "user:3" in db)
        print("default for a missing key:", db.get("user:9", b"-"))
        print("items:", dict(db.items()))
        db.persist()
        print(db.stats())

    with vantre.open(path) as db:
        print("reopened:", len(db), "keys:", list(db))
        try:
            db["user:9"]
        except KeyError as e:
            print("KeyError for", e)
        db.vacuum()
    try:
        len(db)
    except vantre.ClosedStoreError as e:
        print("after close:", e)
finally:
    shutil.rmtree(path)
