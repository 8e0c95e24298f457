// The steps of vacuum that touch files: copying the live records into
// compaction files, and switching those files in. The Database runs them in
// order and decides what each failure means (database.cpp, Vacuum).
#ifndef VANTRE_ENGINE_VACUUM_H_
#define VANTRE_ENGINE_VACUUM_H_

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/io/data_file.h"
#include "engine/io/file.h"
#include "engine/state/key_index.h"
#include "engine/format/id_set.h"
#include "engine/state/store.h"
#include "engine/io/store_dir.h"

namespace vantre {

// What turns the store's key index into the compacted store's: each
// survivor's new id, its rank in the live set. Applied to the index in
// place at the switch, so that a vacuum never holds two key indexes.
class IndexRenumbering {
 public:
  static constexpr uint32_t kGone = UINT32_MAX;

  // The new ids of `store`'s survivors. The old-to-new map is dense (one
  // slot per id below the highest live id) when that fits inside the record
  // table, whose size is real; otherwise (ids beyond the table, from a
  // damaged snapshot) new ids are found by binary search among the
  // survivors. Throws std::bad_alloc.
  explicit IndexRenumbering(const StoreView& store);

  // Whether `index` names every survivor exactly once and nothing else, as
  // in a consistent store; if so, keeps the new id of each of its entries
  // in the index's order. Throws std::bad_alloc.
  bool Cover(const KeyIndex& index);
  // The new ids of the covered index's entries, in the index's order (valid
  // while the index is unchanged).
  std::span<const uint32_t> ids_in_index_order() const { return in_index_order_; }
  // Gives every entry of `index` its new id, with its location absent (a
  // read finds it in the new record table, as after a reopen). Cannot fail.
  // REQUIRES: Cover(index) returned true, the index unchanged since.
  void Apply(const KeyIndex& index) const noexcept;

 private:
  // New id of `old_id`; kGone if it is not a survivor.
  uint32_t Of(uint32_t old_id) const;

  bool dense_;
  std::vector<uint32_t> new_id_;  // dense: by old id; else: the survivors
  uint64_t survivors_;
  std::vector<uint32_t> in_index_order_;
};

// keys.bin.vac, vals.bin.vac and offsets.bin.vac, written and synced, with
// the state that describes them. Its key index is the store's, renumbered
// by `renumbering` at the switch; only when that index does not name every
// survivor exactly once (a damaged snapshot) is a new one built,
// `rebuilt_index`, by hashing every key.
struct VacuumedFiles {
  std::optional<IndexRenumbering> renumbering;
  KeyIndex rebuilt_index;
  IdSet live;
  uint32_t record_count = 0;
  DataFile keys;
  DataFile values;
  File offsets;
  uint64_t offsets_size = 0;
};

// Copies the live records of `store`, in ascending id order, into the
// three compaction files (leftovers of an earlier vacuum are truncated),
// renumbered 0, 1, 2, ..., and syncs them. Walks the live set only. A
// record outside the data files is EngineError ("failed to fill whole
// buffer"); one outside the record table is Unrecoverable. Throws OsError
// or EngineError otherwise. REQUIRES: the store's buffers written out.
VacuumedFiles CopySurvivors(const StoreDir& dir, const StoreView& store);

// Maps the new record table and assembles the compacted state from the
// files (moved out of `files`; the renumbering stays). Its key index is
// empty unless rebuilt. Throws OsError.
StoreState MapVacuumed(VacuumedFiles* files);

// Completes the file switch of a vacuum that reached its commit point
// (snapshot.bin.vac exists): every compaction file still under its
// temporary name replaces its data file, then the compacted snapshot
// replaces snapshot.bin. Does nothing without a commit marker. Throws
// OsError.
void CompleteVacuumSwitch(const StoreDir& dir);

}  // namespace vantre

#endif  // VANTRE_ENGINE_VACUUM_H_
