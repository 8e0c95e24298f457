// The steps of vacuum that touch files: copying the live records into
// compaction files, and switching those files in. The Database runs them in
// order and decides what each failure means (database.cpp, Vacuum).
#ifndef VANTRE_ENGINE_VACUUM_H_
#define VANTRE_ENGINE_VACUUM_H_

#include <cstdint>

#include "engine/io/data_file.h"
#include "engine/io/file.h"
#include "engine/state/key_index.h"
#include "engine/format/id_set.h"
#include "engine/state/store.h"
#include "engine/io/store_dir.h"

namespace vantre {

// keys.bin.vac, vals.bin.vac and offsets.bin.vac, written and synced, with
// the state that describes them.
struct VacuumedFiles {
  KeyIndex key_index;
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

// Maps the new record table and assembles the compacted state. Throws
// OsError.
StoreState MapVacuumed(VacuumedFiles files);

// Completes the file switch of a vacuum that reached its commit point
// (snapshot.bin.vac exists): every compaction file still under its
// temporary name replaces its data file, then the compacted snapshot
// replaces snapshot.bin. Does nothing without a commit marker. Throws
// OsError.
void CompleteVacuumSwitch(const StoreDir& dir);

}  // namespace vantre

#endif  // VANTRE_ENGINE_VACUUM_H_
