// Opening a storage directory:
//   1. create the directory, open it and take its lock; finish a vacuum
//      interrupted after its commit point
//   2. decode snapshot.bin, refusing one that does not decode, or that the
//      record table contradicts (agreement.h, rule 1), before any file is
//      created or changed
//   3. open and size offsets.bin, keys.bin, vals.bin; map offsets.bin;
//      record the ranges of keys.bin and vals.bin found missing (rule 2)
//   4. build the state from the snapshot, or empty
//   5. replay wal.bin through put and delete, refusing a log of another age
//      (rule 3) and records the log does not account for (rule 4); move an
//      undecodable tail to wal.bin.cut
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

#include "engine/db/agreement.h"
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

constexpr std::array<const char*, 3> kDataFileNames = {kOffsetsFile, kKeysFile, kValsFile};

// Opens those of the three data files that exist, for reading and writing.
// They are opened, and checked against the snapshot, before any missing one
// is created, so that a store whose files cannot be opened (read-only files
// or mount) or do not agree is left exactly as it was.
std::array<File, 3> OpenExistingDataFiles(const StoreDir& dir) {
  std::array<File, 3> files;
  for (size_t i = 0; i < kDataFileNames.size(); ++i) {
    try {
      files[i] = dir.OpenFile(kDataFileNames[i], O_RDWR);
    } catch (const OsError& e) {
      if (e.code() != ENOENT) throw;
    }
  }
  return files;
}

// Creates the data files still missing.
void CreateMissingDataFiles(const StoreDir& dir, std::array<File, 3>* files) {
  for (size_t i = 0; i < kDataFileNames.size(); ++i) {
    if (!(*files)[i].is_open()) (*files)[i] = dir.OpenFile(kDataFileNames[i], O_RDWR | O_CREAT);
  }
}

// Rule 1 of agreement.h: refuses a snapshot that the record table, or the
// snapshot itself, contradicts. `offsets` may be closed (no offsets.bin).
void CheckSnapshotAgrees(const StoreDir& dir, const SnapshotData& snap, const File& offsets) {
  const std::optional<std::string> wrong =
      SnapshotDisagreement(snap, offsets.is_open() ? &offsets : nullptr);
  if (wrong) {
    throw Error::Damaged(dir.PathOf(kSnapshotFile),
                         DisagreementText(dir.path(), "snapshot.bin: " + *wrong));
  }
}

// Rule 2: the ranges between each data file's end and the snapshot's data
// end, with those missing.bin already lists; the new ones are recorded
// (durably) when `record` is set, before anything can grow a file over
// them.
std::vector<MissingRange> MissingRanges(const StoreDir& dir, const std::optional<SnapshotData>& snap,
                                        uint64_t keys_size, uint64_t values_size, bool record) {
  std::vector<MissingRange> ranges = ReadMissingRanges(dir);
  if (!snap) return ranges;
  std::vector<MissingRange> found;
  const auto find = [&](DataFileTag tag, uint64_t size, uint64_t end) {
    if (size >= end) return;
    const MissingRange range{tag, size, end};
    for (const MissingRange& r : ranges) {
      if (r.file == tag && r.start <= size && end <= r.end) return;  // listed already
    }
    found.push_back(range);
  };
  find(DataFileTag::kKeys, keys_size, snap->key_data_end);
  find(DataFileTag::kValues, values_size, snap->value_data_end);
  if (record) RecordMissingRanges(dir, found);
  ranges.insert(ranges.end(), found.begin(), found.end());
  return ranges;
}

// The state open starts from: the snapshot's elements, as they are. A
// snapshot whose records lie past the data files or outside the table is
// not refused: only the keys such records hold fail, when they are read.
StoreState InitialState(std::optional<SnapshotData> snap, RecordTable table, File keys,
                        uint64_t keys_size, File values, uint64_t values_size,
                        const std::vector<MissingRange>& missing) {
  DataFile key_data(std::move(keys), keys_size);
  DataFile value_data(std::move(values), values_size);
  for (const MissingRange& r : missing) {
    (r.file == DataFileTag::kKeys ? key_data : value_data).AddMissing(r.start, r.end);
  }
  if (!snap) {
    return StoreState{KeyIndex(), IdSet(), IdSet(), 0, std::move(table),
                      std::move(key_data), std::move(value_data)};
  }
  key_data.SetEnd(snap->key_data_end);
  value_data.SetEnd(snap->value_data_end);
  return StoreState{std::move(snap->key_index), std::move(snap->live), std::move(snap->dead),
                    snap->record_count,         std::move(table),      std::move(key_data),
                    std::move(value_data)};
}

