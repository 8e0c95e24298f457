#include "engine/state/store.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

#include "engine/io/data_window.h"
#include "engine/util/error.h"
#include "engine/format/key_hash.h"

namespace vantre {
namespace {

// Reads of key and value bytes refuse lengths beyond this.
constexpr uint32_t kMaxReadLength = 1u << 31;
// A read buffer grown past this is given back after a smaller read.
constexpr size_t kMaxKeptScratch = 1 << 20;

// Starts loading the first `kLines` cache lines of the `length` bytes at
// `offset` of `file` (those the span has). Unrolled, not a loop: a loop
// with nothing but prefetches in it is one the compiler may delete.
template <size_t kLines>
void PrefetchLines(const DataFile& file, uint64_t offset, uint64_t length) {
  if (length == 0) return;
  constexpr uint64_t kLine = 64;
  const uint64_t first = offset / kLine;
  const uint64_t last = (offset + length - 1) / kLine;
  file.Prefetch(offset);
  [&]<size_t... kI>(std::index_sequence<kI...>) {
    ((first + kI + 1 <= last ? file.Prefetch((first + kI + 1) * kLine) : void()), ...);
  }(std::make_index_sequence<kLines - 1>());
}

}  // namespace

Store::Store(StoreState state, uint64_t cache_capacity)
    : state_(std::move(state)), cache_(cache_capacity) {}

void Store::PrepareRecord(uint32_t id) {
  try {
    state_.table.Prepare(id);
  } catch (const OsError& e) {
    if (e.code() != ENOMEM) throw;
    state_.keys.ReleaseReadMap();
    state_.values.ReleaseReadMap();
    state_.table.Prepare(id, RecordTable::Growth::kAsRoomAllows);
  }
}

Store::PreparedPut Store::PreparePut(std::string_view key, uint64_t hash, Bytes val) {
  if (key.size() > std::numeric_limits<uint32_t>::max() ||
      val.size() > std::numeric_limits<uint32_t>::max() ||
      state_.record_count == std::numeric_limits<uint32_t>::max()) {
    throw Unrecoverable("capacity overflow");
  }
  PreparedPut put{hash, state_.record_count, {}, state_.keys.mark(), state_.values.mark()};
  // The key's index slot is the put's one likely cache miss: it loads while
  // the bytes are appended here and the log record is written.
  state_.key_index.Prefetch(put.hash);
  // Room first, then the bytes: a failure undoes the appends, so the Store
  // is as before.
  PrepareRecord(put.id);
  frozen_.Reserve(state_.key_index);
  try {
    put.record.key_offset = state_.keys.Append(AsBytes(key));
    put.record.value_offset = state_.values.Append(val);
  } catch (...) {
    AbortPut(put);
    throw;
  }
  put.record.key_length = static_cast<uint32_t>(key.size());
  put.record.value_length = static_cast<uint32_t>(val.size());
  return put;
}

void Store::AbortPut(const PreparedPut& put) {
  state_.keys.Rollback(put.key_mark);
  state_.values.Rollback(put.value_mark);
}

void Store::ApplyPut(const PreparedPut& put, Bytes val) {
  state_.table.Set(put.id, put.record);
  state_.record_count = put.id + 1;
  // The cache first, the index after: nothing below can fail, and the
  // index slot, prefetched by PreparePut, has the cache's work longer to
  // arrive in. A cache that cannot hold the value keeps no older one either.
  cache_.Insert(put.hash, val);
  if (const std::optional<uint32_t> old =
          frozen_.Put(state_.key_index, put.hash, put.id, put.record)) {
    Retire(*old);
  }
  state_.live.add(put.id);
}

bool Store::Locates(const Record& rec, std::string_view key, Bytes val) {
  const auto below = [](uint64_t offset, uint64_t length, uint64_t end) {
    return offset <= end && length <= end - offset;
  };
  if (rec.key_length != key.size() || rec.value_length != val.size() ||
      !below(rec.key_offset, rec.key_length, state_.keys.end()) ||
      !below(rec.value_offset, rec.value_length, state_.values.end())) {
    return false;
  }
  try {
    return state_.keys.Equals(rec.key_offset, AsBytes(key), &key_scratch_) &&
           state_.values.Equals(rec.value_offset, val, &value_scratch_);
  } catch (const Error&) {
    return false;  // unreadable old bytes are simply not reused
  }
}

std::optional<Record> Store::RecordAt(uint32_t id) const {
  if (id >= state_.table.capacity()) return std::nullopt;
  return state_.table.At(id);
}

void Store::ReplayPut(std::string_view key, uint64_t hash, Bytes val) {
  ReplayPut(key, hash, val, ReplaySlot());
}

void Store::ReplayPut(std::string_view key, uint64_t hash, Bytes val, const ReplaySlot& slot) {
  const uint32_t id = state_.record_count;
  if (slot.compared) {
    if (slot.same) {
      // The record locates this put's bytes, each below its data end or
      // right at it (written by the process that logged the put, or by an
      // earlier replay of the same log): the bytes at the end are taken
      // as they are rather than written again.
      state_.key_index.ReserveOneMore();
      state_.keys.AdoptThrough(slot.record.key_offset, slot.record.key_length);
      state_.values.AdoptThrough(slot.record.value_offset, slot.record.value_length);
      ApplyPut({hash, id, slot.record, state_.keys.mark(), state_.values.mark()}, val);
      return;
    }
  } else if (id < state_.table.capacity() && id != std::numeric_limits<uint32_t>::max()) {
    const Record existing = state_.table.At(id);
    if (Locates(existing, key, val)) {
      state_.key_index.ReserveOneMore();
      ApplyPut({hash, id, existing, state_.keys.mark(), state_.values.mark()}, val);
      return;
    }
  }
  ApplyPut(PreparePut(key, hash, val), val);
}

bool Store::Delete(uint64_t hash) {
  if (frozen_.idle() && state_.key_index.empty()) return false;
  const std::optional<uint32_t> id = frozen_.Erase(state_.key_index, hash);
  if (!id) return false;
  Retire(*id);
  cache_.Remove(hash);
  return true;
}

void Store::Retire(uint32_t id) {
  state_.live.remove(id);
  state_.dead.add(id);
  frozen_.Retired(id);
}

std::optional<Bytes> Store::Get(std::string_view key) {
  return Lookup(key, KeyHash(key), /*prepared=*/false);
}

std::optional<Bytes> Store::Get(std::string_view key, uint64_t hash) {
  return Lookup(key, hash, /*prepared=*/true);
}

void Store::StartReads(std::span<const std::string_view> keys, ReadSlice* slice) const {
  slice->size = keys.size();
  slice->cached = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    const uint64_t hash = KeyHash(keys[i]);
    slice->hashes[i] = hash;
    if (cache_.Prefetch(hash)) {
      slice->cached |= uint32_t{1} << i;
    } else {
      state_.key_index.Prefetch(hash);
    }
  }
}

