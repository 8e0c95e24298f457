// DirectoryInspector: verification of every live record, and reading the
// live entries.
#include <algorithm>

#include "engine/check/check.h"
#include "engine/format/key_hash.h"
#include "engine/format/utf8.h"
#include "engine/util/error.h"

namespace vantre {
namespace {

// Progress is reported once per this many records.
constexpr uint64_t kProgressStep = 4096;

std::string Num(uint64_t n) { return std::to_string(n); }

}  // namespace

void DirectoryInspector::AddRecordProblem(uint32_t id, const std::string& what) {
  if (record_problems_++ < kMaxReportedRecords) {
    problems_.push_back("record " + Num(id) + ": " + what);
  }
}

std::string DirectoryInspector::CheckLiveRecord(uint32_t id, Place* place, std::string* key) {
  try {
    *place = PlaceOf(id);
  } catch (const EngineError&) {
    return "outside offsets.bin (" + Num(offsets_.size()) + " bytes)";
  }
  const Record& r = place->record;
  if (place->in_log) {
    // Decoded and hashed by the replay itself.
    key->resize(r.key_length);
    log_.Read(r.key_offset, r.key_length, reinterpret_cast<std::byte*>(key->data()));
    return {};
  }
  const uint64_t key_end = std::min(key_data_end_, keys_.size());
  const uint64_t value_end = std::min(value_data_end_, values_.size());
  if (!Inside(r.key_offset, r.key_length, key_end)) {
    return "key bytes " + Num(r.key_offset) + "+" + Num(r.key_length) +
           " lie outside the key data (" + Num(key_end) + " bytes)";
  }
  if (!Inside(r.value_offset, r.value_length, value_end)) {
    return "value bytes " + Num(r.value_offset) + "+" + Num(r.value_length) +
           " lie outside the value data (" + Num(value_end) + " bytes)";
  }
  if (InMissingRange(DataFileTag::kKeys, r.key_offset, r.key_length)) {
    return "key bytes " + Num(r.key_offset) + "+" + Num(r.key_length) +
           " lie in a range of keys.bin found missing";
  }
  if (InMissingRange(DataFileTag::kValues, r.value_offset, r.value_length)) {
    return "value bytes " + Num(r.value_offset) + "+" + Num(r.value_length) +
           " lie in a range of vals.bin found missing";
  }
  key->resize(r.key_length);
  keys_.Read(r.key_offset, r.key_length, reinterpret_cast<std::byte*>(key->data()));
  if (!IsValidUtf8(*key)) return "its key is not valid UTF-8";
  const uint32_t* indexed = key_index_.find_id(KeyHash(*key));
  if (indexed == nullptr || *indexed != id) {
    return "its key " + Utf8Lossy(key->substr(0, 64)) + " does not hash to a key index entry naming it";
  }
  return {};
}

bool DirectoryInspector::Verify(const Progress& progress) {
  const uint64_t total = live_ids_.size();
  std::string key;
  Place place;
  uint64_t done = 0;
  for (uint32_t id : live_ids_) {
    if (progress && done % kProgressStep == 0 && !progress(done, total)) return false;
    ++done;
    const std::string problem = CheckLiveRecord(id, &place, &key);
    if (!problem.empty()) AddRecordProblem(id, problem);
  }
  if (record_problems_ > kMaxReportedRecords) {
    problems_.push_back("... and " + Num(record_problems_ - kMaxReportedRecords) +
                        " more damaged records");
  }
  if (progress) progress(total, total);
  return true;
}

void DirectoryInspector::ReadPlace(const Place& place, std::string* key,
                                   std::vector<std::byte>* value) {
  ReadSource& keys = place.in_log ? log_ : keys_;
  ReadSource& values = place.in_log ? log_ : values_;
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

void DirectoryInspector::ReadEntry(uint64_t i, std::string* key, std::vector<std::byte>* value) {
  const uint32_t id = live_ids_.at(static_cast<size_t>(i));
  Place place;
  // Only what a read through the store would give: a damaged record is
  // refused, never read as other bytes.
  const std::string problem = CheckLiveRecord(id, &place, key);
  if (!problem.empty()) {
    throw EngineError(ErrorKind::kInvalidData, "record " + Num(id) + ": " + problem);
  }
  ReadPlace(place, key, value);
}

}  // namespace vantre