// Rule 3 of agreement.h for a replay: whether the record the next put of
// the log takes may be written, or the log is of another age than the
// snapshot and the record table (Error::Damaged). A record that locates
// another put is allowed for the log's last record, and for every record
// of a log the snapshot already covers (decided once, when first needed).
class ReplayAgreement {
 public:
  // `snapshot_count`: the record count the snapshot gave the Store.
  ReplayAgreement(Store* store, const StoreDir* dir, const File* log, uint64_t log_size,
                  uint32_t snapshot_count)
      : store_(store), dir_(dir), log_(log), log_size_(log_size),
        snapshot_count_(snapshot_count), key_base_(store->view().keys.end()),
        value_base_(store->view().values.end()) {}

  // Checks the put of `key` and `val` that ends at `end` in wal.bin and
  // takes id `id`, appending at `key_end` and `value_end`; returns how its
  // record compared.
  SlotMatch CheckPut(uint32_t id, std::string_view key, Bytes val, uint64_t key_end,
                     uint64_t value_end, uint64_t end, Record* found = nullptr) {
    const std::optional<Record> existing = store_->RecordAt(id);
    if (!existing) return SlotMatch::kUnwritten;
    if (found != nullptr) *found = *existing;
    const auto equals = [&](DataFileTag tag, uint64_t offset, Bytes expected) {
      return store_->DataEquals(tag, offset, expected);
    };
    const SlotMatch match =
        MatchSlot(*existing, key, val, key_end, value_end, key_base_, value_base_, equals);
    if (match != SlotMatch::kSame && !appending_) {
      // The first append: the records from here on must be the rest of the
      // log's, and one lost buffer's (agreement.h, rule 4).
      appending_ = true;
      const uint64_t rest = log_size_ - (end - kWalPutOverhead - key.size() - val.size());
      if (RunOutgrowsLog(id, rest, [&](uint32_t i) { return store_->RecordAt(i); })) {
        throw Error::Damaged(dir_->PathOf(kOffsetsFile),
                             DisagreementText(dir_->path(), LostRunText(id, rest + kMaxLostLogBytes)));
      }
    }
    if (match != SlotMatch::kOther || end == log_size_) return match;  // or the last record
    if (covered_ == Covered::kUnknown) covered_ = LogCovered() ? Covered::kYes : Covered::kNo;
    if (covered_ == Covered::kYes) return match;
    throw Error::Damaged(dir_->PathOf(kWalFile),
                         DisagreementText(dir_->path(), ForeignLogText(end - kWalPutOverhead -
                                                                           key.size() - val.size(),
                                                                       id)));
  }
  // The same for a writer's replay, whose Store is as the put finds it:
  // how the put is to be replayed (Store::ReplayPut).
  Store::ReplaySlot CheckReplayedPut(std::string_view key, Bytes val, uint64_t end) {
    Store::ReplaySlot slot;
    const StoreView v = store_->view();
    slot.compared = true;
    slot.same = CheckPut(store_->record_count(), key, val, v.keys.end(), v.values.end(), end,
                         &slot.record) == SlotMatch::kSame;
    return slot;
  }

 private:
  enum class Covered { kUnknown, kYes, kNo };

  // Whether the snapshot's last record is the log's last put: persist
  // stopped between renaming the snapshot into place and emptying the log.
  bool LogCovered() {
    const uint32_t count = snapshot_count_;
    if (count == 0) return false;
    const std::optional<LastPut> last = FindLastPut(*log_);
    const std::optional<Record> rec = store_->RecordAt(count - 1);
    if (!last || !rec || rec->key_length != last->key.size() ||
        rec->value_length != last->val.size()) {
      return false;
    }
    try {
      return store_->DataEquals(DataFileTag::kKeys, rec->key_offset, AsBytes(last->key)) &&
             store_->DataEquals(DataFileTag::kValues, rec->value_offset, last->val);
    } catch (const Error&) {
      return false;
    }
  }

