// SnapshotData, the content of snapshot.bin: six elements back to back.
//   1 key index   u64 entry count N, then N x (key hash u64, record id u32)
//   2 live set    u64 byte count, then the set in portable roaring form
//   3 dead set    u64 byte count, then the set in portable roaring form
//   4 record count     u32
//   5 key data end     u64
//   6 value data end   u64
// Key index entries are in no particular order.
#ifndef VANTRE_ENGINE_SNAPSHOT_H_
#define VANTRE_ENGINE_SNAPSHOT_H_

#include <optional>

#include "engine/file.h"
#include "engine/id_set.h"
#include "engine/key_index.h"

namespace vantre {

struct SnapshotData {
  KeyIndex key_index;
  IdSet live;
  IdSet dead;
  uint32_t record_count = 0;
  uint64_t key_data_end = 0;
  uint64_t value_data_end = 0;
};

// Size of the write buffer in front of the snapshot file.
inline constexpr size_t kSnapshotBufferSize = 1 << 20;

// What a failure to write out the full buffer while encoding means: for
// persist the encoding cannot be resumed and the call panics; vacuum reports
// every I/O failure alike.
enum class MidwayFailure { kPanic, kReport };

// Writes the six elements to `out` at its current position, through a 1 MiB
// buffer. Errors of the final flush are thrown as they come (OsError,
// EngineError); those of an earlier flush as `midway` says.
void WriteSnapshot(const File& out, const KeyIndex& key_index, const IdSet& live,
                   const IdSet& dead, uint32_t record_count, uint64_t key_data_end,
                   uint64_t value_data_end, MidwayFailure midway);

// Decodes a SnapshotData from the start of `in`. Returns nothing when the
// bytes do not decode (too short, a bitmap that does not decode, a length
// that cannot fit). Read errors are thrown as OsError.
std::optional<SnapshotData> ReadSnapshot(const File& in);

}  // namespace vantre

#endif  // VANTRE_ENGINE_SNAPSHOT_H_
