// The value cache: private copies of values keyed by key hash, evicting the
// least recently used entry.
//
// Each entry carries the last-used stamp taken from the cache clock, which
// advances on every hit and every insert. Eviction must take the entry
// with the smallest stamp, and must not scan: besides the stamp, every use
// gets a 64-bit sequence number, and a queue records (sequence, hash) in
// order of use. The oldest record whose sequence number is still its
// entry's current one names the least recently used entry: while the clock
// has not wrapped that is exactly the entry with the smallest stamp, and
// after a wrap it is still the truly least recently used one. Records of
// later uses make older ones stale; the queue drops them as eviction passes
// over them and compacts itself when stale records outnumber live entries,
// so every operation costs constant time on average.
//
// A use touches only its own entry and the queue's tail, never neighbouring
// entries, so a hit in a large cache costs few cache misses. Entries are
// kept small (values of more than a few bytes live on the heap): a larger
// entry made every insert into a large cache markedly slower.
#ifndef VANTRE_ENGINE_VALUE_CACHE_H_
#define VANTRE_ENGINE_VALUE_CACHE_H_

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/coding.h"
#include "engine/key_index.h"

namespace vantre {

// An owned byte string, kept inline when tiny.
class CachedBytes {
 public:
  static constexpr size_t kInline = 8;

  CachedBytes() = default;
  CachedBytes(const CachedBytes&) = delete;
  CachedBytes& operator=(const CachedBytes&) = delete;
  CachedBytes(CachedBytes&& other) noexcept { MoveFrom(&other); }
  CachedBytes& operator=(CachedBytes&& other) noexcept {
    if (this != &other) {
      heap_.reset();
      MoveFrom(&other);
    }
    return *this;
  }

  void Assign(Bytes value);
  Bytes view() const { return {heap_ ? heap_.get() : inline_, size_}; }

 private:
  void MoveFrom(CachedBytes* other) {
    size_ = other->size_;
    capacity_ = other->capacity_;
    heap_ = std::move(other->heap_);
    if (!heap_ && size_ > 0) std::memcpy(inline_, other->inline_, size_);
    other->size_ = 0;
    other->capacity_ = 0;
  }

  uint32_t size_ = 0;
  uint32_t capacity_ = 0;  // of heap_
  std::unique_ptr<std::byte[]> heap_;
  std::byte inline_[kInline];
};

class ValueCache {
 public:
  // Holds at most max(capacity, 1) entries.
  explicit ValueCache(uint64_t capacity);

  // A hit stamps the entry and returns a view of its bytes, valid until the
  // cache next changes; a miss returns nothing and changes nothing.
  std::optional<Bytes> Lookup(uint64_t hash);
  // Stores a copy of `value` under `hash` and returns a view of it, valid
  // until the cache next changes. A full cache evicts its least recently
  // used entry first, unless `hash` is already cached.
  Bytes Insert(uint64_t hash, Bytes value);
  void Remove(uint64_t hash);
  // Drops every entry and sets the clock to 0; capacity is unchanged.
  void Clear();

  size_t size() const { return map_.size(); }
  uint64_t capacity() const { return capacity_; }
  uint32_t clock() const { return clock_; }
  // Stamp of the entry for `hash`, for tests; 0 if not cached.
  uint32_t StampOf(uint64_t hash) const;

 private:
  struct Entry {
    uint64_t sequence = 0;  // of the entry's latest use
    uint32_t stamp = 0;
    CachedBytes value;
  };
  struct Use {
    uint64_t sequence;
    uint64_t hash;
  };

  // Records a use of `entry` (under `hash`): new stamp and sequence number.
  void Touch(uint64_t hash, Entry* entry);
  void EvictOldest();
  void CompactIfStale();

  uint64_t capacity_;
  uint32_t clock_ = 0;
  uint64_t sequence_ = 0;
  boost::unordered_flat_map<uint64_t, Entry, IdentityHash> map_;
  std::vector<Use> uses_;  // in order of use; [0, head_) already consumed
  size_t head_ = 0;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_VALUE_CACHE_H_