  Store* store_;  // compared through, not changed
  const StoreDir* dir_;
  const File* log_;
  uint64_t log_size_;
  uint32_t snapshot_count_;
  // The data ends before the replay appended anything.
  uint64_t key_base_;
  uint64_t value_base_;
  Covered covered_ = Covered::kUnknown;
  bool appending_ = false;  // a put did not locate its record
};

// Applies log records to a Store a few records behind their decoding, in
// the log's order. Each record's key index lines start loading when it is
// queued, so that applying it no longer waits for its index slot: the
// index miss was the largest single cost of a replayed record.
class ReplayPipeline {
 public:
  ReplayPipeline(Store* store, ReplayAgreement* agreement)
      : store_(store), agreement_(agreement) {}

  void Push(const WalEntry& entry, uint64_t end) {
    const uint64_t hash = KeyHash(entry.key);
    if (entry.key.size() + entry.val.size() > kMaxQueuedBytes) {
      // A long record is applied from the decoder's buffers once the queue
      // is empty: a copy would double the memory replay needs for it (a
      // 32-bit process may not have that much).
      Drain();
      Apply(entry.tag, entry.key, hash, entry.val, end);
      return;
    }
    if (count_ == kDepth) ApplyOldest();
    Queued& q = queue_[(first_ + count_) % kDepth];
    q.tag = entry.tag;
    q.key.assign(entry.key);
    q.val.assign(entry.val.begin(), entry.val.end());
    q.hash = hash;
    q.end = end;
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
    uint64_t end = 0;  // offset just past the record in wal.bin
  };

  void ApplyOldest() {
    const Queued& q = queue_[first_];
    first_ = (first_ + 1) % kDepth;
    --count_;
    Apply(q.tag, q.key, q.hash, q.val, q.end);
  }
  void Apply(WalTag tag, std::string_view key, uint64_t hash, Bytes val, uint64_t end) {
    if (tag == WalTag::kPut) {
      const Store::ReplaySlot slot = agreement_->CheckReplayedPut(key, val, end);
      Fatal([&] { store_->ReplayPut(key, hash, val, slot); });
    } else {
      store_->Delete(hash);
    }
  }

  Store* store_;
  ReplayAgreement* agreement_;
  std::array<Queued, kDepth> queue_;
  size_t first_ = 0;
  size_t count_ = 0;
};

