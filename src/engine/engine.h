// The shared handles through which the binding reaches an open store: the
// Store and the WalWriter, each inside its own reader-writer lock. When an
// operation needs both it takes the Store lock first.
//
// The locks are released by unwinding (lock guards) and are never marked
// poisoned, so an operation that fails leaves the store usable.
#ifndef VANTRE_ENGINE_ENGINE_H_
#define VANTRE_ENGINE_ENGINE_H_

#include <memory>
#include <mutex>
#include <shared_mutex>

#include "engine/rw_lock.h"
#include <string>

#include "engine/store.h"
#include "engine/wal_writer.h"

namespace vantre {

struct StoreCell {
  template <typename... Args>
  explicit StoreCell(Args&&... args) : store(std::forward<Args>(args)...) {}
  RwLock mutex;
  Store store;
};

struct WalCell {
  template <typename... Args>
  explicit WalCell(Args&&... args) : wal(std::forward<Args>(args)...) {}
  RwLock mutex;
  WalWriter wal;
};

struct OpenStore {
  std::shared_ptr<StoreCell> store;
  std::shared_ptr<WalCell> wal;
};

// Opens (creating if needed) the store in `dir`: loads snapshot.bin,
// replays wal.bin, and opens wal.bin for appending. OsError and EngineError
// are reported to the caller; Unrecoverable ends the call as a panic.
OpenStore Open(const std::string& dir, uint64_t cache_capacity);

// Writes a snapshot of the store and empties the log.
void Persist(StoreCell& store, WalCell& wal);

// Rewrites the data files with only the live records, renumbered densely.
void Vacuum(StoreCell& store, WalCell& wal);

// Writes out the buffers (log and data files) of every store still open in
// this process, as teardown would, without closing anything. Errors are
// ignored. For a normal interpreter exit, where stores may never be freed.
void FlushAllOpenStores();

}  // namespace vantre

#endif  // VANTRE_ENGINE_ENGINE_H_
