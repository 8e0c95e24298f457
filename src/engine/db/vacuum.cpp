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
File CreateVacuumFile(const StoreDir& dir, const StoreView& store, const char* name) {
  File f = dir.OpenFile(name, O_RDWR | O_CREAT);
  if (store.keys.SameFileAs(f) || store.values.SameFileAs(f) || store.table.SameFileAs(f)) {
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
  }

 private:
  static constexpr uint64_t kCopyInKernel = 64 * 1024;

  const DataFile& from_;
  DataFile* to_;
  DataWindow window_;
  uint64_t start_ = 0;
  uint64_t length_ = 0;
};

}  // namespace

IndexRenumbering::IndexRenumbering(const StoreView& store) {
  const uint64_t top = store.live.isEmpty() ? 0 : uint64_t{store.live.maximum()} + 1;
  dense_ = top <= store.table.capacity();
  if (dense_) new_id_.assign(static_cast<size_t>(top), kGone);
  uint32_t rank = 0;
  for (uint32_t id : store.live) {
    if (dense_) {
      new_id_[id] = rank++;
    } else {
      new_id_.push_back(id);
    }
  }
  survivors_ = store.live.cardinality();
}

uint32_t IndexRenumbering::Of(uint32_t id) const {
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
      const uint32_t id = Of(old_ids[i]);
      if (id == kGone || named[id]) return false;
      named[id] = true;
      in_index_order_.push_back(id);
    }
  }
  new_id_ = {};  // only the entries' own new ids are needed from here on
  return true;
}

void IndexRenumbering::Apply(const KeyIndex& index) const noexcept {
  size_t i = 0;
  for (const KeyIndex::Entry& e : index) {
    e.id = in_index_order_[i++];
    e.Unlocate();
  }
}

VacuumedFiles CopySurvivors(const StoreDir& dir, const StoreView& store) {
  // Every survivor must lie inside the data files as they really are: a
  // file cut short under the store must not be copied as zeros.
  if (store.keys.FileSize() < store.keys.end() || store.values.FileSize() < store.values.end()) {
    throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText);
  }
  VacuumedFiles out{IndexRenumbering(store), KeyIndex(), IdSet(), 0,
                    DataFile(CreateVacuumFile(dir, store, kKeysVacFile), 0),
                    DataFile(CreateVacuumFile(dir, store, kValsVacFile), 0),
                    CreateVacuumFile(dir, store, kOffsetsVacFile), 0};
  DataFile offsets(std::move(out.offsets), 0);

  // In a consistent store the key index names every survivor exactly once,
  // so renumbering it gives what hashing every key read back from keys.bin
  // would, without a hash and a random insert per key. If it does not (a
  // damaged snapshot, say), every key is hashed into a new index.
  const bool rehash = !out.renumbering->Cover(store.key_index);
  if (rehash) out.renumbering.reset();
  RunCopier keys(store.keys, &out.keys);
  RunCopier values(store.values, &out.values);
  DataWindow keys_in(&store.keys);  // for hashing, when the index cannot be renumbered
  std::string key;
  for (uint32_t id : store.live) {
    const Record rec = store.table.At(id);
    if (!Inside(rec.key_offset, rec.key_length, store.keys.end()) ||
        !Inside(rec.value_offset, rec.value_length, store.values.end())) {
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

void CompleteVacuumSwitch(const StoreDir& dir) {
  if (!dir.Exists(kSnapshotVacFile)) return;
  const std::pair<const char*, const char*> moves[] = {
      {kKeysVacFile, kKeysFile}, {kValsVacFile, kValsFile}, {kOffsetsVacFile, kOffsetsFile}};
  for (const auto& [from, to] : moves) {
    if (dir.Exists(from)) dir.Rename(from, to);
  }
  // The ranges missing.bin lists were of the old data files: the compacted
  // ones were written whole (vacuum copies only what it could read). Gone
  // before snapshot.bin.vac is: until then, a later open completes the
  // switch again, and this with it.
  dir.Remove(kMissingFile);
  dir.Sync();
  dir.Rename(kSnapshotVacFile, kSnapshotFile);
  dir.Sync();
}

}  // namespace vantre
