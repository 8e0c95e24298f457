#include "engine/value_cache.h"

#include <algorithm>

namespace vantre {
namespace {

// Room reserved up front; a larger cache grows as it fills, so that a huge
// capacity never allocates (or aborts) at open.
constexpr uint64_t kMaxReservedEntries = 16384;

}  // namespace

ValueCache::ValueCache(uint64_t capacity) : capacity_(capacity) {
  size_t reserve = static_cast<size_t>(std::min(std::max<uint64_t>(capacity, 1), kMaxReservedEntries));
  index_.reserve(reserve);
  slots_.reserve(reserve);
}

void ValueCache::Unlink(uint32_t slot) {
  Entry& e = slots_[slot];
  if (e.prev != kNil) slots_[e.prev].next = e.next; else head_ = e.next;
  if (e.next != kNil) slots_[e.next].prev = e.prev; else tail_ = e.prev;
  e.prev = e.next = kNil;
}

void ValueCache::PushFront(uint32_t slot) {
  Entry& e = slots_[slot];
  e.prev = kNil;
  e.next = head_;
  if (head_ != kNil) slots_[head_].prev = slot; else tail_ = slot;
  head_ = slot;
}

void ValueCache::Assign(Entry* e, Bytes value) {
  // Reuse the slot's buffer unless it is far larger than needed.
  if (e->value.capacity() > 2 * value.size() + 4096) {
    std::vector<std::byte>().swap(e->value);
  }
  e->value.assign(value.begin(), value.end());
}

const std::vector<std::byte>* ValueCache::Lookup(uint64_t hash) {
  auto it = index_.find(hash);
  if (it == index_.end()) return nullptr;
  uint32_t slot = it->second;
  slots_[slot].stamp = ++clock_;
  if (head_ != slot) {
    Unlink(slot);
    PushFront(slot);
  }
  return &slots_[slot].value;
}

const std::vector<std::byte>& ValueCache::Insert(uint64_t hash, Bytes value) {
  const uint32_t stamp = ++clock_;
  auto it = index_.find(hash);
  uint32_t slot;
  if (it != index_.end()) {
    slot = it->second;
    Unlink(slot);
  } else {
    if (!index_.empty() && index_.size() >= capacity_) {
      // Evict the least recently used entry and reuse its slot.
      slot = tail_;
      Unlink(slot);
      index_.erase(slots_[slot].hash);
    } else if (!free_.empty()) {
      slot = free_.back();
      free_.pop_back();
    } else {
      slot = static_cast<uint32_t>(slots_.size());
      slots_.emplace_back();
    }
    slots_[slot].hash = hash;
    index_.emplace(hash, slot);
  }
  Entry& e = slots_[slot];
  Assign(&e, value);
  e.stamp = stamp;
  PushFront(slot);
  return e.value;
}

void ValueCache::Remove(uint64_t hash) {
  auto it = index_.find(hash);
  if (it == index_.end()) return;
  uint32_t slot = it->second;
  index_.erase(it);
  Unlink(slot);
  std::vector<std::byte>().swap(slots_[slot].value);
  free_.push_back(slot);
}

void ValueCache::Clear() {
  index_.clear();  // keeps its buckets
  slots_.clear();  // keeps its capacity
  free_.clear();
  head_ = tail_ = kNil;
  clock_ = 0;
}

uint32_t ValueCache::StampOf(uint64_t hash) const {
  auto it = index_.find(hash);
  return it == index_.end() ? 0 : slots_[it->second].stamp;
}

}  // namespace vantre
