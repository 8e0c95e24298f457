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

#include <span>
#include <optional>
#include <vector>

#include "engine/io/file.h"
#include "engine/format/id_set.h"
#include "engine/state/key_index.h"

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

// Writes the six elements to a file at its position, through a 1 MiB
// buffer, in two steps whose failures the caller may treat apart: Encode
// writes the buffer out each time it fills (a failure there leaves the
// file partly written with no way to resume), Finish writes out the rest.
// Both throw OsError or EngineError. "out" must remain live while this
// writer is in use.
class SnapshotWriter {
 public:
  explicit SnapshotWriter(const File& out);
  SnapshotWriter(const SnapshotWriter&) = delete;
  SnapshotWriter& operator=(const SnapshotWriter&) = delete;

  // `ids`, when not empty, are the ids written, in the index's order,
  // instead of the entries' own. REQUIRES: empty or key_index.size() long.
  void Encode(const KeyIndex& key_index, const IdSet& live, const IdSet& dead,
              uint32_t record_count, uint64_t key_data_end, uint64_t value_data_end,
              std::span<const uint32_t> ids = {});
  void Finish();

 private:
  // A piece that does not fit pushes the buffered bytes out first; one at
  // least as large as the buffer goes straight to the file.
  void Append(Bytes piece);
  // Room for `n` more bytes without a write-out, n <= buffer size.
  std::byte* Reserve(size_t n);
  void AppendSet(const IdSet& set);
  void WriteOut();

  const File& out_;
  std::vector<std::byte> buf_;
  std::vector<std::byte> scratch_;
};

// Encode then Finish, for callers that treat every failure alike.
void WriteSnapshot(const File& out, const KeyIndex& key_index, const IdSet& live,
                   const IdSet& dead, uint32_t record_count, uint64_t key_data_end,
                   uint64_t value_data_end);

// Decodes a SnapshotData from the start of `in`. Returns nothing when the
// bytes do not decode (too short, a bitmap that does not decode, a length
// that cannot fit). Read errors are thrown as OsError.
std::optional<SnapshotData> ReadSnapshot(const File& in);

}  // namespace vantre

#endif  // VANTRE_ENGINE_SNAPSHOT_H_
