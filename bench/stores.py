"""Adapters giving every store the benchmark measures the same small surface.

Each adapter runs its own loops, so that no store pays for a wrapper call
the others do not: the loop binds the store's method once and calls it per
key. Keys are handed over already in the type the store takes natively
(str for Vantre, sqlite3 and dict; bytes for the rest), converted before any
timing starts. Values are bytes.

Every adapter describes its settings in `settings()`; the driver prints
them. None of them syncs to disk per write.

bench/maintenance.py also asks each adapter for its maintenance calls
(`maintenance_calls`), for the calls another thread makes meanwhile
(`thread_calls`, run in that thread) and for the way threads share the
store (`threads`): one handle, a handle per thread, or one handle behind a
lock for a store that is not safe to call from several threads at once.

This file runs under CPython 3.11 and PyPy 3.9: no syntax newer than 3.9.
"""

import gc
import os
import shutil
import threading

BATCH_WRITE = 1000  # keys per batched-insert call (or transaction)


class Store:
    name = "?"
    label = "?"
    key_kind = "bytes"  # or "str"
    persistent = True
    batch_write_label = None  # None: the store has no batched write
    batch_read_label = "loop of get"
    has_persist = False

    def __init__(self, n, vsize):
        self.n = n
        self.vsize = vsize
        self.path = None

    # -- lifecycle ---------------------------------------------------------
    def open(self, path, create):
        raise NotImplementedError

    def close(self):
        raise NotImplementedError

    def version(self):
        return ""

    def settings(self):
        return ""

    def files_size(self):
        """Bytes of disk the store's files occupy (allocated blocks, so a
        sparse map counts only what was written)."""
        if self.path is None:
            return None
        top = self.path if os.path.isdir(self.path) else os.path.dirname(self.path)
        total = 0
        for root, _dirs, files in os.walk(top):
            for f in files:
                try:
                    total += os.stat(os.path.join(root, f)).st_blocks * 512
                except OSError:
                    pass
        return total

    # -- operations --------------------------------------------------------
    # insert(keys, vals): one call per key (also used for overwrite)
    # insert_batched(batches): batches prepared by prepare_write_batches
    # get(keys) / get_batched(batches) / delete(keys)
    # get_one(key) -> value or None, for checks
    # ycsb_calls() -> (read(key), update(key, value)): the store's single
    #   calls for the mixed workloads (bench/ycsb.py), bound once; a store
    #   whose call is not one method gets the smallest closure that does it
    def prepare_write_batches(self, keys, vals):
        out = []
        for i in range(0, len(keys), BATCH_WRITE):
            out.append(list(zip(keys[i:i + BATCH_WRITE], vals[i:i + BATCH_WRITE])))
        return out

    # -- maintenance, beside other threads (bench/maintenance.py) -----------
    # How other threads reach the store: "one handle" (the store's handle is
    # safe to share), a handle or transaction per thread, or "handle + lock"
    # (the store is not safe for concurrent calls: every call, the
    # maintenance call included, takes a lock the program would need).
    threads = "one handle"
    # Set before open(): open the store in its mode for several threads,
    # where it has one that differs from the single-threaded default.
    concurrent = False

    def maintenance_calls(self):
        """[(key, label, fn)]: the store's maintenance calls, each fn taking
        no argument and returning None or a short note on what it did.
        Called on the open store, in the thread that calls fn."""
        return []

    def prepare_maintenance(self):
        """Settings for a maintenance round, made after open."""

    def delete_many(self, keys):
        """Deletes the iterable `keys` in as few transactions as the store
        allows (one call per key where it has none)."""
        self.delete(keys)

    def thread_calls(self):
        """(get(k), put(k, v), done()) for the calling thread, which makes
        them and alone uses them; done() releases what they hold."""
        get, put = self.ycsb_calls()
        return get, put, _nothing