// Applies every record of wal.bin that decodes, in order (see
// log_replay.h: a read error is thrown, not taken for the end of the log),
// refusing a log of another age (rule 3), then refuses records past the
// replayed ones that the log does not account for (rule 4).
// Runs once per open, so it is placed with the cold code: laid out among
// the per-call code, it and the pipeline inlined into it moved the read
// path's code enough to make random reads of a 1M-key store 15% slower.
[[gnu::cold]] LogReplay ReplayLog(Store* store, const StoreDir& dir) {
  LogReplay replay;
  const RecordAtId record = [&](uint32_t id) { return store->RecordAt(id); };
  if (dir.Exists(kWalFile)) {
    File in = dir.OpenFile(kWalFile, O_RDONLY);
    ReplayAgreement agreement(store, &dir, &in, in.Size(), store->record_count());
    ReplayPipeline pipeline(store, &agreement);
    replay = ReplayLogFile(in, [&](const WalEntry& entry, uint64_t end) {
      pipeline.Push(entry, end);
      return true;
    });
    pipeline.Drain();
  }
  const uint32_t first = store->record_count();
  const uint64_t lost = LostRunBytes(first, record);
  if (lost > kMaxLostLogBytes) {
    throw Error::Damaged(dir.PathOf(kOffsetsFile),
                         DisagreementText(dir.path(), LostRunText(first, kMaxLostLogBytes)));
  }
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
// an undecodable tail is left where it is. The log is checked against
// `store`'s record table as a writer's replay would check it (rules 3 and
// 4), with the data ends the writer's appends would reach.
std::unique_ptr<ReplayedLog> ReplayLogInMemory(const StoreDir& dir, Store& store) {
  auto log = std::make_unique<ReplayedLog>();
  uint32_t id = store.record_count();
  const RecordAtId record = [&](uint32_t i) { return store.RecordAt(i); };
  if (dir.Exists(kWalFile)) {
    File in = dir.OpenFile(kWalFile, O_RDONLY);
    ReplayAgreement agreement(&store, &dir, &in, in.Size(), id);
    uint64_t key_end = store.view().keys.end();
    uint64_t value_end = store.view().values.end();
    uint64_t position = 0;
    ReplayLogFile(in, [&](const WalEntry& entry, uint64_t end) {
      ReplayedLog::Entry& slot = log->entries[entry.key];
      slot.position = position++;
      if (entry.tag != WalTag::kPut) {
        slot.value.reset();
        return true;
      }
      slot.value = entry.val;
      if (id == UINT32_MAX) return false;
      Record rec;
      const SlotMatch match =
          agreement.CheckPut(id, entry.key, entry.val, key_end, value_end, end, &rec);
      AdvanceEnds(match, rec, entry.key.size(), entry.val.size(), &key_end, &value_end);
      ++id;
      return true;
    });
  }
  const uint64_t lost = LostRunBytes(id, record);
  if (lost > kMaxLostLogBytes) {
    throw Error::Damaged(dir.PathOf(kOffsetsFile),
                         DisagreementText(dir.path(), LostRunText(id, kMaxLostLogBytes)));
  }
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
  // A snapshot committed with a new log: until a writer puts them in place,
  // snapshot.bin and wal.bin may be of different ages.
  for (const char* name : {kSnapshotNewFile, kSnapshotVacNewFile}) {
    if (dir.Exists(name)) {
      throw EngineError(ErrorKind::kInvalidData,
                        "a persist or vacuum of this store was interrupted and must be completed "
                        "by a writer: open it once without read-only, then read-only again",
                        dir.PathOf(name));
    }
  }
  std::optional<SnapshotData> snap = LoadSnapshot(dir);
  File offsets = OpenReadOnlyFile(dir, kOffsetsFile);
  File keys = OpenReadOnlyFile(dir, kKeysFile);
  File values = OpenReadOnlyFile(dir, kValsFile);
  if (snap) CheckSnapshotAgrees(dir, *snap, offsets);
  const uint64_t offsets_size = offsets.Size();
  const uint64_t keys_size = keys.Size();
  const uint64_t values_size = values.Size();
  const std::vector<MissingRange> missing =
      MissingRanges(dir, snap, keys_size, values_size, /*record=*/false);
  RecordTable table = RecordTable::OpenReadOnly(std::move(offsets), offsets_size);
  Store store(InitialState(std::move(snap), std::move(table), std::move(keys), keys_size,
                           std::move(values), values_size, missing),
              cache_capacity);
  std::unique_ptr<ReplayedLog> log = ReplayLogInMemory(dir, store);
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

  std::array<File, 3> files = OpenExistingDataFiles(dir);
  if (snap) CheckSnapshotAgrees(dir, *snap, files[0]);
  const uint64_t keys_size = files[1].is_open() ? files[1].Size() : 0;
  const uint64_t values_size = files[2].is_open() ? files[2].Size() : 0;
  const std::vector<MissingRange> missing =
      MissingRanges(dir, snap, keys_size, values_size, /*record=*/true);
  Fatal([&] { CreateMissingDataFiles(dir, &files); });
  auto& [offsets, keys, values] = files;
  const uint64_t offsets_size = Fatal([&] { return offsets.Size(); });
  RecordTable table = Fatal(
      [&] { return RecordTable::Open(std::move(offsets), offsets_size, kMinRecordCapacity); });
  // A record count that has reached the table doubles it once, as a put
  // would; one beyond twice the table is left for the puts to refuse.
  const uint32_t record_count = snap ? snap->record_count : 0;
  if (record_count >= table.capacity() && record_count / 2 < table.capacity()) {
    Fatal([&] { table.Prepare(record_count, RecordTable::Growth::kAsRoomAllows); });
  }
  Store store(InitialState(std::move(snap), std::move(table), std::move(keys), keys_size,
                           std::move(values), values_size, missing),
              cache_capacity);

  const LogReplay replay = ReplayLog(&store, dir);
  File log = dir.OpenFile(kWalFile, O_WRONLY | O_APPEND | O_CREAT);
  const uint64_t cut = replay.tail_bytes() > 0 ? MoveCutTail(dir, log, replay.decoded_end) : 0;
  const uint64_t log_size = log.Size();

  std::shared_ptr<Database> db(
      new Database(std::move(dir), std::move(store), std::move(log), log_size));
  db->store_.SetMissingRecorder(&db->missing_recorder_);
  db->cut_log_bytes_ = cut;
  db->log_first_id_ = record_count;  // the replay gave the log's puts ids from there
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
