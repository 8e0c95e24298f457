// Opening a storage directory:
//   1. create the directory, open it and take its lock; finish a vacuum
//      interrupted after its commit point
//   2. decode snapshot.bin, refusing one that does not decode before any
//      file is created or changed
//   3. open and size offsets.bin, keys.bin, vals.bin; map offsets.bin
//   4. build the state from the snapshot, or empty
//   5. replay wal.bin through put and delete; move an undecodable tail to
//      wal.bin.cut
//   6. open wal.bin for appending
// A read-only open takes the shared lock, refuses a pending vacuum switch
// instead of completing it, opens what exists read-only and replays the log
// into memory (OpenReadOnly).
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "engine/db/database.h"
#include "engine/db/log_replay.h"
#include "engine/util/error.h"
#include "engine/format/format.h"
#include "engine/format/key_hash.h"
#include "engine/format/snapshot.h"
#include "engine/db/vacuum.h"
#include "engine/format/wal_entry.h"

namespace vantre {
namespace {

constexpr size_t kCutCopyBufferSize = 64 * 1024;
constexpr char kDirectoryLockedText[] = "storage directory is locked by another open store";

// The snapshot to start from, or nothing without snapshot.bin. One that
// does not decode is refused: ignoring it would open a store without every
// key that the log does not repeat, and the next persist would make that
// loss permanent.
std::optional<SnapshotData> LoadSnapshot(const StoreDir& dir) {
  if (!dir.Exists(kSnapshotFile)) return std::nullopt;
  File in = dir.OpenFile(kSnapshotFile, O_RDONLY);
  std::optional<SnapshotData> snap = ReadSnapshot(in);
  if (!snap) {
    const std::string path = dir.PathOf(kSnapshotFile);
    throw Error::Damaged(path, path +
                                   " is damaged and does not decode; the store was not opened "
                                   "and nothing was changed. Run `vantre check " +
                                   dir.path() + "` to inspect it and `vantre recover " +
                                   dir.path() + " NEW_DIR` to copy what can be read");
  }
  return snap;
}

// Opens the three data files for reading and writing. Files that exist are
// opened before any missing one is created, so that a store whose files
// cannot be opened (read-only files or mount) is left exactly as it was.
std::array<File, 3> OpenDataFiles(const StoreDir& dir) {
  const std::array<const char*, 3> names = {kOffsetsFile, kKeysFile, kValsFile};
  std::array<File, 3> files;
  for (size_t i = 0; i < names.size(); ++i) {
    try {
      files[i] = dir.OpenFile(names[i], O_RDWR);
    } catch (const OsError& e) {
      if (e.code() != ENOENT) throw;
    }
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (!files[i].is_open()) files[i] = dir.OpenFile(names[i], O_RDWR | O_CREAT);
  }
  return files;
}

// The state open starts from: the snapshot's elements, as they are. A
// snapshot whose records lie past the data files or outside the table is
// not refused: only the keys such records hold fail, when they are read.
StoreState InitialState(std::optional<SnapshotData> snap, RecordTable table, File keys,
                        uint64_t keys_size, File values, uint64_t values_size) {
  if (!snap) {
    return StoreState{KeyIndex(), IdSet(), IdSet(), 0, std::move(table),
                      DataFile(std::move(keys), keys_size), DataFile(std::move(values), values_size)};
  }
  DataFile key_data(std::move(keys), keys_size);
  DataFile value_data(std::move(values), values_size);
  key_data.SetEnd(snap->key_data_end);
  value_data.SetEnd(snap->value_data_end);
  return StoreState{std::move(snap->key_index), std::move(snap->live), std::move(snap->dead),
                    snap->record_count,         std::move(table),      std::move(key_data),
                    std::move(value_data)};
}

// Applies log records to a Store a few records behind their decoding, in
// the log's order. Each record's key index lines start loading when it is
// queued, so that applying it no longer waits for its index slot: the
// index miss was the largest single cost of a replayed record.
class ReplayPipeline {
 public:
  explicit ReplayPipeline(Store* store) : store_(store) {}

  void Push(const WalEntry& entry) {
    const uint64_t hash = KeyHash(entry.key);
    if (entry.key.size() + entry.val.size() > kMaxQueuedBytes) {
      // A long record is applied from the decoder's buffers once the queue
      // is empty: a copy would double the memory replay needs for it (a
      // 32-bit process may not have that much).
      Drain();
      Apply(entry.tag, entry.key, hash, entry.val);
      return;
    }
    if (count_ == kDepth) ApplyOldest();
    Queued& q = queue_[(first_ + count_) % kDepth];
    q.tag = entry.tag;
    q.key.assign(entry.key);
    q.val.assign(entry.val.begin(), entry.val.end());
    q.hash = hash;
    store_->PrefetchIndex(hash);
    ++count_;
  }
  // Applies the records still queued.
  void Drain() {
    while (count_ > 0) ApplyOldest();
  }

