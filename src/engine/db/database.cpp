// Database: the operations' steps and their failure rules.
//
//   registry and process ownership
//   writes: Put, Delete
//   reads and listings
//   persist and vacuum: frame, the log
//   Persist
//   Vacuum
//   Sync
//   Flush and teardown
#include "engine/db/database.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

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

// Both locks of a write. A write never waits for the log lock while it holds
// the Store lock: persist's commit holds the log lock for a few
// milliseconds (renames, directory syncs), and reads, which need only the
// Store lock, would wait behind the write.
std::pair<std::unique_lock<RwLock>, std::unique_lock<RwLock>> Database::WriteLocks(
    const WaitHook& wait) {
  for (;;) {
    auto store_lock = Exclusive(store_mutex_, wait);
    std::unique_lock<RwLock> wal_lock(wal_mutex_, std::try_to_lock);
    if (wal_lock.owns_lock()) return {std::move(store_lock), std::move(wal_lock)};
    store_lock.unlock();
    Exclusive(wal_mutex_, wait).unlock();  // until the holder is done
  }
}

void Database::Put(std::string_view key, Bytes val, const WaitHook& wait) {
  CheckOwner();
  CheckWritable();
  PendingWrites handed;
  {
    auto [store_lock, wal_lock] = WriteLocks(wait);
    if (log_not_emptied_) Unwrap(*log_not_emptied_);
    // A put that rebuilds the key index copies every entry: the caller's
    // hook runs first (the binding lets the interpreter lock go there), so
    // that the program's other threads run meanwhile. So does a put that
    // writes to a file itself while buffers are handed over: it may wait
    // for another thread's handed-over write, stalled behind maintenance's
    // writes in the kernel.
    if (store_.NextPutRebuildsIndex() ||
        (handing_over_ && (store_.NextPutWritesOut(key.size(), val.size()) ||
                           wal_.AppendWritesOut(kWalPutOverhead + key.size() + val.size())))) {
      wait();
    }
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
    HandOver(&handed);
  }
  if (!handed.empty()) WriteHandedOver(&handed, wait);
}

bool Database::Delete(std::string_view key, const WaitHook& wait) {
  CheckOwner();
  CheckWritable();
  PendingWrites handed;
  bool deleted = false;
  {
    auto [store_lock, wal_lock] = WriteLocks(wait);
    if (log_not_emptied_) Unwrap(*log_not_emptied_);
    if (store_.NextDeleteRebuildsIndex() ||
        (handing_over_ && wal_.AppendWritesOut(kWalDeleteOverhead + key.size()))) {
      wait();  // as in Put
    }
    // Room for the change first, then the log record, whether or not the
    // key is stored: a failure leaves the store unchanged.
    store_.PrepareDelete();
    Fatal([&] { wal_.AppendDelete(key); });
    deleted = store_.Delete(key);
    HandOver(&handed);
  }
  if (!handed.empty()) WriteHandedOver(&handed, wait);
  return deleted;
}

void Database::HandOver(PendingWrites* out) noexcept {
  if (!handing_over_) return;
  store_.HandOver(out);
  wal_.HandOver(out);
}

