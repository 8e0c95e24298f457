// The key index: key hash to the record id of the key's current record, and
// where that record's key and value lie in keys.bin and vals.bin.
//
// One entry per live key, so this is the largest structure in memory. An
// entry is packed into 24 bytes of 32-bit words (no padding): the hash as
// two halves, the id, and the record's location packed into 96 bits. With
// the location in the entry, a read goes from the index slot straight to
// the key and value bytes, and never waits for the record table as well.
// A location that does not fit the packing (a long key or value, offsets
// beyond the packed range), or that is not known yet (an entry restored
// from a snapshot), is marked absent; the reader then takes the record from
// the table and may store it here.
//
// The entries live in one flat array with nothing beside it, so a lookup
// costs one memory miss (and often the next line), not a metadata probe
// and then a slot. Each hash has a home slot, proportional to its high
// half; entries are kept in ascending hash order at or after their home
// (linear probing in order), so a lookup scans forward from the home slot
// and stops at the first larger hash or free slot, an insertion shifts the
// rest of its run up by one slot, and an erasure shifts the following
// displaced entries back. Past the last home slot lie spare slots for the
// runs that spill over the end; the last one always stays free.
//
// Capacities step through 2^k and 3 * 2^(k-1), and the table grows when it
// would be more than 80% full: 10,000,000 keys take 12,582,912 slots.
// Growing is one sequential pass, because the old order is the new one.
//
// Beside the table, a bit array a small fraction of its size (four bits
// per home slot, half a byte) marks the quarter-slots that some entry's
// hash falls in: most lookups of an absent hash end there, in memory the
// processor keeps close, without reading the table.
#ifndef VANTRE_ENGINE_KEY_INDEX_H_
#define VANTRE_ENGINE_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "engine/format/format.h"
#include "engine/state/huge_page_allocator.h"
#include "engine/util/prefetch.h"

namespace vantre {

class KeyIndex {
 public:
  // Packing of a record's location: lengths in one word, offsets in two.
  static constexpr int kKeyLengthBits = 10;
  static constexpr int kKeyOffsetBits = 30;
  static constexpr uint32_t kUnlocated = (1u << kKeyLengthBits) - 1;  // key length field
  static constexpr uint32_t kMaxKeyLength = kUnlocated - 1;
  static constexpr uint32_t kMaxValueLength = (1u << (32 - kKeyLengthBits)) - 1;
  static constexpr uint64_t kMaxKeyOffset = (uint64_t{1} << kKeyOffsetBits) - 1;
  static constexpr uint64_t kMaxValueOffset = (uint64_t{1} << (64 - kKeyOffsetBits)) - 1;

  // Where a record's key and value lie, or nothing (absent).
  struct Location {
    uint32_t lengths = kUnlocated;  // key length (low bits; kUnlocated: absent), value length
    uint32_t offsets_low = 0;
    uint32_t offsets_high = 0;  // offsets: key offset (low bits), value offset

    // The location of `r`, or absent if it does not fit.
    static Location Of(const Record& r) {
      if (r.key_length > kMaxKeyLength || r.value_length > kMaxValueLength ||
          r.key_offset > kMaxKeyOffset || r.value_offset > kMaxValueOffset) {
        return {};
      }
      const uint64_t offsets = r.key_offset | r.value_offset << kKeyOffsetBits;
      return {r.key_length | r.value_length << kKeyLengthBits, static_cast<uint32_t>(offsets),
              static_cast<uint32_t>(offsets >> 32)};
    }
    bool located() const { return (lengths & kUnlocated) != kUnlocated; }
    // REQUIRES: located().
    Record record() const {
      const uint64_t offsets = static_cast<uint64_t>(offsets_high) << 32 | offsets_low;
      return {offsets & kMaxKeyOffset, lengths & kUnlocated, offsets >> kKeyOffsetBits,
              lengths >> kKeyLengthBits};
    }
  };

  struct Entry {
    uint32_t hash_low;
    uint32_t hash_high;
    // Not part of the set's key: they change in place.
    mutable uint32_t id;
    mutable Location location;

