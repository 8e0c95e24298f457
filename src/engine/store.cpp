#include "engine/store.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/error.h"
#include "engine/key_hash.h"
#include "engine/wal_writer.h"

namespace vantre {
namespace {

// Reads of key and value bytes refuse lengths beyond this.
constexpr uint32_t kMaxReadLength = 1u << 31;

}  // namespace

std::string JoinPath(const std::string& dir, const char* name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

Store::Store(std::string dir, File offsets, MemoryMap table, uint32_t record_capacity,
             DataFile keys, DataFile values, uint64_t cache_capacity)
    : record_capacity_(record_capacity),
      offsets_(std::move(offsets)),
      table_(std::move(table)),
      keys_(std::move(keys)),
      values_(std::move(values)),
      cache_(cache_capacity),
      dir_(std::move(dir)) {}

std::string Store::PathOf(const char* name) const { return JoinPath(dir_, name); }

size_t Store::RecordOffset(uint32_t id) const {
  const uint64_t end = static_cast<uint64_t>(id) * kRecordSize + kRecordSize;
  if (end > table_.size()) OutOfRange(end, table_.size());
  return static_cast<size_t>(end - kRecordSize);
}

Record Store::RecordAt(uint32_t id) const { return DecodeRecord(table_.data() + RecordOffset(id)); }

void Store::StoreRecord(uint32_t id, const Record& r) {
  EncodeRecord(table_.data() + RecordOffset(id), r);
}

void Store::Grow() {
  if (record_count_ < record_capacity_) return;
  uint64_t capacity = std::max<uint64_t>(record_capacity_, 1);
  while (capacity <= record_count_) capacity *= 2;
  if (capacity > std::numeric_limits<uint32_t>::max()) throw Unrecoverable("capacity overflow");
  try {
    // The old map's pages must be in the file before the file changes
    // length and is mapped anew.
    table_.SyncAll();
    offsets_.Truncate(capacity * kRecordSize);
    MemoryMap grown = MemoryMap::Map(offsets_, capacity * kRecordSize);
    grown.AdviseRandom();
    table_ = std::move(grown);
  } catch (const Error& e) {
    Unwrap(e);
  }
  record_capacity_ = static_cast<uint32_t>(capacity);
}

void Store::Put(std::string_view key, Bytes val, WalWriter* wal) {
  if (key.size() > std::numeric_limits<uint32_t>::max() ||
      val.size() > std::numeric_limits<uint32_t>::max()) {
    throw Unrecoverable("capacity overflow");
  }
  if (record_count_ == std::numeric_limits<uint32_t>::max()) {
    throw Unrecoverable("capacity overflow");
  }
  const uint64_t hash = KeyHash(key);
  Grow();
  const uint32_t id = record_count_;
  RecordOffset(id);  // the record's place is checked before anything is written

  // The fallible work first: key and value bytes, then the log record. A
  // failure undoes the appends, so the Store and the log are as before.
  const DataFile::Mark key_mark = keys_.mark();
  const DataFile::Mark value_mark = values_.mark();
  Record rec;
  try {
    rec.key_offset = keys_.Append(AsBytes(key));
    rec.value_offset = values_.Append(val);
    if (wal != nullptr) wal->AppendPut(key, val);
  } catch (const Error& e) {
    keys_.Rollback(key_mark);
    values_.Rollback(value_mark);
    Unwrap(e);
  }
  rec.key_length = static_cast<uint32_t>(key.size());
  rec.value_length = static_cast<uint32_t>(val.size());

  StoreRecord(id, rec);
  record_count_ = id + 1;
  if (uint32_t* current = key_index_.find_id(hash)) {
    const uint32_t old = *current;
    live_.remove(old);
    dead_.add(old);
    *current = id;
  } else {
    key_index_.emplace(hash, id);
  }
  live_.add(id);
  cache_.Insert(hash, val);
}

bool Store::Remove(std::string_view key) {
  if (key_index_.empty()) return false;
  const uint64_t hash = KeyHash(key);
  const uint32_t* found = key_index_.find_id(hash);
  if (found == nullptr) return false;
  const uint32_t id = *found;
  live_.remove(id);
  dead_.add(id);
  key_index_.erase(hash);
  cache_.Remove(hash);
  return true;
}

std::optional<Bytes> Store::Read(std::string_view key) {
  const uint64_t hash = KeyHash(key);
  if (cache_.size() > 0) {
    if (auto hit = cache_.Lookup(hash)) return hit;
  }
  if (key_index_.empty()) return std::nullopt;
  const uint32_t* found = key_index_.find_id(hash);
  if (found == nullptr) return std::nullopt;
  const uint32_t id = *found;
  if (!live_.contains(id)) return std::nullopt;
  const Record rec = RecordAt(id);
  if (rec.key_length >= kMaxReadLength || rec.value_length >= kMaxReadLength) {
    throw Unrecoverable("capacity overflow");
  }
  try {
    const Bytes stored = keys_.View(rec.key_offset, rec.key_length, &key_scratch_);
    if (stored.size() != key.size() ||
        (!key.empty() && std::memcmp(stored.data(), key.data(), key.size()) != 0)) {
      return std::nullopt;  // another key with the same key hash
    }
    const Bytes value = values_.View(rec.value_offset, rec.value_length, &value_scratch_);
    return cache_.Insert(hash, value);
  } catch (const Error& e) {
    Unwrap(e);
  }
}

void Store::FlushData() {
  keys_.Flush();
  values_.Flush();
}

std::vector<std::string> Store::Keys() const {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(live_.cardinality()));
  DataWindow window(&keys_);
  try {
    for (uint32_t id : live_) {
      const Record rec = RecordAt(id);
      if (rec.key_length >= kMaxReadLength) throw Unrecoverable("capacity overflow");
      out.emplace_back(AsText(window.Get(rec.key_offset, rec.key_length)));
    }
  } catch (const Error& e) {
    Unwrap(e);
  }
  return out;
}

}  // namespace vantre
