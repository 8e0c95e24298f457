// What `vantre recover` copies out of a store directory: every key that can
// still be read, with its latest value, decided read-only (nothing in the
// directory is created, changed or locked).
//
// Where snapshot.bin decodes: the state open would rebuild (the snapshot,
// then the log), each live record checked as `vantre check` checks it; a
// record that fails is lost. Writes in an undecodable tail of the log are
// taken from the record table where it still holds them: the records that
// continue the table past the replayed ones, each starting where the
// previous one's key and value bytes end (as the store appends them); the
// deletions in that tail are not known.
//
// Where there is no snapshot.bin, it does not decode or the other files
// contradict it (a snapshot of another age, a record table cut short): the record table
// and the data files. Every used slot of offsets.bin whose bytes lie inside
// keys.bin and vals.bin and whose key is UTF-8 is a candidate; the newest
// record (the highest id) of each key wins; the puts and deletes of wal.bin
// that decode are then applied on top, in order. A slot of zeros is taken
// for an unused one (the empty key with an empty value, written while both
// data files were empty, looks the same and is not recovered). Without a
// snapshot nothing tells which keys were deleted before the last persist:
// such keys come back.
#ifndef VANTRE_ENGINE_CHECK_RECOVER_H_
#define VANTRE_ENGINE_CHECK_RECOVER_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/check/check.h"

namespace vantre {

class Recovery {
 public:
  // Opens the directory's files read-only and rebuilds its state as the
  // inspector does; errors as DirectoryInspector's constructor.
  explicit Recovery(std::string dir);

  const DirectoryInspector& inspector() const { return inspector_; }
  // Decides which records are recovered. Returns false if `progress`
  // stopped it (nothing is recovered then).
  bool Scan(const Progress& progress);

  // Whether the keys come from the record table (no usable snapshot).
  bool from_record_table() const { return inspector_.snapshot_unusable(); }
  // Recovered entries, in the order of their records.
  uint64_t count() const { return items_.size(); }
  // Reads the i-th recovered entry. REQUIRES: i < count().
  void ReadEntry(uint64_t i, std::string* key, std::vector<std::byte>* value);
  // What could not be recovered, one sentence each (damaged records capped
  // at DirectoryInspector::kMaxReportedRecords, then a count).
  const std::vector<std::string>& lost() const { return lost_; }
  uint64_t lost_records() const { return lost_records_; }

 private:
  struct Item {
    uint64_t order;  // record id, or past the table for a log record
    DirectoryInspector::Place place;
  };

  bool ScanLiveRecords(const Progress& progress);
  // Puts the records that continue the table past the replayed ones on
  // top of items_; returns how many.
  uint64_t ContinueFromTable();
  bool ScanRecordTable(const Progress& progress);
  // Reads slot `id` of offsets.bin; false with a loss noted when it is
  // unused or unusable, else *item and *key set.
  bool ReadTableSlot(uint64_t id, Item* item, std::string* key);
  // Newest recovered item of each key, by key hash.
  using ByHash = std::unordered_map<uint64_t, Item>;
  void ApplyLogOnTop(ByHash* by_hash, uint64_t first_order);
  void AddLostRecord(uint64_t id, const std::string& what);

  DirectoryInspector inspector_;
  std::vector<Item> items_;
  std::vector<std::string> lost_;
  uint64_t lost_records_ = 0;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_CHECK_RECOVER_H_