void Database::WriteHandedOver(PendingWrites* writes, const WaitHook& wait) noexcept {
  wait();
  writes->WriteAll();
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

uint64_t Database::Len(const WaitHook& wait) {
  CheckOwner();
  auto lock = Shared(store_mutex_, wait);
  return replayed_ ? read_only_len_ : store_.Len();
}

std::vector<std::string> Database::Keys(const WaitHook& wait) {
  CheckOwner();
  auto listing = Exclusive(keys_mutex_, wait);
  auto lock = Shared(store_mutex_, wait);
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

Database::CacheStats Database::GetCacheStats(const WaitHook& wait) {
  CheckOwner();
  auto lock = Shared(store_mutex_, wait);
  return {store_.cached(), store_.cache_capacity()};
}

void Database::ClearCache(const WaitHook& wait) {
  CheckOwner();
  auto lock = Exclusive(store_mutex_, wait);
  store_.ClearCache();
}

// ------------------------------------------------ persist and vacuum: frame
//
// Persist and vacuum run beside reads and writes. Each holds the
// maintenance lock throughout (one at a time) and the Store lock only for
// short steps:
//
//   start        Store and WalWriter locks: the append buffers and the
//                log's buffer written out (at most a few tens of KiB), the
//                log's length noted, the live and dead sets copied (about
//                1 MiB per 10 million ids) and the key index frozen.
//   batches      Store lock, one batch each, the lock given to waiting
//                threads between batches: vacuum's carrying (the records
//                written since its last batch), the renumbering after its
//                switch (16,384 index entries), the merge of the overlay
//                (4,096 entries).
//   switch       vacuum only, Store lock: the last records carried, the
//                commit, the compacted state installed (the overlay's
//                entries translated, the cache emptied).
//   commit       log-file and WalWriter locks (and the Store lock for
//                vacuum's switch): the log's last records copied to
//                wal.bin.new and the snapshot's rename (see "the log"
//                below). The directory sync after it, and the log's rename,
//                hold the log-file lock alone (FinishSwitch).
//
// Everything else (syncs, the snapshot, the copies) runs without the Store
// lock, from the frozen state and through descriptors of the maintenance's
// own.

namespace {

// Batches of the steps that run under the Store lock between other calls.
constexpr size_t kRenumberBatch = 16384;
constexpr size_t kMergeBatch = 4096;
// The overlay of persist and vacuum starts sized for a kOverlayShare-th of
// the store's keys, when that is at least kOverlayAhead.
constexpr size_t kOverlayShare = 32;
constexpr size_t kOverlayAhead = 16384;
// Vacuum carries records in batches before its switch until a batch is
// smaller than kCarryInSwitch records (the rest is carried in the switch),
// or for at most kCarryRounds batches: each batch carries what was written
// during the one before, so the batches shrink as long as carrying is
// faster than writing.
constexpr int kCarryRounds = 16;
constexpr uint32_t kCarryInSwitch = 4096;
// The log cut copies in at most this many rounds before its last step, and
// stops early once fewer than kCopyInCut bytes are left for that step.
constexpr int kCutRounds = 4;
constexpr uint64_t kCopyInCut = 256 * 1024;
// A log at least this long is emptied by replacing its file, not cutting it.
constexpr uint64_t kEmptyByTruncation = 4 << 20;

// Gives a lock that a step loop is about to take again to the threads
// asleep waiting for it, for up to a millisecond: taken back at once, it
// would stay with the loop until the loop ends.
void LetSleepersIn(const RwLock& lock) {
  for (int i = 0; i < 20 && lock.has_sleepers(); ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

}  // namespace

// What persist and vacuum start from: the frozen state, the log's length
// then, and descriptors of the store's files of their own: readers of the
// data files as they stood, offsets.bin and wal.bin.
struct Database::MaintenanceStart {
  FrozenState frozen;
  uint64_t log_position;
  bool covered_puts;  // the log holds puts before log_position
  DataFile keys;
  DataFile values;
  File offsets;
  File log;
};

// What a vacuum carries in one batch: the records below `record_count`,
// their bytes below the readers' data ends, and the ids retired since the
// last batch.
struct Database::CarryBatch {
  uint32_t record_count = 0;
  RetiredJournal retired;
  DataFile keys;
  DataFile values;
};

void Database::ThrowIfSyncLost() {
  std::lock_guard<std::mutex> guard(sync_failure_mutex_);
  if (sync_failure_) throw Error::SyncLost(*sync_failure_);
}

template <typename F>
void Database::RememberingSyncFailure(F&& stages) {
  try {
    stages();
  } catch (const Error& e) {
    if (e.sync_failure()) {
      std::lock_guard<std::mutex> guard(sync_failure_mutex_);
      if (!sync_failure_) sync_failure_ = e;
    }
    throw;
  }
}

template <typename F>
bool Database::AfterCommitStep(F&& run, std::exception_ptr* after_commit) {
  try {
    RememberingSyncFailure(run);
    return true;
  } catch (const Error&) {
    if (!*after_commit) *after_commit = std::current_exception();
    return false;
  }
}

void Database::ResumeRecordingMissing(const WaitHook& wait) {
  auto store_lock = Exclusive(store_mutex_, wait);
  store_.SetMissingRecorder(&missing_recorder_);
}

void Database::PrepareMaintenance(const WaitHook& wait) {
  ThrowIfSyncLost();
  if (switch_pending_) {
    RememberingSyncFailure([&] { CompleteVacuumSwitch(dir_); });
    switch_pending_ = false;
    ResumeRecordingMissing(wait);
  }
  FinishMaintenance(wait);
}

// While persist or vacuum runs, the kernel writes their files back and the
// page cache is slow to hand out pages, so that writing out a full buffer
// took a put 12 to 24 ms under the Store lock (and, under CPython, the
// interpreter lock): long enough to stop the program. Meanwhile puts and
// deletes hand such write-outs over and make them with no lock held
// (pending_write.h). At other times a write-out costs microseconds, less
// than the interpreter lock's round trip, and stays where it is.
class Database::HandOverWhileMaintaining {
 public:
  HandOverWhileMaintaining(Database* db, const WaitHook& wait) : db_(db), wait_(wait) { Set(true); }
  HandOverWhileMaintaining(const HandOverWhileMaintaining&) = delete;
  HandOverWhileMaintaining& operator=(const HandOverWhileMaintaining&) = delete;
  ~HandOverWhileMaintaining() { Set(false); }

 private:
  void Set(bool on) noexcept {
    auto [store_lock, wal_lock] = db_->WriteLocks(wait_);
    db_->handing_over_ = on;
    db_->store_.SetHandOver(on);
    db_->wal_.SetHandOver(on);
  }

  Database* db_;
  const WaitHook& wait_;
};

KeyIndex Database::OverlayForMaintenance(const WaitHook& wait) {
  // The writes made during persist or vacuum go to the overlay, which grows
  // by doubling under the Store lock, a put waiting meanwhile: for a table
  // of megabytes, mostly for its fresh pages (a growth at 52,000 entries
  // took a put 13 to 16 ms beside a vacuum). Its table is therefore made
  // here, with no lock held, for a thirty-second of the keys (about 1 MB per
  // million of them, given back once the overlay is merged); a store too
  // small for that to matter starts from an empty one.
  uint64_t keys;
  {
    auto lock = Shared(store_mutex_, wait);
    keys = store_.Len();
  }
  KeyIndex overlay;
  if (keys / kOverlayShare >= kOverlayAhead) {
    try {
      overlay.reserve(static_cast<size_t>(keys / kOverlayShare));
    } catch (const std::bad_alloc&) {
      // Grown as the writes come instead.
    }
  }
  return overlay;
}

Database::MaintenanceStart Database::StartMaintenance(bool vacuum, const WaitHook& wait) {
  // Descriptors of the maintenance's own, opened before the lock: nothing
  // renames these files while the maintenance lock is held. They are
  // checked to be the store's under the lock.
  File keys = dir_.OpenFile(kKeysFile, O_RDONLY);
  File values = dir_.OpenFile(kValsFile, O_RDONLY);
  File offsets = dir_.OpenFile(kOffsetsFile, O_RDONLY);
  File log = dir_.OpenFile(kWalFile, O_RDONLY);
  KeyIndex overlay = OverlayForMaintenance(wait);
  auto store_lock = Exclusive(store_mutex_, wait);
  auto wal_lock = Exclusive(wal_mutex_, wait);
  store_.FlushData();
  wal_.Flush();
  const StoreView view = store_.view();
  if (!view.keys.SameFileAs(keys) || !view.values.SameFileAs(values) ||
      !view.table.SameFileAs(offsets) || !wal_.SameFileAs(log)) {
    throw EngineError(ErrorKind::kInvalidData,
                      "a file of the store was replaced while it was open; close and reopen it",
                      dir_.path());
  }
  DataFile key_reader = view.keys.ReaderOf(std::move(keys));
  DataFile value_reader = view.values.ReaderOf(std::move(values));
  const uint64_t log_position = wal_.size();
  const bool covered_puts = view.record_count != log_first_id_;
  // Last: nothing after the freeze may fail.
  FrozenState frozen = store_.Freeze(/*journal=*/vacuum, /*copy_dead=*/!vacuum, std::move(overlay));
  return MaintenanceStart{std::move(frozen),       log_position,
                          covered_puts,            std::move(key_reader),
                          std::move(value_reader), std::move(offsets),
                          std::move(log)};
}

void Database::FinishMaintenance(const WaitHook& wait) {
  std::unique_ptr<const Renumbering> renumbered;  // freed after the lock
  KeyIndex merged;                                 // the overlay's table, too
  for (;;) {
    auto lock = Exclusive(store_mutex_, wait);
    switch (store_.maintenance_phase()) {
      case FrozenIndex::Phase::kIdle:
        return;
      case FrozenIndex::Phase::kFrozen:
        store_.EndFreeze();
        continue;
      case FrozenIndex::Phase::kRenumbering:
        store_.RenumberStep(kRenumberBatch, &renumbered);
        break;
      case FrozenIndex::Phase::kMerging:
        store_.MergeStep(kMergeBatch, &merged);
        break;
    }
    lock.unlock();
    LetSleepersIn(store_mutex_);
  }
}

void Database::EndMaintenance(const WaitHook& wait) noexcept {
  try {
    FinishMaintenance(wait);
  } catch (...) {
    // Ignoring any potential errors: the merge is finished by the next
    // persist or vacuum (PrepareMaintenance); reads and writes are right
    // meanwhile.
  }
}

void Database::SyncDirectory(const WaitHook& wait) {
  auto file_lock = Exclusive(log_file_mutex_, wait);
  RememberingSyncFailure([&] {
    dir_.Sync();
    dir_synced_ = true;
  });
}

void Database::WriteSnapshotFile(const char* name, const KeyIndex& key_index, const IdSet& live,
                                 const IdSet& dead, uint32_t record_count, uint64_t keys_end,
                                 uint64_t values_end, bool midway_fatal,
                                 std::span<const uint32_t> ids) {
  File out = dir_.OpenFile(name, O_WRONLY | O_CREAT | O_TRUNC);
  SnapshotWriter writer(out);
  const auto encode = [&] {
    writer.Encode(key_index, live, dead, record_count, keys_end, values_end, ids);
  };
  if (midway_fatal) {
    Fatal(encode);
  } else {
    encode();
  }
  writer.Finish();
  out.Sync();
}

// ------------------------------------------ persist and vacuum: the log
//
// Persist and vacuum end by putting their snapshot (of the state when the
// log was P bytes long) in place and keeping in the log exactly the records
// written since P. The snapshot and the log on disk must agree at every
// moment a crash can stop them: open replays the log's puts on top of the
// snapshot, each taking the next record id, and refuses a put whose record
// holds another put (agreement.h, rule 3). So a log whose puts from before
// P (the snapshot covers them) are followed by puts written since (whose
// records the store has already written after the snapshot's count) must
// never lie beside the new snapshot. SwitchSnapshot, the commit, chooses
// one of three ways, under the log-file and WalWriter locks, so that no
// record is appended meanwhile:
//
//   nothing written since P    the snapshot renamed into place, the
//                              directory synced, the log emptied. A crash
//                              between leaves a log the snapshot wholly
//                              covers, which open accepts.
//   writes since, no put       the snapshot renamed into place; the log
//   before P                   stays whole (its first records are deletes
//                              the snapshot covers: replayed, they change
//                              nothing) and is cut afterwards (CutLog),
//                              through wal.bin.new renamed onto wal.bin,
//                              once the directory is synced (FinishSwitch).
//   writes since, puts         the records since P copied to wal.bin.new
//   before P                   beforehand (CopyNewLog, while writes go on)
//                              and here up to the end (FinishNewLog); the
//                              snapshot renamed to snapshot.bin.new (or
//                              snapshot.bin.vac.new): the commit. From
//                              the commit on, wal.bin.new is the
//                              WalWriter's file. Then, the Store and
//                              WalWriter locks released (writes go on,
//                              into that file; a crash leaves the switch
//                              pending): the directory synced; wal.bin.new
//                              renamed onto wal.bin. After that: the
//                              directory synced, the snapshot renamed into
//                              place (CompleteVacuumSwitch, which the next
//                              open, or the next persist or vacuum, runs
//                              too after a crash or a failure). A build
//                              that does not know snapshot.bin.new opens
//                              the store as it was before the call until
//                              wal.bin is replaced, and then refuses it
//                              (rule 3) without changing anything until the
//                              last rename.
//
// wal.bin.new is synced before it replaces wal.bin, and again in the
// commit when a sync of the log made durable bytes it has not synced yet.
// Failure before the commit: thrown, nothing changed, leftovers truncated
// by the next call. After it: the new state stands whatever fails; the
// failure is reported, what is left is completed later (switch_pending_),
// and a log that could not be emptied refuses writes (log_not_emptied_)
// until a persist or vacuum empties or replaces it.

// wal.bin.new, holding the log's bytes [from, copied), synced below
// `durable`.
struct Database::NewLog {
  File file;
  uint64_t from = 0;
  uint64_t copied = 0;
  uint64_t durable = 0;
};

bool Database::CatchUpNewLog(const File& source, NewLog* log, const WaitHook& wait) {
  uint64_t end;
  {
    auto wal_lock = Exclusive(wal_mutex_, wait);
    wal_.Flush();
    end = wal_.size();
  }
  if (end - log->copied < kCopyInCut) return false;
  if (!log->file.is_open()) log->file = dir_.OpenFile(kWalNewFile, O_RDWR | O_CREAT | O_TRUNC);
  log->file.CopyFrom(source, log->copied, end - log->copied, log->copied - log->from);
  log->copied = end;
  return true;
}

Database::NewLog Database::CopyNewLog(const File& source, uint64_t from, const WaitHook& wait) {
  NewLog log{File(), from, from, from};
  // Copied, synced, then copied again: what arrives during the sync is
  // what is left for the commit to copy.
  for (int round = 0; round < kCutRounds && CatchUpNewLog(source, &log, wait); ++round) {
  }
  if (log.copied > log.durable) {
    RememberingSyncFailure([&] { log.file.SyncData(); });
    log.durable = log.copied;
  }
  for (int round = 0; round < kCutRounds && CatchUpNewLog(source, &log, wait); ++round) {
  }
  return log;
}

void Database::FinishNewLog(const File& source, NewLog* log) {
  if (!log->file.is_open()) log->file = dir_.OpenFile(kWalNewFile, O_RDWR | O_CREAT | O_TRUNC);
  const uint64_t end = wal_.size();
  log->file.CopyFrom(source, log->copied, end - log->copied, log->copied - log->from);
  log->copied = end;
  // Bytes a sync made durable in the old log must be durable in the new
  // one before it takes the old one's name.
  if (log_synced_ > log->durable) {
    RememberingSyncFailure([&] { log->file.SyncData(); });
    log->durable = end;
  }
  log->file.SetAppend();
}

File Database::InstallNewLog(NewLog* log, uint32_t first_id) {
  File old = wal_.ReplaceFile(std::move(log->file), log->copied - log->from);
  log_synced_ = log->durable - log->from;
  ++log_generation_;
  log_first_id_ = first_id;
  log_not_emptied_.reset();
  dir_synced_ = false;
  return old;
}

void Database::EmptyLog(uint32_t first_id) {
  try {
    wal_.Reset();
  } catch (const Error& e) {
    log_not_emptied_ = e;
    throw;
  }
  log_synced_ = 0;
  ++log_generation_;
  log_first_id_ = first_id;
  log_not_emptied_.reset();
}

Database::LogAfterSwitch Database::SwitchSnapshot(const char* target, const char* marker,
                                                  const File& source, uint64_t from,
                                                  bool covered_puts, std::optional<NewLog>* log,
                                                  uint32_t first_id, File* replaced,
                                                  std::exception_ptr* after_commit) {
  const auto step = [&](auto&& run) { return AfterCommitStep(run, after_commit); };
  wal_.Flush();
  const uint64_t end = wal_.size();
  if (end == from || !covered_puts) {
    dir_.Rename(kSnapshotTmpFile, target);
    // ---- commit point ----
    if (end != from) {
      // The directory is synced by FinishSwitch, before the cut.
      log_first_id_ = first_id;  // the log's first put is one written since
      return LogAfterSwitch::kWhole;
    }
    if (step([&] { dir_.Sync(); })) dir_synced_ = true;
    if (from < kEmptyByTruncation) {
      step([&] { EmptyLog(first_id); });
    } else {
      // A long log is replaced by an empty file rather than cut to length
      // 0: its blocks are then freed when it is closed, after the locks
      // (tens of milliseconds for a log of a hundred megabytes).
      step([&] {
        try {
          NewLog empty{dir_.OpenFile(kWalNewFile, O_RDWR | O_CREAT | O_TRUNC), from, from, from};
          empty.file.SetAppend();
          dir_.Rename(kWalNewFile, kWalFile);
          *replaced = InstallNewLog(&empty, first_id);
        } catch (const Error& e) {
          log_not_emptied_ = e;
          throw;
        }
      });
    }
    return LogAfterSwitch::kEmptied;
  }
  if (!*log) log->emplace(NewLog{File(), from, from, from});
  FinishNewLog(source, &**log);
  dir_.Rename(kSnapshotTmpFile, marker);
  // ---- commit point: wal.bin.new is the log from here on ----
  *replaced = InstallNewLog(&**log, first_id);
  // wal.bin.new keeps its name until FinishSwitch, after the Store and
  // WalWriter locks: the writes made meanwhile go to its file, and a crash
  // meanwhile leaves the switch pending, completed by the next open. The
  // snapshot's last rename, onto `target`, is left to the caller after
  // that (CompleteVacuumSwitch): the log no longer agrees with the old
  // snapshot, so a build that does not know `marker` refuses the store
  // until then, changing nothing.
  return LogAfterSwitch::kReplaced;
}

void Database::FinishSwitch(LogAfterSwitch after, std::exception_ptr* after_commit) {
  const auto step = [&](auto&& run) { return AfterCommitStep(run, after_commit); };
  switch (after) {
    case LogAfterSwitch::kEmptied:
      return;
    case LogAfterSwitch::kWhole:
      if (step([&] { dir_.Sync(); })) dir_synced_ = true;
      return;
    case LogAfterSwitch::kReplaced:
      if (!(step([&] { dir_.Sync(); }) && step([&] { dir_.Rename(kWalNewFile, kWalFile); }))) {
        switch_pending_ = true;
      }
      return;
  }
}

void Database::CompleteSwitch(const WaitHook& wait, std::exception_ptr* after_commit) {
  if (!AfterCommitStep(
          [&] {
            SyncDirectory(wait);
            CompleteVacuumSwitch(dir_);
          },
          after_commit)) {
    switch_pending_ = true;
  }
}

// The cut of a log whose records before `from` are all deletes (the second
// way above), after its snapshot is in place: the snapshot and the log
// agree before the cut as after it, so the rename is the whole switch.
void Database::CutLog(const File& source, uint64_t from, const WaitHook& wait) {
  NewLog log = CopyNewLog(source, from, wait);
  File replaced;  // closed after the locks are released
  {
    auto file_lock = Exclusive(log_file_mutex_, wait);
    auto wal_lock = Exclusive(wal_mutex_, wait);
    wal_.Flush();
    FinishNewLog(source, &log);
    dir_.Rename(kWalNewFile, kWalFile);
    replaced = InstallNewLog(&log, log_first_id_);
  }
  replaced.CloseGradually();
  SyncDirectory(wait);
}

// --------------------------------------------------------------- Persist

// Persist, in stages:
//   1. start (the short step above): the state frozen, the log's length P
//      noted;
//   2. the data files and the record table are synced, so that every record
//      the snapshot names survives a power loss; the log's first P bytes
//      are synced: until the log is cut, a crash may leave both it and the
//      new snapshot, and the next open replays the whole log on top of the
//      snapshot, which gives the same state only if none of those records
//      is missing;
//   3. snapshot.bin.tmp is written from the frozen state and synced; the
//      freeze ends (the overlay is merged, a batch at a time);
//   4. the records written since P copied to wal.bin.new (when the log
//      holds puts before P);
//   5. the commit (SwitchSnapshot): the snapshot in place as snapshot.bin,
//      the log keeping only the records since P;
//   6. a log kept whole in stage 5 is cut (CutLog).
// A failure before stage 5 leaves snapshot.bin and wal.bin as they were.
void Database::Persist(const WaitHook& wait) {
  CheckOwner();
  CheckWritable();
  auto maintenance = Exclusive(maintenance_mutex_, wait);
  PrepareMaintenance(wait);
  const HandOverWhileMaintaining handing_over(this, wait);
  MaintenanceStart start = StartMaintenance(/*vacuum=*/false, wait);
  const FrozenState& frozen = start.frozen;
  try {
    RememberingSyncFailure([&] {
      start.keys.SyncData();
      start.values.SyncData();
      start.offsets.SyncData();
      start.log.SyncData();
      WriteSnapshotFile(kSnapshotTmpFile, *frozen.key_index, frozen.live, frozen.dead,
                        frozen.record_count, frozen.keys_end, frozen.values_end,
                        /*midway_fatal=*/true);
    });
  } catch (...) {
    EndMaintenance(wait);
    throw;
  }
  EndMaintenance(wait);
  std::optional<NewLog> log;
  if (start.covered_puts) log.emplace(CopyNewLog(start.log, start.log_position, wait));
  File replaced;  // closed after the locks are released
  std::exception_ptr after_commit;
  LogAfterSwitch after;
  {
    auto file_lock = Exclusive(log_file_mutex_, wait);
    {
      auto wal_lock = Exclusive(wal_mutex_, wait);
      after = SwitchSnapshot(kSnapshotFile, kSnapshotNewFile, start.log, start.log_position,
                             start.covered_puts, &log, frozen.record_count, &replaced,
                             &after_commit);
    }
    FinishSwitch(after, &after_commit);
  }
  replaced.CloseGradually();
  if (after == LogAfterSwitch::kReplaced && !switch_pending_) {
    CompleteSwitch(wait, &after_commit);  // snapshot.bin.new onto snapshot.bin
  }
  if (after_commit) std::rethrow_exception(after_commit);
  if (after == LogAfterSwitch::kWhole) CutLog(start.log, start.log_position, wait);
}

// ---------------------------------------------------------------- Vacuum

// Vacuum, in stages:
//
// Start           the short step above: the state frozen (the index, the
//                 live set, the record count N and data ends), the log's
//                 length P noted, and each retired id journaled from now on.
//                 The frozen index's new ids are worked out (Cover); an
//                 index that does not name every survivor exactly once
//                 (a damaged snapshot) ends the freeze and is vacuumed
//                 under the Store lock throughout instead (VacuumLocked).
// Copy survivors  without the Store lock: the log's first P bytes synced;
//                 the survivors of the freeze copied into keys.bin.vac,
//                 vals.bin.vac and offsets.bin.vac, renumbered densely,
//                 the files synced and the new record table mapped; the
//                 snapshot of the frozen state, renumbered, written to
//                 snapshot.bin.tmp and synced. Crash or failure: the old
//                 files are intact; the .vac files are leftovers that the
//                 next vacuum truncates.
// Carry           the records written since the start (ids from N) are
//                 copied after the survivors, in batches (their bytes and
//                 records moved by constants), and the compacted live and
//                 dead sets follow the journal; when the log holds puts
//                 before P, the records since P are copied to wal.bin.new.
//                 Failure: as above.
// Switch          Store, log-file and WalWriter locks: the last records
//                 carried, then the commit (SwitchSnapshot): the snapshot
//                 becomes snapshot.bin.vac (through snapshot.bin.vac.new
//                 when the log is replaced with it), which marks the
//                 vacuum committed, and the log keeps only the records
//                 since P, which replayed on the new snapshot take the ids
//                 and places they were carried to (wal.bin.new's file
//                 becomes the log; its rename onto wal.bin, after the
//                 directory sync, waits for FinishSwitch, under the
//                 log-file lock alone). The compacted files,
//                 sets and counts are installed; the key index keeps its
//                 entries, which take their new ids in batches (until then
//                 reads translate them). Failure before the commit: as
//                 above.
// After commit    everything from here on runs under one rule: the
//                 directory is committed to the compacted state, so whatever
//                 fails, the store keeps that state, the switch is left
//                 pending (completed before the next persist or vacuum, or by
//                 the next open) and the failure is reported. The steps: the
//                 directory synced; the .vac files renamed onto the data
//                 files, then snapshot.bin.vac onto snapshot.bin.
// Renumber, merge the index's entries take their new ids, then the overlay
//                 is merged, a batch at a time.
// Cut log         a log kept whole at the switch is cut (CutLog).
void Database::Vacuum(const WaitHook& wait) {
  CheckOwner();
  CheckWritable();
  auto maintenance = Exclusive(maintenance_mutex_, wait);
  PrepareMaintenance(wait);
  const HandOverWhileMaintaining handing_over(this, wait);
  MaintenanceStart start = StartMaintenance(/*vacuum=*/true, wait);
  const FrozenState& frozen = start.frozen;
  std::unique_ptr<IndexRenumbering> renumbering;
  bool covered = false;
  try {
    renumbering = std::make_unique<IndexRenumbering>(frozen.live, frozen.table_capacity);
    covered = renumbering->Cover(*frozen.key_index);
  } catch (...) {
    EndMaintenance(wait);
    throw;
  }
  if (!covered) {
    EndMaintenance(wait);
    VacuumLocked(wait);
    return;
  }

  std::optional<StoreState> next;
  std::optional<RecordCarrier> carrier;
  std::optional<NewLog> log;
  const auto carry = [&] {
    File keys = dir_.OpenFile(kKeysFile, O_RDONLY);
    File values = dir_.OpenFile(kValsFile, O_RDONLY);
    std::optional<CarryBatch> batch;
    {
      auto store_lock = Exclusive(store_mutex_, wait);
      batch.emplace(TakeCarryBatch(std::move(keys), std::move(values)));
    }
    const uint32_t before = carrier->carried();
    carrier->Carry(batch->record_count, batch->keys, batch->values, start.offsets,
                   batch->retired);
    return carrier->carried() - before;
  };
  try {
    RememberingSyncFailure([&] {
      start.log.SyncData();
      const VacuumSource source{start.keys,      start.values, start.offsets,
                                frozen.table_capacity, frozen.live, *frozen.key_index};
      VacuumedFiles files = CopySurvivors(dir_, source, /*rehash=*/false);
      next.emplace(Fatal([&] { return MapVacuumed(&files); }));
      WriteSnapshotFile(kSnapshotTmpFile, *frozen.key_index, next->live, IdSet(),
                        next->record_count, next->keys.end(), next->values.end(),
                        /*midway_fatal=*/false, renumbering->ids_in_index_order());
      carrier.emplace(frozen, *renumbering, &*next);
      // The log first (copied and synced), then the carrying, with the
      // log kept up to date between batches: the switch copies only what
      // the last batch let through.
      if (start.covered_puts) log.emplace(CopyNewLog(start.log, start.log_position, wait));
      for (int round = 0; round < kCarryRounds; ++round) {
        const uint32_t n = carry();
        if (log) CatchUpNewLog(start.log, &*log, wait);
        if (n < kCarryInSwitch) break;
      }
    });
  } catch (...) {
    EndMaintenance(wait);
    throw;
  }

  File keys = dir_.OpenFile(kKeysFile, O_RDONLY);
  File values = dir_.OpenFile(kValsFile, O_RDONLY);
  File replaced_log;  // closed after the locks are released
  std::exception_ptr after_commit;
  LogAfterSwitch after;
  {
    std::optional<StoreState> replaced;  // released after the locks
    auto file_lock = Exclusive(log_file_mutex_, wait);
    auto store_lock = Exclusive(store_mutex_, wait);
    auto wal_lock = Exclusive(wal_mutex_, wait);
    try {
      const CarryBatch batch = TakeCarryBatch(std::move(keys), std::move(values));
      carrier->Carry(batch.record_count, batch.keys, batch.values, start.offsets, batch.retired);
      after = SwitchSnapshot(kSnapshotVacFile, kSnapshotVacNewFile, start.log,
                             start.log_position, start.covered_puts, &log, carrier->carried_to(),
                             &replaced_log, &after_commit);
    } catch (...) {
      wal_lock.unlock();
      store_lock.unlock();
      file_lock.unlock();
      EndMaintenance(wait);
      throw;
    }
    // ---- committed ----
    replaced.emplace(store_.InstallCompacted(
        CompactedState{std::move(next->table), std::move(next->keys), std::move(next->values),
                       std::move(next->live), std::move(next->dead), next->record_count},
        std::move(renumbering), carrier->carried_from(), carrier->carried_to()));
    wal_lock.unlock();
    store_lock.unlock();
    FinishSwitch(after, &after_commit);
    file_lock.unlock();
    replaced.reset();  // maps unmapped, files closed: after the locks
  }
  replaced_log.CloseGradually();
  if (!after_commit) CompleteSwitch(wait, &after_commit);
  if (after_commit) {
    switch_pending_ = true;
  } else {
    ResumeRecordingMissing(wait);
  }
  EndMaintenance(wait);
  if (after_commit) std::rethrow_exception(after_commit);
  if (after == LogAfterSwitch::kWhole) CutLog(start.log, start.log_position, wait);
}

Database::CarryBatch Database::TakeCarryBatch(File keys, File values) {
  store_.FlushData();
  const StoreView view = store_.view();
  if (!view.keys.SameFileAs(keys) || !view.values.SameFileAs(values)) {
    throw EngineError(ErrorKind::kInvalidData,
                      "a file of the store was replaced while it was open; close and reopen it",
                      dir_.path());
  }
  CarryBatch batch{view.record_count, store_.TakeRetired(), view.keys.ReaderOf(std::move(keys)),
                   view.values.ReaderOf(std::move(values))};
  return batch;
}

void Database::VacuumLocked(const WaitHook& wait) {
  File keys = dir_.OpenFile(kKeysFile, O_RDONLY);
  File values = dir_.OpenFile(kValsFile, O_RDONLY);
  File offsets = dir_.OpenFile(kOffsetsFile, O_RDONLY);
  auto file_lock = Exclusive(log_file_mutex_, wait);
  auto store_lock = Exclusive(store_mutex_, wait);
  auto wal_lock = Exclusive(wal_mutex_, wait);
  RememberingSyncFailure([&] {
    store_.FlushData();
    const StoreView view = store_.view();
    const DataFile key_reader = view.keys.ReaderOf(std::move(keys));
    const DataFile value_reader = view.values.ReaderOf(std::move(values));
    const VacuumSource source{key_reader,           value_reader, offsets,
                              view.table.capacity(), view.live,    view.key_index};
    VacuumedFiles files = CopySurvivors(dir_, source, /*rehash=*/true);
    StoreState next = Fatal([&] { return MapVacuumed(&files); });
    wal_.SyncData();
    WriteSnapshotFile(kSnapshotTmpFile, next.key_index, next.live, next.dead, next.record_count,
                      next.keys.end(), next.values.end(), /*midway_fatal=*/false);
    dir_.Rename(kSnapshotTmpFile, kSnapshotVacFile);
    // ---- commit point: as in Vacuum ----
    std::exception_ptr after_commit;
    try {
      dir_.Sync();
      dir_synced_ = true;
      CompleteVacuumSwitch(dir_);
    } catch (const Error&) {
      after_commit = std::current_exception();
      switch_pending_ = true;
    }
    const uint32_t record_count = next.record_count;
    store_.Replace(std::move(next));
    // As in Vacuum: a range of the compacted files is recorded once the
    // switch is complete, not in the missing.bin it removes.
    if (!switch_pending_) store_.SetMissingRecorder(&missing_recorder_);
    try {
      EmptyLog(record_count);
    } catch (const Error&) {
      if (!after_commit) after_commit = std::current_exception();
    }
    if (after_commit) std::rethrow_exception(after_commit);
  });
}

// ------------------------------------------------------------------ Sync

// Sync: the data files' buffers written out (not synced: replay rewrites
// their records from the log) and the log's, under the Store and WalWriter
// locks; then, under the log-file lock only (writes go on), the log synced,
// and the directory when a name in it may not be durable yet: a wal.bin
// created by this open, or put in place by a persist or vacuum.
void Database::Sync(const WaitHook& wait) {
  CheckOwner();
  CheckWritable();
  ThrowIfSyncLost();
  uint64_t upto;
  uint64_t generation;
  {
    auto store_lock = Exclusive(store_mutex_, wait);
    auto wal_lock = Exclusive(wal_mutex_, wait);
    store_.FlushData();
    wal_.Flush();
    upto = wal_.size();
    generation = log_generation_;
  }
  auto file_lock = Exclusive(log_file_mutex_, wait);
  RememberingSyncFailure([&] {
    wal_.SyncWritten();
    if (generation == log_generation_) log_synced_ = std::max(log_synced_, upto);
    if (!dir_synced_) {
      dir_.Sync();
      dir_synced_ = true;
    }
  });
}

// ---------------------------------------------------- Flush and teardown

void Database::Flush(const WaitHook& wait) {
  CheckOwner();
  auto store_lock = Exclusive(store_mutex_, wait);
  auto wal_lock = Exclusive(wal_mutex_, wait);
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
