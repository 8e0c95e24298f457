// Whether a store's files agree about what it holds.
//
// The format has no checksums and no generation numbers: snapshot.bin,
// wal.bin, offsets.bin, keys.bin and vals.bin are separate files, and any
// of them can be cut, removed or replaced by an older copy of itself
// without the others saying so. Opened as it is, such a store would be a
// smaller or older store, silently. These rules find what the files
// themselves can show; open (writer and read-only) and the inspection
// apply the same ones, so the tool and the package see the same store.
//
// The rules, and why a crash never trips them:
//
// 1. The snapshot against itself and the record table. Its key index has
//    one entry per live id; the live and dead sets are disjoint and below
//    the record count; offsets.bin holds a record for every id below the
//    count; and the last record (id count - 1) ends exactly at the
//    snapshot's key and value data ends (puts append in id order, and
//    vacuum copies in id order, so the last record written ends where the
//    data ends; a count of 0 has both ends at 0). A snapshot from another
//    age of the files, a cut or older record table, or ends far past what
//    the records reach, break one of these. Refused.
// 2. Data files shorter than the snapshot's data ends: the range in between
//    is missing. Not refused: recorded in missing.bin and refused by every
//    read that touches it (data_file.h).
// 3. Each put of the log against the record it will take (id count + i):
//    that record is unwritten (zero), or locates this very put (the same
//    bytes at the data ends, or below them when the store has no
//    snapshot), or its bytes cannot be read (a damaged data file: the log
//    writes them again). A record that locates another put is the sign of
//    a log from another age of the files, and is refused unless
//      - it is the log's last record (a process stopped after writing a
//        log record and before writing its table record, which may then
//        hold a record an earlier crash left there), or
//      - the whole log is covered by the snapshot: persist renamed the new
//        snapshot into place and stopped before emptying the log, so the
//        snapshot's last record is the log's last put (replaying such a
//        log gives the same state).
// 4. Records past the replayed count. A crash loses at most the log's
//    buffer, whose records' table entries were written: a run of adjacent
//    records (each starting where the one before ends) worth at most one
//    buffer of log records. A longer run is a log cut, removed or replaced
//    by an older copy, or a missing snapshot. Refused. The same bound is
//    applied before the replay first appends, to the run from the first
//    put whose record does not locate it, which may hold no more than the
//    rest of the log's puts and one lost buffer: a log much shorter than
//    that run is refused before the replay writes over it.
#ifndef VANTRE_ENGINE_AGREEMENT_H_
#define VANTRE_ENGINE_AGREEMENT_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/format/coding.h"
#include "engine/format/format.h"
#include "engine/format/snapshot.h"
#include "engine/io/file.h"
#include "engine/io/missing_ranges.h"
#include "engine/io/wal_writer.h"
#include "engine/util/error.h"

