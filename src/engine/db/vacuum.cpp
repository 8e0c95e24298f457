#include "engine/db/vacuum.h"

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/io/data_window.h"
#include "engine/util/error.h"
#include "engine/format/format.h"
#include "engine/format/key_hash.h"
#include "engine/format/utf8.h"
#include "engine/util/prefetch.h"

namespace vantre {
namespace {

// Opens a compaction file and empties it. A leftover name may still be a
// live data file (a switch that was never completed): it is never
// truncated.
File CreateVacuumFile(const StoreDir& dir, const VacuumSource& source, const char* name) {
  File f = dir.OpenFile(name, O_RDWR | O_CREAT);
  if (source.keys.SameFileAs(f) || source.values.SameFileAs(f) || source.offsets.SameFileAs(f)) {
    throw EngineError(ErrorKind::kInvalidInput, "compaction file is a live data file", f.path());
  }
  f.Truncate(0);
  return f;
}

bool Inside(uint64_t offset, uint64_t length, uint64_t end) {
  return offset <= end && length <= end - offset;
}

// Appends byte ranges of one data file to another. Survivors lie in id
// order in the old files, mostly back to back, so ranges that continue the
// one before are gathered into a run, and each run is copied file to file
// in one piece; short runs go through the append buffer.
class RunCopier {
 public:
  RunCopier(const DataFile& from, DataFile* to) : from_(from), to_(to), window_(&from) {}

  // Schedules the `length` bytes at `offset`; returns where they will lie.
  uint64_t Add(uint64_t offset, uint64_t length) {
    if (offset != start_ + length_) Finish();
    if (length_ == 0) start_ = offset;
    const uint64_t at = to_->end() + length_;
    length_ += length;
    return at;
  }
  // Appends the run gathered so far.
  void Finish() {
    if (length_ >= kCopyInKernel) {
      to_->AppendCopy(from_, start_, length_);
    } else if (length_ > 0) {
      to_->Append(window_.Get(start_, static_cast<size_t>(length_)));
    }
    length_ = 0;
    WriteBackAsItGoes();
  }

 private:
  static constexpr uint64_t kCopyInKernel = 64 * 1024;
  // The copy's dirty pages are written to the disk as it goes, a chunk at
  // a time, each chunk waited for once the next has started: the sync at
  // the end then finds little left, and no sync, this one or another
  // thread's, has to wait for the whole file's worth of writes (on ext4 a
  // journal commit waits for them, and so does every write that needs the
  // journal meanwhile: a put beside the vacuum).
  static constexpr uint64_t kWriteBackChunk = 16 << 20;
  void WriteBackAsItGoes() {
    const uint64_t end = to_->end() - to_->end() % DataFile::kWriteUnit;  // written out
    if (end < started_ + kWriteBackChunk) return;
    if (started_ > waited_) to_->WriteBack(waited_, started_, /*wait=*/true);
    waited_ = started_;
    to_->WriteBack(started_, end, /*wait=*/false);
    started_ = end;
  }

  const DataFile& from_;
  DataFile* to_;
  DataWindow window_;
  uint64_t start_ = 0;
  uint64_t length_ = 0;
  uint64_t started_ = 0;  // written back below here, or being written
  uint64_t waited_ = 0;   // written back below here
};

}  // namespace

IndexRenumbering::IndexRenumbering(const IdSet& live, uint32_t table_capacity) {
  const uint64_t top = live.isEmpty() ? 0 : uint64_t{live.maximum()} + 1;
  dense_ = top <= table_capacity;
  if (dense_) new_id_.assign(static_cast<size_t>(top), kGone);
  uint32_t rank = 0;
  for (uint32_t id : live) {
    if (dense_) {
      new_id_[id] = rank++;
    } else {
      new_id_.push_back(id);
    }
  }
  survivors_ = live.cardinality();
}

uint32_t IndexRenumbering::NewId(uint32_t id) const {
  if (dense_) return id < new_id_.size() ? new_id_[id] : kGone;
  const auto at = std::lower_bound(new_id_.begin(), new_id_.end(), id);
  return at != new_id_.end() && *at == id ? static_cast<uint32_t>(at - new_id_.begin()) : kGone;
}

bool IndexRenumbering::Cover(const KeyIndex& index) {
  if (index.size() != survivors_) return false;
  std::vector<bool> named(static_cast<size_t>(survivors_), false);
  in_index_order_.clear();
  in_index_order_.reserve(index.size());
  // The old ids come in hash order, so each lookup of a new id is a random
  // access: they are taken in batches whose slots are loaded together, so
  // that their memory misses overlap instead of queueing.
  constexpr size_t kBatch = 32;
  uint32_t old_ids[kBatch];
  for (auto it = index.begin(); it != index.end();) {
    size_t n = 0;
    for (; n < kBatch && it != index.end(); ++it) old_ids[n++] = it->id;
    if (dense_) {
      for (size_t i = 0; i < n; ++i) {
        if (old_ids[i] < new_id_.size()) PrefetchLine(new_id_.data() + old_ids[i]);
      }
    }
    for (size_t i = 0; i < n; ++i) {
      const uint32_t id = NewId(old_ids[i]);
      if (id == kGone || named[id]) return false;
      named[id] = true;
      in_index_order_.push_back(id);
    }
  }
  return true;
}

Record RecordReader::At(uint32_t id) {
  if (id >= capacity_) {
    const uint64_t end = (static_cast<uint64_t>(id) + 1) * kRecordSize;
    OutOfRange(end, static_cast<uint64_t>(capacity_) * kRecordSize);
  }
  if (id < first_ || id - first_ >= count_) {
    const uint32_t want = std::min<uint32_t>(kRun, capacity_ - id);
    buf_.resize(static_cast<size_t>(want) * kRecordSize);
    const size_t got = file_->ReadAt(buf_, static_cast<uint64_t>(id) * kRecordSize);
    first_ = id;
    count_ = static_cast<uint32_t>(got / kRecordSize);
    if (count_ == 0) throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, file_->path());
  }
  return DecodeRecord(buf_.data() + static_cast<size_t>(id - first_) * kRecordSize);
}

