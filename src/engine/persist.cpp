// Persist: snapshot.bin.tmp is written and renamed onto snapshot.bin, then
// the log is emptied, file and buffer: the snapshot covers every record in
// either.
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
  {
    File out = File::Open(tmp, O_WRONLY | O_CREAT | O_TRUNC);
    WriteSnapshot(out, store.key_index_, store.live_, store.dead_, store.record_count_,
                  store.keys_.end(), store.values_.end(), MidwayFailure::kPanic);
  }
  RenameFile(tmp, path);
  // The log lock is taken before the Store lock is released, so that no
  // write can fall between the snapshot and the emptying of the log.
  std::unique_lock<RwLock> wal_lock(wal_cell.mutex);
  wal_cell.wal.Reset();
}

}  // namespace vantre
