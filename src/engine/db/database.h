// The engine's front door: one open storage directory, and every operation
// the module offers on it.
//
// A Database owns the directory (and its lock), the Store and the
// WalWriter, each behind its own reader-writer lock. Every operation takes
// the locks it needs itself, always the Store lock before the WalWriter
// lock, and runs all of its steps here (log record then memory, sync then
// snapshot), so callers only convert arguments and results:
//
//   Put, Delete           Store exclusive, then WalWriter exclusive
//   Get, GetMany          Store exclusive (reads update the value cache)
//   Len, Keys, CacheStats Store shared
//   ClearCache            Store exclusive
//   Persist, Vacuum, Sync Store exclusive, then WalWriter exclusive
//   Flush                 Store exclusive, then WalWriter exclusive
//
// The locks are released by unwinding and never marked poisoned, so an
// operation that fails leaves the Database usable.
//
// Failures are decided here, once per operation, and nowhere below:
//   Put, Delete, Get, GetMany, Keys   every Error is fatal (Unrecoverable)
//   Open     reported, but opening, sizing and mapping the data files and
//            replaying a put are fatal
//   Persist  reported, but a write failing midway through the snapshot is
//            fatal (the file cannot be completed)
//   Vacuum   reported, but mapping the new record table is fatal
// std::bad_alloc leaves the state as before the call. A failed sync is
// remembered (the kernel may have dropped the pages it could not write):
// persist and vacuum refuse with it until the store is reopened.
//
// A read-only Database (OpenOptions::read_only) shares the directory with
// other read-only ones through a shared lock and writes nothing: its log is
// replayed into memory (ReplayedLog), every write is refused with EBADF.
//
// A Database belongs to the process that opened it: in a forked child
// every operation fails (kWrongProcess), and teardown there writes nothing
// and leaves the directory lock to the parent.
#ifndef VANTRE_ENGINE_DATABASE_H_
#define VANTRE_ENGINE_DATABASE_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/format/coding.h"
#include "engine/util/error.h"
#include "engine/db/rw_lock.h"
#include "engine/state/store.h"
#include "engine/io/missing_ranges.h"
#include "engine/io/store_dir.h"
#include "engine/io/wal_writer.h"

namespace vantre {

// A failure to write out buffers that no call can report (teardown, exit).
struct FlushFailure {
  std::string dir;
  std::exception_ptr error;  // an OsError or EngineError
};

struct OpenOptions {
  // Shared lock; nothing created, changed or truncated; writes refused.
  bool read_only = false;
  // Whether a directory without a store may be opened (a writer creates
  // the directory and the files; a reader opens an empty store). Without
  // it, such a directory fails with ENOENT.
  bool create = true;
};

// The log of a read-only store, replayed into memory: each key's latest
// record (its value, or none for a delete) and that record's position.
struct ReplayedLog {
  struct Entry {
    uint64_t position;
    std::optional<std::vector<std::byte>> value;
  };
  std::unordered_map<std::string, Entry> entries;
};

class Database {
 public:
  // Opens (creating if needed) the store in `dir`: takes the directory's
  // lock, completes a vacuum interrupted after its commit point, loads
  // snapshot.bin, replays wal.bin and opens it for appending. A directory
  // held by another live Database, in this process or another, fails at
  // once with EngineError (would block) and nothing is created or changed.
  // A snapshot.bin that does not decode is refused (Error::Damaged) before
  // any file is created or changed.
  // A read-only open takes a shared lock instead (failing the same way
  // while a writer holds the directory), opens only an existing directory
  // and refuses one whose vacuum awaits completion.
  static std::shared_ptr<Database> Open(const std::string& dir, uint64_t cache_capacity,
                                        OpenOptions options = {});

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  // Writes the buffers out (ignoring any potential errors: Flush() first to
  // see them), then releases files, maps and the directory lock. In a
  // process other than the opener's, writes nothing and keeps the lock.
  ~Database();

  void Put(std::string_view key, Bytes val);
  // True if the key was stored.
  bool Delete(std::string_view key);

  // Calls use(value) with a view of the value, valid during the call only,
  // while the Store is locked. False, without calling, if absent.
  template <typename F>
  bool Get(std::string_view key, F&& use) {
    CheckOwner();
    std::unique_lock<RwLock> lock(store_mutex_);
    if (replayed_) {
      const std::optional<Bytes> value = ReadOnlyGet(key);
      if (!value) return false;
      use(*value);
      return true;
    }
    const std::optional<Bytes> value = Fatal([&] { return store_.Get(key); });
    if (!value) return false;
    use(*value);
    return true;
  }
  // Looks every key up, in order, under one lock, exactly as the same
  // sequence of Get calls would (cache effects included): calls use(i,
  // value) for each key i that is present.
  template <typename F>
  void GetMany(std::span<const std::string_view> keys, F&& use) {
    CheckOwner();
    std::unique_lock<RwLock> lock(store_mutex_);
    if (keys.empty()) return;
    if (replayed_) {
      for (size_t i = 0; i < keys.size(); ++i) {
        if (const std::optional<Bytes> value = ReadOnlyGet(keys[i])) use(i, *value);
      }
      return;
    }
    // A pipeline of slices: slice s is read while slice s + 1's stored keys
    // and values and slice s + 2's index slots are loading.
    Store::ReadSlice slices[3];
    auto slice_at = [&](size_t s) {
      const size_t start = s * kMaxPreparedReads;
      return keys.subspan(start, std::min(kMaxPreparedReads, keys.size() - start));
    };
    const size_t count = (keys.size() + kMaxPreparedReads - 1) / kMaxPreparedReads;
    store_.StartReads(slice_at(0), &slices[0]);
    if (count > 1) store_.StartReads(slice_at(1), &slices[1]);
    store_.LocateReads(slices[0]);
    for (size_t s = 0; s < count; ++s) {
      if (s + 2 < count) store_.StartReads(slice_at(s + 2), &slices[(s + 2) % 3]);
      if (s + 1 < count) store_.LocateReads(slices[(s + 1) % 3]);
      const Store::ReadSlice& slice = slices[s % 3];
      const auto slice_keys = slice_at(s);
      for (size_t j = 0; j < slice_keys.size(); ++j) {
        const std::optional<Bytes> value =
            Fatal([&] { return store_.Get(slice_keys[j], slice.hashes[j]); });
        if (value) use(s * kMaxPreparedReads + j, *value);
      }
    }
  }

