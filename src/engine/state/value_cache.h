// The value cache: private copies of values keyed by key hash, evicting the
// least recently used entry.
//
// Layout. Each entry is one node: a 24-byte header (key hash, the two links
// of the use list, value length, size class) followed directly by the
// value's bytes, in one chunk of a slab. A hit probes the map (key hash ->
// node handle, 12 bytes a slot, so that a large map stays dense) and then
// reads one contiguous chunk; chunks of 64 bytes and more start on a cache
// line, so a 100-byte value and its header fill exactly two lines. A value
// too long for the largest chunk lives in its own heap buffer, whose
// address the node holds.
//
// Order of use. The nodes form a doubly-linked list through 32-bit handles,
// most recently used at the front: a use moves its node to the front and
// eviction takes the back, so eviction is exactly least recently used with
// no other bookkeeping. A move writes the two neighbours' links; those are
// stores, which do not hold up the hit's reads.
//
// Memory. The slab hands out chunks in size classes. A freed chunk goes on
// its class's free list and is the next one that class hands out, so a
// workload of evictions allocates nothing; new chunks are cut from blocks
// that double from 16 KiB up to 2 MiB, the huge-page size, and stay 2 MiB
// from there on. What the slab holds is thus bounded by the largest number
// of chunks each class has had in use at once, plus a block's tail each;
// Clear gives back every block but the first.
#ifndef VANTRE_ENGINE_VALUE_CACHE_H_
#define VANTRE_ENGINE_VALUE_CACHE_H_

#include <boost/unordered/unordered_flat_set.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "engine/format/coding.h"
#include "engine/state/huge_page_allocator.h"

namespace vantre {

// Chunks of memory in size classes, each addressed by a 32-bit handle: the
// block number in the high bits, the offset in 16-byte units in the low
// bits. Owns its blocks. Not thread-safe.
class ChunkSlab {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr size_t kUnit = 16;
  // Sizes of the classes, in bytes: multiples of 16 up to 64, then of 64.
  static constexpr uint16_t kClassSizes[] = {32,   48,   64,   96,   128,  192,  256,  320,
                                             384,  448,  512,  640,  768,  896,  1024, 1280,
                                             1536, 1792, 2048, 2560, 3072, 3584, 4096};
  static constexpr size_t kClasses = std::size(kClassSizes);
  static constexpr size_t kMaxChunk = 4096;

  ChunkSlab();
  ~ChunkSlab();
  ChunkSlab(ChunkSlab&& other) noexcept;
  ChunkSlab(const ChunkSlab&) = delete;
  ChunkSlab& operator=(const ChunkSlab&) = delete;
  ChunkSlab& operator=(ChunkSlab&&) = delete;

  // The smallest class whose chunks hold `bytes`. REQUIRES: bytes <= kMaxChunk.
  static uint8_t ClassFor(size_t bytes) { return kClassOf16[(bytes + kUnit - 1) / kUnit]; }

  // A chunk of class `cls`, or kNone when no memory can be had.
  uint32_t Allocate(uint8_t cls) noexcept;
  // REQUIRES: `handle` came from Allocate(cls) and is not yet freed.
  void Free(uint32_t handle, uint8_t cls) noexcept;
  std::byte* At(uint32_t handle) const {
    return blocks_[handle >> kOffsetBits] + (handle & kOffsetMask) * kUnit;
  }
  // Frees every chunk at once and gives back every block but the first.
  void Reset() noexcept;
  // Bytes of the blocks held.
  uint64_t bytes() const;

 private:
  static constexpr unsigned kOffsetBits = 17;  // 2 MiB blocks in 16-byte units
  static constexpr uint32_t kOffsetMask = (uint32_t{1} << kOffsetBits) - 1;
  // The handle kNone would be the last unit of this block: it is never made.
  static constexpr size_t kMaxBlocks = (size_t{1} << (32 - kOffsetBits)) - 1;
  static constexpr size_t kFirstBlock = 16 << 10;
  static_assert(kHugePage == kUnit << kOffsetBits);

  // kClassOf16[n]: the smallest class holding n x 16 bytes.
  static constexpr auto kClassOf16 = [] {
    std::array<uint8_t, kMaxChunk / kUnit + 1> t{};
    uint8_t cls = 0;
    for (size_t n = 0; n < t.size(); ++n) {
      while (kClassSizes[cls] < n * kUnit) ++cls;
      t[n] = cls;
    }
    return t;
  }();

