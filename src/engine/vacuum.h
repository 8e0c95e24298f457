// Vacuum: compaction of keys.bin, vals.bin and offsets.bin into files that
// hold only the live records, renumbered 0, 1, 2, ... in id order.
#ifndef VANTRE_ENGINE_VACUUM_H_
#define VANTRE_ENGINE_VACUUM_H_

#include <string>

#include "engine/store.h"
#include "engine/wal_writer.h"

namespace vantre {

// Compacts `store` and empties `wal`, whose records the compacted state
// covers. Failures before the commit point leave the store and its files as
// they were. A failure in the file switch, after the commit point, still
// installs the compacted state, sets *switch_pending and is rethrown: the
// caller must complete the switch (CompleteCompactionSwitch) before it next
// persists or compacts. REQUIRES: no switch pending; both locks held.
void Compact(Store* store, WalWriter* wal, bool* switch_pending);

// Completes the file switch of a compaction that reached its commit point
// (snapshot.bin.vac exists): every compacted file still under its temporary
// name replaces its data file, then the compacted snapshot replaces
// snapshot.bin. Does nothing without a commit marker. Throws OsError.
void CompleteCompactionSwitch(const std::string& dir);

}  // namespace vantre

#endif  // VANTRE_ENGINE_VACUUM_H_