  uint64_t Len();
  std::vector<std::string> Keys();
  struct CacheStats {
    uint64_t entries;
    uint64_t capacity;
  };
  CacheStats GetCacheStats();
  void ClearCache();

  // Makes the current state the starting point for recovery: data synced,
  // snapshot.bin written durably, then the log emptied (stages in
  // database.cpp).
  void Persist();
  // Rewrites the data files with only the live records, renumbered densely.
  void Vacuum();

  // Makes every write acknowledged so far survive a crash: the buffers
  // written out and the log synced, whatever the store's size (recovery
  // replays the log on top of the last snapshot, and the log holds every
  // key and value). A failed sync is remembered as persist's is.
  void Sync();

  // Writes out the buffers of the data files and of the log, each whatever
  // happens to the other; throws the first failure.
  void Flush();

  bool read_only() const { return replayed_ != nullptr; }

  // Flushes every Database open in this process, as teardown would, without
  // closing anything; for an interpreter exit, where objects may never be
  // freed. Databases opened by another process (before a fork) are
  // skipped. Returns the failures.
  static std::vector<FlushFailure> FlushAllOpen();

  // Bytes that open cut from the end of wal.bin because they did not
  // decode (moved to wal.bin.cut); 0 for a clean log.
  uint64_t cut_log_bytes() const { return cut_log_bytes_; }
  // What the caller of open should be warned of, naming the directory as
  // `dir` (the caller's spelling): the log bytes moved to wal.bin.cut. Empty
  // when there is nothing to say.
  std::string OpenNotice(const std::string& dir) const;

 private:
  Database(StoreDir dir, Store store, File log, uint64_t log_size);
  // Adds `db` to the process's list of open stores (FlushAllOpen).
  static void Register(const std::shared_ptr<Database>& db);

  static std::shared_ptr<Database> OpenReadOnly(const std::string& path,
                                                uint64_t cache_capacity, bool create);
  // Fails unless this process opened the store.
  void CheckOwner() const;
  // Fails (EBADF) on a read-only store.
  void CheckWritable() const;
  // A read-only store's lookup: the replayed log, then the Store.
  // REQUIRES: Store lock, read_only().
  std::optional<Bytes> ReadOnlyGet(std::string_view key);
  bool OwnedHere() const;
  // Writes out the data files' buffers and the log's, the second even when
  // the first fails; returns the first failure, or null. With
  // `abandon_failed`, a buffer that could not be written is dropped.
  // REQUIRES: both locks, or the last reference.
  std::exception_ptr WriteOutBuffers(bool abandon_failed);
  // Completes a vacuum whose file switch failed after its commit point:
  // persist and vacuum must not act while the directory is half switched.
  // Refuses while an earlier sync failure stands. REQUIRES: Store lock.
  void PrepareForSnapshot();
  // Runs the stages of a snapshot-writing operation; a failed sync among
  // them is remembered before it is rethrown. REQUIRES: Store lock.
  template <typename F>
  void RememberingSyncFailure(F&& stages);
  // Persist's and vacuum's frame: owner and writability checks, both locks,
  // PrepareForSnapshot, then `stages` under RememberingSyncFailure.
  template <typename F>
  void WritingSnapshot(F&& stages);
  // Writes the store's state (or `next`'s) to `name` and syncs it; a write
  // failing midway through the encoding is fatal when `midway_fatal`.
  // `ids`, when not empty, are written instead of the index's own ids.
  void WriteSnapshotFile(const char* name, const StoreView& state, bool midway_fatal,
                         std::span<const uint32_t> ids = {});

  // Declared first: released last, after the buffers are written out.
  StoreDir dir_;
  // Records the ranges of the data files found missing at a write-out.
  MissingRangeRecorder missing_recorder_{&dir_};
  RwLock store_mutex_;
  Store store_;
  RwLock wal_mutex_;
  WalWriter wal_;
  bool switch_pending_ = false;        // guarded by store_mutex_
  std::optional<Error> sync_failure_;  // guarded by store_mutex_
  bool dir_synced_ = false;            // the directory synced since open; store_mutex_
  uint64_t cut_log_bytes_ = 0;
  uint64_t owner_generation_;          // the opener's process generation
  // Read-only stores only: the replayed log and the key count it gives.
  std::unique_ptr<const ReplayedLog> replayed_;
  uint64_t read_only_len_ = 0;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_DATABASE_H_