VacuumedFiles CopySurvivors(const StoreDir& dir, const VacuumSource& source, bool rehash) {
  // Every survivor must lie inside the data files as they really are: a
  // file cut short under the store must not be copied as zeros.
  if (source.keys.FileSize() < source.keys.end() ||
      source.values.FileSize() < source.values.end()) {
    throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText);
  }
  VacuumedFiles out{KeyIndex(), IdSet(), 0,
                    DataFile(CreateVacuumFile(dir, source, kKeysVacFile), 0),
                    DataFile(CreateVacuumFile(dir, source, kValsVacFile), 0),
                    CreateVacuumFile(dir, source, kOffsetsVacFile), 0};
  DataFile offsets(std::move(out.offsets), 0);

  // In a consistent store the key index names every survivor exactly once,
  // so renumbering it gives what hashing every key read back from keys.bin
  // would, without a hash and a random insert per key. If it does not (a
  // damaged snapshot, say), every key is hashed into a new index.
  RunCopier keys(source.keys, &out.keys);
  RunCopier values(source.values, &out.values);
  DataWindow keys_in(&source.keys);  // for hashing, when the index cannot be renumbered
  RecordReader records(&source.offsets, source.table_capacity);
  std::string key;
  for (uint32_t id : source.live) {
    const Record rec = records.At(id);
    if (!Inside(rec.key_offset, rec.key_length, source.keys.end()) ||
        !Inside(rec.value_offset, rec.value_length, source.values.end())) {
      throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText);
    }
    const Record moved{keys.Add(rec.key_offset, rec.key_length), rec.key_length,
                       values.Add(rec.value_offset, rec.value_length), rec.value_length};
    if (rehash) {
      key.assign(AsText(keys_in.Get(rec.key_offset, rec.key_length)));
      const uint64_t hash = IsValidUtf8(key) ? KeyHash(key) : KeyHash(Utf8Lossy(key));
      out.rebuilt_index.insert_or_assign(hash, out.record_count);
    }
    std::byte encoded[kRecordSize];
    EncodeRecord(encoded, moved);
    offsets.Append(encoded);
    ++out.record_count;
  }
  out.live.addRange(0, out.record_count);
  keys.Finish();
  values.Finish();
  out.keys.SyncData();
  out.values.SyncData();
  out.offsets = std::move(offsets).Release();
  const uint64_t capacity = std::max(out.record_count, kMinRecordCapacity);
  out.offsets_size = capacity * kRecordSize;
  out.offsets.Truncate(out.offsets_size);
  out.offsets.Sync();
  return out;
}

StoreState MapVacuumed(VacuumedFiles* files) {
  RecordTable table =
      RecordTable::Open(std::move(files->offsets), files->offsets_size, kMinRecordCapacity);
  return StoreState{std::move(files->rebuilt_index), std::move(files->live), IdSet(),
                    files->record_count,             std::move(table),      std::move(files->keys),
                    std::move(files->values)};
}

RecordCarrier::RecordCarrier(const FrozenState& frozen, const IndexRenumbering& renumbering,
                             StoreState* next)
    : renumbering_(renumbering),
      next_state_(next),
      from_(frozen.record_count),
      survivors_(next->record_count),
      keys_from_(frozen.keys_end),
      values_from_(frozen.values_end),
      keys_to_(next->keys.end()),
      values_to_(next->values.end()),
      next_(frozen.record_count) {}