# --------------------------------------------------------------------------
class VantreStore(Store):
    name = "vantre"
    key_kind = "str"
    batch_read_label = "get_many"
    has_persist = True

    def __init__(self, n, vsize, cache_all=False):
        Store.__init__(self, n, vsize)
        self.cache_all = cache_all
        self.cache_size = max(n, 10000) if cache_all else 10000
        if cache_all:
            self.name = "vantre-cacheall"
            self.label = "Vantre (cache=N)"
        else:
            self.label = "Vantre"
        import _vantre
        self.mod = _vantre
        self.db = None

    def version(self):
        return os.path.basename(self.mod.__file__)

    def settings(self):
        return ("cache_size=%s; log records through an 8 KiB user-space buffer, data appends "
                "written out in 64 KiB units, no fsync" % ("N" if self.cache_all else "10000 (default)"))

    def open(self, path, create):
        self.path = path
        self.db = self.mod.Vantre(path, cache_size=self.cache_size)

    def close(self):
        # No close method: dropping the last reference tears the store down
        # (buffers written out). PyPy frees it at a collection.
        self.db = None
        gc.collect()
        gc.collect()

    def persist(self):
        self.db.persist()

    def insert(self, keys, vals):
        put = self.db.set_bytes
        for k, v in zip(keys, vals):
            put(k, v)

    def get(self, keys):
        get = self.db.get_bytes
        for k in keys:
            get(k)

    def get_batched(self, batches):
        gm = self.db.get_many
        for b in batches:
            gm(b)

    def delete(self, keys):
        d = self.db.delete
        for k in keys:
            d(k)

    def get_one(self, k):
        return self.db.get_bytes(k)

    def ycsb_calls(self):
        return self.db.get_bytes, self.db.set_bytes

    def count(self):
        return self.db.len()

    def maintenance_calls(self):
        return [("persist", "persist", self.db.persist), ("vacuum", "vacuum", self.db.vacuum)]


class VantrePackageStore(VantreStore):
    """The `vantre` package's Store (dict-style calls) over whichever path
    the package takes to the engine: the C interface through cffi under
    PyPy, `_vantre` under CPython."""

    def __init__(self, n, vsize):
        VantreStore.__init__(self, n, vsize)
        self.name = "vantre-package"
        import vantre
        import vantre._store
        self.pkg = vantre
        self.label = "Vantre package (%s)" % vantre._store.BACKEND

    def version(self):
        return "vantre %s via %s" % (self.pkg.__version__, self.pkg._store.BACKEND)

    def open(self, path, create):
        self.path = path
        self.db = self.pkg.open(path, cache_size=self.cache_size)

    def close(self):
        self.db.close()
        self.db = None

    def insert(self, keys, vals):
        db = self.db
        for k, v in zip(keys, vals):
            db[k] = v

    def get(self, keys):
        get = self.db.get
        for k in keys:
            get(k)

    def get_batched(self, batches):
        gm = self.db.get_many
        for b in batches:
            gm(b)

    def delete(self, keys):
        db = self.db
        for k in keys:
            del db[k]

    def get_one(self, k):
        return self.db.get(k)

    def ycsb_calls(self):
        return self.db.get, self.db.__setitem__

    def count(self):
        return len(self.db)