void Store::LocateReads(const ReadSlice& slice) const {
  // A located entry leads straight to the key and value; the others go
  // through the table. A key the cache held is read from there (unless an
  // earlier read evicts it: then it is read without a head start).
  // While persist or vacuum runs, lookups go through the overlay and may
  // copy entries: not worth doing twice.
  if (!frozen_.idle()) return;
  uint32_t ids[kMaxPreparedReads];
  size_t m = 0;
  for (size_t i = 0; i < slice.size; ++i) {
    if (slice.cached >> i & 1) continue;
    const KeyIndex::Entry* e = state_.key_index.find(slice.hashes[i]);
    if (e == nullptr) continue;
    if (e->located()) {
      PrefetchBytes(e->record());
    } else if (e->id < state_.table.capacity()) {
      state_.table.Prefetch(e->id);
      ids[m++] = e->id;
    }
  }
  static_assert(kMaxPreparedReads <= RecordTable::kMaxRecordsAtOnce);
  static_assert(kMaxPreparedReads <= 32);  // ReadSlice::cached
  if (m == 0) return;
  Record recs[kMaxPreparedReads];
  try {
    state_.table.AtEach(ids, m, recs);
  } catch (const Error&) {
    return;  // a table cut short: the reads themselves report it
  }
  for (const Record& rec : std::span(recs, m)) PrefetchBytes(rec);
}

void Store::PrefetchBytes(const Record& rec) const {
  PrefetchLines<2>(state_.keys, rec.key_offset, rec.key_length);
  PrefetchLines<4>(state_.values, rec.value_offset, rec.value_length);
}