namespace vantre {

// Log bytes a crash may lose: one buffer of the log writer.
inline constexpr uint64_t kMaxLostLogBytes = WalWriter::kBufferSize;

inline bool IsZeroRecord(const Record& r) {
  return r.key_offset == 0 && r.key_length == 0 && r.value_offset == 0 && r.value_length == 0;
}

// Whether [offset, offset + length) lies below `end`.
inline bool RangeBelow(uint64_t offset, uint64_t length, uint64_t end) {
  return offset <= end && length <= end - offset;
}

// Rule 1: what is wrong with `snap` given offsets.bin (null when there is
// none), or nothing. Reads one record.
std::optional<std::string> SnapshotDisagreement(const SnapshotData& snap, const File* offsets);

// Rule 3: how the record a replayed put will take compares with the put.
enum class SlotMatch {
  kSame,        // it locates this put's bytes
  kUnwritten,   // zero
  kUnreadable,  // its bytes cannot be read (or compared): the log writes them again
  kOther,       // it locates another put
};

// Compares `existing` with a put of `key` and `val` that would append at
// `key_end` and `value_end`; bytes below `key_base` and `value_base` (the
// data ends before the replay appended anything) were there before, and
// may be reused, and those from there to the data ends are what the replay
// itself has appended. `equals(tag, offset, expected)` tells whether the
// bytes at `offset` of keys.bin (DataFileTag::kKeys) or vals.bin are
// `expected`, throwing Error when they are not there (missing ranges
// included).
template <typename Equals>
SlotMatch MatchSlot(const Record& existing, std::string_view key, Bytes val, uint64_t key_end,
                    uint64_t value_end, uint64_t key_base, uint64_t value_base, Equals&& equals) {
  if (IsZeroRecord(existing)) return SlotMatch::kUnwritten;
  if (existing.key_length != key.size() || existing.value_length != val.size()) {
    return SlotMatch::kOther;
  }
  // Each of the key and the value lies where the put appends it, or below
  // the data end the replay started from (a store without a snapshot,
  // whose data ends are the files' lengths, reuses what the log's puts
  // wrote before).
  const auto placed = [](uint64_t offset, uint64_t length, uint64_t end, uint64_t base) {
    return offset == end || RangeBelow(offset, length, std::min(end, base));
  };
  // Bytes the replay has written over since it started: what the record
  // located there is gone, and cannot be compared.
  const auto rewritten = [](uint64_t offset, uint64_t length, uint64_t end, uint64_t base) {
    return base < end && offset < end && (offset >= base || length > base - offset);
  };
  const bool in_place = placed(existing.key_offset, existing.key_length, key_end, key_base) &&
                        placed(existing.value_offset, existing.value_length, value_end, value_base);
  if (!in_place && (rewritten(existing.key_offset, existing.key_length, key_end, key_base) ||
                    rewritten(existing.value_offset, existing.value_length, value_end,
                              value_base))) {
    return SlotMatch::kUnreadable;
  }
  try {
    if (!equals(DataFileTag::kKeys, existing.key_offset, AsBytes(key)) ||
        !equals(DataFileTag::kValues, existing.value_offset, val)) {
      return SlotMatch::kOther;
    }
  } catch (const Error&) {
    return SlotMatch::kUnreadable;
  }
  // The same bytes elsewhere than the replay puts them: written again.
  return in_place ? SlotMatch::kSame : SlotMatch::kUnreadable;
}

// Where the replay of a put leaves the data ends: a put whose record
// locates it (kSame) keeps its key and value where they are, moving an end
// only past one that lay right at it; any other put appends both.
inline void AdvanceEnds(SlotMatch match, const Record& rec, size_t key_length,
                        size_t value_length, uint64_t* key_end, uint64_t* value_end) {
  if (match != SlotMatch::kSame) {
    *key_end += key_length;
    *value_end += value_length;
    return;
  }
  if (rec.key_offset == *key_end) *key_end += key_length;
  if (rec.value_offset == *value_end) *value_end += value_length;
}

// Rule 4: log bytes the run of adjacent records from `first` would have
// taken, counting until the run ends, the table ends or the total passes
// `limit`. `record(id)` gives the record of an id, or nothing past the
// table.
using RecordAtId = std::function<std::optional<Record>(uint32_t)>;
uint64_t RunBytes(uint32_t first, uint64_t limit, const RecordAtId& record);
// Past the replayed records: more than one lost buffer is refused.
inline uint64_t LostRunBytes(uint32_t first, const RecordAtId& record) {
  return RunBytes(first, kMaxLostLogBytes, record);
}
// Before the replay first appends (at the first put whose record does not
// locate it; until then it only rewrites what is there): the run of
// records from that put's id on holds the rest of the log's puts and what
// one lost buffer adds to them, so a run longer than the rest of the log
// (`rest_of_log` bytes) plus one buffer is refused before any file changes
// (the appends would write over records the log does not know).
inline bool RunOutgrowsLog(uint32_t first, uint64_t rest_of_log, const RecordAtId& record) {
  const uint64_t limit = rest_of_log + kMaxLostLogBytes;
  return RunBytes(first, limit, record) > limit;
}

// The texts of refusals, naming the directory `dir`.
std::string DisagreementText(const std::string& dir, const std::string& what);
// Records from `first` on worth more than `limit` bytes of log records.
std::string LostRunText(uint32_t first, uint64_t limit);
std::string ForeignLogText(uint64_t log_offset, uint32_t id);

// The last put of wal.bin, if any (rule 3's covered log).
struct LastPut {
  std::string key;
  std::vector<std::byte> val;
};
std::optional<LastPut> FindLastPut(const File& log);

}  // namespace vantre

#endif  // VANTRE_ENGINE_AGREEMENT_H_
