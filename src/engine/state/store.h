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
// The Store knows neither the log nor the snapshot's format: the Database
// writes the log record of a put between PreparePut and ApplyPut, open
// builds the StoreState from the snapshot and hands it over, and persist and
// vacuum read the state through view().
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

#include "engine/format/coding.h"
#include "engine/io/data_file.h"
#include "engine/format/format.h"
#include "engine/format/key_hash.h"
#include "engine/format/id_set.h"
#include "engine/state/frozen_index.h"
#include "engine/state/key_index.h"
#include "engine/io/record_table.h"
#include "engine/state/value_cache.h"

namespace vantre {

// Reads prepared together by Store::StartReads and Store::LocateReads;
// larger batches are prepared in slices of this many keys, in a pipeline:
// while one slice is read, the stored keys and values of the next slice
// are loading, and the index slots of the slice after that.
inline constexpr size_t kMaxPreparedReads = 8;

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

// Read-only view of a Store's state, for persist and vacuum; valid until
// the Store next changes.
struct StoreView {
  const KeyIndex& key_index;
  const IdSet& live;
  const IdSet& dead;
  uint32_t record_count;
  const RecordTable& table;
  const DataFile& keys;
  const DataFile& values;
};

inline StoreView ViewOf(const StoreState& s) {
  return {s.key_index, s.live, s.dead, s.record_count, s.table, s.keys, s.values};
}

// What persist and vacuum read while reads and writes go on: the key index
// as it stood at the freeze, which stays so, readable without the Store
// lock, until the maintenance ends (frozen_index.h), and copies of the rest.
struct FrozenState {
  const KeyIndex* key_index = nullptr;
  IdSet live;
  IdSet dead;  // persist only
  uint32_t record_count = 0;
  uint32_t table_capacity = 0;
  uint64_t keys_end = 0;
  uint64_t values_end = 0;
};

// The compacted files and sets a vacuum installs (Store::InstallCompacted).
struct CompactedState {
  RecordTable table;
  DataFile keys;
  DataFile values;
  IdSet live;
  IdSet dead;
  uint32_t record_count = 0;
};

class Store {
 public:
  Store(StoreState state, uint64_t cache_capacity);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  Store(Store&&) = default;

  // A put whose file work is done and whose memory change is still to come.
  struct PreparedPut {
    uint64_t hash;
    uint32_t id;
    Record record;
    DataFile::Mark key_mark;
    DataFile::Mark value_mark;
  };
  // The fallible half of a put: room for the record in the table and the
  // key index, then the key and value bytes appended to the data files.
  // Throws Error (the files) or std::bad_alloc, leaving the Store as it
  // was; "capacity overflow" (Unrecoverable) for lengths a record cannot
  // hold. Follow with exactly one of ApplyPut or AbortPut.
  PreparedPut PreparePut(std::string_view key, Bytes val) {
    return PreparePut(key, KeyHash(key), val);
  }
  // The same with the key's hash. REQUIRES: hash == KeyHash(key).
  PreparedPut PreparePut(std::string_view key, uint64_t hash, Bytes val);
  // Forgets the appended bytes of `put`.
  void AbortPut(const PreparedPut& put);
  // The memory half: the record written, the key pointed at it, the older
  // record retired, the value cached. Cannot fail.
  void ApplyPut(const PreparedPut& put, Bytes val);
  // Whether the next put, or delete, rebuilds the key index or the
  // overlay at a size where that takes long: tens of milliseconds at a
  // million keys, over half a second at eight million.
  bool NextPutRebuildsIndex() const {
    return frozen_.ReserveRebuilds(state_.key_index, kLongRebuildSlots);
  }
  bool NextDeleteRebuildsIndex() const {
    return frozen_.holds_layout() && NextPutRebuildsIndex();  // as PrepareDelete
  }
  static constexpr size_t kLongRebuildSlots = 65536;
  // Whether the next put, of a key and value of these sizes, writes to a
  // file itself under the Store lock (while handing over: only a buffer past
  // its limit, the table's next piece not yet written, a direct write), and
  // may first wait for a handed-over write in progress.
  bool NextPutWritesOut(size_t key_size, size_t value_size) const {
    return state_.table.PrepareWrites(state_.record_count) ||
           state_.keys.AppendWritesOut(key_size) || state_.values.AppendWritesOut(value_size);
  }