 private:
  static constexpr size_t kDepth = 8;
  static constexpr size_t kMaxQueuedBytes = 4096;
  // A decoded record, in buffers of its own that keep their capacity.
  struct Queued {
    WalTag tag = WalTag::kPut;
    std::string key;
    std::vector<std::byte> val;
    uint64_t hash = 0;
  };

  void ApplyOldest() {
    const Queued& q = queue_[first_];
    first_ = (first_ + 1) % kDepth;
    --count_;
    Apply(q.tag, q.key, q.hash, q.val);
  }
  void Apply(WalTag tag, std::string_view key, uint64_t hash, Bytes val) {
    if (tag == WalTag::kPut) {
      Fatal([&] { store_->ReplayPut(key, hash, val); });
    } else {
      store_->Delete(hash);
    }
  }

  Store* store_;
  std::array<Queued, kDepth> queue_;
  size_t first_ = 0;
  size_t count_ = 0;
};

// Applies every record of wal.bin that decodes, in order (see
// log_replay.h: a read error is thrown, not taken for the end of the log).
// Runs once per open, so it is placed with the cold code: laid out among
// the per-call code, it and the pipeline inlined into it moved the read
// path's code enough to make random reads of a 1M-key store 15% slower.
[[gnu::cold]] LogReplay ReplayLog(Store* store, const StoreDir& dir) {
  if (!dir.Exists(kWalFile)) return LogReplay{};
  File in = dir.OpenFile(kWalFile, O_RDONLY);
  ReplayPipeline pipeline(store);
  const LogReplay replay = ReplayLogFile(in, [&](const WalEntry& entry, uint64_t) {
    pipeline.Push(entry);
    return true;
  });
  pipeline.Drain();
  return replay;
}

// Moves the undecodable tail of wal.bin, [from, end of file), to the end of
// wal.bin.cut and cuts the log back to `from`: records appended behind such
// a tail would never be replayed, and the tail may be all that is left of
// acknowledged writes, so it is kept. wal.bin.cut is synced (and its
// directory entry) before wal.bin is cut. Returns the bytes moved.
uint64_t MoveCutTail(const StoreDir& dir, const File& log, uint64_t from) {
  File in = dir.OpenFile(kWalFile, O_RDONLY);
  const uint64_t size = in.Size();
  if (size <= from) return 0;
  File cut = dir.OpenFile(kWalCutFile, O_WRONLY | O_APPEND | O_CREAT);
  std::vector<std::byte> buffer(kCutCopyBufferSize);
  for (uint64_t offset = from; offset < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - offset));
    in.ReadExactAt({buffer.data(), n}, offset);
    size_t written = 0;
    cut.WriteAll({buffer.data(), n}, kWriteWholeText, &written);
    offset += n;
  }
  cut.Sync();
  dir.Sync();
  log.Truncate(from);
  return size - from;
}

// Whether the directory holds a store: any file that open would start from.
bool HoldsStore(const StoreDir& dir) {
  for (const char* name : {kOffsetsFile, kSnapshotFile, kWalFile, kSnapshotVacFile}) {
    if (dir.Exists(name)) return true;
  }
  return false;
}

// A data file of a read-only store: the file, or an empty one (/dev/null)
// where it does not exist, so that nothing is created.
File OpenReadOnlyFile(const StoreDir& dir, const char* name) {
  try {
    return dir.OpenFile(name, O_RDONLY);
  } catch (const OsError& e) {
    if (e.code() != ENOENT) throw;
  }
  return File::Open("/dev/null", O_RDONLY);
}

// Every record of wal.bin that decodes, in order, as each key's latest one;
// an undecodable tail is left where it is.
std::unique_ptr<ReplayedLog> ReplayLogInMemory(const StoreDir& dir) {
  auto log = std::make_unique<ReplayedLog>();
  if (!dir.Exists(kWalFile)) return log;
  File in = dir.OpenFile(kWalFile, O_RDONLY);
  uint64_t position = 0;
  ReplayLogFile(in, [&](const WalEntry& entry, uint64_t) {
    ReplayedLog::Entry& slot = log->entries[entry.key];
    slot.position = position++;
    if (entry.tag == WalTag::kPut) {
      slot.value = entry.val;
    } else {
      slot.value.reset();
    }
    return true;
  });
  return log;
}

}  // namespace

