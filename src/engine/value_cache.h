// The value cache: private copies of values keyed by key hash, evicting the
// least recently used entry.
//
// Each entry carries the last-used stamp taken from the cache clock, which
// advances on every hit and every insert. Entries are also kept on a list
// in stamp order, most recent first, so eviction takes the list's tail in
// constant time: while the clock has not wrapped, stamps are unique and the
// tail is exactly the entry with the smallest stamp; after a wrap it is
// still the truly least recently used one.
#ifndef VANTRE_ENGINE_VALUE_CACHE_H_
#define VANTRE_ENGINE_VALUE_CACHE_H_

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <vector>

#include "engine/coding.h"
#include "engine/key_index.h"

namespace vantre {

class ValueCache {
 public:
  // Holds at most max(capacity, 1) entries.
  explicit ValueCache(uint64_t capacity);

  // A hit stamps the entry and returns a view of its bytes, valid until the
  // cache next changes; a miss returns nullptr and changes nothing.
  const std::vector<std::byte>* Lookup(uint64_t hash);
  // Stores a copy of `value` under `hash` and returns a view of it, valid
  // until the cache next changes. A full cache evicts its least recently
  // used entry first, unless `hash` is already cached.
  const std::vector<std::byte>& Insert(uint64_t hash, Bytes value);
  void Remove(uint64_t hash);
  // Drops every entry and sets the clock to 0; capacity is unchanged.
  void Clear();

  size_t size() const { return index_.size(); }
  uint64_t capacity() const { return capacity_; }
  uint32_t clock() const { return clock_; }
  // Stamp of the entry for `hash`, for tests; 0 if not cached.
  uint32_t StampOf(uint64_t hash) const;

 private:
  static constexpr uint32_t kNil = UINT32_MAX;

  struct Entry {
    uint64_t hash = 0;
    std::vector<std::byte> value;
    uint32_t stamp = 0;
    uint32_t prev = kNil;  // towards the most recent
    uint32_t next = kNil;  // towards the least recent
  };

  void Unlink(uint32_t slot);
  void PushFront(uint32_t slot);
  void Assign(Entry* e, Bytes value);

  uint64_t capacity_;
  uint32_t clock_ = 0;
  boost::unordered_flat_map<uint64_t, uint32_t, IdentityHash> index_;  // hash -> slot
  std::vector<Entry> slots_;
  std::vector<uint32_t> free_;
  uint32_t head_ = kNil;  // most recently used
  uint32_t tail_ = kNil;  // least recently used
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_VALUE_CACHE_H_