# --------------------------------------------------------------------------
class LmdbStore(Store):
    batch_write_label = "putmulti, 1 write txn per 1000"
    batch_read_label = "cursor.getmulti in the read txn"

    def __init__(self, n, vsize, writemap=False):
        Store.__init__(self, n, vsize)
        import lmdb
        self.lmdb = lmdb
        self.writemap = writemap
        self.name = "lmdb-writemap" if writemap else "lmdb"
        self.label = "LMDB writemap" if writemap else "LMDB"
        # Room for the data, its page overhead, and the pages that
        # copy-on-write keeps while old readers may still see them.
        need = n * (vsize + 64) * 4
        self.map_size = max(1 << 30, 1 << (need - 1).bit_length())
        self.env = None
        self.rtxn = None

    def version(self):
        v = "py-lmdb %s, LMDB %s" % (self.lmdb.__version__, ".".join(map(str, self.lmdb.version())))
        if "cffi" in (getattr(self.lmdb.open, "__module__", "") or ""):
            v += " (cffi binding)"
        return v

    def settings(self):
        return ("sync=False, metasync=False, writemap=%s, map_size=%d GiB; insert: "
                "one write txn per key; gets in one long read txn"
                % (self.writemap, self.map_size >> 30))

    def open(self, path, create):
        self.path = path
        self.env = self.lmdb.open(path, map_size=self.map_size, sync=False, metasync=False,
                                  writemap=self.writemap, readahead=False, max_dbs=0,
                                  create=create)

    def close(self):
        self._end_read()
        self.env.close()
        self.env = None

    def _read_txn(self):
        if self.rtxn is None:
            self.rtxn = self.env.begin(buffers=False)
        return self.rtxn

    def _end_read(self):
        if self.rtxn is not None:
            self.rtxn.abort()
            self.rtxn = None

    def insert(self, keys, vals):
        self._end_read()
        begin = self.env.begin
        for k, v in zip(keys, vals):
            t = begin(write=True)
            t.put(k, v)
            t.commit()

    def insert_batched(self, batches):
        self._end_read()
        begin = self.env.begin
        for b in batches:
            t = begin(write=True)
            t.cursor().putmulti(b)
            t.commit()

    def get(self, keys):
        get = self._read_txn().get
        for k in keys:
            get(k)

    def get_batched(self, batches):
        gm = self._read_txn().cursor().getmulti
        for b in batches:
            gm(b)

    def delete(self, keys):
        self._end_read()
        begin = self.env.begin
        for k in keys:
            t = begin(write=True)
            t.delete(k)
            t.commit()

    def get_one(self, k):
        with self.env.begin() as t:
            return t.get(k)

    def ycsb_calls(self):
        # Reads share one read txn until a write commits: a txn begun
        # before the write would not see it, and would pin the old pages.
        self._end_read()
        begin = self.env.begin

        def read(k):
            t = self.rtxn
            if t is None:
                t = self.rtxn = begin(buffers=False)
            return t.get(k)

        def update(k, v):
            if self.rtxn is not None:
                self.rtxn.abort()
                self.rtxn = None
            t = begin(write=True)
            t.put(k, v)
            t.commit()

        return read, update

    def count(self):
        return self.env.stat()["entries"]

    threads = "txn per thread"

    def maintenance_calls(self):
        self._end_read()
        env = self.env
        target = self.path + "-copy"

        def compacting_copy():
            os.mkdir(target)
            env.copy(target, compact=True)

        # Commits were not synced (sync=False): sync(force=True) makes them durable.
        return [("sync", "sync(force=True)", lambda: env.sync(True)),
                ("copy", "copy(compact=True)", compacting_copy)]

    def delete_many(self, keys):
        # One write txn for every deletion would outgrow the pages a txn may
        # dirty at 10M keys; 10,000 a txn stays well inside.
        self._end_read()
        begin = self.env.begin
        t = begin(write=True)
        i = 0
        for k in keys:
            t.delete(k)
            i += 1
            if i % 10000 == 0:
                t.commit()
                t = begin(write=True)
        t.commit()

    def thread_calls(self):
        # A reader keeps one read txn for 1,000 gets, then begins a fresh
        # one, so that it sees recent writes and pins old pages only briefly.
        # It is begun at the first get: one begun in a thread that only
        # writes would pin every page freed after it, and the map fills.
        env = self.env
        state = [None, 1000]

        def get(k):
            state[1] += 1
            if state[1] >= 1000:
                if state[0] is not None:
                    state[0].abort()
                state[0] = env.begin(buffers=False)
                state[1] = 0
            return state[0].get(k)

        def put(k, v):
            t = env.begin(write=True)
            t.put(k, v)
            t.commit()

        def done():
            if state[0] is not None:
                state[0].abort()

        return get, put, done


# --------------------------------------------------------------------------
class LevelDbStore(Store):
    name = "leveldb"
    label = "LevelDB"
    batch_write_label = "write_batch per 1000"

    def __init__(self, n, vsize):
        Store.__init__(self, n, vsize)
        import plyvel
        self.plyvel = plyvel
        self.db = None

    def version(self):
        return "plyvel %s, LevelDB %s" % (self.plyvel.__version__, _debian_version("libleveldb1d"))

    def settings(self):
        return ("sync=False (default), compression=None, other options default "
                "(4 MiB write buffer, 8 MiB block cache)")

    def open(self, path, create):
        self.path = path
        self.db = self.plyvel.DB(path, create_if_missing=create, compression=None)

    def close(self):
        self.db.close()
        self.db = None

    def insert(self, keys, vals):
        put = self.db.put
        for k, v in zip(keys, vals):
            put(k, v)

    def insert_batched(self, batches):
        wb = self.db.write_batch
        for b in batches:
            with wb() as w:
                put = w.put
                for k, v in b:
                    put(k, v)

    def get(self, keys):
        get = self.db.get
        for k in keys:
            get(k)

    def get_batched(self, batches):
        get = self.db.get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys):
        d = self.db.delete
        for k in keys:
            d(k)

    def get_one(self, k):
        return self.db.get(k)

    def ycsb_calls(self):
        return self.db.get, self.db.put

    def maintenance_calls(self):
        return [("compact", "compact_range (every key)", self.db.compact_range)]


