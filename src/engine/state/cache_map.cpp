#include "engine/state/cache_map.h"

#include <algorithm>
#include <bit>
#include <new>
#include <utility>

namespace vantre {

CacheMap::CacheMap(CacheMap&& other) noexcept
    : slots_(std::exchange(other.slots_, nullptr)),
      mask_(std::exchange(other.mask_, 0)),
      shift_(std::exchange(other.shift_, 63)),
      size_(std::exchange(other.size_, 0)) {}

CacheMap& CacheMap::operator=(CacheMap&& other) noexcept {
  if (this != &other) {
    Release();
    slots_ = std::exchange(other.slots_, nullptr);
    mask_ = std::exchange(other.mask_, 0);
    shift_ = std::exchange(other.shift_, 63);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool CacheMap::Reserve(size_t n) noexcept {
  if (n > SIZE_MAX / 4) return false;
  const size_t want = std::bit_ceil(std::max(kMinSlots, 2 * n));
  return slots_ != nullptr && want <= mask_ + 1 ? true : Rehash(want);
}

bool CacheMap::Insert(uint64_t hash, uint32_t node) noexcept {
  if (2 * (size_ + 1) > (slots_ == nullptr ? 0 : mask_ + 1)) {
    if (size_ > SIZE_MAX / 8 || !Rehash(std::max(kMinSlots, 2 * (mask_ + 1)))) return false;
  }
  Place(hash, node);
  ++size_;
  return true;
}

void CacheMap::Place(uint64_t hash, uint32_t node) noexcept {
  size_t i = Home(hash);
  while (slots_[i].node != kFree) i = (i + 1) & mask_;
  slots_[i] = {static_cast<uint32_t>(hash), static_cast<uint32_t>(hash >> 32), node};
}

void CacheMap::Erase(Slot* slot) noexcept {
  // Each later slot of the run moves into the hole unless its home lies
  // cyclically after the hole and at or before the slot itself.
  size_t hole = static_cast<size_t>(slot - slots_);
  for (size_t j = (hole + 1) & mask_; slots_[j].node != kFree; j = (j + 1) & mask_) {
    const size_t home = Home(slots_[j].hash());
    const bool stays = hole < j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (!stays) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole].node = kFree;
  --size_;
}

void CacheMap::Clear() noexcept {
  if (slots_ == nullptr) return;
  for (size_t i = 0; i <= mask_; ++i) slots_[i].node = kFree;
  size_ = 0;
}

bool CacheMap::Rehash(size_t slots) noexcept {
  Slot* fresh;
  try {
    fresh = HugePageAllocator<Slot>().allocate(slots);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (size_t i = 0; i < slots; ++i) fresh[i].node = kFree;
  Slot* old = std::exchange(slots_, fresh);
  const size_t old_slots = old == nullptr ? 0 : mask_ + 1;
  mask_ = slots - 1;
  shift_ = 64 - std::countr_zero(slots);
  for (size_t i = 0; i < old_slots; ++i) {
    if (old[i].node != kFree) Place(old[i].hash(), old[i].node);
  }
  if (old != nullptr) HugePageAllocator<Slot>().deallocate(old, old_slots);
  return true;
}

void CacheMap::Release() noexcept {
  if (slots_ != nullptr) HugePageAllocator<Slot>().deallocate(slots_, mask_ + 1);
  slots_ = nullptr;
  mask_ = 0;
  shift_ = 63;
  size_ = 0;
}

}  // namespace vantre