    uint64_t hash() const { return static_cast<uint64_t>(hash_high) << 32 | hash_low; }
    bool located() const { return location.located(); }
    // REQUIRES: located().
    Record record() const { return location.record(); }
    // Stores where `r` lies, or marks the location absent if it does not fit.
    void Locate(const Record& r) const { location = Location::Of(r); }
    void Unlocate() const { location = {}; }
  };
  static_assert(sizeof(Entry) == 24);

  KeyIndex() = default;
  KeyIndex(std::initializer_list<std::pair<uint64_t, uint32_t>> entries) {
    for (const auto& [hash, id] : entries) insert_or_assign(hash, id);
  }
  template <typename It>
  KeyIndex(It first, It last) {
    for (; first != last; ++first) insert_or_assign(first->first, first->second);
  }
  KeyIndex(const KeyIndex& other);
  KeyIndex& operator=(const KeyIndex& other) {
    if (this != &other) *this = KeyIndex(other);
    return *this;
  }
  KeyIndex(KeyIndex&& other) noexcept { Swap(other); }
  KeyIndex& operator=(KeyIndex&& other) noexcept {
    KeyIndex(std::move(other)).Swap(*this);
    return *this;
  }
  ~KeyIndex() { Release(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Room for `n` entries without growing.
  void reserve(size_t n);
  // Makes room for one more entry now, so that the next insertion cannot
  // fail to allocate.
  void ReserveOneMore();
  // Whether ReserveOneMore() would rebuild the table (copying every entry
  // into a larger one) while it has at least `min_slots` slots.
  bool ReserveRebuilds(size_t min_slots) const {
    if (slots_ != 0 && size_ < max_size_ && Free(table_[slots_ - 2])) return false;
    return slots_ >= min_slots;
  }
  void clear();

  // The entry of `hash`, or nullptr. The pointer stays valid until the
  // index next changes; its id and location may be changed through it.
  const Entry* find(uint64_t hash) const {
    if (size_ == 0) return nullptr;
    const size_t fine = Fine(hash);
    const size_t home = fine / kFinePerHome;
    // A present key needs its home slot next: start loading it while the
    // filter bit, which may miss the cache as well, is tested.
    PrefetchLine(table_ + home);
    if (!TestBit(filter_, fine)) return nullptr;
    for (size_t i = home; i < slots_; ++i) {
      const Entry& e = table_[i];
      if (Free(e)) return nullptr;
      const uint64_t h = e.hash();
      if (h >= hash) return h == hash ? &e : nullptr;
    }
    return nullptr;
  }
  // Starts loading the lines a lookup or an insertion of `hash` will read
  // first: its filter word and its home slot.
  void Prefetch(uint64_t hash) const {
    if (slots_ == 0) return;
    const size_t fine = Fine(hash);
    PrefetchLine(filter_.data() + fine / 64);
    const char* p = reinterpret_cast<const char*>(table_ + fine / kFinePerHome);
    PrefetchLine(p);
    PrefetchLine(p + sizeof(Entry));
  }
  // The id stored for `hash`, or nullptr; valid as find's pointer.
  uint32_t* find_id(uint64_t hash) const {
    const Entry* e = find(hash);
    return e == nullptr ? nullptr : &e->id;
  }
  // Inserts hash -> id (location absent) unless `hash` is present; true if
  // inserted.
  bool emplace(uint64_t hash, uint32_t id) { return Insert(hash, id).second; }
  // Sets hash -> id; the location becomes absent.
  void insert_or_assign(uint64_t hash, uint32_t id) {
    auto [e, inserted] = Insert(hash, id);
    if (!inserted) {
      e->id = id;
      e->Unlocate();
    }
  }
  // Sets hash -> id located at `r`; returns the id it replaces, if any.
  // REQUIRES: ReserveOneMore() since the index last changed, so that this
  // cannot throw.
  std::optional<uint32_t> Put(uint64_t hash, uint32_t id, const Record& r) {
    auto [e, inserted] = Insert(hash, id);
    std::optional<uint32_t> old;
    if (!inserted) old = std::exchange(e->id, id);
    e->Locate(r);
    return old;
  }
  bool erase(uint64_t hash) {
    const Entry* e = find(hash);
    if (e == nullptr) return false;
    erase(e);
    return true;
  }
  // Removes the entry find() returned.
  void erase(const Entry* e);

  // Entries in ascending hash order.
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = const Entry*;
    using reference = const Entry&;

    Iterator() = default;
    const Entry& operator*() const { return *at_; }
    const Entry* operator->() const { return at_; }
    Iterator& operator++() {
      ++at_;
      Skip();
      return *this;
    }
    Iterator operator++(int) {
      Iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.at_ == b.at_; }

   private:
    friend class KeyIndex;
    Iterator(const Entry* at, const Entry* end) : at_(at), end_(end) { Skip(); }
    void Skip() {
      while (at_ != end_ && Free(*at_)) ++at_;
    }
    const Entry* at_ = nullptr;
    const Entry* end_ = nullptr;
  };
  Iterator begin() const { return Iterator(table_, table_ + slots_); }
  Iterator end() const { return Iterator(table_ + slots_, table_ + slots_); }

  friend bool operator==(const KeyIndex& a, const KeyIndex& b) {
    if (a.size() != b.size()) return false;
    for (const Entry& e : a) {
      const uint32_t* id = b.find_id(e.hash());
      if (id == nullptr || *id != e.id) return false;
    }
    return true;
  }

 private:
  // The packed lengths of a free slot: all ones, which no location takes
  // (a located key is shorter than kUnlocated, an absent location has no
  // value-length bits).
  static constexpr uint32_t kFreeLengths = UINT32_MAX;

  static bool Free(const Entry& e) { return e.location.lengths == kFreeLengths; }
  static Entry Make(uint64_t hash, uint32_t id) {
    return Entry{static_cast<uint32_t>(hash), static_cast<uint32_t>(hash >> 32), id, {}};
  }
  // The quarter-slot of `hash` (its bit in the filter): the hash's high
  // half scaled to four times the capacity, so that ascending hashes have
  // ascending quarter-slots. Divided by four it is the hash's home slot.
  // The product fits 64 bits for any capacity up to 2^32.
  static constexpr size_t kFinePerHome = 4;
  static size_t FineOf(uint64_t hash, size_t capacity) {
    return static_cast<size_t>(((hash >> 32) * capacity) >> 30);
  }
  size_t Fine(uint64_t hash) const { return FineOf(hash, capacity_); }
  size_t Home(uint64_t hash) const { return Fine(hash) / kFinePerHome; }
  static bool TestBit(const std::vector<uint64_t>& bits, size_t i) {
    return (bits[i / 64] >> (i % 64) & 1) != 0;
  }
  static void SetBit(std::vector<uint64_t>& bits, size_t i) {
    bits[i / 64] |= uint64_t{1} << (i % 64);
  }

  // The entry of `hash`, inserted as hash -> id if it was not there, and
  // whether it was. Grows first if the insertion needs room it has not got.
  std::pair<Entry*, bool> Insert(uint64_t hash, uint32_t id);
  // Moves the entries into a table of `capacity` home slots and `spare`
  // spare ones (more spare ones if the runs need them).
  void Rehash(size_t capacity, size_t spare);
  void Swap(KeyIndex& other) noexcept {
    std::swap(table_, other.table_);
    std::swap(slots_, other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(max_size_, other.max_size_);
    std::swap(size_, other.size_);
    filter_.swap(other.filter_);
  }
  void Release() noexcept;

  Entry* table_ = nullptr;
  size_t slots_ = 0;     // home slots and spare ones
  size_t capacity_ = 0;  // home slots
  size_t max_size_ = 0;  // entries before the table grows
  size_t size_ = 0;
  std::vector<uint64_t> filter_;  // a bit per quarter-slot holding an entry's hash
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_KEY_INDEX_H_