# --------------------------------------------------------------------------
class SqliteStore(Store):
    name = "sqlite"
    label = "SQLite"
    key_kind = "str"
    batch_write_label = "executemany, 1 txn per 1000"
    batch_read_label = "SELECT ... IN (100 keys)"

    def __init__(self, n, vsize):
        Store.__init__(self, n, vsize)
        import sqlite3
        self.sqlite3 = sqlite3
        self.con = None
        self._in_sql = {}

    def version(self):
        return "sqlite3 (stdlib), SQLite %s" % self.sqlite3.sqlite_version

    def settings(self):
        return ("journal_mode=WAL, synchronous=OFF, table kv(k TEXT PRIMARY KEY, v BLOB) "
                "WITHOUT ROWID, autocommit (one txn per statement), default page cache")

    def open(self, path, create):
        self.path = path
        self.con = self.sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        # The pragma returns a row: fetch it, or under PyPy the statement
        # stays in progress until collected and blocks the first COMMIT.
        self.con.execute("PRAGMA journal_mode=WAL").fetchall()
        self.con.execute("PRAGMA synchronous=OFF")
        if create:
            self.con.execute("CREATE TABLE IF NOT EXISTS kv (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID")

    def close(self):
        self.con.close()
        self.con = None

    def insert(self, keys, vals):
        ex = self.con.execute
        sql = "INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)"
        for k, v in zip(keys, vals):
            ex(sql, (k, v))

    def insert_batched(self, batches):
        ex = self.con.execute
        exm = self.con.executemany
        sql = "INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)"
        for b in batches:
            ex("BEGIN")
            exm(sql, b)
            ex("COMMIT")

    def get(self, keys):
        ex = self.con.execute
        sql = "SELECT v FROM kv WHERE k = ?"
        for k in keys:
            ex(sql, (k,)).fetchone()

    def get_batched(self, batches):
        ex = self.con.execute
        for b in batches:
            sql = self._in_sql.get(len(b))
            if sql is None:
                sql = "SELECT k, v FROM kv WHERE k IN (%s)" % ",".join("?" * len(b))
                self._in_sql[len(b)] = sql
            ex(sql, b).fetchall()

    def delete(self, keys):
        ex = self.con.execute
        sql = "DELETE FROM kv WHERE k = ?"
        for k in keys:
            ex(sql, (k,))

    def get_one(self, k):
        rows = self.con.execute("SELECT v FROM kv WHERE k = ?", (k,)).fetchall()
        return rows[0][0] if rows else None

    def ycsb_calls(self):
        ex = self.con.execute
        get_sql = "SELECT v FROM kv WHERE k = ?"
        put_sql = "INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)"

        # Reads fetchall, which steps the SELECT to its end and resets it:
        # PyPy's sqlite3 leaves a statement stopped after fetchone in
        # progress until its cursor is collected, and the next write then
        # fails to commit ("SQL statements in progress"). get_one too.
        def read(k):
            return ex(get_sql, (k,)).fetchall()

        def update(k, v):
            ex(put_sql, (k, v))

        return read, update

    threads = "connection per thread"

    def prepare_maintenance(self):
        # No automatic checkpoint on any connection, so that the log holds
        # everything written since the store was opened, as Vantre's does
        # until persist; a writer waits for the lock rather than failing.
        self.con.execute("PRAGMA wal_autocheckpoint=0").fetchall()
        self.con.execute("PRAGMA busy_timeout=600000").fetchall()

    def maintenance_calls(self):
        con = self.con

        def checkpoint(mode):
            def call():
                # (busy, log frames, frames checkpointed); busy: gave up
                # waiting for readers or writers, and the call did not do
                # what it names.
                busy, log, done = con.execute("PRAGMA wal_checkpoint(%s)" % mode).fetchall()[0]
                if busy:
                    raise RuntimeError("wal_checkpoint(%s) busy: %d of %d frames" % (mode, done, log))
                if mode == "PASSIVE":  # TRUNCATE reports the emptied log: 0 of 0
                    return "%d of %d log frames copied" % (done, log)
            return call

        # PASSIVE copies what it can beside readers and writers; TRUNCATE
        # also waits for them, to copy everything and empty the log, as
        # Vantre's persist does.
        return [("checkpoint-passive", "wal_checkpoint(PASSIVE)", checkpoint("PASSIVE")),
                ("checkpoint", "wal_checkpoint(TRUNCATE)", checkpoint("TRUNCATE")),
                ("vacuum", "VACUUM", lambda: con.execute("VACUUM").fetchall())]

    def delete_many(self, keys):
        # One transaction: the log then holds each page it changed once.
        ex = self.con.execute
        ex("BEGIN")
        self.con.executemany("DELETE FROM kv WHERE k = ?", ((k,) for k in keys))
        ex("COMMIT")

    def thread_calls(self):
        con = self.sqlite3.connect(self.path, isolation_level=None, timeout=600)
        con.execute("PRAGMA wal_autocheckpoint=0").fetchall()
        ex = con.execute
        get_sql = "SELECT v FROM kv WHERE k = ?"
        put_sql = "INSERT OR REPLACE INTO kv (k, v) VALUES (?, ?)"

        def get(k):
            return ex(get_sql, (k,)).fetchall()

        def put(k, v):
            ex(put_sql, (k, v))

        return get, put, con.close


