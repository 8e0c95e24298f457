// Encoding and decoding of WalEntry, the record of wal.bin.
//
//   Put:    tag u32 = 0 | key length u64 | key | value length u64 | value
//   Delete: tag u32 = 1 | key length u64 | key
#ifndef VANTRE_ENGINE_WAL_ENTRY_H_
#define VANTRE_ENGINE_WAL_ENTRY_H_

#include <string>
#include <string_view>
#include <vector>

#include "engine/io/buffered_reader.h"
#include "engine/format/coding.h"
#include "engine/format/format.h"

namespace vantre {

struct WalEntry {
  WalTag tag = WalTag::kPut;
  std::string key;
  std::vector<std::byte> val;  // empty for Delete
};

// Writes the first two fields of a record (tag and key length) into `dst`,
// which must hold 12 bytes.
void EncodeWalHeader(WalTag tag, uint64_t key_length, std::byte* dst);

// Decodes the next record from `reader` into `*entry` (whose buffers are
// reused). Returns false on any decoding failure: end of data, a record cut
// short, an unknown tag, a length that cannot be a record's (2^32 or more),
// or a key that is not valid UTF-8. Read errors propagate as OsError.
bool ReadWalEntry(BufferedReader* reader, WalEntry* entry);

}  // namespace vantre

#endif  // VANTRE_ENGINE_WAL_ENTRY_H_