std::shared_ptr<Database> Database::OpenReadOnly(const std::string& path,
                                                 uint64_t cache_capacity, bool create) {
  StoreDir dir = StoreDir::Open(path);
  if (!dir.TryLockShared()) throw EngineError(ErrorKind::kWouldBlock, kDirectoryLockedText, path);
  if (!create && !HoldsStore(dir)) throw OsError(ENOENT, path);
  if (dir.Exists(kSnapshotVacFile)) {
    throw EngineError(ErrorKind::kInvalidData,
                      "a vacuum of this store was interrupted and must be completed by a "
                      "writer: open it once without read-only, then read-only again",
                      dir.PathOf(kSnapshotVacFile));
  }
  std::optional<SnapshotData> snap = LoadSnapshot(dir);
  File offsets = OpenReadOnlyFile(dir, kOffsetsFile);
  File keys = OpenReadOnlyFile(dir, kKeysFile);
  File values = OpenReadOnlyFile(dir, kValsFile);
  const uint64_t offsets_size = offsets.Size();
  const uint64_t keys_size = keys.Size();
  const uint64_t values_size = values.Size();
  RecordTable table = RecordTable::OpenReadOnly(std::move(offsets), offsets_size);
  Store store(InitialState(std::move(snap), std::move(table), std::move(keys), keys_size,
                           std::move(values), values_size),
              cache_capacity);
  std::unique_ptr<ReplayedLog> log = ReplayLogInMemory(dir);
  // The key count: the Store's, less the keys the log overrides, plus the
  // keys the log leaves stored.
  uint64_t len = store.Len();
  for (const auto& [key, entry] : log->entries) {
    if (store.Get(key)) --len;
    if (entry.value) ++len;
  }
  std::shared_ptr<Database> db(new Database(std::move(dir), std::move(store), File(), 0));
  db->replayed_ = std::move(log);
  db->read_only_len_ = len;
  return db;
}

std::shared_ptr<Database> Database::Open(const std::string& path, uint64_t cache_capacity,
                                         OpenOptions options) {
  if (options.read_only) return OpenReadOnly(path, cache_capacity, options.create);
  if (options.create) CreateDirectories(path);
  StoreDir dir = StoreDir::Open(path);
  if (!dir.TryLock()) throw EngineError(ErrorKind::kWouldBlock, kDirectoryLockedText, path);
  if (!options.create && !HoldsStore(dir)) throw OsError(ENOENT, path);
  CompleteVacuumSwitch(dir);
  std::optional<SnapshotData> snap = LoadSnapshot(dir);

  auto [offsets, keys, values] = Fatal([&] { return OpenDataFiles(dir); });
  const uint64_t offsets_size = Fatal([&] { return offsets.Size(); });
  const uint64_t keys_size = Fatal([&] { return keys.Size(); });
  const uint64_t values_size = Fatal([&] { return values.Size(); });
  RecordTable table = Fatal(
      [&] { return RecordTable::Open(std::move(offsets), offsets_size, kMinRecordCapacity); });
  // A record count that has reached the table doubles it once, as a put
  // would; one beyond twice the table is left for the puts to refuse.
  const uint32_t record_count = snap ? snap->record_count : 0;
  if (record_count >= table.capacity() && record_count / 2 < table.capacity()) {
    Fatal([&] { table.Prepare(record_count); });
  }
  Store store(InitialState(std::move(snap), std::move(table), std::move(keys), keys_size,
                           std::move(values), values_size),
              cache_capacity);

  const LogReplay replay = ReplayLog(&store, dir);
  File log = dir.OpenFile(kWalFile, O_WRONLY | O_APPEND | O_CREAT);
  const uint64_t cut = replay.tail_bytes() > 0 ? MoveCutTail(dir, log, replay.decoded_end) : 0;
  const uint64_t log_size = log.Size();

  std::shared_ptr<Database> db(
      new Database(std::move(dir), std::move(store), std::move(log), log_size));
  db->cut_log_bytes_ = cut;
  Register(db);
  return db;
}

std::string Database::OpenNotice(const std::string& dir) const {
  if (cut_log_bytes_ == 0) return {};
  return dir + ": " + std::to_string(cut_log_bytes_) +
         " bytes at the end of wal.bin did not decode; the store was opened without them and "
         "they were moved to " + JoinPath(dir, kWalCutFile) + " (run `vantre check " + dir + "`)";
}

}  // namespace vantre