# --------------------------------------------------------------------------
class GdbmStore(Store):
    name = "gdbm"
    label = "dbm.gnu"

    def __init__(self, n, vsize):
        Store.__init__(self, n, vsize)
        import dbm.gnu
        self.gnu = dbm.gnu
        self.db = None

    def version(self):
        return "dbm.gnu (stdlib), %s" % _debian_version("libgdbm6")

    def settings(self):
        return "mode 'f' (fast: no sync on write), default cache"

    def open(self, path, create):
        self.path = path
        self.db = self.gnu.open(path, "nf" if create else "wf")

    def close(self):
        self.db.close()
        self.db = None

    def insert(self, keys, vals):
        db = self.db
        for k, v in zip(keys, vals):
            db[k] = v

    def get(self, keys):
        get = self.db.get
        for k in keys:
            get(k)

    def get_batched(self, batches):
        get = self.db.get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys):
        db = self.db
        for k in keys:
            del db[k]

    def get_one(self, k):
        return self.db.get(k)

    def ycsb_calls(self):
        return self.db.get, self.db.__setitem__

    threads = "handle + lock"  # the module's handle is not safe for concurrent calls

    def maintenance_calls(self):
        return _locked_calls(self, [("sync", "sync", self.db.sync),
                                    ("reorganize", "reorganize", self.db.reorganize)])

    def thread_calls(self):
        return _locked_thread_calls(self)


# --------------------------------------------------------------------------
class TkrzwStore(Store):
    name = "tkrzw"
    label = "Tkrzw hash"
    batch_write_label = "SetMulti per 1000"
    batch_read_label = "GetMulti"

    def __init__(self, n, vsize):
        Store.__init__(self, n, vsize)
        import tkrzw
        self.tkrzw = tkrzw
        self.db = None

    def version(self):
        return "tkrzw-python %s" % self.tkrzw.Utility.VERSION

    def settings(self):
        return ("HashDBM (.tkh), default tuning (in-place updates, default buckets), no Synchronize%s"
                % (", concurrent=True (the interpreter lock released in calls)" if self.concurrent else ""))

    def open(self, path, create):
        self.path = path
        self.db = self.tkrzw.DBM()
        params = {"concurrent": True} if self.concurrent else {}
        st = self.db.Open(path, True, truncate=create, **params)
        if not st.IsOK():
            raise RuntimeError("tkrzw open: %s" % st)

    def close(self):
        self.db.Close()
        self.db = None

    def prepare_write_batches(self, keys, vals):
        # SetMulti takes keyword arguments: str keys.
        out = []
        for i in range(0, len(keys), BATCH_WRITE):
            out.append({k.decode(): v for k, v in zip(keys[i:i + BATCH_WRITE], vals[i:i + BATCH_WRITE])})
        return out

    def insert(self, keys, vals):
        put = self.db.Set
        for k, v in zip(keys, vals):
            put(k, v)

    def insert_batched(self, batches):
        sm = self.db.SetMulti
        for b in batches:
            sm(True, **b)

    def get(self, keys):
        get = self.db.Get
        for k in keys:
            get(k)

    def get_batched(self, batches):
        gm = self.db.GetMulti
        for b in batches:
            gm(*b)

    def delete(self, keys):
        rm = self.db.Remove
        for k in keys:
            rm(k)

    def get_one(self, k):
        return self.db.Get(k)

    def ycsb_calls(self):
        return self.db.Get, self.db.Set

    def maintenance_calls(self):
        db = self.db

        def checked(name, fn):
            def call():
                st = fn()
                if not st.IsOK():
                    raise RuntimeError("tkrzw %s: %s" % (name, st))
            return call

        return [("synchronize", "Synchronize(hard=True)", checked("Synchronize", lambda: db.Synchronize(True))),
                ("rebuild", "Rebuild", checked("Rebuild", db.Rebuild))]


