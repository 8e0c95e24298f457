import gc

from _vantre import Vantre

from conftest import file_size


def test_store_survives_reopen(store_dir):
    db = Vantre(store_dir)
    db.set_bytes("a", b"1")
    db.set_bytes("b", b"2")
    assert db.get_bytes("a") == b"1"
    del db
    gc.collect()
    db = Vantre(store_dir)
    assert db.get_many(["a", "b"]) == [("a", b"1"), ("b", b"2")]
    assert file_size(store_dir, "offsets.bin") == 100000 * 24
