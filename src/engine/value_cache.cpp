#include "engine/value_cache.h"

#include <algorithm>
#include <cstring>

namespace vantre {
namespace {

// Room reserved up front; a larger cache grows as it fills, so that a huge
// capacity never allocates (or aborts) at open.
constexpr uint64_t kMaxReservedEntries = 16384;
// The queue of uses is compacted when it holds more than this many records
// beyond twice the number of entries.
constexpr size_t kQueueSlack = 1024;

}  // namespace

void CachedBytes::Assign(Bytes value) {
  const size_t n = value.size();
  if (n <= kInline) {
    heap_.reset();
    capacity_ = 0;
    if (n > 0) std::memcpy(inline_, value.data(), n);
  } else {
    // Reuse the heap buffer unless it is too small or far too large.
    if (!heap_ || capacity_ < n || capacity_ > 2 * n + 4096) {
      heap_.reset(new std::byte[n]);
      capacity_ = static_cast<uint32_t>(n);
    }
    std::memcpy(heap_.get(), value.data(), n);
  }
  size_ = static_cast<uint32_t>(n);
}

ValueCache::ValueCache(uint64_t capacity) : capacity_(capacity) {
  const auto reserve =
      static_cast<size_t>(std::min(std::max<uint64_t>(capacity, 1), kMaxReservedEntries));
  map_.reserve(reserve);
  uses_.reserve(2 * reserve);
}

void ValueCache::Touch(uint64_t hash, Entry* entry) {
  entry->stamp = clock_;
  entry->sequence = ++sequence_;
  uses_.push_back({entry->sequence, hash});
}

std::optional<Bytes> ValueCache::Lookup(uint64_t hash) {
  auto it = map_.find(hash);
  if (it == map_.end()) return std::nullopt;
  ++clock_;
  Touch(hash, &it->second);
  CompactIfStale();
  return it->second.value.view();
}

void ValueCache::EvictOldest() {
  while (head_ < uses_.size()) {
    const Use use = uses_[head_++];
    auto it = map_.find(use.hash);
    if (it != map_.end() && it->second.sequence == use.sequence) {
      map_.erase(it);
      return;
    }
  }
}

Bytes ValueCache::Insert(uint64_t hash, Bytes value) {
  ++clock_;
  auto it = map_.find(hash);
  if (it == map_.end()) {
    if (!map_.empty() && map_.size() >= capacity_) EvictOldest();
    it = map_.try_emplace(hash).first;
  }
  Entry& entry = it->second;
  entry.value.Assign(value);
  Touch(hash, &entry);
  CompactIfStale();
  return entry.value.view();
}

void ValueCache::Remove(uint64_t hash) {
  // Its records in the queue become stale.
  map_.erase(hash);
}

void ValueCache::Clear() {
  map_.clear();  // keeps its buckets
  uses_.clear();  // keeps its capacity
  head_ = 0;
  clock_ = 0;
}

void ValueCache::CompactIfStale() {
  if (uses_.size() - head_ <= 2 * map_.size() + kQueueSlack) return;
  // Keep only the records that are still current, in order.
  size_t out = 0;
  for (size_t i = head_; i < uses_.size(); ++i) {
    auto it = map_.find(uses_[i].hash);
    if (it != map_.end() && it->second.sequence == uses_[i].sequence) uses_[out++] = uses_[i];
  }
  uses_.resize(out);
  head_ = 0;
}

uint32_t ValueCache::StampOf(uint64_t hash) const {
  auto it = map_.find(hash);
  return it == map_.end() ? 0 : it->second.stamp;
}

}  // namespace vantre