uint32_t RecordCarrier::NewIdOf(uint32_t old_id) const {
  return old_id < from_ ? renumbering_.NewId(old_id) : survivors_ + (old_id - from_);
}

void RecordCarrier::Carry(uint32_t record_count, const DataFile& keys, const DataFile& values,
                          const File& offsets, const RetiredJournal& retired) {
  StoreState& next = *next_state_;
  if (record_count > next_) {
    // The bytes of the records since the last batch: everything appended
    // since, back to back.
    const uint64_t key_start = keys_from_ + (next.keys.end() - keys_to_);
    const uint64_t value_start = values_from_ + (next.values.end() - values_to_);
    const uint64_t key_end = keys.end();
    const uint64_t value_end = values.end();
    if (key_end < key_start || value_end < value_start) {
      throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, keys.path());
    }
    // The records, moved, written a run at a time.
    constexpr uint32_t kRun = 4096;
    RecordReader records(&offsets, UINT32_MAX);
    std::vector<Record> run;
    run.reserve(std::min<uint32_t>(kRun, record_count - next_));
    for (uint32_t first = next_; first < record_count;) {
      const uint32_t n = std::min<uint32_t>(kRun, record_count - first);
      run.clear();
      for (uint32_t id = first; id < first + n; ++id) {
        Record rec = records.At(id);
        if (rec.key_offset < key_start || !Inside(rec.key_offset, rec.key_length, key_end) ||
            rec.value_offset < value_start ||
            !Inside(rec.value_offset, rec.value_length, value_end)) {
          throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, offsets.path());
        }
        rec.key_offset = keys_to_ + (rec.key_offset - keys_from_);
        rec.value_offset = values_to_ + (rec.value_offset - values_from_);
        run.push_back(rec);
      }
      next.table.Prepare(NewIdOf(first));
      next.table.Prepare(NewIdOf(first + n - 1));
      next.table.SetRun(NewIdOf(first), run);
      first += n;
    }
    if (key_end > key_start) next.keys.AppendCopy(keys, key_start, key_end - key_start);
    if (value_end > value_start) {
      next.values.AppendCopy(values, value_start, value_end - value_start);
    }
    next.live.addRange(NewIdOf(next_), uint64_t{NewIdOf(record_count - 1)} + 1);
    next.record_count = NewIdOf(record_count - 1) + 1;
    next_ = record_count;
  }
  // The ids retired meanwhile, as one set: created ids are live above, so
  // a record written and retired within the batch ends dead as it should.
  if (retired.empty()) return;
  std::vector<uint32_t> ids;
  ids.reserve(retired.size());
  retired.ForEach([&](uint32_t id) { ids.push_back(NewIdOf(id)); });
  std::sort(ids.begin(), ids.end());
  IdSet gone;
  gone.addMany(ids.size(), ids.data());
  next.live -= gone;
  next.dead |= gone;
}

void CompleteVacuumSwitch(const StoreDir& dir) {
  // A snapshot committed with its log: the log first, each rename made
  // durable before the next one depends on it.
  const std::pair<const char*, const char*> committed[] = {{kSnapshotNewFile, kSnapshotFile},
                                                           {kSnapshotVacNewFile, kSnapshotVacFile}};
  for (const auto& [marker, target] : committed) {
    if (!dir.Exists(marker)) continue;
    if (dir.Exists(kWalNewFile)) {
      dir.Rename(kWalNewFile, kWalFile);
      dir.Sync();
    }
    dir.Rename(marker, target);
    dir.Sync();
  }
  if (!dir.Exists(kSnapshotVacFile)) return;
  const std::pair<const char*, const char*> moves[] = {
      {kKeysVacFile, kKeysFile}, {kValsVacFile, kValsFile}, {kOffsetsVacFile, kOffsetsFile}};
  // The replaced data files are held open across their renames and
  // released a step at a time once the switch is complete (CloseGradually).
  std::vector<File> replaced;
  for (const auto& [from, to] : moves) {
    if (!dir.Exists(from)) continue;
    File old;
    try {
      old = dir.OpenFile(to, O_RDWR);
    } catch (const Error&) {
      // Missing or not writable: the rename alone releases it.
    }
    dir.Rename(from, to);
    if (old.is_open()) replaced.push_back(std::move(old));
  }
  // The ranges missing.bin lists were of the old data files: the compacted
  // ones were written whole (vacuum copies only what it could read). Gone
  // before snapshot.bin.vac is: until then, a later open completes the
  // switch again, and this with it.
  dir.Remove(kMissingFile);
  dir.Sync();
  dir.Rename(kSnapshotVacFile, kSnapshotFile);
  dir.Sync();
  for (File& file : replaced) file.CloseGradually();
}

}  // namespace vantre
