// The live set and the dead set: roaring bitmaps of record ids, and their
// portable serialization.
//
// Portable form as written (never with run containers):
//   cookie u32 = 12346 | container count C u32
//   C x (container key u16, cardinality - 1 u16), ascending keys
//   C x offset u32 of the container's data from the cookie's first byte
//   containers: array (cardinality <= 4096) as ascending u16 values, or
//               bitmap (cardinality > 4096) as 1024 u64 words.
// The reader also accepts the variant with run containers (cookie low half
// 12347, C - 1 in the high half, a run-flag bitmap, offsets only when
// C >= 4, runs as count u16 then (start, length - 1) u16 pairs).
#ifndef VANTRE_ENGINE_ID_SET_H_
#define VANTRE_ENGINE_ID_SET_H_

#include <roaring/roaring.hh>

#include <optional>
#include <vector>

#include "engine/format/coding.h"

namespace vantre {

using IdSet = Roaring;

inline constexpr uint32_t kRoaringCookie = 12346;
inline constexpr uint32_t kRoaringRunCookie = 12347;

// Appends the portable form of `set`, without run containers, to `dst`.
void SerializeIdSet(const IdSet& set, std::vector<std::byte>* dst);

// Decodes a portable-form bitmap occupying a prefix of `data`. Returns
// nothing if the bytes are not a valid bitmap: an unknown cookie, more than
// 65536 containers, container keys not ascending, array values not strictly
// ascending, a bitmap container whose set bits differ from its declared
// cardinality, runs that overlap or leave the 16-bit range, or data that
// ends early. Run containers are turned into array or bitmap containers.
std::optional<IdSet> DeserializeIdSet(Bytes data);

}  // namespace vantre

#endif  // VANTRE_ENGINE_ID_SET_H_
