// missing.bin: the ranges of keys.bin and vals.bin a store found missing.
//
// A data file shorter than its snapshot's data end, or cut under an open
// store, lacks bytes that records point at. Appends made afterwards grow
// the file over that range, which then holds zeros; without a note of it,
// every later open would take those zeros for the keys and values they
// replaced. Each such range is appended here, and synced, before anything
// can grow the file over it; every open and the inspection read the file
// and refuse reads that touch a listed range. Nothing removes an entry:
// `vantre recover` builds a new store from what is intact.
//
// The file is a sequence of entries with no header. An entry is the data
// file (1 byte: 1 for keys.bin, 2 for vals.bin), the start (8 bytes) and
// the end (8 bytes) of the missing range, little-endian; start < end.
// These numbers are written to disk and should not be changed. A torn last
// entry (the process ended while writing it) is ignored: until it is
// complete nothing has grown the file over its range, so the next open
// finds the range again.
#ifndef VANTRE_ENGINE_MISSING_RANGES_H_
#define VANTRE_ENGINE_MISSING_RANGES_H_

#include <cstdint>
#include <span>
#include <vector>

#include "engine/io/file.h"
#include "engine/io/store_dir.h"

namespace vantre {

enum class DataFileTag : uint8_t {
  kKeys = 1,
  kValues = 2,
};

struct MissingRange {
  DataFileTag file;
  uint64_t start;
  uint64_t end;
  bool operator==(const MissingRange&) const = default;
};

inline constexpr size_t kMissingEntrySize = 17;

// Decodes the entries of missing.bin's bytes. False for an entry that
// names no data file or an empty range: the list itself is damaged, and
// what it should say cannot be known.
bool DecodeMissingRanges(std::span<const std::byte> bytes, std::vector<MissingRange>* out);

// The ranges listed in `dir`'s missing.bin; none without the file. A list
// that does not decode is Error::Damaged.
std::vector<MissingRange> ReadMissingRanges(const StoreDir& dir);
// The same, for a file opened by the caller (the inspection's).
std::vector<MissingRange> ReadMissingRanges(const File& file, const std::string& path);

// Appends `ranges` to `dir`'s missing.bin, creating it, and makes them
// durable (the file and, for a new file, the directory synced) before
// returning. Throws OsError.
void RecordMissingRanges(const StoreDir& dir, std::span<const MissingRange> ranges);

// The file name of a tag, for messages.
const char* DataFileName(DataFileTag file);

// Records ranges found missing while the store is open, in its directory.
// "*dir" must remain live while this recorder is in use.
class MissingRangeRecorder {
 public:
  explicit MissingRangeRecorder(const StoreDir* dir) : dir_(dir) {}
  void Record(const MissingRange& range) const { RecordMissingRanges(*dir_, {&range, 1}); }

 private:
  const StoreDir* dir_;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_MISSING_RANGES_H_
