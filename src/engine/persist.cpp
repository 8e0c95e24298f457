#include "engine/persist.h"

#include <fcntl.h>

#include "engine/format.h"
#include "engine/snapshot.h"

namespace vantre {

void PersistSnapshot(Store* store, WalWriter* wal) {
  store->SyncData();
  wal->Sync();
  const std::string tmp = store->PathOf(kSnapshotTmpFile);
  {
    File out = File::Open(tmp, O_WRONLY | O_CREAT | O_TRUNC);
    const StoreState& s = store->state();
    WriteSnapshot(out, s.key_index, s.live, s.dead, s.record_count, s.keys.end(), s.values.end(),
                  MidwayFailure::kPanic);
    out.Sync();
  }
  RenameFile(tmp, store->PathOf(kSnapshotFile));
  SyncDirectory(store->dir());
  wal->Reset();
}

}  // namespace vantre
