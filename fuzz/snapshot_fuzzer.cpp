// Fuzzes ReadSnapshot: every input decodes or is refused, without reading
// out of bounds or allocating more than the input can describe. What open
// does with the decoded counts is the store_dir target's job.
#include "engine/format/snapshot.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantre;
  const File& file = fuzz::MemoryFile(data, size);
  std::optional<SnapshotData> snap = ReadSnapshot(file);
  if (snap) (void)snap->live.cardinality();
  return 0;
}
