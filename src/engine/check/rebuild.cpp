// DirectoryInspector: the state open would rebuild, in the order open does
// its work:
//   1. choose each file's name (a pending compaction switch is followed)
//      and open the files read-only
//   2. decode snapshot.bin and check its sets against each other
//   3. replay wal.bin in memory, as Store::ReplayPut and Store::Delete would
//   4. figures
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>

#include "engine/check/check.h"
#include "engine/db/agreement.h"
#include "engine/db/log_replay.h"
#include "engine/format/key_hash.h"
#include "engine/format/snapshot.h"
#include "engine/io/store_dir.h"
#include "engine/util/error.h"

namespace vantre {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string Num(uint64_t n) { return std::to_string(n); }

}  // namespace

DirectoryInspector::DirectoryInspector(std::string dir) : dir_(std::move(dir)) {
  struct stat st;
  if (::stat(dir_.c_str(), &st) != 0) throw LastOsError(dir_);
  if (!S_ISDIR(st.st_mode)) throw OsError(ENOTDIR, dir_);

  // A switch committed but not completed is read as open completes it
  // (vacuum.h, CompleteVacuumSwitch): a snapshot committed with a new log
  // (snapshot.bin.new, snapshot.bin.vac.new) is the snapshot, and
  // wal.bin.new, if still there, the log; a compaction's copies are the
  // data files.
  const bool vacuum_new = Exists(JoinPath(dir_, kSnapshotVacNewFile));
  const bool persist_new = !vacuum_new && Exists(JoinPath(dir_, kSnapshotNewFile));
  figures_.vacuum_pending = vacuum_new || Exists(JoinPath(dir_, kSnapshotVacFile));
  figures_.switch_pending = persist_new || vacuum_new;
  snapshot_name_ = vacuum_new                ? kSnapshotVacNewFile
                   : figures_.vacuum_pending ? kSnapshotVacFile
                   : persist_new             ? kSnapshotNewFile
                                             : kSnapshotFile;
  auto pick = [&](const char* name, const char* vac_name) {
    const std::string vac = JoinPath(dir_, vac_name);
    return figures_.vacuum_pending && Exists(vac) ? vac : JoinPath(dir_, name);
  };
  offsets_.Open(pick(kOffsetsFile, kOffsetsVacFile));
  keys_.Open(pick(kKeysFile, kKeysVacFile));
  values_.Open(pick(kValsFile, kValsVacFile));
  const bool new_log = figures_.switch_pending && Exists(JoinPath(dir_, kWalNewFile));
  log_.Open(JoinPath(dir_, new_log ? kWalNewFile : kWalFile));

  figures_.store_present = offsets_.present() || keys_.present() || values_.present() ||
                           log_.present() || Exists(JoinPath(dir_, kSnapshotFile)) ||
                           figures_.vacuum_pending;
  if (!figures_.store_present) {
    problems_.push_back("not a store directory: none of its files exist");
    return;
  }
  const std::pair<const ReadSource*, const char*> data_files[] = {
      {&offsets_, kOffsetsFile}, {&keys_, kKeysFile}, {&values_, kValsFile}};
  for (const auto& [source, name] : data_files) {
    if (!source->present()) problems_.push_back(std::string(name) + " is missing");
  }
  LoadSnapshot();
  LoadMissingRanges();
  // Rule 4 of agreement.h, before the replay and after it: records that no
  // log accounts for.
  const RecordAtId record = [&](uint32_t id) { return TableRecord(id); };
  const auto count = [&] { return static_cast<uint32_t>(std::min<uint64_t>(record_count_, UINT32_MAX)); };
  ReplayLog();
  if (LostRunBytes(count(), record) > kMaxLostLogBytes) {
    Refuse(LostRunText(count(), kMaxLostLogBytes));
  }
  ComputeFigures();
}

std::optional<Record> DirectoryInspector::TableRecord(uint32_t id) {
  const uint64_t at = static_cast<uint64_t>(id) * kRecordSize;
  if (at + kRecordSize > offsets_.size()) return std::nullopt;
  std::byte raw[kRecordSize];
  offsets_.Read(at, kRecordSize, raw);
  return DecodeRecord(raw);
}