# --------------------------------------------------------------------------
class KyotoStore(Store):
    name = "kyotocabinet"
    label = "Kyoto Cabinet"
    batch_write_label = "set_bulk per 1000"
    batch_read_label = "get_bulk"

    def __init__(self, n, vsize):
        Store.__init__(self, n, vsize)
        import kyotocabinet
        self.kc = kyotocabinet
        self.db = None

    def version(self):
        return "kyotocabinet-python, Kyoto Cabinet %s" % self.kc.VERSION

    def settings(self):
        return ("HashDB (.kch), default tuning (bnum 1M, 64 MiB mmap), no transactions, no autosync%s"
                % (", GCONCURRENT (the interpreter lock released in calls)" if self.concurrent else ""))

    def open(self, path, create):
        self.path = path
        self.db = self.kc.DB(self.kc.DB.GCONCURRENT) if self.concurrent else self.kc.DB()
        mode = self.kc.DB.OWRITER | (self.kc.DB.OCREATE | self.kc.DB.OTRUNCATE if create else 0)
        if not self.db.open(path, mode):
            raise RuntimeError("kyotocabinet open: %s" % self.db.error())

    def close(self):
        self.db.close()
        self.db = None

    def prepare_write_batches(self, keys, vals):
        out = []
        for i in range(0, len(keys), BATCH_WRITE):
            out.append(dict(zip(keys[i:i + BATCH_WRITE], vals[i:i + BATCH_WRITE])))
        return out

    def insert(self, keys, vals):
        put = self.db.set
        for k, v in zip(keys, vals):
            put(k, v)

    def insert_batched(self, batches):
        sb = self.db.set_bulk
        for b in batches:
            sb(b)

    def get(self, keys):
        get = self.db.get
        for k in keys:
            get(k)

    def get_batched(self, batches):
        gb = self.db.get_bulk
        for b in batches:
            gb(b)

    def delete(self, keys):
        rm = self.db.remove
        for k in keys:
            rm(k)

    def get_one(self, k):
        return self.db.get(k)

    def ycsb_calls(self):
        return self.db.get, self.db.set

    def maintenance_calls(self):
        db = self.db

        def synchronize():
            if not db.synchronize(True):
                raise RuntimeError("kyotocabinet synchronize: %s" % db.error())

        return [("synchronize", "synchronize(hard=True)", synchronize)]


# --------------------------------------------------------------------------
class BsddbStore(Store):
    name = "bsddb"
    label = "Berkeley DB"

    def __init__(self, n, vsize):
        Store.__init__(self, n, vsize)
        from bsddb3 import db as bdb
        self.bdb = bdb
        self.db = None

    def version(self):
        import bsddb3
        return "bsddb3 %s, Berkeley DB %s" % (bsddb3.__version__, ".".join(map(str, self.bdb.version())))

    def settings(self):
        return "DB_HASH, no environment, no transactions, default cache (256 KiB), no sync"

    def open(self, path, create):
        self.path = path
        self.db = self.bdb.DB()
        self.db.open(path, dbtype=self.bdb.DB_HASH, flags=self.bdb.DB_CREATE if create else 0)

    def close(self):
        self.db.close()
        self.db = None

    def insert(self, keys, vals):
        put = self.db.put
        for k, v in zip(keys, vals):
            put(k, v)

    def get(self, keys):
        get = self.db.get
        for k in keys:
            get(k)

    def get_batched(self, batches):
        get = self.db.get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys):
        d = self.db.delete
        for k in keys:
            d(k)

    def get_one(self, k):
        return self.db.get(k)

    def ycsb_calls(self):
        return self.db.get, self.db.put

    threads = "handle + lock"  # opened without DB_THREAD: not safe for concurrent calls

    def maintenance_calls(self):
        bdb = self.bdb
        db = self.db
        return _locked_calls(self, [("sync", "sync", db.sync),
                                    ("compact", "compact(DB_FREE_SPACE)",
                                     lambda: "%d pages given back to the file system"
                                     % db.compact(flags=bdb.DB_FREE_SPACE))])

    def thread_calls(self):
        return _locked_thread_calls(self)


