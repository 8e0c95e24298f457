// The engine's front door: one open storage directory, and every operation
// the module offers on it.
//
// A Database owns the directory (and its lock), the Store and the
// WalWriter, each behind its own reader-writer lock. Every operation takes
// the locks it needs itself and runs all of its steps here (log record then
// memory, sync then snapshot), so callers only convert arguments and
// results:
//
//   Put, Delete           Store exclusive, then WalWriter exclusive
//   Get, GetMany          Store exclusive (reads update the value cache)
//   Len, CacheStats       Store shared
//   Keys                  listing lock, then Store shared
//   ClearCache            Store exclusive
//   Flush                 Store exclusive, then WalWriter exclusive
//   Sync                  Store and WalWriter exclusive to write the buffers
//                         out; then the log-file lock for the sync
//   Persist, Vacuum       the maintenance lock throughout; the Store lock
//                         (and the WalWriter's) only for short steps
//
// Persist and vacuum run beside every other call: they work from the state
// the store had when they started (a freeze, see state/frozen_index.h),
// taking the Store lock only for a few short steps (listed at Persist and
// Vacuum in database.cpp), while reads and writes go on.
//
// Lock order: maintenance, log file, Store, WalWriter; the listing lock
// before the Store lock; the sync-failure lock last and alone. Every
// method takes a WaitHook, run before the calling thread blocks on any of
// these locks (rw_lock.h), or starts long work: the binding releases the
// interpreter lock there.
// No lock is ever held while the engine calls back into its caller, except
// the Store lock during the `use` of Get and GetMany, which must only copy.
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

  void Put(std::string_view key, Bytes val, const WaitHook& wait = {});
  // True if the key was stored.
  bool Delete(std::string_view key, const WaitHook& wait = {});

  // Calls use(value) with a view of the value, valid during the call only,
  // while the Store is locked. False, without calling, if absent.
  template <typename F>
  bool Get(std::string_view key, F&& use, const WaitHook& wait = {}) {
    CheckOwner();
    auto lock = Exclusive(store_mutex_, wait);
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
  void GetMany(std::span<const std::string_view> keys, F&& use, const WaitHook& wait = {}) {
    CheckOwner();
    auto lock = Exclusive(store_mutex_, wait);
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

  uint64_t Len(const WaitHook& wait = {});
  std::vector<std::string> Keys(const WaitHook& wait = {});
  struct CacheStats {
    uint64_t entries;
    uint64_t capacity;
  };
  CacheStats GetCacheStats(const WaitHook& wait = {});
  void ClearCache(const WaitHook& wait = {});

  // Makes the state at the call the starting point for recovery: data
  // synced, snapshot.bin written durably, then the log cut to the records
  // written since the call began (stages in database.cpp). Reads and writes
  // go on meanwhile.
  void Persist(const WaitHook& wait = {});
  // Rewrites the data files with only the live records, renumbered densely,
  // the records written meanwhile carried after them. Reads and writes go
  // on meanwhile.
  void Vacuum(const WaitHook& wait = {});

  // Makes every write acknowledged before the call survive a crash: the
  // buffers written out and the log synced, whatever the store's size
  // (recovery replays the log on top of the last snapshot, and the log
  // holds every key and value). Writes go on during the sync. A failed
  // sync is remembered as persist's is.
  void Sync(const WaitHook& wait = {});

  // Writes out the buffers of the data files and of the log, each whatever
  // happens to the other; throws the first failure.
  void Flush(const WaitHook& wait = {});

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
  // The Store lock and then the log lock, for a write; never waits for the
  // log lock while holding the Store lock.
  std::pair<std::unique_lock<RwLock>, std::unique_lock<RwLock>> WriteLocks(const WaitHook& wait);
  // A read-only store's lookup: the replayed log, then the Store.
  // REQUIRES: Store lock, read_only().
  std::optional<Bytes> ReadOnlyGet(std::string_view key);
  bool OwnedHere() const;
  // Writes out the data files' buffers and the log's, the second even when
  // the first fails; returns the first failure, or null. With
  // `abandon_failed`, a buffer that could not be written is dropped.
  // REQUIRES: both locks, or the last reference.
  std::exception_ptr WriteOutBuffers(bool abandon_failed);
  // After a put or delete, under both write locks: what the Store and the
  // log left for the caller to write (PendingWrites), during persist and
  // vacuum only.
  void HandOver(PendingWrites* out) noexcept;
  // Writes what HandOver() gave, once every engine lock is released; the
  // interpreter lock is released first (`wait`): such a write is what waits
  // for the kernel while persist or vacuum runs.
  static void WriteHandedOver(PendingWrites* writes, const WaitHook& wait) noexcept;
  // ---- persist and vacuum (database.cpp)
  struct MaintenanceStart;
  // Puts and deletes hand their full buffers over while it lives (both
  // write locks taken to switch it on and off).
  class HandOverWhileMaintaining;
  struct CarryBatch;
  // Fails with the remembered sync failure, if any.
  void ThrowIfSyncLost();
  // Runs `stages`; a failed sync among them is remembered before it is
  // rethrown.
  template <typename F>
  void RememberingSyncFailure(F&& stages);
  // Runs one step after a commit: a failure is kept in `after_commit` (the
  // first one) and false returned, to stop the steps that depend on it.
  template <typename F>
  bool AfterCommitStep(F&& run, std::exception_ptr* after_commit);
  // Before a persist or vacuum: refuses after a failed sync, completes a
  // vacuum whose file switch failed after its commit point (persist and
  // vacuum must not act while the directory is half switched) and merges
  // what an earlier one could not. REQUIRES: maintenance lock.
  void PrepareMaintenance(const WaitHook& wait);
  // Lets the data files record a range found cut again, once a vacuum's
  // switch is complete: until then missing.bin lists the replaced files'
  // ranges, and the switch removes it.
  void ResumeRecordingMissing(const WaitHook& wait);
  // An empty overlay for StartMaintenance, its table made before any lock.
  KeyIndex OverlayForMaintenance(const WaitHook& wait);
  // The short first step of persist and vacuum, under the Store and
  // WalWriter locks: buffers written out, the state frozen.
  MaintenanceStart StartMaintenance(bool vacuum, const WaitHook& wait);
  // Ends what a persist or vacuum left of its freeze: the key index
  // renumbered after vacuum's switch, the overlay merged, a batch at a time
  // (Store lock per batch). Throws std::bad_alloc (merging), leaving the
  // rest for later: reads and writes are right meanwhile.
  void FinishMaintenance(const WaitHook& wait);
  // The same, never throwing: what is left is finished by the next persist
  // or vacuum (PrepareMaintenance).
  void EndMaintenance(const WaitHook& wait) noexcept;
  // Vacuum's view of what was written since its last batch. REQUIRES:
  // Store lock.
  CarryBatch TakeCarryBatch(File keys, File values);
  // Vacuum under the Store lock throughout, hashing every key: for a store
  // whose key index does not name every survivor exactly once.
  void VacuumLocked(const WaitHook& wait);
  // ---- the log at the end of persist and vacuum (database.cpp)
  struct NewLog;
  enum class LogAfterSwitch { kEmptied, kWhole, kReplaced };
  // Copies the log's records since `from` (read through `source`, a
  // descriptor of wal.bin) to wal.bin.new while writes go on, in a few
  // rounds, and syncs them.
  NewLog CopyNewLog(const File& source, uint64_t from, const WaitHook& wait);
  // One round of that copy, up to the log's end now; false, copying
  // nothing, when less than a round's worth is left.
  bool CatchUpNewLog(const File& source, NewLog* log, const WaitHook& wait);
  // Copies the rest of the log to `log`, synced as far as the log is, and
  // opens it for appending. REQUIRES: log-file and WalWriter locks, the
  // log's buffer written out.
  void FinishNewLog(const File& source, NewLog* log);
  // Makes `log` the WalWriter's file; returns the file it replaces.
  // REQUIRES: as FinishNewLog.
  File InstallNewLog(NewLog* log, uint32_t first_id);
  // Empties the log; on failure every later write is refused until a
  // persist or vacuum empties or replaces it. REQUIRES: as FinishNewLog.
  void EmptyLog(uint32_t first_id);
  // The commit of persist and vacuum (see database.cpp). REQUIRES: the
  // maintenance, log-file and WalWriter locks.
  LogAfterSwitch SwitchSnapshot(const char* target, const char* marker, const File& source,
                                uint64_t from, bool covered_puts, std::optional<NewLog>* log,
                                uint32_t first_id, File* replaced,
                                std::exception_ptr* after_commit);
  // The commit's steps that need no lock but the log-file lock, run once
  // SwitchSnapshot's Store and WalWriter locks are released, so that reads
  // and writes go on meanwhile: the directory synced (the snapshot's rename
  // durable before the log is cut or renamed), then, for a log replaced,
  // wal.bin.new renamed onto wal.bin. A failure is kept in `after_commit`
  // and leaves the switch pending. REQUIRES: the maintenance and log-file
  // locks, not the Store or WalWriter lock.
  void FinishSwitch(LogAfterSwitch after, std::exception_ptr* after_commit);
  // After the locks: the directory synced, then the renames left to do
  // (CompleteVacuumSwitch). A failure is kept in `after_commit` and leaves
  // the switch pending. REQUIRES: the maintenance lock alone.
  void CompleteSwitch(const WaitHook& wait, std::exception_ptr* after_commit);
  // Cuts the log to the records written since its length was `from` (read
  // through `source`): copied to wal.bin.new, which replaces wal.bin.
  // REQUIRES: a snapshot in place of the state when the log was `from`
  // long, and no put in the log before `from` (so that the snapshot and
  // the log agree before the cut as after it).
  void CutLog(const File& source, uint64_t from, const WaitHook& wait);
  // Syncs the directory, for the names renamed into it. REQUIRES: not the
  // log-file lock.
  void SyncDirectory(const WaitHook& wait);
  // Writes a snapshot to `name` and syncs it; a write failing midway
  // through the encoding is fatal when `midway_fatal`. `ids`, when not
  // empty, are written instead of the index's own ids.
  void WriteSnapshotFile(const char* name, const KeyIndex& key_index, const IdSet& live,
                         const IdSet& dead, uint32_t record_count, uint64_t keys_end,
                         uint64_t values_end, bool midway_fatal,
                         std::span<const uint32_t> ids = {});

  // Declared first: released last, after the buffers are written out.
  StoreDir dir_;
  // Records the ranges of the data files found missing at a write-out.
  MissingRangeRecorder missing_recorder_{&dir_};
  // One persist or vacuum at a time; guards switch_pending_.
  std::mutex maintenance_mutex_;
  // Puts and deletes hand their full buffers over (HandOver): set while a
  // persist or vacuum runs. Under the Store and log locks.
  bool handing_over_ = false;
  // Which file is wal.bin, and what of it is durable: taken to sync the log
  // and to replace it. Guards dir_synced_, log_synced_, log_generation_
  // (the last also under wal_mutex_).
  std::mutex log_file_mutex_;
  // Listings: their reads share the data files' read maps.
  std::mutex keys_mutex_;
  RwLock store_mutex_;
  Store store_;
  RwLock wal_mutex_;
  WalWriter wal_;
  bool switch_pending_ = false;        // guarded by maintenance_mutex_
  std::mutex sync_failure_mutex_;
  std::optional<Error> sync_failure_;  // guarded by sync_failure_mutex_
  bool dir_synced_ = false;            // the directory synced since its last change
  uint64_t log_synced_ = 0;            // bytes of wal.bin a Sync made durable
  uint64_t log_generation_ = 0;        // changes when wal.bin is replaced or emptied
  // The id the log's first put took (the snapshot's record count when the
  // log began); guarded by wal_mutex_.
  uint32_t log_first_id_ = 0;
  // The log could not be emptied after a commit: writes are refused, since
  // the log's first records would not agree with the snapshot's record
  // count once they are followed by new puts. Guarded by wal_mutex_.
  std::optional<Error> log_not_emptied_;
  uint64_t cut_log_bytes_ = 0;
  uint64_t owner_generation_;          // the opener's process generation
  // Read-only stores only: the replayed log and the key count it gives.
  std::unique_ptr<const ReplayedLog> replayed_;
  uint64_t read_only_len_ = 0;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_DATABASE_H_
