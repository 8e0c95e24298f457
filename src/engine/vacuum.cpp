// Vacuum: compaction of keys.bin, vals.bin and offsets.bin.
//
// Copy phase   the live records, in ascending id order, are copied into
//              keys.bin.vac, vals.bin.vac and offsets.bin.vac and renumbered
//              0, 1, 2, ...; offsets.bin.vac is sized to the new record
//              capacity; the three files are synced and offsets.bin.vac is
//              mapped.
// Commit       a snapshot of the compacted state is written to
//              snapshot.bin.tmp, synced, and renamed to snapshot.bin.vac.
//              From here on, open completes an interrupted switch (see
//              FinishInterruptedVacuum); before it, the old files are intact
//              and the .vac files are mere leftovers.
// File switch  the three .vac files are renamed onto the data files, then
//              snapshot.bin.vac onto snapshot.bin.
// State switch the Store takes the new descriptors, map, index and sets,
//              which were all made ready before the commit, so nothing here
//              can fail; then the log is emptied, file and buffer.
#include <fcntl.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/engine.h"
#include "engine/error.h"
#include "engine/format.h"
#include "engine/key_hash.h"
#include "engine/snapshot.h"
#include "engine/utf8.h"

namespace vantre {
namespace {

File CreateCompactionFile(const Store& store, const char* name) {
  return File::Open(store.PathOf(name), O_RDWR | O_CREAT | O_TRUNC);
}

// Fills `index` with a copy of the store's key index in which every id is
// replaced by its new id: the number of surviving ids below it. Returns
// false, leaving `index` unspecified, unless the key index names every
// survivor exactly once and nothing else.
bool RenumberedIndex(const Store& store, KeyIndex* index) {
  constexpr uint32_t kGone = UINT32_MAX;
  std::vector<uint32_t> new_id(store.record_count_, kGone);
  uint32_t survivors = 0;
  for (uint32_t id : store.live_) {
    if (id >= store.record_count_) break;
    new_id[id] = survivors++;
  }
  if (store.key_index_.size() != survivors) return false;
  *index = store.key_index_;
  std::vector<bool> named(survivors, false);
  for (const KeyIndex::Entry& e : *index) {
    const uint32_t id = e.id < new_id.size() ? new_id[e.id] : kGone;
    if (id == kGone || named[id]) return false;
    named[id] = true;
    e.id = id;
  }
  return true;
}

}  // namespace

void Vacuum(StoreCell& store_cell, WalCell& wal_cell) {
  std::unique_lock<RwLock> store_lock(store_cell.mutex);
  Store& store = store_cell.store;
  const std::string& dir = store.dir();

  // Copy phase. Every failure up to the commit leaves the Store and the
  // data files as they were.
  store.FlushData();
  DataFile keys_out(CreateCompactionFile(store, kKeysVacFile), 0);
  DataFile values_out(CreateCompactionFile(store, kValsVacFile), 0);
  DataFile offsets_out(CreateCompactionFile(store, kOffsetsVacFile), 0);

  // The new key index: the survivors keep their key hashes and take their
  // new ids. In a consistent store the key index names every survivor
  // exactly once, so renumbering a copy of it gives what hashing every key
  // read back from keys.bin would, without a hash and a random insert per
  // key. If it does not (a damaged snapshot, say), every key is hashed.
  KeyIndex index;
  const bool rehash = !RenumberedIndex(store, &index);
  if (rehash) {
    index.clear();
    index.reserve(store.key_index_.size());
  }
  IdSet live;
  uint32_t next_id = 0;
  DataWindow keys_in(&store.keys_);
  DataWindow values_in(&store.values_);
  std::string key;
  for (uint32_t id : store.live_) {
    if (id >= store.record_count_) break;
    const Record rec = store.RecordAt(id);
    const Bytes key_bytes = keys_in.Get(rec.key_offset, rec.key_length);
    Record out;
    out.key_offset = keys_out.Append(key_bytes);
    out.key_length = rec.key_length;
    if (rehash) {
      key.assign(AsText(key_bytes));
      const uint64_t hash = IsValidUtf8(key) ? KeyHash(key) : KeyHash(Utf8Lossy(key));
      index.insert_or_assign(hash, next_id);
    }
    out.value_offset = values_out.Append(values_in.Get(rec.value_offset, rec.value_length));
    out.value_length = rec.value_length;
    std::byte encoded[kRecordSize];
    EncodeRecord(encoded, out);
    offsets_out.Append(encoded);
    live.add(next_id);
    ++next_id;
  }
  keys_out.Flush();
  values_out.Flush();
  offsets_out.Flush();
  const uint32_t capacity = std::max(next_id, kMinRecordCapacity);
  offsets_out.file().Truncate(static_cast<uint64_t>(capacity) * kRecordSize);
  keys_out.file().Sync();
  values_out.file().Sync();
  offsets_out.file().Sync();

  MemoryMap table;
  try {
    table = MemoryMap::Map(offsets_out.file(), static_cast<uint64_t>(capacity) * kRecordSize);
  } catch (const Error& e) {
    Unwrap(e);
  }
  table.AdviseRandom();

  // Commit. The log file must first hold every record the new snapshot
  // covers: until it is emptied, a crash leaves both, and the next open
  // replays the log on top of the snapshot.
  {
    std::unique_lock<RwLock> wal_lock(wal_cell.mutex);
    wal_cell.wal.Flush();
  }
  const IdSet no_dead;
  {
    const std::string tmp = store.PathOf(kSnapshotTmpFile);
    File snap = File::Open(tmp, O_WRONLY | O_CREAT | O_TRUNC);
    WriteSnapshot(snap, index, live, no_dead, next_id, keys_out.end(), values_out.end(),
                  MidwayFailure::kReport);
    snap.Sync();
    snap.Close();
    RenameFile(tmp, store.PathOf(kSnapshotVacFile));
    SyncDirectory(dir);
  }

  // File switch. A failure here is reported after the state switch: the
  // directory is committed to the compacted state, which the next open
  // completes, so the Store must follow it too.
  std::optional<OsError> os_failure;
  std::optional<EngineError> engine_failure;
  try {
    RenameFile(store.PathOf(kKeysVacFile), store.PathOf(kKeysFile));
    RenameFile(store.PathOf(kValsVacFile), store.PathOf(kValsFile));
    RenameFile(store.PathOf(kOffsetsVacFile), store.PathOf(kOffsetsFile));
    SyncDirectory(dir);
    RenameFile(store.PathOf(kSnapshotVacFile), store.PathOf(kSnapshotFile));
    SyncDirectory(dir);
  } catch (const OsError& e) {
    os_failure = e;
  } catch (const EngineError& e) {
    engine_failure = e;
  }

  // State switch.
  store.table_ = std::move(table);
  store.offsets_ = std::move(offsets_out.file());
  store.keys_ = std::move(keys_out);
  store.values_ = std::move(values_out);
  store.key_index_ = std::move(index);
  store.live_ = std::move(live);
  store.dead_ = IdSet();
  store.record_count_ = next_id;
  store.record_capacity_ = capacity;
  store.cache_.Clear();

  // Every record in the log, buffered or written, is covered by the new
  // snapshot.
  {
    std::unique_lock<RwLock> wal_lock(wal_cell.mutex);
    wal_cell.wal.Reset();
  }
  if (os_failure) throw *os_failure;
  if (engine_failure) throw *engine_failure;
}

}  // namespace vantre