  // A put replayed from the log at open. When the record the put will take
  // already locates this key and value below the data ends (an earlier
  // open replayed the same log without a snapshot), the bytes are reused
  // rather than appended again; otherwise as PreparePut then ApplyPut.
  // `slot`: whether the caller has compared the record with the put
  // already, and whether it locates this put's bytes, each below its data
  // end or right at it (those at the end are then adopted as written).
  // REQUIRES: hash == KeyHash(key).
  struct ReplaySlot {
    bool compared = false;  // the caller compared `record` with the put
    bool same = false;      // and it locates this put's bytes
    Record record;          // the record of the put's id
  };
  void ReplayPut(std::string_view key, uint64_t hash, Bytes val, const ReplaySlot& slot);
  void ReplayPut(std::string_view key, uint64_t hash, Bytes val);
  // Whether the bytes at `offset` of keys.bin or vals.bin are `expected`,
  // as far as the file holds them. Errors as Get.
  bool DataEquals(DataFileTag file, uint64_t offset, Bytes expected) {
    const DataFile& data = file == DataFileTag::kKeys ? state_.keys : state_.values;
    data.CheckInFile(offset, expected.size());
    return data.Equals(offset, expected, &value_scratch_);
  }

  // The record of `id`, or nothing past the record table.
  std::optional<Record> RecordAt(uint32_t id) const;
  // Reads bytes of keys.bin or vals.bin at `offset`, below or past the data
  // end, as far as the file holds them. Errors as Get.
  void ReadData(DataFileTag file, uint64_t offset, MutableBytes out) const {
    const DataFile& data = file == DataFileTag::kKeys ? state_.keys : state_.values;
    data.CheckInFile(offset, out.size());
    data.Read(out, offset);
  }
  uint32_t record_count() const { return state_.record_count; }
  // Records ranges of the data files found missing at a write-out through
  // `recorder` ("*recorder" must outlive the Store's writes).
  void SetMissingRecorder(const MissingRangeRecorder* recorder) {
    state_.keys.SetRecorder(recorder, DataFileTag::kKeys);
    state_.values.SetRecorder(recorder, DataFileTag::kValues);
  }

  // Removes `key`; false if it was not stored. Touches no file.
  bool Delete(std::string_view key) { return Delete(KeyHash(key)); }
  // The same by the key's hash.
  bool Delete(uint64_t hash);
  // Starts loading the key index lines that a put, delete or read of
  // `hash` reads first.
  void PrefetchIndex(uint64_t hash) const { state_.key_index.Prefetch(hash); }

  // Looks `key` up through the cache, then the data files. Returns a view of
  // the value, valid until the Store next changes, or nothing if absent.
  // Throws Error when the files cannot be read; Unrecoverable for a record
  // outside the table or lengths that cannot be read.
  std::optional<Bytes> Get(std::string_view key);
  // The same, for a key of a slice that StartReads and LocateReads have
  // prepared, with the hash StartReads computed.
  std::optional<Bytes> Get(std::string_view key, uint64_t hash);
  // A slice of reads in preparation: its keys' hashes, and which of them
  // the cache held when the slice was started.
  struct ReadSlice {
    uint64_t hashes[kMaxPreparedReads];
    uint32_t cached = 0;  // bit i: key i was in the cache
    size_t size = 0;
  };
  // The side-effect-free passes over a slice of reads, which start loading
  // the memory the reads will touch so that the misses of different keys
  // overlap instead of queueing. StartReads computes the key hashes and
  // starts on cache entries and their values, and for the other keys on
  // their index slots; LocateReads, run later, finds those keys' entries
  // and starts on their records, stored keys and values. The reads
  // themselves then run one by one, exactly as single reads would.
  // REQUIRES: keys.size() <= kMaxPreparedReads.
  void StartReads(std::span<const std::string_view> keys, ReadSlice* slice) const;
  void LocateReads(const ReadSlice& slice) const;

  // The key texts of the live ids, in ascending id order, read through
  // their records. Errors as Get; a key whose hash does not lead to the
  // index entry naming its id is damage (kInvalidData), never listed.
  std::vector<std::string> Keys() const;
  // Number of live keys.
  uint64_t Len() const { return state_.live.cardinality(); }

  size_t cached() const { return cache_.size(); }
  uint64_t cache_capacity() const { return cache_.capacity(); }
  void ClearCache() { cache_.Clear(); }

  // Writes the append buffers of keys.bin and vals.bin to the files.
  void FlushData();
  // Whether the data files and the record table leave their full buffers
  // and the next piece of the table for HandOver(), to be written by the
  // caller once it holds no lock (pending_write.h); kept across Replace.
  void SetHandOver(bool on);
  // Adds what they left to `out`. Never throws.
  void HandOver(PendingWrites* out) {
    state_.keys.HandOver(out);
    state_.values.HandOver(out);
    state_.table.HandOver(state_.record_count, out);
  }
  // Writes them out and forces the data files and the record table to
  // stable storage, so that a snapshot naming them can be relied on.
  void SyncData();

