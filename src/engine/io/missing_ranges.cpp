#include "engine/io/missing_ranges.h"

#include <fcntl.h>

#include <cerrno>

#include "engine/format/coding.h"
#include "engine/util/error.h"

namespace vantre {
namespace {

// A list longer than this is not one a store wrote: each entry comes from
// a damage found at an open or a write-out.
constexpr uint64_t kMaxMissingFileSize = uint64_t{1} << 20;

}  // namespace

const char* DataFileName(DataFileTag file) {
  return file == DataFileTag::kKeys ? kKeysFile : kValsFile;
}

bool DecodeMissingRanges(std::span<const std::byte> bytes, std::vector<MissingRange>* out) {
  const size_t whole = bytes.size() / kMissingEntrySize;  // a torn last entry is ignored
  for (size_t i = 0; i < whole; ++i) {
    const std::byte* p = bytes.data() + i * kMissingEntrySize;
    const auto tag = static_cast<uint8_t>(p[0]);
    if (tag != static_cast<uint8_t>(DataFileTag::kKeys) &&
        tag != static_cast<uint8_t>(DataFileTag::kValues)) {
      return false;
    }
    const MissingRange range{static_cast<DataFileTag>(tag), DecodeFixed64(p + 1),
                             DecodeFixed64(p + 9)};
    if (range.start >= range.end) return false;
    out->push_back(range);
  }
  return true;
}

std::vector<MissingRange> ReadMissingRanges(const File& file, const std::string& path) {
  const uint64_t size = file.Size();
  std::vector<MissingRange> ranges;
  const auto damaged = [&] {
    return Error::Damaged(path, path + " does not decode, so the ranges of the data files "
                                       "found missing are not known; the store was not opened. "
                                       "Run `vantre recover` to copy what can be read");
  };
  if (size > kMaxMissingFileSize) throw damaged();
  std::vector<std::byte> bytes(static_cast<size_t>(size));
  file.ReadExactAt(bytes, 0);
  if (!DecodeMissingRanges(bytes, &ranges)) throw damaged();
  return ranges;
}

std::vector<MissingRange> ReadMissingRanges(const StoreDir& dir) {
  if (!dir.Exists(kMissingFile)) return {};
  return ReadMissingRanges(dir.OpenFile(kMissingFile, O_RDONLY), dir.PathOf(kMissingFile));
}

void RecordMissingRanges(const StoreDir& dir, std::span<const MissingRange> ranges) {
  if (ranges.empty()) return;
  const bool existed = dir.Exists(kMissingFile);
  File out = dir.OpenFile(kMissingFile, O_WRONLY | O_CREAT);
  // After the last whole entry: a torn one is written over.
  const uint64_t size = out.Size();
  const uint64_t at = size - size % kMissingEntrySize;
  std::vector<std::byte> bytes(ranges.size() * kMissingEntrySize);
  for (size_t i = 0; i < ranges.size(); ++i) {
    std::byte* p = bytes.data() + i * kMissingEntrySize;
    p[0] = static_cast<std::byte>(ranges[i].file);
    EncodeFixed64(p + 1, ranges[i].start);
    EncodeFixed64(p + 9, ranges[i].end);
  }
  out.WriteAllAt(bytes, at);
  if (size > at + bytes.size()) out.Truncate(at + bytes.size());
  out.Sync();
  if (!existed) dir.Sync();
}

}  // namespace vantre
