// The key index: key hash to the record id of the key's current record.
//
// One entry per live key, so this is the largest structure in memory. An
// entry is packed into 12 bytes (the hash as two 32-bit halves and the id)
// in a flat open-addressing table, instead of the 16 that a (u64, u32) pair
// takes with its padding.
#ifndef VANTRE_ENGINE_KEY_INDEX_H_
#define VANTRE_ENGINE_KEY_INDEX_H_

#include <boost/unordered/unordered_flat_set.hpp>

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "engine/state/huge_page_allocator.h"

namespace vantre {

// Key hashes are already uniformly distributed: tables use them as they are.
struct IdentityHash {
  size_t operator()(uint64_t h) const noexcept { return static_cast<size_t>(h ^ (h >> 32)); }
};

class KeyIndex {
 public:
  struct Entry {
    uint32_t hash_low;
    uint32_t hash_high;
    mutable uint32_t id;  // not part of the set's key

    uint64_t hash() const { return static_cast<uint64_t>(hash_high) << 32 | hash_low; }
  };

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

  // The id stored for `hash`, or nullptr. The pointer stays valid until the
  // index next changes.
  uint32_t* find_id(uint64_t hash) const {
    auto it = set_.find(hash);
    return it == set_.end() ? nullptr : &it->id;
  }
  // Inserts hash -> id unless `hash` is present; true if inserted.
  bool emplace(uint64_t hash, uint32_t id) { return set_.insert(Make(hash, id)).second; }
  void insert_or_assign(uint64_t hash, uint32_t id) {
    auto [it, inserted] = set_.insert(Make(hash, id));
    if (!inserted) it->id = id;
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
    return Entry{static_cast<uint32_t>(hash), static_cast<uint32_t>(hash >> 32), id};
  }

  boost::unordered_flat_set<Entry, Hash, Equal, HugePageAllocator<Entry>> set_;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_KEY_INDEX_H_
