// The Store: the engine state behind one open storage directory.
//
//   key index      key hash -> record id of the key's current record
//   record table   shared read-write map of offsets.bin, 24 bytes per id
//   keys, values   keys.bin and vals.bin behind their append buffers; their
//                  data ends are where the next key and value go
//   live set       ids whose record is the current record of a key
//   dead set       ids superseded by a later put or removed by delete
//   value cache    copies of recently used values
//
// Invariants kept by every operation that holds the Store exclusively:
// live and dead are disjoint and below the record count; the key index
// values are exactly the live ids; record count <= record capacity and the
// record table holds at least record capacity records; every record below
// the record count lies below the data ends.
//
// The key text of a live id is not kept in memory: it is in keys.bin, where
// the id's record points, so listing keys reads it from there.
#ifndef VANTRE_ENGINE_STORE_H_
#define VANTRE_ENGINE_STORE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/coding.h"
#include "engine/data_file.h"
#include "engine/file.h"
#include "engine/format.h"
#include "engine/id_set.h"
#include "engine/key_index.h"
#include "engine/value_cache.h"

namespace vantre {

class WalWriter;

class Store {
 public:
  // Takes ownership of the three files and the map. REQUIRES: `table` maps
  // the whole of `offsets`, at least record_capacity records.
  Store(std::string dir, File offsets, MemoryMap table, uint32_t record_capacity,
        DataFile keys, DataFile values, uint64_t cache_capacity);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Stores `val` under `key` with a new record. When `wal` is given, the
  // Put record is appended to it once the fallible file work is done and
  // before anything in memory changes. Any failure is Unrecoverable and
  // leaves the Store as it was before the call, with no log record.
  void Put(std::string_view key, Bytes val, WalWriter* wal);
  // Removes `key`; false if it was not stored. Touches no file.
  bool Remove(std::string_view key);
  // Looks `key` up through the cache, then the data files. Returns a view of
  // the value, valid until the Store next changes, or nothing if absent.
  // Failures to read the files are Unrecoverable.
  std::optional<Bytes> Read(std::string_view key);

  // Doubles the record capacity until the record with id record_count fits
  // the record table. Failures are Unrecoverable and leave the old table.
  void Grow();

  // Writes the append buffers of keys.bin and vals.bin to the files.
  void FlushData();

  // The key texts of the live ids, in ascending id order, read through
  // their records. A record outside the table or data files is
  // Unrecoverable.
  std::vector<std::string> Keys() const;

  // Number of live keys.
  uint64_t Len() const { return live_.cardinality(); }

  // Record of `id`, bounds-checked against the mapped table.
  Record RecordAt(uint32_t id) const;

  const std::string& dir() const { return dir_; }
  std::string PathOf(const char* name) const;

  // Fields, read and replaced by open, persist and vacuum.
  KeyIndex key_index_;
  IdSet live_;
  IdSet dead_;
  uint32_t record_count_ = 0;
  uint32_t record_capacity_;
  File offsets_;
  MemoryMap table_;
  DataFile keys_;
  DataFile values_;
  ValueCache cache_;

 private:
  // Byte offset of `id`'s record in the table; a record outside the mapped
  // table is Unrecoverable (index out of range).
  size_t RecordOffset(uint32_t id) const;
  void StoreRecord(uint32_t id, const Record& r);

  std::string dir_;
  std::vector<std::byte> key_scratch_;
  std::vector<std::byte> value_scratch_;
};

// Joins a directory and a file name with one "/".
std::string JoinPath(const std::string& dir, const char* name);

}  // namespace vantre

#endif  // VANTRE_ENGINE_STORE_H_
