#include "engine/state/key_index.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace vantre {
namespace {

// Home slots are the high half of a hash scaled by the capacity, which
// must therefore fit 32 bits; the slots must also fit the address space.
constexpr size_t kMaxCapacity =
    std::min<uint64_t>(uint64_t{1} << 32,
                       std::numeric_limits<size_t>::max() / 2 / sizeof(KeyIndex::Entry));

size_t MaxSize(size_t capacity) { return capacity - capacity / 5; }

// The smallest capacity of the sequence 16, 24, 32, 48, 64, ... that holds
// `n` entries at no more than 80%.
size_t CapacityFor(size_t n) {
  size_t c = 16;
  bool power_of_two = true;
  while (MaxSize(c) < n) {
    if (c > kMaxCapacity / 2) throw std::bad_alloc();
    c = power_of_two ? c + c / 2 : c / 3 * 4;
    power_of_two = !power_of_two;
  }
  return c;
}

// Spare slots after the home slots: enough for the run that spills over
// the end of a table at 80% (it grows more when a run needs it).
size_t SpareFor(size_t capacity) { return 32 + capacity / 64; }

KeyIndex::Entry* AllocateFree(size_t slots) {
  KeyIndex::Entry* t = HugePageAllocator<KeyIndex::Entry>().allocate(slots);
  std::memset(static_cast<void*>(t), 0xFF, slots * sizeof(KeyIndex::Entry));
  return t;
}

}  // namespace

KeyIndex::KeyIndex(const KeyIndex& other)
    : capacity_(other.capacity_),
      max_size_(other.max_size_),
      size_(other.size_),
      filter_(other.filter_) {
  if (other.slots_ == 0) return;
  table_ = HugePageAllocator<Entry>().allocate(other.slots_);
  slots_ = other.slots_;
  std::memcpy(static_cast<void*>(table_), other.table_, slots_ * sizeof(Entry));
}

void KeyIndex::Release() noexcept {
  if (table_ != nullptr) HugePageAllocator<Entry>().deallocate(table_, slots_);
  table_ = nullptr;
  slots_ = capacity_ = max_size_ = size_ = 0;
  filter_.clear();
}

void KeyIndex::reserve(size_t n) {
  if (n > max_size_) {
    const size_t capacity = CapacityFor(n);
    Rehash(capacity, SpareFor(capacity));
  }
}

void KeyIndex::ReserveOneMore() {
  // An insertion moves entries up to the first free slot at or after its
  // own: with the last two slots free it cannot reach the last one.
  if (slots_ != 0 && size_ < max_size_ && Free(table_[slots_ - 2])) return;
  if (slots_ == 0 || size_ >= max_size_) {
    const size_t capacity = CapacityFor(size_ + 1);
    Rehash(capacity, SpareFor(capacity));
  } else {
    Rehash(capacity_, 2 * (slots_ - capacity_));
  }
}

void KeyIndex::clear() {
  if (slots_ != 0) std::memset(static_cast<void*>(table_), 0xFF, slots_ * sizeof(Entry));
  std::fill(filter_.begin(), filter_.end(), 0);
  size_ = 0;
}

void KeyIndex::Rehash(size_t capacity, size_t spare) {
  for (;;) {
    if (spare > kMaxCapacity) throw std::bad_alloc();
    const size_t slots = capacity + spare;
    std::vector<uint64_t> filter((kFinePerHome * capacity + 63) / 64, 0);
    Entry* t = AllocateFree(slots);
    // The entries are in hash order and so are their new homes: each goes
    // to its home or just after the one before it.
    size_t next = 0;
    bool fits = true;
    for (const Entry& e : *this) {
      const size_t fine = FineOf(e.hash(), capacity);
      const size_t at = std::max(next, fine / kFinePerHome);
      if (at >= slots - 2) {
        fits = false;
        break;
      }
      SetBit(filter, fine);
      t[at] = e;
      next = at + 1;
    }
    if (!fits) {
      HugePageAllocator<Entry>().deallocate(t, slots);
      spare *= 2;
      continue;
    }
    const size_t size = size_;
    Release();
    table_ = t;
    slots_ = slots;
    capacity_ = capacity;
    max_size_ = MaxSize(capacity);
    size_ = size;
    filter_ = std::move(filter);
    return;
  }
}

std::pair<KeyIndex::Entry*, bool> KeyIndex::Insert(uint64_t hash, uint32_t id) {
  ReserveOneMore();
  // Slot slots_ - 2 is free, so both scans end before the last slot.
  size_t i = Home(hash);
  for (; i < slots_ - 1; ++i) {
    Entry& e = table_[i];
    if (Free(e)) break;
    const uint64_t h = e.hash();
    if (h == hash) return {&e, false};
    if (h > hash) break;
  }
  size_t j = i;
  while (j < slots_ - 1 && !Free(table_[j])) ++j;
  std::memmove(static_cast<void*>(table_ + i + 1), table_ + i, (j - i) * sizeof(Entry));
  table_[i] = Make(hash, id);
  SetBit(filter_, Fine(hash));
  ++size_;
  return {table_ + i, true};
}

void KeyIndex::erase(const Entry* e) {
  const size_t i = static_cast<size_t>(e - table_);
  // Entries of one quarter-slot lie next to each other: its bit stays if a
  // neighbour shares it.
  const size_t fine = Fine(e->hash());
  const auto shares = [&](size_t at) {
    return at < slots_ && !Free(table_[at]) && Fine(table_[at].hash()) == fine;
  };
  if (!shares(i - 1) && !shares(i + 1)) filter_[fine / 64] &= ~(uint64_t{1} << (fine % 64));
  // The entries after it that sit past their home move back one slot, up
  // to the first free slot or entry at home.
  size_t j = i + 1;
  while (j < slots_ && !Free(table_[j]) && Home(table_[j].hash()) < j) ++j;
  std::memmove(static_cast<void*>(table_ + i), table_ + i + 1, (j - i - 1) * sizeof(Entry));
  std::memset(static_cast<void*>(table_ + j - 1), 0xFF, sizeof(Entry));
  --size_;
}

}  // namespace vantre