  static size_t BlockSize(size_t i) { return i >= 7 ? kHugePage : kFirstBlock << i; }
  bool AddBlock() noexcept;
  void FreeBlock(size_t i) noexcept;

  std::vector<std::byte*> blocks_;  // block i holds BlockSize(i) bytes
  uint32_t free_[kClasses];         // head of each class's free list, or kNone
  size_t used_ = 0;                 // bytes of the last block handed out
};

class ValueCache {
 public:
  // Longest value the cache holds; its lengths are 32-bit.
  static constexpr uint64_t kMaxSize = UINT32_MAX;

  // Holds at most max(capacity, 1) entries.
  explicit ValueCache(uint64_t capacity);
  ~ValueCache();
  ValueCache(ValueCache&& other) noexcept;
  ValueCache(const ValueCache&) = delete;
  ValueCache& operator=(const ValueCache&) = delete;

  // A hit makes the entry the most recently used and returns a view of its
  // bytes, valid until the cache next changes; a miss returns nothing and
  // changes nothing. Never throws.
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
  // Bytes of slab memory held, not counting the map or long values' own
  // buffers. For tests and benchmarks.
  uint64_t slab_bytes() const { return slab_.bytes(); }

 private:
  static constexpr uint32_t kNone = ChunkSlab::kNone;

  // The header of an entry's chunk; the value's bytes follow it, or, for a
  // value longer than kMaxInline, the address of its heap buffer.
  struct Node {
    uint64_t hash;
    uint32_t prev;  // the next more recently used node, or kNone
    uint32_t next;  // the next less recently used node, or kNone
    uint32_t size;  // of the value
    uint8_t cls;    // of the chunk
  };
  static_assert(sizeof(Node) == 24 && alignof(Node) <= ChunkSlab::kUnit);
  static constexpr size_t kMaxInline = ChunkSlab::kMaxChunk - sizeof(Node);

  // The map's slot: the key hash as two halves and the node's handle, 12
  // bytes instead of the 16 of a padded (u64, u32) pair.
  struct Slot {
    uint32_t hash_low;
    uint32_t hash_high;
    mutable uint32_t node;  // not part of the set's key
    uint64_t hash() const { return static_cast<uint64_t>(hash_high) << 32 | hash_low; }
  };
  struct SlotHash {
    using is_transparent = void;
    size_t operator()(uint64_t h) const noexcept { return static_cast<size_t>(h ^ (h >> 32)); }
    size_t operator()(const Slot& s) const noexcept { return (*this)(s.hash()); }
  };
  struct SlotEqual {
    using is_transparent = void;
    bool operator()(const Slot& a, const Slot& b) const noexcept { return a.hash() == b.hash(); }
    bool operator()(uint64_t h, const Slot& s) const noexcept { return h == s.hash(); }
    bool operator()(const Slot& s, uint64_t h) const noexcept { return h == s.hash(); }
  };
  using Map = boost::unordered_flat_set<Slot, SlotHash, SlotEqual, HugePageAllocator<Slot>>;

  Node* NodeAt(uint32_t handle) const { return reinterpret_cast<Node*>(slab_.At(handle)); }
  static std::byte* Payload(Node* node) { return reinterpret_cast<std::byte*>(node) + sizeof(Node); }
  static bool IsLong(const Node* node) { return node->size > kMaxInline; }
  static std::byte* LongBuffer(Node* node) {
    std::byte* p;
    std::memcpy(&p, Payload(node), sizeof p);
    return p;
  }
  static const std::byte* Data(Node* node) { return IsLong(node) ? LongBuffer(node) : Payload(node); }
  static void PrefetchValue(Node* node);

  // Puts the unlinked node `handle` at the front of the use list.
  void LinkFront(uint32_t handle, Node* node) noexcept;
  void Unlink(Node* node) noexcept;
  // A node holding a copy of `value` under `hash`, not linked, or kNone
  // when no memory can be had.
  uint32_t MakeNode(uint64_t hash, Bytes value) noexcept;
  // Frees an unlinked node's chunk and long buffer.
  void FreeNode(uint32_t handle, Node* node) noexcept;
  // Unlinks, unmaps and frees the entry at `it`.
  void Drop(Map::iterator it) noexcept;
  void FreeLongBuffers() noexcept;

  uint64_t capacity_;
  Map map_;
  ChunkSlab slab_;
  uint32_t front_ = kNone;  // most recently used
  uint32_t back_ = kNone;   // least recently used
  size_t long_values_ = 0;  // nodes with a heap buffer
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_VALUE_CACHE_H_
