#include "engine/check/recover.h"

#include <algorithm>
#include <limits>

#include "engine/db/log_replay.h"
#include "engine/format/key_hash.h"
#include "engine/format/utf8.h"
#include "engine/util/error.h"

namespace vantre {
namespace {

// Progress is reported once per this many records.
constexpr uint64_t kProgressStep = 4096;

std::string Num(uint64_t n) { return std::to_string(n); }

}  // namespace

Recovery::Recovery(std::string dir) : inspector_(std::move(dir)) {}

void Recovery::AddLostRecord(uint64_t id, const std::string& what) {
  if (lost_records_++ < DirectoryInspector::kMaxReportedRecords) {
    lost_.push_back("record " + Num(id) + ": " + what);
  }
}

bool Recovery::Scan(const Progress& progress) {
  items_.clear();
  lost_.clear();
  lost_records_ = 0;
  const bool finished = from_record_table() ? ScanRecordTable(progress) : ScanLiveRecords(progress);
  if (!finished) {
    items_.clear();
    return false;
  }
  if (lost_records_ > DirectoryInspector::kMaxReportedRecords) {
    lost_.push_back("... and " + Num(lost_records_ - DirectoryInspector::kMaxReportedRecords) +
                    " more damaged records");
  }
  return true;
}

bool Recovery::ScanLiveRecords(const Progress& progress) {
  const std::vector<uint32_t>& ids = inspector_.live_ids_;
  const uint64_t total = ids.size();
  std::string key;
  Item item;
  for (uint64_t done = 0; done < total; ++done) {
    if (progress && done % kProgressStep == 0 && !progress(done, total)) return false;
    const uint32_t id = ids[static_cast<size_t>(done)];
    const std::string problem = inspector_.CheckLiveRecord(id, &item.place, &key);
    if (!problem.empty()) {
      AddLostRecord(id, problem);
      continue;
    }
    item.order = id;
    items_.push_back(item);
  }
  if (!inspector_.log_problem_.empty() || !inspector_.refusal().empty()) {
    // The log lost records (a torn tail, or a log cut, removed or of
    // another age): the writes the table holds past the replayed ones are
    // taken from it.
    const uint64_t continued = ContinueFromTable();
    const std::string why = !inspector_.log_problem_.empty() ? inspector_.log_problem_
                            : inspector_.refusal_reason().empty()
                                ? inspector_.refusal()
                                : "the files disagree: " + inspector_.refusal_reason();
    lost_.push_back(why + "; " + Num(continued) +
                    " later writes were taken from the record table, deletions there are "
                    "not known");
  }
  if (progress) progress(total, total);
  return true;
}

uint64_t Recovery::ContinueFromTable() {
  const DirectoryInspector& in = inspector_;
  uint64_t key_end = in.key_data_end_;
  uint64_t value_end = in.value_data_end_;
  for (const Record& r : in.log_records_) {
    key_end += r.key_length;
    value_end += r.value_length;
  }
  // Here each key's item carries its index in items_ as its order.
  ByHash by_hash;
  std::string key;
  for (size_t i = 0; i < items_.size(); ++i) {
    inspector_.ReadPlace(items_[i].place, &key, nullptr);
    by_hash[KeyHash(key)] = Item{i, items_[i].place};
  }
  const uint64_t table = std::min<uint64_t>(in.offsets_.size() / kRecordSize,
                                            std::numeric_limits<uint32_t>::max());
  uint64_t continued = 0;
  Item item;
  for (uint64_t id = in.record_count_; id < table; ++id) {
    std::byte raw[kRecordSize];
    inspector_.offsets_.Read(id * kRecordSize, kRecordSize, raw);
    const Record r = DecodeRecord(raw);
    if (r.key_offset != key_end || r.value_offset != value_end) break;
    if (!ReadTableSlot(id, &item, &key)) break;
    key_end += r.key_length;
    value_end += r.value_length;
    auto [it, added] = by_hash.try_emplace(KeyHash(key), Item{items_.size(), item.place});
    if (added) {
      items_.push_back(item);
    } else {
      items_[static_cast<size_t>(it->second.order)].place = item.place;
    }
    ++continued;
  }
  return continued;
}

bool Recovery::ReadTableSlot(uint64_t id, Item* item, std::string* key) {
  std::byte raw[kRecordSize];
  inspector_.offsets_.Read(id * kRecordSize, kRecordSize, raw);
  if (std::all_of(raw, raw + kRecordSize, [](std::byte b) { return b == std::byte{0}; })) {
    return false;  // never used
  }
  const Record r = DecodeRecord(raw);
  const ReadSource& keys = inspector_.keys_;
  const ReadSource& values = inspector_.values_;
  if (!Inside(r.key_offset, r.key_length, keys.size())) {
    AddLostRecord(id, "key bytes " + Num(r.key_offset) + "+" + Num(r.key_length) +
                          " lie outside keys.bin (" + Num(keys.size()) + " bytes)");
    return false;
  }
  if (!Inside(r.value_offset, r.value_length, values.size())) {
    AddLostRecord(id, "value bytes " + Num(r.value_offset) + "+" + Num(r.value_length) +
                          " lie outside vals.bin (" + Num(values.size()) + " bytes)");
    return false;
  }
  if (inspector_.InMissingRange(DataFileTag::kKeys, r.key_offset, r.key_length) ||
      inspector_.InMissingRange(DataFileTag::kValues, r.value_offset, r.value_length)) {
    AddLostRecord(id, "its bytes lie in a range of the data files found missing");
    return false;
  }
  key->resize(r.key_length);
  inspector_.keys_.Read(r.key_offset, r.key_length, reinterpret_cast<std::byte*>(key->data()));
  if (!IsValidUtf8(*key)) {
    AddLostRecord(id, "its key is not valid UTF-8");
    return false;
  }
  *item = Item{id, DirectoryInspector::Place{false, r}};
  return true;
}

bool Recovery::ScanRecordTable(const Progress& progress) {
  // Record ids are 32-bit: slots past them were never written by a store.
  const uint64_t total = std::min<uint64_t>(inspector_.offsets_.size() / kRecordSize,
                                            std::numeric_limits<uint32_t>::max());
  ByHash by_hash;
  std::string key;
  Item item;
  for (uint64_t id = 0; id < total; ++id) {
    if (progress && id % kProgressStep == 0 && !progress(id, total)) return false;
    if (ReadTableSlot(id, &item, &key)) by_hash[KeyHash(key)] = item;
  }
  ApplyLogOnTop(&by_hash, total);
  items_.reserve(by_hash.size());
  for (const auto& [hash, found] : by_hash) items_.push_back(found);
  std::sort(items_.begin(), items_.end(),
            [](const Item& a, const Item& b) { return a.order < b.order; });
  if (progress) progress(total, total);
  return true;
}

void Recovery::ApplyLogOnTop(ByHash* by_hash, uint64_t first_order) {
  if (!inspector_.log_.present()) return;
  uint64_t order = first_order;
  LogReplay replay;
  try {
    replay = ReplayLogFile(inspector_.log_.file(), [&](const WalEntry& entry, uint64_t end) {
      const uint64_t hash = KeyHash(entry.key);
      if (entry.tag != WalTag::kPut) {
        by_hash->erase(hash);
        return true;
      }
      const uint64_t value_offset = end - entry.val.size();
      const Record r{value_offset - 8 - entry.key.size(), static_cast<uint32_t>(entry.key.size()),
                     value_offset, static_cast<uint32_t>(entry.val.size())};
      // A key the table already holds keeps its place in the order.
      auto [it, added] = by_hash->try_emplace(hash, Item{order, DirectoryInspector::Place{true, r}});
      if (added) {
        ++order;
      } else {
        it->second.place = DirectoryInspector::Place{true, r};
      }
      return true;
    });
  } catch (const Error& e) {
    lost_.push_back("wal.bin cannot be read: " + e.text() +
                    "; its writes are taken from the record table, its deletions are not known");
    return;
  }
  if (replay.tail_bytes() != 0) {
    lost_.push_back("wal.bin does not decode after byte " + Num(replay.decoded_end) + " (" +
                    Num(replay.tail_bytes()) +
                    " bytes): the writes there are taken from the record table where it holds "
                    "them, the deletions there are not known");
  }
}

void Recovery::ReadEntry(uint64_t i, std::string* key, std::vector<std::byte>* value) {
  inspector_.ReadPlace(items_.at(static_cast<size_t>(i)).place, key, value);
}

}  // namespace vantre
