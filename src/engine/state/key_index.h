// The key index: key hash to the record id of the key's current record, and
// where that record's key and value lie in keys.bin and vals.bin.
//
// One entry per live key, so this is the largest structure in memory. An
// entry is packed into 24 bytes of 32-bit words (no padding) in one flat
// open-addressing table: the hash as two halves, the id, and the record's
// location packed into 96 bits. With the location in the entry, a read goes
// from the index slot straight to the key and value bytes, and never waits
// for the record table as well. A location that does not fit the packing
// (a long key or value, offsets beyond the packed range), or that is not
// known yet (an entry restored from a snapshot), is marked absent; the
// reader then takes the record from the table and may store it here.
#ifndef VANTRE_ENGINE_KEY_INDEX_H_
#define VANTRE_ENGINE_KEY_INDEX_H_

#include <boost/unordered/unordered_flat_set.hpp>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <utility>

#include "engine/format/format.h"
#include "engine/state/huge_page_allocator.h"

namespace vantre {

// Key hashes are already uniformly distributed: tables use them as they are.
struct IdentityHash {
  size_t operator()(uint64_t h) const noexcept { return static_cast<size_t>(h ^ (h >> 32)); }
};

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

  size_t size() const { return set_.size(); }
  bool empty() const { return set_.empty(); }
  void reserve(size_t n) { set_.reserve(n); }
  // Makes room for one more entry now, so that the next insertion cannot
  // fail to allocate. Grows only when that insertion would (a plain
  // reserve(size() + 1) could also shrink the table).
  void ReserveOneMore() {
    if (set_.size() >= set_.max_load()) set_.reserve(set_.size() + 1);
  }
  void clear() { set_.clear(); }

  // The entry of `hash`, or nullptr. The pointer stays valid until the
  // index next changes; its id and location may be changed through it.
  const Entry* find(uint64_t hash) const {
    auto it = set_.find(hash);
    return it == set_.end() ? nullptr : &*it;
  }
  // The id stored for `hash`, or nullptr; valid as find's pointer.
  uint32_t* find_id(uint64_t hash) const {
    const Entry* e = find(hash);
    return e == nullptr ? nullptr : &e->id;
  }
  // Inserts hash -> id (location absent) unless `hash` is present; true if
  // inserted.
  bool emplace(uint64_t hash, uint32_t id) { return set_.insert(Make(hash, id)).second; }
  // Sets hash -> id; the location becomes absent.
  void insert_or_assign(uint64_t hash, uint32_t id) {
    auto [it, inserted] = set_.insert(Make(hash, id));
    if (!inserted) {
      it->id = id;
      it->Unlocate();
    }
  }
  // Sets hash -> id located at `r`; returns the id it replaces, if any.
  // REQUIRES: ReserveOneMore() since the index last grew.
  std::optional<uint32_t> Put(uint64_t hash, uint32_t id, const Record& r) {
    auto [it, inserted] = set_.insert(Make(hash, id));
    std::optional<uint32_t> old;
    if (!inserted) old = std::exchange(it->id, id);
    it->Locate(r);
    return old;
  }
  bool erase(uint64_t hash) {
    auto it = set_.find(hash);
    if (it == set_.end()) return false;
    set_.erase(it);
    return true;
  }

  auto begin() const { return set_.begin(); }
  auto end() const { return set_.end(); }

  friend bool operator==(const KeyIndex& a, const KeyIndex& b) {
    if (a.size() != b.size()) return false;
    for (const Entry& e : a) {
      const uint32_t* id = b.find_id(e.hash());
      if (id == nullptr || *id != e.id) return false;
    }
    return true;
  }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(uint64_t h) const noexcept { return IdentityHash()(h); }
    size_t operator()(const Entry& e) const noexcept { return IdentityHash()(e.hash()); }
  };
  struct Equal {
    using is_transparent = void;
    bool operator()(const Entry& a, const Entry& b) const noexcept { return a.hash() == b.hash(); }
    bool operator()(uint64_t h, const Entry& e) const noexcept { return h == e.hash(); }
    bool operator()(const Entry& e, uint64_t h) const noexcept { return h == e.hash(); }
  };

  static Entry Make(uint64_t hash, uint32_t id) {
    return Entry{static_cast<uint32_t>(hash), static_cast<uint32_t>(hash >> 32), id, {}};
  }

  boost::unordered_flat_set<Entry, Hash, Equal, HugePageAllocator<Entry>> set_;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_KEY_INDEX_H_
