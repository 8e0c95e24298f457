// DirectoryInspector, in the order open does its work:
//   1. choose each file's name (a pending compaction switch is followed)
//      and open the files read-only
//   2. decode snapshot.bin and check its sets against each other
//   3. replay wal.bin in memory, as Store::Put and Store::Remove would
//   4. figures; then, on request, every live record verified
#include "engine/check/check.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#include "engine/io/buffered_reader.h"
#include "engine/util/error.h"
#include "engine/format/key_hash.h"
#include "engine/format/snapshot.h"
#include "engine/state/store.h"
#include "engine/io/store_dir.h"
#include "engine/format/utf8.h"
#include "engine/format/wal_entry.h"

namespace vantre {
namespace {

constexpr size_t kWindowSize = 1 << 20;
constexpr size_t kLogBufferSize = 64 * 1024;
// Progress is reported once per this many records.
constexpr uint64_t kProgressStep = 4096;

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string Num(uint64_t n) { return std::to_string(n); }

// Whether [offset, offset + length) lies inside [0, end).
bool Inside(uint64_t offset, uint64_t length, uint64_t end) {
  return offset <= end && length <= end - offset;
}

}  // namespace

// ---------------------------------------------------------------- Source

void DirectoryInspector::Source::Open(const std::string& path) {
  try {
    file_ = File::Open(path, O_RDONLY);
  } catch (const OsError& e) {
    if (e.code() == ENOENT) return;
    throw;
  }
  size_ = file_.Size();
}

void DirectoryInspector::Source::Read(uint64_t offset, size_t length, std::byte* dst) {
  if (!Inside(offset, length, size_)) {
    throw EngineError(ErrorKind::kInvalidData, "record lies outside its file");
  }
  if (length == 0) return;
  if (length > kWindowSize / 2) {
    file_.ReadExactAt({dst, length}, offset);
    return;
  }
  if (offset < window_start_ || offset + length > window_start_ + window_.size()) {
    const uint64_t want = std::min<uint64_t>(kWindowSize, size_ - offset);
    window_.resize(static_cast<size_t>(want));
    file_.ReadExactAt(window_, offset);
    window_start_ = offset;
  }
  std::memcpy(dst, window_.data() + (offset - window_start_), length);
}

// ------------------------------------------------------------- loading

DirectoryInspector::DirectoryInspector(std::string dir) : dir_(std::move(dir)) {
  struct stat st;
  if (::stat(dir_.c_str(), &st) != 0) throw LastOsError();
  if (!S_ISDIR(st.st_mode)) throw OsError(ENOTDIR);

  figures_.vacuum_pending = Exists(JoinPath(dir_, kSnapshotVacFile));
  // Open reads the compacted copies once the switch is committed.
  auto pick = [&](const char* name, const char* vac_name) {
    const std::string vac = JoinPath(dir_, vac_name);
    return figures_.vacuum_pending && Exists(vac) ? vac : JoinPath(dir_, name);
  };
  offsets_.Open(pick(kOffsetsFile, kOffsetsVacFile));
  keys_.Open(pick(kKeysFile, kKeysVacFile));
  values_.Open(pick(kValsFile, kValsVacFile));
  log_.Open(JoinPath(dir_, kWalFile));

  const bool any = offsets_.present() || keys_.present() || values_.present() || log_.present() ||
                   Exists(JoinPath(dir_, kSnapshotFile)) || figures_.vacuum_pending;
  if (!any) {
    problems_.push_back("not a store directory: none of its files exist");
    return;
  }
  const std::pair<const Source*, const char*> data_files[] = {
      {&offsets_, kOffsetsFile}, {&keys_, kKeysFile}, {&values_, kValsFile}};
  for (const auto& [source, name] : data_files) {
    if (!source->present()) problems_.push_back(std::string(name) + " is missing");
  }
  LoadSnapshot();
  ReplayLog();
  ComputeFigures();
}

void DirectoryInspector::LoadSnapshot() {
  const std::string path = JoinPath(dir_, figures_.vacuum_pending ? kSnapshotVacFile : kSnapshotFile);
  Source snapshot;
  snapshot.Open(path);
  // Without a snapshot, open starts from empty sets and the data ends at
  // the files' lengths.
  key_data_end_ = keys_.size();
  value_data_end_ = values_.size();
  if (!snapshot.present()) return;
  figures_.snapshot_present = true;
  figures_.snapshot_bytes = snapshot.size();
  std::optional<SnapshotData> snap = ReadSnapshot(snapshot.file());
  if (!snap) {
    problems_.push_back("snapshot.bin does not decode: open ignores it, and every key it holds "
                        "that the log does not write again is lost");
    return;
  }
  figures_.snapshot_decoded = true;
  key_index_ = std::move(snap->key_index);
  live_ = std::move(snap->live);
  dead_ = std::move(snap->dead);
  snapshot_records_ = snap->record_count;
  record_count_ = snap->record_count;
  key_data_end_ = snap->key_data_end;
  value_data_end_ = snap->value_data_end;
  CheckSnapshotSets();
}

void DirectoryInspector::CheckSnapshotSets() {
  const uint64_t table_records = offsets_.size() / kRecordSize;
  if (snapshot_records_ > table_records) {
    problems_.push_back("offsets.bin holds " + Num(table_records) + " records, the snapshot counts " +
                        Num(snapshot_records_));
  }
  if (key_data_end_ > keys_.size()) {
    problems_.push_back("keys.bin is " + Num(keys_.size()) + " bytes, the snapshot's key data ends at " +
                        Num(key_data_end_));
  }
  if (value_data_end_ > values_.size()) {
    problems_.push_back("vals.bin is " + Num(values_.size()) +
                        " bytes, the snapshot's value data ends at " + Num(value_data_end_));
  }
  const uint64_t both = live_.and_cardinality(dead_);
  if (both != 0) {
    problems_.push_back(Num(both) + " record ids are in both the live and the dead set");
  }
  // Ids at or above the record count: rank(x) counts the ids <= x.
  const auto beyond = [&](const IdSet& set) -> uint64_t {
    if (snapshot_records_ == 0) return set.cardinality();
    return set.cardinality() - set.rank(static_cast<uint32_t>(snapshot_records_ - 1));
  };
  const uint64_t live_beyond = beyond(live_);
  const uint64_t dead_beyond = beyond(dead_);
  if (live_beyond + dead_beyond != 0) {
    problems_.push_back(Num(live_beyond + dead_beyond) + " live or dead ids are not below the record count " +
                        Num(snapshot_records_));
  }
  if (key_index_.size() != live_.cardinality()) {
    problems_.push_back("the key index has " + Num(key_index_.size()) + " entries for " +
                        Num(live_.cardinality()) + " live records");
  }
  IdSet named;
  uint64_t stray = 0;
  for (const KeyIndex::Entry& e : key_index_) {
    if (!live_.contains(e.id) || named.contains(e.id)) ++stray;
    named.add(e.id);
  }
  if (stray != 0) {
    problems_.push_back(Num(stray) + " key index entries name an id that is not live or is named twice");
  }
}

void DirectoryInspector::ReplayLog() {
  if (!log_.present()) return;
  figures_.log_bytes = log_.size();
  BufferedReader reader(&log_.file(), kLogBufferSize);
  WalEntry entry;
  uint64_t decoded_end = 0;
  try {
    while (ReadWalEntry(&reader, &entry)) {
      const uint64_t end = reader.position();
      if (entry.tag == WalTag::kPut) {
        if (record_count_ >= std::numeric_limits<uint32_t>::max()) {
          problems_.push_back("wal.bin holds more records than a store can number");
          break;
        }
        const uint32_t id = static_cast<uint32_t>(record_count_);
        const uint64_t value_offset = end - entry.val.size();
        log_records_.push_back(Record{value_offset - 8 - entry.key.size(),
                                      static_cast<uint32_t>(entry.key.size()), value_offset,
                                      static_cast<uint32_t>(entry.val.size())});
        const uint64_t hash = KeyHash(entry.key);
        if (uint32_t* current = key_index_.find_id(hash)) {
          live_.remove(*current);
          dead_.add(*current);
          *current = id;
        } else {
          key_index_.emplace(hash, id);
        }
        live_.add(id);
        ++record_count_;
      } else {
        const uint64_t hash = KeyHash(entry.key);
        if (const uint32_t* found = key_index_.find_id(hash)) {
          live_.remove(*found);
          dead_.add(*found);
          key_index_.erase(hash);
        }
      }
      ++figures_.log_records;
      decoded_end = end;
    }
  } catch (const Error& e) {
    // Open stops its replay here too and leaves the rest of the file.
    problems_.push_back(std::string("wal.bin cannot be read past byte ") + Num(decoded_end) + ": " +
                        e.what());
    return;
  }
  if (decoded_end < log_.size()) {
    figures_.log_torn_bytes = log_.size() - decoded_end;
    problems_.push_back("wal.bin has a torn tail: " + Num(figures_.log_torn_bytes) +
                        " bytes after the last whole record (at byte " + Num(decoded_end) +
                        ") do not decode; the next open cuts them off");
  }
}

void DirectoryInspector::ComputeFigures() {
  live_ids_.clear();
  live_ids_.reserve(static_cast<size_t>(live_.cardinality()));
  for (uint32_t id : live_) live_ids_.push_back(id);

  figures_.live_keys = live_.cardinality();
  figures_.records = record_count_;
  figures_.dead_records = dead_.cardinality();
  figures_.offsets_bytes = offsets_.size();
  figures_.record_capacity = offsets_.size() / kRecordSize;
  figures_.keys_bytes = keys_.size();
  figures_.values_bytes = values_.size();

  // After open: the log's records appended behind the data ends.
  uint64_t keys_end = key_data_end_;
  uint64_t values_end = value_data_end_;
  for (const Record& r : log_records_) {
    keys_end += r.key_length;
    values_end += r.value_length;
  }
  uint64_t live_bytes = 0;
  for (uint32_t id : live_ids_) {
    Record r;
    try {
      r = PlaceOf(id).record;
    } catch (const Error&) {
      continue;  // reported by Verify
    }
    live_bytes += static_cast<uint64_t>(r.key_length) + r.value_length;
  }
  figures_.live_data_bytes = live_bytes;
  const uint64_t after_open = std::max(keys_end, keys_.size()) + std::max(values_end, values_.size());
  figures_.reclaimable_bytes = after_open - std::min(after_open, live_bytes);
}

DirectoryInspector::Place DirectoryInspector::PlaceOf(uint32_t id) {
  if (id >= snapshot_records_) {
    const uint64_t i = id - snapshot_records_;
    if (i >= log_records_.size()) {
      throw EngineError(ErrorKind::kInvalidData, "record id beyond the record count");
    }
    return Place{true, log_records_[static_cast<size_t>(i)]};
  }
  std::byte raw[kRecordSize];
  offsets_.Read(static_cast<uint64_t>(id) * kRecordSize, kRecordSize, raw);
  return Place{false, DecodeRecord(raw)};
}

// -------------------------------------------------------------- verify

void DirectoryInspector::AddRecordProblem(uint32_t id, const std::string& what) {
  if (record_problems_++ < kMaxReportedRecords) {
    problems_.push_back("record " + Num(id) + ": " + what);
  }
}

bool DirectoryInspector::Verify(const Progress& progress) {
  const uint64_t total = live_ids_.size();
  std::string key;
  uint64_t done = 0;
  for (uint32_t id : live_ids_) {
    if (progress && done % kProgressStep == 0 && !progress(done, total)) return false;
    ++done;
    Place place;
    try {
      place = PlaceOf(id);
    } catch (const Error&) {
      AddRecordProblem(id, "outside offsets.bin (" + Num(offsets_.size()) + " bytes)");
      continue;
    }
    if (place.in_log) continue;  // decoded and hashed by the replay itself
    const Record& r = place.record;
    if (!Inside(r.key_offset, r.key_length, std::min(key_data_end_, keys_.size()))) {
      AddRecordProblem(id, "key bytes " + Num(r.key_offset) + "+" + Num(r.key_length) +
                               " lie outside the key data (" + Num(std::min(key_data_end_, keys_.size())) +
                               " bytes)");
      continue;
    }
    if (!Inside(r.value_offset, r.value_length, std::min(value_data_end_, values_.size()))) {
      AddRecordProblem(id, "value bytes " + Num(r.value_offset) + "+" + Num(r.value_length) +
                               " lie outside the value data (" +
                               Num(std::min(value_data_end_, values_.size())) + " bytes)");
      continue;
    }
    key.resize(r.key_length);
    keys_.Read(r.key_offset, r.key_length, reinterpret_cast<std::byte*>(key.data()));
    if (!IsValidUtf8(key)) {
      AddRecordProblem(id, "its key is not valid UTF-8");
      continue;
    }
    const uint32_t* indexed = key_index_.find_id(KeyHash(key));
    if (indexed == nullptr || *indexed != id) {
      AddRecordProblem(id, "its key " + Utf8Lossy(key.substr(0, 64)) +
                               " does not hash to a key index entry naming it");
    }
  }
  if (record_problems_ > kMaxReportedRecords) {
    problems_.push_back("... and " + Num(record_problems_ - kMaxReportedRecords) +
                        " more damaged records");
  }
  if (progress) progress(total, total);
  return true;
}

void DirectoryInspector::ReadEntry(uint64_t i, std::string* key, std::vector<std::byte>* value) {
  const Place place = PlaceOf(live_ids_.at(static_cast<size_t>(i)));
  Source& keys = place.in_log ? log_ : keys_;
  Source& values = place.in_log ? log_ : values_;
  const Record& r = place.record;
  // Both ranges are checked before anything is allocated for them.
  if (!Inside(r.key_offset, r.key_length, keys.size()) ||
      (value != nullptr && !Inside(r.value_offset, r.value_length, values.size()))) {
    throw EngineError(ErrorKind::kInvalidData, "record lies outside its file");
  }
  key->resize(r.key_length);
  keys.Read(r.key_offset, r.key_length, reinterpret_cast<std::byte*>(key->data()));
  if (value != nullptr) {
    value->resize(r.value_length);
    values.Read(r.value_offset, r.value_length, value->data());
  }
}

}  // namespace vantre
