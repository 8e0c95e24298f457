// Database: the operations' steps and their failure rules.
//
//   registry and process ownership
//   writes: Put, Delete
//   reads and listings
//   Persist
//   Vacuum
//   Flush and teardown
#include "engine/db/database.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "engine/format/snapshot.h"
#include "engine/db/vacuum.h"

namespace vantre {
namespace {

// Every Database opened in this process, for FlushAllOpen().
std::mutex registry_mutex;
std::vector<std::weak_ptr<Database>> registry;

// Changes in every child the process forks, so that a Database can tell
// cheaply whether the process calling it is the one that opened it.
std::atomic<uint64_t> process_generation{0};
std::once_flag fork_handler_once;

void OnForkChild() { process_generation.fetch_add(1, std::memory_order_relaxed); }

uint64_t CurrentGeneration() {
  std::call_once(fork_handler_once, [] { pthread_atfork(nullptr, nullptr, OnForkChild); });
  return process_generation.load(std::memory_order_relaxed);
}

using StoreLock = std::unique_lock<RwLock>;
using SharedLock = std::shared_lock<RwLock>;

}  // namespace

// ---------------------------------------------- registry and ownership

Database::Database(StoreDir dir, Store store, File log, uint64_t log_size)
    : dir_(std::move(dir)), store_(std::move(store)), wal_(std::move(log), log_size),
      owner_generation_(CurrentGeneration()) {}

void Database::Register(const std::shared_ptr<Database>& db) {
  std::lock_guard<std::mutex> guard(registry_mutex);
  std::erase_if(registry, [](const std::weak_ptr<Database>& entry) { return entry.expired(); });
  registry.push_back(db);
}

bool Database::OwnedHere() const {
  return owner_generation_ == process_generation.load(std::memory_order_relaxed);
}

void Database::CheckOwner() const {
  if (OwnedHere()) return;
  throw EngineError(ErrorKind::kWrongProcess,
                    "this store was opened by another process (before a fork); open it again "
                    "in this process",
                    dir_.path());
}

void Database::CheckWritable() const {
  if (replayed_) throw OsError(EBADF, dir_.path());
}

// ---------------------------------------------------------------- writes

void Database::Put(std::string_view key, Bytes val) {
  CheckOwner();
  CheckWritable();
  StoreLock store_lock(store_mutex_);
  StoreLock wal_lock(wal_mutex_);
  // The file work first, then the log record, then memory: a failure
  // before the last step leaves the store and the log as they were.
  const Store::PreparedPut put = Fatal([&] { return store_.PreparePut(key, val); });
  try {
    wal_.AppendPut(key, val);
  } catch (const Error& e) {
    store_.AbortPut(put);
    Unwrap(e);
  }
  store_.ApplyPut(put, val);
}

bool Database::Delete(std::string_view key) {
  CheckOwner();
  CheckWritable();
  StoreLock store_lock(store_mutex_);
  StoreLock wal_lock(wal_mutex_);
  // The log record first, whether or not the key is stored: a failure
  // leaves the store unchanged.
  Fatal([&] { wal_.AppendDelete(key); });
  return store_.Delete(key);
}

// ------------------------------------------------- reads and listings

std::optional<Bytes> Database::ReadOnlyGet(std::string_view key) {
  const auto it = replayed_->entries.find(std::string(key));
  if (it != replayed_->entries.end()) {
    if (!it->second.value) return std::nullopt;
    return Bytes(*it->second.value);
  }
  return Fatal([&] { return store_.Get(key); });
}

uint64_t Database::Len() {
  CheckOwner();
  SharedLock lock(store_mutex_);
  return replayed_ ? read_only_len_ : store_.Len();
}

std::vector<std::string> Database::Keys() {
  CheckOwner();
  SharedLock lock(store_mutex_);
  std::vector<std::string> keys = Fatal([&] { return store_.Keys(); });
  if (!replayed_) return keys;
  // The Store's keys that the log leaves alone, then the log's keys in the
  // order of their latest records.
  std::erase_if(keys, [&](const std::string& k) { return replayed_->entries.contains(k); });
  std::vector<std::pair<uint64_t, const std::string*>> logged;
  for (const auto& [key, entry] : replayed_->entries) {
    if (entry.value) logged.emplace_back(entry.position, &key);
  }
  std::sort(logged.begin(), logged.end());
  for (const auto& item : logged) keys.push_back(*item.second);
  return keys;
}

Database::CacheStats Database::GetCacheStats() {
  CheckOwner();
  SharedLock lock(store_mutex_);
  return {store_.cached(), store_.cache_capacity()};
}

void Database::ClearCache() {
  CheckOwner();
  StoreLock lock(store_mutex_);
  store_.ClearCache();
}

// --------------------------------------------------------------- Persist

void Database::PrepareForSnapshot() {
  if (sync_failure_) throw Error::SyncLost(*sync_failure_);
  if (!switch_pending_) return;
  RememberingSyncFailure([&] { CompleteVacuumSwitch(dir_); });
  switch_pending_ = false;
}

template <typename F>
void Database::RememberingSyncFailure(F&& stages) {
  try {
    stages();
  } catch (const Error& e) {
    if (e.sync_failure() && !sync_failure_) sync_failure_ = e;
    throw;
  }
}

template <typename F>
void Database::WritingSnapshot(F&& stages) {
  CheckOwner();
  CheckWritable();
  StoreLock store_lock(store_mutex_);
  PrepareForSnapshot();
  StoreLock wal_lock(wal_mutex_);
  RememberingSyncFailure(stages);
}

void Database::WriteSnapshotFile(const char* name, const StoreView& state, bool midway_fatal,
                                 std::span<const uint32_t> ids) {
  File out = dir_.OpenFile(name, O_WRONLY | O_CREAT | O_TRUNC);
  SnapshotWriter writer(out);
  const auto encode = [&] {
    writer.Encode(state.key_index, state.live, state.dead, state.record_count, state.keys.end(),
                  state.values.end(), ids);
  };
  if (midway_fatal) {
    Fatal(encode);
  } else {
    encode();
  }
  writer.Finish();
  out.Sync();
}

// Persist, in four stages:
//   1. the data files and the record table are synced, so that every record
//      the snapshot names survives a power loss;
//   2. the log is written out and synced: until it is emptied, a crash
//      leaves both it and the new snapshot, and the next open replays the
//      whole log on top of the snapshot, which gives the same state only if
//      no record of it is missing;
//   3. snapshot.bin.tmp is written and synced, renamed onto snapshot.bin,
//      and the directory is synced;
//   4. the log is emptied, file and buffer.
// A failure before stage 4 leaves snapshot.bin and wal.bin as they were, or
// the new snapshot with the complete old log; both open to the same state.
void Database::Persist() {
  WritingSnapshot([&] {
    store_.SyncData();
    wal_.SyncData();
    WriteSnapshotFile(kSnapshotTmpFile, store_.view(), /*midway_fatal=*/true);
    dir_.Rename(kSnapshotTmpFile, kSnapshotFile);
    dir_.Sync();
    dir_synced_ = true;
    wal_.Reset();
  });
}

// ---------------------------------------------------------------- Vacuum

// Vacuum, in five stages:
//
// Copy survivors  the live records are copied into keys.bin.vac,
//                 vals.bin.vac and offsets.bin.vac, renumbered densely, the
//                 files synced and the new record table mapped; the new
//                 state is built aside. Crash or failure: the old files are
//                 intact; the .vac files are leftovers that the next vacuum
//                 truncates.
// Commit          the log is synced, a snapshot of the new state is written
//                 to snapshot.bin.tmp, synced and renamed to
//                 snapshot.bin.vac. That rename is the commit point. Failure
//                 before it: as in the copy stage.
// After commit    everything from here on runs under one rule: the
//                 directory is committed to the compacted state, so whatever
//                 fails, the store installs that state, the switch is left
//                 pending (completed before the next persist or vacuum, or by
//                 the next open) and the failure is reported. The steps: the
//                 directory synced; the .vac files renamed onto the data
//                 files, then snapshot.bin.vac onto snapshot.bin.
// Switch state    the Store installs the new state as a whole, its key
//                 index renumbered in place; this cannot fail.
// Empty log       every record in the log, buffered or written, is covered
//                 by the new snapshot. Failure: reported; the log is replayed
//                 on top of the new snapshot at the next open, which gives
//                 the same state.
void Database::Vacuum() {
  WritingSnapshot([&] {
    store_.FlushData();
    VacuumedFiles files = CopySurvivors(dir_, store_.view());
    StoreState next = Fatal([&] { return MapVacuumed(&files); });
    wal_.SyncData();
    // A renumbered index is the store's own, written with its new ids.
    const auto& renumbering = files.renumbering;
    const StoreView view = ViewOf(next);
    WriteSnapshotFile(kSnapshotTmpFile,
                      {renumbering ? store_.view().key_index : view.key_index, view.live,
                       view.dead, view.record_count, view.table, view.keys, view.values},
                      /*midway_fatal=*/false,
                      renumbering ? renumbering->ids_in_index_order() : std::span<const uint32_t>());
    dir_.Rename(kSnapshotTmpFile, kSnapshotVacFile);
    // ---- commit point ----
    std::exception_ptr after_commit;
    try {
      dir_.Sync();
      CompleteVacuumSwitch(dir_);
    } catch (const Error&) {
      after_commit = std::current_exception();
      switch_pending_ = true;
    }
    if (files.renumbering) {
      store_.ReplaceRenumbered(std::move(next),
                               [&](const KeyIndex& index) { files.renumbering->Apply(index); });
    } else {
      store_.Replace(std::move(next));
    }
    wal_.Reset();
    if (after_commit) std::rethrow_exception(after_commit);
  });
}

// ------------------------------------------------------------------ Sync

// Sync: the data files' buffers written out (not synced: replay rewrites
// their records from the log), then the log written out and synced. The
// first one also syncs the directory, whose entry for a wal.bin created by
// this open may not be durable yet (persist syncs it too).
void Database::Sync() {
  CheckOwner();
  CheckWritable();
  StoreLock store_lock(store_mutex_);
  if (sync_failure_) throw Error::SyncLost(*sync_failure_);
  StoreLock wal_lock(wal_mutex_);
  RememberingSyncFailure([&] {
    store_.FlushData();
    wal_.SyncData();
    if (!dir_synced_) {
      dir_.Sync();
      dir_synced_ = true;
    }
  });
}

// ---------------------------------------------------- Flush and teardown

void Database::Flush() {
  CheckOwner();
  StoreLock store_lock(store_mutex_);
  StoreLock wal_lock(wal_mutex_);
  if (std::exception_ptr failure = WriteOutBuffers(/*abandon_failed=*/false)) {
    std::rethrow_exception(failure);
  }
}

// The data files' buffers and the log's are written out independently: a
// failure of one never leaves the other in memory. Either alone brings an
// acknowledged write back at the next open (the log replays it; data bytes
// that did not reach their file are appended again from the log), so
// skipping the second after a failure of the first would lose what it
// holds.
std::exception_ptr Database::WriteOutBuffers(bool abandon_failed) {
  std::exception_ptr first;
  try {
    store_.FlushData();
  } catch (const Error&) {
    first = std::current_exception();
    if (abandon_failed) store_.AbandonBuffers();
  }
  try {
    wal_.Flush();
  } catch (const Error&) {
    if (!first) first = std::current_exception();
    if (abandon_failed) wal_.AbandonBuffer();
  }
  return first;
}

Database::~Database() {
  if (!OwnedHere()) {
    // The parent's buffers and lock: a child writes nothing of them and
    // leaves the lock, which its copy of the descriptor shares, alone.
    store_.AbandonBuffers();
    wal_.AbandonBuffer();
    return;
  }
  // Ignoring any potential errors: teardown cannot report them (Flush()
  // first to see them). A buffer that could not be written is dropped: the
  // members are not to try again after the lock is released.
  WriteOutBuffers(/*abandon_failed=*/true);
  // Released explicitly: a forked child holding a copy of the descriptor
  // would otherwise keep the directory locked after this store is gone.
  dir_.Unlock();
}

std::vector<FlushFailure> Database::FlushAllOpen() {
  std::vector<std::shared_ptr<Database>> open;
  {
    std::lock_guard<std::mutex> guard(registry_mutex);
    for (const auto& entry : registry) {
      if (auto db = entry.lock()) open.push_back(std::move(db));
    }
  }
  std::vector<FlushFailure> failures;
  for (const auto& db : open) {
    if (!db->OwnedHere()) continue;
    // A store busy in another thread is left to its own teardown.
    StoreLock store_lock(db->store_mutex_, std::try_to_lock);
    if (!store_lock.owns_lock()) continue;
    StoreLock wal_lock(db->wal_mutex_, std::try_to_lock);
    if (!wal_lock.owns_lock()) continue;
    if (std::exception_ptr failure = db->WriteOutBuffers(/*abandon_failed=*/false)) {
      failures.push_back({db->dir_.path(), failure});
    }
  }
  return failures;
}

}  // namespace vantre
