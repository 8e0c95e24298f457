// The steps of vacuum that touch files: copying the live records into
// compaction files, carrying the records written meanwhile after them, and
// switching those files in. The Database runs them in order and decides
// what each failure means (database.cpp, Vacuum).
//
// Vacuum reads the store's files through descriptors of its own (a
// VacuumSource), never through the Store's objects, which other threads go
// on using: the data files below the data ends of the freeze, and the
// records below its record count, do not change while the store runs.
#ifndef VANTRE_ENGINE_VACUUM_H_
#define VANTRE_ENGINE_VACUUM_H_

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/io/data_file.h"
#include "engine/io/file.h"
#include "engine/state/frozen_index.h"
#include "engine/state/key_index.h"
#include "engine/format/id_set.h"
#include "engine/state/store.h"
#include "engine/io/store_dir.h"

namespace vantre {

// What turns the frozen key index into the compacted store's: each
// survivor's new id, its rank in the live set. Applied to the index in
// place after the switch, so that a vacuum never holds two key indexes.
class IndexRenumbering final : public Renumbering {
 public:
  static constexpr uint32_t kGone = UINT32_MAX;

  // The new ids of the survivors `live`. The old-to-new map is dense (one
  // slot per id below the highest live id) when that fits inside the record
  // table (`table_capacity` records), whose size is real; otherwise (ids
  // beyond the table, from a damaged snapshot) new ids are found by binary
  // search among the survivors. Throws std::bad_alloc.
  IndexRenumbering(const IdSet& live, uint32_t table_capacity);

  // Whether `index` names every survivor exactly once and nothing else, as
  // in a consistent store; if so, keeps the new id of each of its entries
  // in the index's order. Throws std::bad_alloc.
  bool Cover(const KeyIndex& index);
  // The new ids of the covered index's entries, in the index's order (valid
  // while the index's layout is unchanged).
  std::span<const uint32_t> ids_in_index_order() const override { return in_index_order_; }
  // New id of `old_id`; kGone if it is not a survivor.
  uint32_t NewId(uint32_t old_id) const override;
  uint64_t survivors() const { return survivors_; }

 private:
  bool dense_;
  std::vector<uint32_t> new_id_;  // dense: by old id; else: the survivors
  uint64_t survivors_;
  std::vector<uint32_t> in_index_order_;
};

// Reads 24-byte records from offsets.bin through a descriptor, a run of
// them at a time: records read mostly in ascending id order cost a copy
// each rather than a system call, and no map of the table is needed.
class RecordReader {
 public:
  // "*file" must remain live while this reader is in use; records at or
  // beyond `capacity` are outside the table.
  RecordReader(const File* file, uint32_t capacity) : file_(file), capacity_(capacity) {}
  // Record of `id`; outside the table is Unrecoverable (index out of range),
  // beyond the end of the file EngineError (unexpected end of file). Reads
  // ahead, so a record is read again (ReadFresh) once it may have changed.
  Record At(uint32_t id);
  // Forgets what was read ahead.
  void ReadFresh() { count_ = 0; }

 private:
  static constexpr uint32_t kRun = 4096;

  const File* file_;
  uint32_t capacity_;
  std::vector<std::byte> buf_;
  uint32_t first_ = 0;
  uint32_t count_ = 0;
};

// The store's files as a vacuum reads them: readers of keys.bin and vals.bin
// with the data ends and missing ranges of the freeze (DataFile::ReaderOf),
// a descriptor of offsets.bin, and the survivors. "All" must remain live
// while the source is in use.
struct VacuumSource {
  const DataFile& keys;
  const DataFile& values;
  const File& offsets;
  uint32_t table_capacity;
  const IdSet& live;
  const KeyIndex& key_index;
};

// keys.bin.vac, vals.bin.vac and offsets.bin.vac, written and synced, with
// the state that describes them. Its key index is empty (the store's is
// renumbered at the switch) unless the store's index did not name every
// survivor exactly once (a damaged snapshot): then it is `rebuilt_index`,
// made by hashing every key.
struct VacuumedFiles {
  KeyIndex rebuilt_index;
  IdSet live;
  uint32_t record_count = 0;
  DataFile keys;
  DataFile values;
  File offsets;
  uint64_t offsets_size = 0;
};

// Copies the live records of `source`, in ascending id order, into the
// three compaction files (leftovers of an earlier vacuum are truncated),
// renumbered 0, 1, 2, ..., and syncs them. Walks the live set only. With
// `rehash`, builds the new key index by hashing every key. A record
// outside the data files is EngineError ("failed to fill whole buffer");
// one outside the record table is Unrecoverable. Throws OsError or
// EngineError otherwise.
VacuumedFiles CopySurvivors(const StoreDir& dir, const VacuumSource& source, bool rehash);

// Maps the new record table and assembles the compacted state from the
// files (moved out of `files`). Throws OsError.
StoreState MapVacuumed(VacuumedFiles* files);

// Carries the records a store writes while its vacuum copies (ids from the
// freeze's record count on, their bytes back to back from the freeze's data
// ends on) into the compacted files after the survivors, in order and a
// batch at a time, and keeps the compacted live and dead sets in step with
// the ids the store retires meanwhile. The record of id `from + i` becomes
// id `survivors + i`, its bytes moved by a constant: the log records of the
// same writes, replayed on the compacted snapshot, give the same ids and
// places.
class RecordCarrier {
 public:
  // `next` is the compacted state (MapVacuumed), its live set the
  // survivors; it and `renumbering` must remain live while this is in use.
  RecordCarrier(const FrozenState& frozen, const IndexRenumbering& renumbering, StoreState* next);

  // Carries the records below `record_count`, read through `offsets`, their
  // bytes below the data ends of the readers `keys` and `values`, then
  // applies `retired` (old ids, in the order the store retired them). A
  // record that locates bytes outside what is carried is EngineError
  // ("failed to fill whole buffer"). Throws OsError or EngineError;
  // carrying again after a failure is not supported.
  void Carry(uint32_t record_count, const DataFile& keys, const DataFile& values,
             const File& offsets, const RetiredJournal& retired);

  uint32_t carried_from() const { return from_; }
  uint32_t carried_to() const { return survivors_; }
  // Records carried so far.
  uint32_t carried() const { return next_ - from_; }

 private:
  uint32_t NewIdOf(uint32_t old_id) const;

  const IndexRenumbering& renumbering_;
  StoreState* next_state_;
  uint32_t from_;       // the freeze's record count
  uint32_t survivors_;  // the first carried record's new id
  uint64_t keys_from_;  // the freeze's data ends
  uint64_t values_from_;
  uint64_t keys_to_;  // where the carried keys and values start in the new files
  uint64_t values_to_;
  uint32_t next_;  // the next record to carry
};

// Completes the switch of a persist or vacuum that reached its commit
// point. First a snapshot committed with a new log (snapshot.bin.new or
// snapshot.bin.vac.new): wal.bin.new, if still there, replaces wal.bin, then
// the snapshot takes its name. Then a vacuum (snapshot.bin.vac exists):
// every compaction file still under its temporary name replaces its data
// file, then the compacted snapshot replaces snapshot.bin. Does nothing
// without a commit marker. Throws OsError.
void CompleteVacuumSwitch(const StoreDir& dir);

}  // namespace vantre

#endif  // VANTRE_ENGINE_VACUUM_H_