std::optional<Bytes> Store::Lookup(std::string_view key, uint64_t hash, bool prepared) {
  // While the cache holds fewer values than the store has keys, most
  // reads miss it: their index slot loads while the cache is probed. (A
  // cache that holds every key would only pay for the load.)
  if (!prepared && cache_.size() < state_.key_index.size()) state_.key_index.Prefetch(hash);
  if (cache_.size() > 0) {
    if (auto hit = cache_.Lookup(hash)) return hit;
  }
  const KeyIndex::Entry* found = frozen_.Find(state_.key_index, hash);
  if (found == nullptr) return std::nullopt;
  // Entries are located by puts and by the reads below, for live ids only;
  // an unlocated one is located once its bytes proved readable.
  Record rec;
  if (found->located()) {
    rec = found->record();
  } else {
    if (!state_.live.contains(found->id)) return std::nullopt;
    rec = state_.table.At(found->id);
    if (rec.key_length >= kMaxReadLength || rec.value_length >= kMaxReadLength) {
      throw Unrecoverable("capacity overflow");
    }
  }
  // The stored key and the value lie in different files: start loading
  // the value before the compare waits for the key.
  if (!prepared) PrefetchBytes(rec);
  // A stored key other than `key` is either another key with the same key
  // hash (absent) or a damaged record (an error, never absent).
  if (rec.key_length != key.size() ||
      !state_.keys.Equals(rec.key_offset, AsBytes(key), &key_scratch_)) {
    CheckStoredKeyHash(rec, hash);
    if (!found->located()) found->Locate(rec);
    return std::nullopt;
  }
  state_.values.CheckInFile(rec.value_offset, rec.value_length);
  if (value_scratch_.capacity() > kMaxKeptScratch && rec.value_length <= kMaxKeptScratch) {
    value_scratch_ = {};
  }
  value_scratch_.resize(rec.value_length);
  state_.values.Read(value_scratch_, rec.value_offset);
  if (!found->located()) found->Locate(rec);
  return cache_.Insert(hash, value_scratch_);
}

void Store::CheckStoredKeyHash(const Record& rec, uint64_t hash) {
  state_.keys.CheckInFile(rec.key_offset, rec.key_length);
  key_scratch_.resize(rec.key_length);
  state_.keys.Read(key_scratch_, rec.key_offset);
  if (KeyHash(AsText(key_scratch_)) != hash) {
    throw EngineError(ErrorKind::kInvalidData, kForeignKeyText, state_.keys.path());
  }
}

void Store::FlushData() {
  state_.keys.Flush();
  state_.values.Flush();
}

void Store::SyncData() {
  state_.keys.SyncData();
  state_.values.SyncData();
  state_.table.SyncData();
}

std::vector<std::string> Store::Keys() const {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(state_.live.cardinality()));
  DataWindow window(&state_.keys);
  // A key listed must be one a read finds: each key's hash must lead to an
  // index entry naming its id, or the record is damaged (zeroed, or of
  // another age of the files) and the listing fails rather than list a key
  // that is not stored. The index slots of a batch load together.
  constexpr size_t kBatch = 16;
  uint32_t ids[kBatch];
  uint64_t hashes[kBatch];
  size_t n = 0;
  const auto verify = [&] {
    for (size_t j = 0; j < n; ++j) {
      const std::optional<uint32_t> id = frozen_.IdOf(state_.key_index, hashes[j]);
      if (!id || *id != ids[j]) {
        throw EngineError(ErrorKind::kInvalidData, kForeignKeyText, state_.keys.path());
      }
    }
    n = 0;
  };
  for (uint32_t id : state_.live) {
    const Record rec = state_.table.At(id);
    if (rec.key_length >= kMaxReadLength) throw Unrecoverable("capacity overflow");
    const std::string& key = out.emplace_back(AsText(window.Get(rec.key_offset, rec.key_length)));
    ids[n] = id;
    hashes[n] = KeyHash(key);
    state_.key_index.Prefetch(hashes[n]);
    if (++n == kBatch) verify();
  }
  verify();
  return out;
}

void Store::SetHandOver(bool on) {
  hand_over_ = on;
  state_.keys.SetHandOver(on);
  state_.values.SetHandOver(on);
  state_.table.SetHandOver(on);
}

void Store::Replace(StoreState next) {
  state_ = std::move(next);
  SetHandOver(hand_over_);
  cache_.Clear();
}

}  // namespace vantre
