#include "engine/state/value_cache.h"

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

#include "engine/util/prefetch.h"

namespace vantre {
namespace {

// Room reserved in the map up front; a larger cache grows as it fills, so
// that a huge capacity never allocates (or aborts) at open.
constexpr uint64_t kMaxReservedEntries = 16384;

constexpr std::align_val_t kLineAlign{64};

}  // namespace

// ---------------------------------------------------------------------------
// ChunkSlab

ChunkSlab::ChunkSlab() { std::fill(std::begin(free_), std::end(free_), kNone); }

ChunkSlab::~ChunkSlab() {
  for (size_t i = 0; i < blocks_.size(); ++i) FreeBlock(i);
}

ChunkSlab::ChunkSlab(ChunkSlab&& other) noexcept
    : blocks_(std::move(other.blocks_)), used_(std::exchange(other.used_, 0)) {
  std::copy(std::begin(other.free_), std::end(other.free_), std::begin(free_));
  std::fill(std::begin(other.free_), std::end(other.free_), kNone);
  other.blocks_.clear();
}

uint32_t ChunkSlab::Allocate(uint8_t cls) noexcept {
  uint32_t handle = free_[cls];
  if (handle != kNone) {
    std::memcpy(&free_[cls], At(handle), sizeof(uint32_t));
    return handle;
  }
  // Chunks of 64 bytes and more start on a cache line; smaller ones on
  // the largest power of two dividing their size.
  const size_t size = kClassSizes[cls];
  const size_t align = std::min<size_t>(size & (~size + 1), 64);
  size_t start = (used_ + align - 1) & ~(align - 1);
  if (blocks_.empty() || start + size > BlockSize(blocks_.size() - 1)) {
    if (!AddBlock()) return kNone;  // the old block's tail stays unused
    start = 0;
  }
  used_ = start + size;
  return static_cast<uint32_t>((blocks_.size() - 1) << kOffsetBits | start / kUnit);
}

void ChunkSlab::Free(uint32_t handle, uint8_t cls) noexcept {
  std::memcpy(At(handle), &free_[cls], sizeof(uint32_t));
  free_[cls] = handle;
}

void ChunkSlab::Reset() noexcept {
  for (size_t i = 1; i < blocks_.size(); ++i) FreeBlock(i);
  if (blocks_.size() > 1) blocks_.resize(1);  // shrinking: no allocation
  used_ = 0;
  std::fill(std::begin(free_), std::end(free_), kNone);
}

uint64_t ChunkSlab::bytes() const {
  uint64_t total = 0;
  for (size_t i = 0; i < blocks_.size(); ++i) total += BlockSize(i);
  return total;
}

bool ChunkSlab::AddBlock() noexcept {
  const size_t i = blocks_.size();
  if (i >= kMaxBlocks) return false;
  const size_t size = BlockSize(i);
  std::byte* block = nullptr;
  try {
    blocks_.reserve(i + 1);
    block = size < kHugePage ? static_cast<std::byte*>(::operator new(size, kLineAlign))
                             : static_cast<std::byte*>(AllocateHugePageBlock(size));
  } catch (const std::exception&) {  // bad_alloc, or length_error beyond max_size()
    return false;
  }
  blocks_.push_back(block);  // cannot reallocate: reserved
  used_ = 0;
  return true;
}

void ChunkSlab::FreeBlock(size_t i) noexcept {
  const size_t size = BlockSize(i);
  if (size < kHugePage) {
    ::operator delete(blocks_[i], kLineAlign);
  } else {
    FreeHugePageBlock(blocks_[i], size);
  }
}

// ---------------------------------------------------------------------------
// ValueCache

ValueCache::ValueCache(uint64_t capacity) : capacity_(capacity) {
  map_.reserve(
      static_cast<size_t>(std::min(std::max<uint64_t>(capacity, 1), kMaxReservedEntries)));
}

ValueCache::~ValueCache() { FreeLongBuffers(); }

ValueCache::ValueCache(ValueCache&& other) noexcept
    : capacity_(other.capacity_),
      map_(std::move(other.map_)),
      slab_(std::move(other.slab_)),
      front_(std::exchange(other.front_, kNone)),
      back_(std::exchange(other.back_, kNone)),
      long_values_(std::exchange(other.long_values_, 0)) {
  other.map_.clear();
}

void ValueCache::PrefetchValue(Node* node) {
  if (!IsLong(node)) return;
  const std::byte* p = LongBuffer(node);
  PrefetchLine(p);
  PrefetchLine(p + node->size - 1);
}

void ValueCache::Unlink(Node* node) noexcept {
  if (node->prev != kNone) {
    NodeAt(node->prev)->next = node->next;
  } else {
    front_ = node->next;
  }
  if (node->next != kNone) {
    NodeAt(node->next)->prev = node->prev;
  } else {
    back_ = node->prev;
  }
}

void ValueCache::LinkFront(uint32_t handle, Node* node) noexcept {
  node->prev = kNone;
  node->next = front_;
  if (front_ != kNone) {
    NodeAt(front_)->prev = handle;
  } else {
    back_ = handle;
  }
  front_ = handle;
}

std::optional<Bytes> ValueCache::Lookup(uint64_t hash) noexcept {
  auto it = map_.find(hash);
  if (it == map_.end()) return std::nullopt;
  const uint32_t handle = it->node;
  Node* node = NodeAt(handle);
  // The caller copies a long value's bytes next: start loading them now,
  // so that the miss overlaps the relinking.
  PrefetchValue(node);
  if (handle != front_) {
    Unlink(node);
    LinkFront(handle, node);
  }
  return Bytes(Data(node), node->size);
}

uint32_t ValueCache::MakeNode(uint64_t hash, Bytes value) noexcept {
  const size_t n = value.size();
  const bool is_long = n > kMaxInline;
  std::byte* buffer = nullptr;
  if (is_long) {
    buffer = new (std::nothrow) std::byte[n];
    if (buffer == nullptr) return kNone;
  }
  const uint8_t cls = ChunkSlab::ClassFor(sizeof(Node) + (is_long ? sizeof buffer : n));
  const uint32_t handle = slab_.Allocate(cls);
  if (handle == kNone) {
    delete[] buffer;
    return kNone;
  }
  Node* node = new (slab_.At(handle)) Node{hash, kNone, kNone, static_cast<uint32_t>(n), cls};
  if (is_long) {
    std::memcpy(buffer, value.data(), n);
    std::memcpy(Payload(node), &buffer, sizeof buffer);
    ++long_values_;
  } else if (n > 0) {
    std::memcpy(Payload(node), value.data(), n);
  }
  return handle;
}

void ValueCache::FreeNode(uint32_t handle, Node* node) noexcept {
  if (IsLong(node)) {
    delete[] LongBuffer(node);
    --long_values_;
  }
  slab_.Free(handle, node->cls);
}

void ValueCache::Drop(Map::iterator it) noexcept {
  const uint32_t handle = it->node;
  Node* node = NodeAt(handle);
  Unlink(node);
  map_.erase(it);
  FreeNode(handle, node);
}

Bytes ValueCache::Insert(uint64_t hash, Bytes value) noexcept {
  auto it = map_.find(hash);
  if (value.size() > kMaxSize) {
    if (it != map_.end()) Drop(it);  // its old value must not be served
    return value;
  }
  const size_t n = value.size();
  if (it != map_.end()) {
    const uint32_t old_handle = it->node;
    Node* old = NodeAt(old_handle);
    // In place when the new bytes fit the same chunk, or the same long buffer.
    const bool same_chunk =
        !IsLong(old) && n <= kMaxInline && ChunkSlab::ClassFor(sizeof(Node) + n) == old->cls;
    if (same_chunk || (IsLong(old) && n == old->size)) {
      // memmove: `value` may be a view of these very bytes.
      if (n > 0) std::memmove(IsLong(old) ? LongBuffer(old) : Payload(old), value.data(), n);
      old->size = static_cast<uint32_t>(n);
      if (old_handle != front_) {
        Unlink(old);
        LinkFront(old_handle, old);
      }
      return Bytes(Data(old), n);
    }
    const uint32_t handle = MakeNode(hash, value);
    if (handle == kNone) {
      Drop(it);
      return value;
    }
    Unlink(old);
    FreeNode(old_handle, old);
    it->node = handle;
    Node* node = NodeAt(handle);
    LinkFront(handle, node);
    return Bytes(Data(node), n);
  }

  // The copy is made before the eviction: `value` may be a view of the
  // evicted entry's bytes. The evicted chunk is the next one its class
  // hands out again.
  const uint32_t handle = MakeNode(hash, value);
  if (handle == kNone) return value;
  Node* node = NodeAt(handle);
  if (map_.size() >= std::max<uint64_t>(capacity_, 1)) {
    auto victim = map_.find(NodeAt(back_)->hash);  // the least recently used
    if (victim != map_.end()) Drop(victim);
  }
  try {
    map_.insert(Slot{static_cast<uint32_t>(hash), static_cast<uint32_t>(hash >> 32), handle});
  } catch (const std::exception&) {  // the map could not grow: nothing changed
    FreeNode(handle, node);
    return value;
  }
  LinkFront(handle, node);
  return Bytes(Data(node), n);
}

bool ValueCache::Prefetch(uint64_t hash) const noexcept {
  // The probe itself brings the map's group and slot in; the node is the
  // next miss a lookup would wait for: its header line and the next (a
  // 100-byte value ends there).
  auto it = map_.find(hash);
  if (it == map_.end()) return false;
  const std::byte* p = slab_.At(it->node);
  PrefetchLine(p);
  PrefetchLine(p + 64);
  return true;
}

void ValueCache::Remove(uint64_t hash) noexcept {
  auto it = map_.find(hash);
  if (it != map_.end()) Drop(it);
}

void ValueCache::FreeLongBuffers() noexcept {
  for (uint32_t handle = front_; long_values_ > 0 && handle != kNone;) {
    Node* node = NodeAt(handle);
    handle = node->next;
    if (IsLong(node)) {
      delete[] LongBuffer(node);
      --long_values_;
    }
  }
}

void ValueCache::Clear() noexcept {
  FreeLongBuffers();
  map_.clear();  // keeps its buckets
  slab_.Reset();
  front_ = kNone;
  back_ = kNone;
}

}  // namespace vantre