void DirectoryInspector::Refuse(const std::string& what) {
  if (!refusal_.empty()) return;
  refusal_ = DisagreementText(dir_, what);
  refusal_reason_ = what;
  problems_.push_back("the files disagree, and open refuses the store: " + what +
                      "; `vantre recover` copies what can be read");
}

void DirectoryInspector::LoadMissingRanges() {
  ReadSource list;
  // A pending compaction switch reads the compacted files, which were
  // written whole: the list is of the old ones.
  if (!figures_.vacuum_pending) list.Open(JoinPath(dir_, kMissingFile));
  if (list.present()) {
    try {
      missing_ = ReadMissingRanges(list.file(), JoinPath(dir_, kMissingFile));
    } catch (const Error& e) {
      problems_.push_back(e.text());
      if (refusal_.empty()) refusal_ = e.text();
    }
  }
  if (figures_.snapshot_decoded) {
    if (keys_.size() < key_data_end_) {
      missing_.push_back({DataFileTag::kKeys, keys_.size(), key_data_end_});
    }
    if (values_.size() < value_data_end_) {
      missing_.push_back({DataFileTag::kValues, values_.size(), value_data_end_});
    }
  }
  for (const MissingRange& r : missing_) {
    problems_.push_back(std::string(DataFileName(r.file)) + " lacks bytes " + Num(r.start) + " to " +
                        Num(r.end) + ": the records there cannot be read");
  }
  replay_key_end_ = key_data_end_;
  replay_value_end_ = value_data_end_;
}

bool DirectoryInspector::InMissingRange(DataFileTag file, uint64_t offset, uint64_t length) const {
  for (const MissingRange& r : missing_) {
    if (r.file == file && offset < r.end && (offset >= r.start || length > r.start - offset)) {
      return true;
    }
  }
  return false;
}

std::function<bool(DataFileTag, uint64_t, Bytes)> DirectoryInspector::DataEquals() {
  return [this](DataFileTag file, uint64_t offset, Bytes expected) {
    scratch_.resize(expected.size());
    ReadData(file, offset, scratch_);
    return std::equal(scratch_.begin(), scratch_.end(), expected.begin(), expected.end());
  };
}

void DirectoryInspector::ReadData(DataFileTag file, uint64_t offset, MutableBytes out) {
  if (InMissingRange(file, offset, out.size())) {
    throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, DataFileName(file));
  }
  ReadSource& source = file == DataFileTag::kKeys ? keys_ : values_;
  if (!Inside(offset, out.size(), source.size())) {
    throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, DataFileName(file));
  }
  source.Read(offset, out.size(), out.data());
}

void DirectoryInspector::LoadSnapshot() {
  const std::string path = JoinPath(dir_, snapshot_name_);
  ReadSource snapshot;
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
    problems_.push_back("snapshot.bin does not decode: open refuses the store; `vantre recover` "
                        "copies what the record table and the log still hold");
    refusal_ = path + " is damaged and does not decode; the store was not opened and nothing "
                      "was changed. Run `vantre check " + dir_ + "` to inspect it and `vantre recover " +
               dir_ + " NEW_DIR` to copy what can be read";
    return;
  }
  figures_.snapshot_decoded = true;
  // Rule 1 of agreement.h, as open applies it.
  if (const std::optional<std::string> wrong =
          SnapshotDisagreement(*snap, offsets_.present() ? &offsets_.file() : nullptr)) {
    snapshot_refused_ = true;
    Refuse("snapshot.bin: " + *wrong);
  }
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

bool DirectoryInspector::ApplyLogRecord(const WalEntry& entry, uint64_t end) {
  const uint64_t hash = KeyHash(entry.key);
  if (entry.tag != WalTag::kPut) {
    if (const uint32_t* found = key_index_.find_id(hash)) {
      live_.remove(*found);
      dead_.add(*found);
      key_index_.erase(hash);
    }
    ++figures_.log_records;
    return true;
  }
  if (record_count_ >= std::numeric_limits<uint32_t>::max()) return false;
  const uint32_t id = static_cast<uint32_t>(record_count_);
  CheckLogPut(id, entry, end);
  const uint64_t value_offset = end - entry.val.size();
  log_records_.push_back(Record{value_offset - 8 - entry.key.size(),
                                static_cast<uint32_t>(entry.key.size()), value_offset,
                                static_cast<uint32_t>(entry.val.size())});
  if (uint32_t* current = key_index_.find_id(hash)) {
    live_.remove(*current);
    dead_.add(*current);
    *current = id;
  } else {
    key_index_.emplace(hash, id);
  }
  live_.add(id);
  ++record_count_;
  ++figures_.log_records;
  return true;
}

