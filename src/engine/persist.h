// Persist: the current state becomes the starting point for recovery.
#ifndef VANTRE_ENGINE_PERSIST_H_
#define VANTRE_ENGINE_PERSIST_H_

#include "engine/store.h"
#include "engine/wal_writer.h"

namespace vantre {

// Writes snapshot.bin durably and empties the log:
//   1. the data files and the record table are synced, so that every record
//      the snapshot names survives a power loss;
//   2. the log is written out and synced: until it is emptied, a crash
//      leaves both it and the new snapshot, and the next open replays the
//      whole log on top of the snapshot, which gives the same state only if
//      no record of it is missing;
//   3. snapshot.bin.tmp is written and synced, renamed onto snapshot.bin,
//      and the directory is synced;
//   4. the log is emptied, file and buffer.
// A failure before step 4 leaves snapshot.bin and wal.bin as they were, or
// the new snapshot with the complete old log; both open to the same state.
// Write failures while the snapshot is encoded are Unrecoverable; all others
// are thrown as OsError or EngineError. REQUIRES: both locks held.
void PersistSnapshot(Store* store, WalWriter* wal);

}  // namespace vantre

#endif  // VANTRE_ENGINE_PERSIST_H_
