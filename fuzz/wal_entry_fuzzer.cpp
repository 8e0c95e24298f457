// Fuzzes ReadWalEntry over a whole log: decode records until one fails,
// as replay does. Each decoded record must lie inside the input.
#include <cstdlib>

#include "engine/io/buffered_reader.h"
#include "engine/format/wal_entry.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantre;
  const File& file = fuzz::MemoryFile(data, size);
  // A small buffer, so that records straddle refills and bypass it.
  BufferedReader reader(&file, 64);
  WalEntry entry;
  uint64_t last = 0;
  while (ReadWalEntry(&reader, &entry)) {
    const uint64_t length = reader.position() - last;
    const uint64_t overhead = entry.tag == WalTag::kPut ? kWalPutOverhead : kWalDeleteOverhead;
    if (reader.position() > size || length != overhead + entry.key.size() + entry.val.size()) {
      std::abort();
    }
    last = reader.position();
  }
  return 0;
}
