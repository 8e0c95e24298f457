// Persist: snapshot.bin.tmp is written and renamed onto snapshot.bin, then
// the log is emptied, file and buffer: the snapshot covers every record in
// either. Both locks are held throughout (Store first), so no write can fall
// between the snapshot and the emptying of the log.
#include <fcntl.h>

#include <mutex>

#include "engine/engine.h"
#include "engine/error.h"
#include "engine/format.h"
#include "engine/snapshot.h"

namespace vantre {

void Persist(StoreCell& store_cell, WalCell& wal_cell) {
  // Exclusive rather than shared: the data files' append buffers are
  // written out first, so that the data ends the snapshot names are in the
  // files.
  std::unique_lock<RwLock> store_lock(store_cell.mutex);
  Store& store = store_cell.store;
  const std::string tmp = store.PathOf(kSnapshotTmpFile);
  const std::string path = store.PathOf(kSnapshotFile);

  store.FlushData();
  // Until the log is emptied a crash leaves both the new snapshot and
  // wal.bin, and the next open replays the log on top of the snapshot. The
  // file must therefore hold every record the snapshot covers, including
  // those still in the log buffer: replaying only the older ones would
  // bring back superseded values.
  std::unique_lock<RwLock> wal_lock(wal_cell.mutex);
  wal_cell.wal.Flush();
  {
    File out = File::Open(tmp, O_WRONLY | O_CREAT | O_TRUNC);
    WriteSnapshot(out, store.key_index_, store.live_, store.dead_, store.record_count_,
                  store.keys_.end(), store.values_.end(), MidwayFailure::kPanic);
  }
  RenameFile(tmp, path);
  wal_cell.wal.Reset();
}

}  // namespace vantre