# --------------------------------------------------------------------------
class DictStore(Store):
    name = "dict"
    label = "dict (memory)"
    key_kind = "str"
    persistent = False
    batch_write_label = "update per 1000"
    batch_read_label = "loop of get"

    def __init__(self, n, vsize):
        Store.__init__(self, n, vsize)
        self.d = None

    def version(self):
        return "built-in dict"

    def settings(self):
        return "in-memory floor: no persistence at all"

    def open(self, path, create):
        self.path = None
        if create or self.d is None:
            self.d = {}

    def close(self):
        pass

    def insert(self, keys, vals):
        d = self.d
        for k, v in zip(keys, vals):
            d[k] = v

    def insert_batched(self, batches):
        up = self.d.update
        for b in batches:
            up(b)

    def get(self, keys):
        get = self.d.get
        for k in keys:
            get(k)

    def get_batched(self, batches):
        get = self.d.get
        for b in batches:
            [get(k) for k in b]

    def delete(self, keys):
        d = self.d
        for k in keys:
            del d[k]

    def get_one(self, k):
        return self.d.get(k)

    def ycsb_calls(self):
        return self.d.get, self.d.__setitem__


def _nothing():
    pass


def _store_lock(st):
    """The lock every call on `st` takes from several threads, made once
    per store object."""
    lock = st.__dict__.get("_lock")
    if lock is None:
        lock = st._lock = threading.Lock()
    return lock


def _locked_calls(st, calls):
    lock = _store_lock(st)

    def locked(fn):
        def call():
            with lock:
                return fn()
        return call

    return [(key, label, locked(fn)) for key, label, fn in calls]


def _locked_thread_calls(st):
    lock = _store_lock(st)
    get, put = st.ycsb_calls()

    def locked_get(k):
        with lock:
            return get(k)

    def locked_put(k, v):
        with lock:
            put(k, v)

    return locked_get, locked_put, _nothing


def _debian_version(pkg):
    """The installed Debian version of `pkg`, read from dpkg's status file."""
    try:
        with open("/var/lib/dpkg/status", encoding="utf-8", errors="replace") as f:
            current = None
            for line in f:
                if line.startswith("Package: "):
                    current = line[9:].strip()
                elif current == pkg and line.startswith("Version: "):
                    return line[9:].strip()
    except OSError:
        pass
    return "?"


# name -> (factory, path kind) where path kind says whether the store lives
# in a directory ("dir") or one file ("file", plus side files).
REGISTRY = [
    ("vantre", lambda n, v: VantreStore(n, v), "dir"),
    ("vantre-cacheall", lambda n, v: VantreStore(n, v, cache_all=True), "dir"),
    ("vantre-package", lambda n, v: VantrePackageStore(n, v), "dir"),
    ("lmdb", lambda n, v: LmdbStore(n, v), "dir"),
    ("lmdb-writemap", lambda n, v: LmdbStore(n, v, writemap=True), "dir"),
    ("leveldb", lambda n, v: LevelDbStore(n, v), "dir"),
    ("sqlite", lambda n, v: SqliteStore(n, v), "file:db.sqlite"),
    ("gdbm", lambda n, v: GdbmStore(n, v), "file:db.gdbm"),
    ("tkrzw", lambda n, v: TkrzwStore(n, v), "file:db.tkh"),
    ("kyotocabinet", lambda n, v: KyotoStore(n, v), "file:db.kch"),
    ("bsddb", lambda n, v: BsddbStore(n, v), "file:db.bdb"),
    ("dict", lambda n, v: DictStore(n, v), "none"),
]
NAMES = [r[0] for r in REGISTRY]
VANTRE = ("vantre", "vantre-cacheall", "vantre-package")
FLOOR = ("dict",)


def make(name, n, vsize):
    for nm, factory, kind in REGISTRY:
        if nm == name:
            return factory(n, vsize), kind
    raise KeyError(name)


def store_path(kind, root):
    """Where a store of this kind lives under the fresh directory `root`."""
    if kind == "dir":
        return os.path.join(root, "store")
    if kind.startswith("file:"):
        os.makedirs(os.path.join(root, "store"), exist_ok=True)
        return os.path.join(root, "store", kind[5:])
    return None


def remove_tree(root):
    shutil.rmtree(root, ignore_errors=True)