void DirectoryInspector::CheckLogPut(uint32_t id, const WalEntry& entry, uint64_t end) {
  SlotMatch match = SlotMatch::kUnwritten;
  Record existing;
  const uint64_t at = static_cast<uint64_t>(id) * kRecordSize;
  if (at + kRecordSize <= offsets_.size()) {
    std::byte raw[kRecordSize];
    offsets_.Read(at, kRecordSize, raw);
    existing = DecodeRecord(raw);
    match = MatchSlot(existing, entry.key, entry.val, replay_key_end_,
                                      replay_value_end_, key_data_end_, value_data_end_,
                                      DataEquals());
    if (match != SlotMatch::kSame && !appending_) {
      appending_ = true;
      const uint64_t rest = log_.size() - (end - kWalPutOverhead - entry.key.size() - entry.val.size());
      if (RunOutgrowsLog(id, rest, [&](uint32_t i) { return TableRecord(i); })) {
        Refuse(LostRunText(id, rest + kMaxLostLogBytes));
      }
    }
    if (match == SlotMatch::kOther && end != log_.size() && refusal_.empty()) {
      if (log_covered_ == Covered::kUnknown) {
        log_covered_ = LogCovered() ? Covered::kYes : Covered::kNo;
      }
      if (log_covered_ == Covered::kNo) {
        Refuse(ForeignLogText(end - kWalPutOverhead - entry.key.size() - entry.val.size(), id));
      }
    }
  }
  AdvanceEnds(match, existing, entry.key.size(), entry.val.size(), &replay_key_end_,
              &replay_value_end_);
}

bool DirectoryInspector::LogCovered() {
  if (snapshot_records_ == 0) return false;
  const std::optional<LastPut> last = FindLastPut(log_.file());
  const uint64_t at = (snapshot_records_ - 1) * kRecordSize;
  if (!last || at + kRecordSize > offsets_.size()) return false;
  std::byte raw[kRecordSize];
  offsets_.Read(at, kRecordSize, raw);
  const Record rec = DecodeRecord(raw);
  // The record compared with the last put as if it were that put's slot.
  return MatchSlot(rec, last->key, last->val, rec.key_offset, rec.value_offset, rec.key_offset,
                   rec.value_offset, DataEquals()) == SlotMatch::kSame;
}

void DirectoryInspector::ReplayLog() {
  const std::string cut = JoinPath(dir_, kWalCutFile);
  struct stat st;
  if (::stat(cut.c_str(), &st) == 0) {
    figures_.cut_file_bytes = static_cast<uint64_t>(st.st_size);
    notes_.push_back(cut + " holds " + Num(figures_.cut_file_bytes) +
                     " bytes that open cut from the end of the log because they did not decode; "
                     "they are not part of the store");
  }
  if (!log_.present()) return;
  figures_.log_bytes = log_.size();
  LogReplay replay;
  try {
    replay = ReplayLogFile(log_.file(), [this](const WalEntry& entry, uint64_t end) {
      return ApplyLogRecord(entry, end);
    });
  } catch (const Error& e) {
    log_problem_ = "wal.bin cannot be read: " + e.text() + "; open fails on it too";
  }
  if (log_problem_.empty() && replay.stopped) {
    log_problem_ = "wal.bin holds more records than a store can number";
  } else if (log_problem_.empty() && replay.tail_bytes() != 0) {
    figures_.log_torn_bytes = replay.tail_bytes();
    log_problem_ = "wal.bin has a torn tail: " + Num(figures_.log_torn_bytes) +
                   " bytes after the last whole record (at byte " + Num(replay.decoded_end) +
                   ") do not decode; the next open moves them to wal.bin.cut";
  }
  if (!log_problem_.empty()) problems_.push_back(log_problem_);
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

}  // namespace vantre
