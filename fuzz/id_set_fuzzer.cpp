// Fuzzes DeserializeIdSet. A set that decodes must serialize and decode
// again to the same set: a decoder that accepts what it cannot represent
// would write a different set back on the next persist.
#include <cstdlib>

#include "engine/format/id_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantre;
  std::optional<IdSet> set = DeserializeIdSet(Bytes(reinterpret_cast<const std::byte*>(data), size));
  if (!set) return 0;
  std::vector<std::byte> again;
  SerializeIdSet(*set, &again);
  std::optional<IdSet> back = DeserializeIdSet(again);
  if (!back || !(*back == *set)) std::abort();
  return 0;
}