  StoreView view() const { return ViewOf(state_); }
  // Drops the data files' append buffers unwritten, and lets the record
  // table's piece handed over go, for a teardown that must write nothing.
  void AbandonBuffers() {
    state_.keys.Abandon();
    state_.values.Abandon();
    state_.table.AbandonPending();
  }
  // Installs a whole new state (vacuum's switch) and empties the cache.
  // Its data files record a range found cut only once given a recorder
  // (SetMissingRecorder), as InstallCompacted's.
  void Replace(StoreState next);
  // The same, with this store's key index moved into `next` and changed in
  // place by `renumber(const KeyIndex&)`, which must not fail: vacuum's
  // switch, which never holds two key indexes.
  template <typename F>
  void ReplaceRenumbered(StoreState next, F&& renumber) noexcept {
    next.key_index = std::move(state_.key_index);
    renumber(next.key_index);
    Replace(std::move(next));
  }

  // ---- Persist and vacuum beside reads and writes (store_maintenance.cpp)

  // Freezes the key index (see frozen_index.h) and copies what persist or
  // vacuum reads besides: the live set, the dead set (with `copy_dead`),
  // the counts and the data ends. With `journal`, the ids retired from now
  // on are kept for TakeRetired until the switch. The writes meanwhile go
  // to `overlay` (empty; see FrozenIndex::Freeze). REQUIRES: not frozen,
  // the append buffers written out. Throws std::bad_alloc, leaving the
  // store as it was.
  FrozenState Freeze(bool journal, bool copy_dead, KeyIndex overlay);
  FrozenIndex::Phase maintenance_phase() const { return frozen_.phase(); }
  // The ids retired since the freeze or the last call, in order.
  RetiredJournal TakeRetired() { return frozen_.TakeJournal(); }
  // Makes room for a delete's change, so that Delete cannot fail. Throws
  // std::bad_alloc.
  void PrepareDelete() {
    if (frozen_.holds_layout()) frozen_.Reserve(state_.key_index);
  }
  // Ends a freeze without a switch: the overlay is merged from now on.
  void EndFreeze() { frozen_.EndFreeze(); }
  // Vacuum's switch: installs `next` (files, sets, record count) and
  // empties the cache; the key index keeps its entries, which take the ids
  // `renumbering` gives them (RenumberStep); the entries written since the
  // freeze, from `carried_from` on, become carried_to + (id -
  // carried_from). Returns what it replaced (no key index), for the caller
  // to release after the lock. REQUIRES: frozen. Cannot fail.
  StoreState InstallCompacted(CompactedState next, std::unique_ptr<const Renumbering> renumbering,
                              uint32_t carried_from, uint32_t carried_to) noexcept;
  // One batch of the renumbering, then of the merge; true when done (see
  // FrozenIndex::RenumberStep for `finished`).
  bool RenumberStep(size_t max_entries, std::unique_ptr<const Renumbering>* finished) noexcept {
    return frozen_.RenumberStep(state_.key_index, max_entries, finished);
  }
  bool MergeStep(size_t max_entries, KeyIndex* merged) {
    return frozen_.MergeStep(state_.key_index, max_entries, merged);
  }

 private:
  // Moves `id` from the live set to the dead set.
  void Retire(uint32_t id);
  // Makes record `id` writable; when the address space is short, the data
  // files' read maps give way to the record table, which then grows by
  // less than double if it must.
  void PrepareRecord(uint32_t id);
  // Get's steps; `prepared`: LocateReads has already started loading the
  // key's memory.
  std::optional<Bytes> Lookup(std::string_view key, uint64_t hash, bool prepared);
  // Starts loading the cache lines a read of what `rec` locates needs: the
  // stored key's and the value's, each up to a few lines (a 100-byte value
  // spans three lines more often than not; longer ones are read in order,
  // which the processor's own prefetching follows).
  void PrefetchBytes(const Record& rec) const;
  // Reads the key `rec` locates and fails (kInvalidData) unless it has the
  // key hash `hash` under which the key index holds the record: a record
  // zeroed, cut or from another age of the files must read as damaged,
  // never as an absent key.
  void CheckStoredKeyHash(const Record& rec, uint64_t hash);
  // Whether the bytes `rec` locates below the data ends are `key` and `val`.
  bool Locates(const Record& rec, std::string_view key, Bytes val);

  StoreState state_;
  FrozenIndex frozen_;  // idle but during persist and vacuum
  ValueCache cache_;
  std::vector<std::byte> key_scratch_;
  std::vector<std::byte> value_scratch_;
  bool hand_over_ = false;  // SetHandOver, applied again to a replacing state
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_STORE_H_
