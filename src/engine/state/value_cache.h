// The value cache: private copies of values keyed by key hash, evicting the
// least recently used entry.
//
// Order of use without touching neighbours: every use (a hit or an insert)
// gives its entry the next 64-bit sequence number and appends a record
// (sequence, hash) to the use queue. A record is current while its
// sequence number is still its entry's; later uses of the same entry make
// the older records stale. Each entry has exactly one current record, and
// the current records appear in the queue in order of use, so the oldest
// current record names the least recently used entry: eviction pops
// records from the front until it meets a current one.
//
// A hit therefore costs one probe of the map plus an append to the queue's
// tail, which stays in the processor's cache, instead of relinking the
// neighbours of a list node (two more cache misses in a large cache).
//
// The queue is bounded by the number of entries: when it holds
// 2 x entries + kQueueSlack records, counting those already popped, it is
// pruned in place to exactly its current records. At least half of the
// records are dropped by each pruning, so a use costs at most two pruning
// probes on average, and the queue never holds more than
// 2 x max(capacity, 1) + kQueueSlack records however long the cache is
// used; the popped prefix is dropped too, or the queue would grow by one
// record per eviction.
//
// Entries are kept small (values of more than a few bytes live on the
// heap), so that the map's slots stay dense in the processor's cache when
// the cache is large. An evicted entry's buffer is kept for the next
// insert, so a miss-heavy workload does not free and allocate a buffer per
// miss.
#ifndef VANTRE_ENGINE_VALUE_CACHE_H_
#define VANTRE_ENGINE_VALUE_CACHE_H_

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/format/coding.h"
#include "engine/state/huge_page_allocator.h"
#include "engine/state/key_index.h"

namespace vantre {

// An owned byte string, kept inline when tiny.
class CachedBytes {
 public:
  static constexpr size_t kInline = 8;
  // Longest value a CachedBytes holds; its lengths are 32-bit.
  static constexpr uint64_t kMaxSize = UINT32_MAX;

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

  // Replaces the bytes with a copy of `value`, reusing the heap buffer when
  // it fits. REQUIRES: value.size() <= kMaxSize. Throws std::bad_alloc
  // with the old bytes unchanged.
  void Assign(Bytes value);
  Bytes view() const { return {heap_ ? heap_.get() : inline_, size_}; }
  const std::byte* heap_data() const { return heap_.get(); }  // nullptr when inline

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
  ValueCache(const ValueCache&) = delete;
  ValueCache& operator=(const ValueCache&) = delete;
  ValueCache(ValueCache&&) = default;

  // A hit makes the entry the most recently used and returns a view of its
  // bytes, valid until the cache next changes; a miss returns nothing and
  // changes nothing. Never throws: when the queue cannot grow to record
  // the use, the entry is dropped and the lookup is a miss.
  std::optional<Bytes> Lookup(uint64_t hash) noexcept;

  // Stores a copy of `value` under `hash`, as its most recently used entry,
  // and returns a view of the copy, valid until the cache next changes. A
  // full cache first evicts its least recently used entry, unless `hash`
  // is already cached.
  //
  // Never throws. If memory for the copy cannot be had, or the value is
  // longer than kMaxSize, `hash` is left with no entry at all (an older
  // value is dropped, never kept in place of the new one) and `value`
  // itself is returned.
  Bytes Insert(uint64_t hash, Bytes value) noexcept;

  // Starts loading the entry for `hash` and its bytes into the processor's
  // cache, changing nothing (not a use). A batch that prefetches all its
  // hashes before looking them up in order overlaps their memory misses
  // instead of waiting for each in turn, with the same results. True if
  // `hash` has an entry now.
  bool Prefetch(uint64_t hash) const noexcept;

  void Remove(uint64_t hash) noexcept;
  // Drops every entry; capacity is unchanged.
  void Clear() noexcept;

  size_t size() const { return map_.size(); }
  uint64_t capacity() const { return capacity_; }

  // Records in the use queue, counting those already popped; bounded by
  // 2 x max(capacity, 1) + kQueueSlack. For tests and benchmarks.
  size_t queue_length() const { return uses_.size(); }
  static constexpr size_t kQueueSlack = 1024;

 private:
  struct Entry {
    uint64_t sequence = 0;  // of the entry's latest use
    CachedBytes value;
  };
  struct Use {
    uint64_t sequence;
    uint64_t hash;
  };
  using Map = boost::unordered_flat_map<uint64_t, Entry, IdentityHash, std::equal_to<uint64_t>,
                                         HugePageAllocator<std::pair<const uint64_t, Entry>>>;

  // Makes room in the queue for one more record: prunes it when it has
  // reached its bound, else grows its storage if full. False if the
  // storage cannot grow (nothing changed then). Defined here, as Touch,
  // so that the hit path inlines them (calls within the module would
  // otherwise go through the procedure linkage table).
  bool ReserveUse() noexcept {
    // 64-bit arithmetic: twice the entry count must not wrap on a 32-bit size_t.
    if (uses_.size() < 2 * static_cast<uint64_t>(map_.size()) + kQueueSlack &&
        uses_.size() < uses_.capacity()) {
      return true;
    }
    return MakeRoom();
  }
  bool MakeRoom() noexcept;
  // Records a use of `entry` under `hash`. REQUIRES: ReserveUse() returned
  // true since the queue last changed.
  void Touch(uint64_t hash, Entry* entry) noexcept {
    entry->sequence = ++sequence_;
    uses_.push_back({entry->sequence, hash});  // cannot reallocate: ReserveUse made room
  }
  void EvictOldest() noexcept;
  void PruneUses() noexcept;

  uint64_t capacity_;
  uint64_t sequence_ = 0;
  Map map_;
  std::vector<Use> uses_;  // in order of use; [0, head_) already popped
  size_t head_ = 0;
  CachedBytes spare_;  // the buffer of the last evicted entry, for reuse
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_VALUE_CACHE_H_
