// The value cache's map: key hash to the handle of the entry's node.
//
// One flat array of 12-byte slots (the hash as two halves and the handle),
// open addressing with linear probing from a home slot derived from the
// hash, at most half full, so that a lookup reads its home slot
// and rarely anything beyond that line. An erasure shifts the displaced
// slots that follow back by one (no tombstones). The home slot is a
// function of the hash alone, so the slot an operation will read can be
// loaded before it runs (Prefetch): the cache does so for the least
// recently used entry, whose slot nothing has touched since that entry was
// last used, one eviction ahead of evicting it.
#ifndef VANTRE_ENGINE_CACHE_MAP_H_
#define VANTRE_ENGINE_CACHE_MAP_H_

#include <cstddef>
#include <cstdint>

#include "engine/state/huge_page_allocator.h"
#include "engine/util/prefetch.h"

namespace vantre {

class CacheMap {
 public:
  static constexpr uint32_t kFree = UINT32_MAX;  // the handle of a free slot

  struct Slot {
    uint32_t hash_low;
    uint32_t hash_high;
    uint32_t node;

    uint64_t hash() const { return static_cast<uint64_t>(hash_high) << 32 | hash_low; }
  };
  static_assert(sizeof(Slot) == 12);

  CacheMap() = default;
  CacheMap(CacheMap&& other) noexcept;
  CacheMap& operator=(CacheMap&& other) noexcept;
  CacheMap(const CacheMap&) = delete;
  CacheMap& operator=(const CacheMap&) = delete;
  ~CacheMap() { Release(); }

  size_t size() const { return size_; }
  // Room for `n` entries without growing; false if it cannot be had.
  bool Reserve(size_t n) noexcept;

  // The slot of `hash`, or nullptr. Valid until the map next changes.
  Slot* Find(uint64_t hash) const noexcept {
    if (size_ == 0) return nullptr;
    for (size_t i = Home(hash);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.node == kFree) return nullptr;
      if (s.hash() == hash) return &s;
    }
  }
  // Adds hash -> node. REQUIRES: `hash` is absent, node != kFree. False,
  // with nothing changed, if the map had to grow and could not.
  bool Insert(uint64_t hash, uint32_t node) noexcept;
  // Removes the slot Find returned.
  void Erase(Slot* slot) noexcept;
  // Starts loading the slot a lookup of `hash` reads first.
  void Prefetch(uint64_t hash) const noexcept {
    if (slots_ != nullptr) PrefetchLine(slots_ + Home(hash));
  }
  // Removes every entry, keeping the slots.
  void Clear() noexcept;

 private:
  static constexpr size_t kMinSlots = 16;

  // The high bits of the hash times the golden ratio: every bit of the
  // hash moves the home slot, so hashes that differ only in their low bits
  // (as a test's may) still spread.
  size_t Home(uint64_t hash) const {
    return static_cast<size_t>((hash * 0x9E3779B97F4A7C15u) >> shift_);
  }
  // Moves the entries into `slots` free slots (a power of two).
  bool Rehash(size_t slots) noexcept;
  void Place(uint64_t hash, uint32_t node) noexcept;
  void Release() noexcept;

  Slot* slots_ = nullptr;
  size_t mask_ = 0;  // slots - 1
  int shift_ = 63;   // 64 - log2(slots)
  size_t size_ = 0;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_CACHE_MAP_H_
