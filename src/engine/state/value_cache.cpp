#include "engine/state/value_cache.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace vantre {
namespace {

// Room reserved up front; a larger cache grows as it fills, so that a huge
// capacity never allocates (or aborts) at open.
constexpr uint64_t kMaxReservedEntries = 16384;

}  // namespace

void CachedBytes::Assign(Bytes value) {
  const size_t n = value.size();
  if (n <= kInline) {
    heap_.reset();
    capacity_ = 0;
    if (n > 0) std::memcpy(inline_, value.data(), n);
  } else {
    // Reuse the heap buffer unless it is too small or far too large. The
    // new buffer is allocated before the old one is let go, so a failure
    // leaves the old bytes.
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
  uses_.reserve(2 * reserve + kQueueSlack);
}

bool ValueCache::MakeRoom() noexcept {
  if (uses_.size() >= 2 * static_cast<uint64_t>(map_.size()) + kQueueSlack) PruneUses();
  if (uses_.size() < uses_.capacity()) return true;
  try {
    uses_.reserve(std::max<size_t>(2 * uses_.capacity(), 64));
  } catch (const std::exception&) {  // bad_alloc, or length_error beyond max_size()
    return false;
  }
  return true;
}

std::optional<Bytes> ValueCache::Lookup(uint64_t hash) noexcept {
  auto it = map_.find(hash);
  if (it == map_.end()) return std::nullopt;
  // The caller copies the bytes next: start loading them now, so that the
  // miss overlaps the bookkeeping here and the caller's allocation.
  if (const std::byte* p = it->second.value.heap_data()) {
    __builtin_prefetch(p);
    const size_t n = it->second.value.view().size();
    if (n > 64) __builtin_prefetch(p + n - 1);
  }
  // ReserveUse never changes the map, so `it` stays valid.
  if (!ReserveUse()) {
    // Without a current record the entry could never be evicted.
    map_.erase(it);
    return std::nullopt;
  }
  Touch(hash, &it->second);
  return it->second.value.view();
}

void ValueCache::EvictOldest() noexcept {
  while (head_ < uses_.size()) {
    const Use use = uses_[head_++];
    auto it = map_.find(use.hash);
    if (it != map_.end() && it->second.sequence == use.sequence) {
      spare_ = std::move(it->second.value);
      map_.erase(it);
      return;
    }
  }
}

Bytes ValueCache::Insert(uint64_t hash, Bytes value) noexcept {
  auto it = map_.find(hash);
  if (value.size() > CachedBytes::kMaxSize || !ReserveUse()) {
    if (it != map_.end()) map_.erase(it);  // its old value must not be served
    return value;
  }
  if (it != map_.end()) {
    try {
      it->second.value.Assign(value);
    } catch (const std::exception&) {
      map_.erase(it);
      return value;
    }
    Touch(hash, &it->second);
    return it->second.value.view();
  }

  if (map_.size() >= std::max<uint64_t>(capacity_, 1)) EvictOldest();
  // Copy first, then make the entry: a failure in either leaves no entry.
  CachedBytes copy = std::move(spare_);
  try {
    copy.Assign(value);
    it = map_.try_emplace(hash).first;
  } catch (const std::exception&) {
    return value;
  }
  it->second.value = std::move(copy);
  Touch(hash, &it->second);
  return it->second.value.view();
}

bool ValueCache::Prefetch(uint64_t hash) const noexcept {
  // The probe itself brings the map's group and slot in; the value's heap
  // bytes (their first and last line) are the next miss a lookup would
  // wait for.
  auto it = map_.find(hash);
  if (it == map_.end()) return false;
  if (const std::byte* p = it->second.value.heap_data()) {
    __builtin_prefetch(p);
    const size_t n = it->second.value.view().size();
    if (n > 64) __builtin_prefetch(p + n - 1);
  }
  return true;
}

void ValueCache::Remove(uint64_t hash) noexcept {
  // Its record in the queue becomes stale.
  map_.erase(hash);
}

void ValueCache::Clear() noexcept {
  map_.clear();  // keeps its buckets
  uses_.clear();  // keeps its storage
  head_ = 0;
  spare_ = CachedBytes();
}

void ValueCache::PruneUses() noexcept {
  // Keep only the current records, in order. Each probe is independent of
  // the one before, so the processor overlaps their cache misses.
  size_t out = 0;
  for (size_t i = head_; i < uses_.size(); ++i) {
    const Use use = uses_[i];
    auto it = map_.find(use.hash);
    if (it != map_.end() && it->second.sequence == use.sequence) uses_[out++] = use;
  }
  uses_.resize(out);  // shrinking: no allocation
  head_ = 0;
}

}  // namespace vantre
