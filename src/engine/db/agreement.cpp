#include "engine/db/agreement.h"

#include "engine/db/log_replay.h"

namespace vantre {
namespace {

std::string Num(uint64_t n) { return std::to_string(n); }

}  // namespace

std::optional<std::string> SnapshotDisagreement(const SnapshotData& snap, const File* offsets) {
  const uint64_t count = snap.record_count;
  const uint64_t offsets_size = offsets != nullptr ? offsets->Size() : 0;
  if (offsets == nullptr && count > 0) {
    return "offsets.bin is missing, the snapshot counts " + Num(count) + " records";
  }
  if (snap.key_index.size() != snap.live.cardinality()) {
    return "its key index has " + Num(snap.key_index.size()) + " entries for " +
           Num(snap.live.cardinality()) + " live records";
  }
  if (snap.live.and_cardinality(snap.dead) != 0) {
    return "record ids are both live and dead";
  }
  const auto below_count = [&](const IdSet& set) {
    return set.isEmpty() || set.maximum() < count;
  };
  if (!below_count(snap.live) || !below_count(snap.dead)) {
    return "live or dead record ids are not below its record count " + Num(count);
  }
  if (offsets_size / kRecordSize < count) {
    return "offsets.bin holds " + Num(offsets_size / kRecordSize) + " records, the snapshot counts " +
           Num(count);
  }
  if (count == 0) {
    if (snap.key_data_end != 0 || snap.value_data_end != 0) {
      return "it holds no records but its data ends are " + Num(snap.key_data_end) + " and " +
             Num(snap.value_data_end);
    }
    return std::nullopt;
  }
  std::byte raw[kRecordSize];
  offsets->ReadExactAt(raw, (count - 1) * kRecordSize);
  const Record last = DecodeRecord(raw);
  const auto ends_at = [](uint64_t offset, uint64_t length, uint64_t end) {
    return offset <= end && end - offset == length;
  };
  if (!ends_at(last.key_offset, last.key_length, snap.key_data_end) ||
      !ends_at(last.value_offset, last.value_length, snap.value_data_end)) {
    return "its data ends (" + Num(snap.key_data_end) + " and " + Num(snap.value_data_end) +
           ") are not where its last record (id " + Num(count - 1) + ") ends";
  }
  return std::nullopt;
}

uint64_t RunBytes(uint32_t first, uint64_t limit, const RecordAtId& record) {
  uint64_t bytes = 0;
  std::optional<Record> previous;
  for (uint64_t id = first; id <= UINT32_MAX; ++id) {
    const std::optional<Record> r = record(static_cast<uint32_t>(id));
    if (!r || IsZeroRecord(*r)) break;
    if (previous && (r->key_offset != previous->key_offset + previous->key_length ||
                     r->value_offset != previous->value_offset + previous->value_length)) {
      break;
    }
    bytes += kWalPutOverhead + uint64_t{r->key_length} + r->value_length;
    if (bytes > limit) break;
    previous = r;
  }
  return bytes;
}

std::string DisagreementText(const std::string& dir, const std::string& what) {
  return "the files of " + dir + " disagree: " + what +
         "; the store was not opened and nothing was changed. Run `vantre check " + dir +
         "` to inspect it and `vantre recover " + dir + " NEW_DIR` to copy what can be read";
}

std::string LostRunText(uint32_t first, uint64_t limit) {
  return "offsets.bin holds records from id " + Num(first) + " on (more than " + Num(limit) +
         " bytes of log records) that neither snapshot.bin nor wal.bin accounts for";
}

std::string ForeignLogText(uint64_t log_offset, uint32_t id) {
  return "the record of wal.bin at byte " + Num(log_offset) + " is not the one offsets.bin holds for id " +
         Num(id) + " (the log and the snapshot are of different ages)";
}

std::optional<LastPut> FindLastPut(const File& log) {
  std::optional<LastPut> last;
  ReplayLogFile(log, [&](const WalEntry& entry, uint64_t) {
    if (entry.tag == WalTag::kPut) {
      if (!last) last.emplace();
      last->key.assign(entry.key);
      last->val.assign(entry.val.begin(), entry.val.end());
    }
    return true;
  });
  return last;
}

}  // namespace vantre
