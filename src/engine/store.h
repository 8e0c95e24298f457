// The Store: the engine state behind one open storage directory.
//
//   key index      key hash -> record id of the key's current record
//   record table   offsets.bin, 24 bytes per id (record_table.h)
//   keys, values   keys.bin and vals.bin behind their append buffers; their
//                  data ends are where the next key and value go
//   live set       ids whose record is the current record of a key
//   dead set       ids superseded by a later put or removed by delete
//   value cache    copies of recently used values
//
// Invariants, kept by the Store's own methods (its state is private):
// live and dead are disjoint and below the record count; the key index
// values are exactly the live ids; record count <= record capacity; every
// record below the record count lies below the data ends; every cached
// value is the current value of its key hash.
//
// The key text of a live id is not kept in memory: it is in keys.bin, where
// the id's record points, so listing keys reads it from there.
#ifndef VANTRE_ENGINE_STORE_H_
#define VANTRE_ENGINE_STORE_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/coding.h"
#include "engine/data_file.h"
#include "engine/format.h"
#include "engine/id_set.h"
#include "engine/key_index.h"
#include "engine/record_table.h"
#include "engine/snapshot.h"
#include "engine/value_cache.h"

namespace vantre {

class WalWriter;

// Reads prepared together by Store::PrepareReads; larger batches are
// prepared in slices of this many keys, each one slice ahead of its reads,
// so that its memory arrives while the slice before is read and is still
// in the processor's caches when its own reads run.
inline constexpr size_t kMaxPreparedReads = 16;

// Everything a Store holds but its cache: what open restores and what
// vacuum builds aside and installs as a whole.
struct StoreState {
  KeyIndex key_index;
  IdSet live;
  IdSet dead;
  uint32_t record_count = 0;
  RecordTable table;
  DataFile keys;
  DataFile values;
};

class Store {
 public:
  Store(std::string dir, StoreState state, uint64_t cache_capacity);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  Store(Store&&) = default;

  // Stores `val` under `key` with a new record. When `wal` is given, the
  // Put record is appended to it once the fallible file work is done and
  // before anything in memory changes. A failure of the files or the log is
  // Unrecoverable, an allocation failure std::bad_alloc; either leaves the
  // Store as it was before the call, with no log record.
  void Put(std::string_view key, Bytes val, WalWriter* wal);
  // Removes `key`; false if it was not stored. Touches no file.
  bool Remove(std::string_view key);
  // Looks `key` up through the cache, then the data files. Returns a view of
  // the value, valid until the Store next changes, or nothing if absent.
  // Failures to read the files are Unrecoverable.
  std::optional<Bytes> Read(std::string_view key);
  // The same, for a key of a batch that PrepareReads has prepared, with
  // the hash it computed.
  std::optional<Bytes> Read(std::string_view key, uint64_t hash);
  // The side-effect-free first pass of a batch of reads: computes the key
  // hashes of `keys` into `hashes` and starts loading the memory the reads
  // will touch (cache entries and their values; for keys the cache does not
  // hold, index slots, records, stored keys and values), so that the memory
  // misses of different keys overlap instead of queueing. The reads
  // themselves then run one by one, exactly as single reads would.
  // REQUIRES: hashes.size() == keys.size().
  void PrepareReads(std::span<const std::string_view> keys, std::span<uint64_t> hashes) const;

  // The key texts of the live ids, in ascending id order, read through
  // their records. A record outside the table or data files is
  // Unrecoverable.
  std::vector<std::string> Keys() const;
  // Number of live keys.
  uint64_t Len() const { return state_.live.cardinality(); }

  size_t cached() const { return cache_.size(); }
  uint64_t cache_capacity() const { return cache_.capacity(); }
  void ClearCache() { cache_.Clear(); }

  // Writes the append buffers of keys.bin and vals.bin to the files.
  void FlushData();
  // Writes them out and forces the data files and the record table to
  // stable storage, so that a snapshot naming them can be relied on.
  void SyncData();

  // Takes the persisted elements from a snapshot. Throws EngineError
  // (invalid data) and changes nothing if the snapshot does not fit the
  // store's files: more records than `records_in_file` (what offsets.bin
  // held), data ends beyond the data files, or ids in the sets beyond the
  // record count. REQUIRES: nothing stored since open.
  void Restore(SnapshotData snap, uint64_t records_in_file);
  // Installs a whole new state (vacuum's switch) and empties the cache.
  void Replace(StoreState next);

  const StoreState& state() const { return state_; }
  const std::string& dir() const { return dir_; }
  std::string PathOf(const char* name) const;

 private:
  // Makes record `id` writable; when the address space is short, the data
  // files' read maps give way to the record table.
  void PrepareRecord(uint32_t id);
  // Read's steps; `prepared`: PrepareReads has already started loading the
  // key's memory.
  std::optional<Bytes> Lookup(std::string_view key, uint64_t hash, bool prepared);

  std::string dir_;
  StoreState state_;
  ValueCache cache_;
  std::vector<std::byte> key_scratch_;
  std::vector<std::byte> value_scratch_;
};

// Joins a directory and a file name with one "/".
std::string JoinPath(const std::string& dir, const char* name);

}  // namespace vantre

#endif  // VANTRE_ENGINE_STORE_H_
