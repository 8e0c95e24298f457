// The key index: key hash to the record id of the key's current record.
#ifndef VANTRE_ENGINE_KEY_INDEX_H_
#define VANTRE_ENGINE_KEY_INDEX_H_

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>

namespace vantre {

// Key hashes are already uniformly distributed: use them as they are.
struct IdentityHash {
  size_t operator()(uint64_t h) const noexcept {
    return static_cast<size_t>(h ^ (h >> 32));
  }
};

using KeyIndex = boost::unordered_flat_map<uint64_t, uint32_t, IdentityHash>;

}  // namespace vantre

#endif  // VANTRE_ENGINE_KEY_INDEX_H_
