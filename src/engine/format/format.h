// Fixed sizes of the files in a storage directory, the 24-byte record of
// offsets.bin and the log's record tags. These values are written to disk and
// should not be changed.
#ifndef VANTRE_ENGINE_FORMAT_H_
#define VANTRE_ENGINE_FORMAT_H_

#include <cstddef>
#include <cstdint>

#include "engine/format/coding.h"

namespace vantre {

// Record: key offset (8 bytes), key length (4 bytes), value offset
// (8 bytes), value length (4 bytes), little-endian, no padding. The value
// offset starts at byte 12 and is not aligned.
inline constexpr size_t kRecordSize = 24;
// offsets.bin always has room for at least this many records.
inline constexpr uint32_t kMinRecordCapacity = 100000;

struct Record {
  uint64_t key_offset = 0;
  uint32_t key_length = 0;
  uint64_t value_offset = 0;
  uint32_t value_length = 0;
};

inline void EncodeRecord(std::byte* dst, const Record& r) {
  EncodeFixed64(dst, r.key_offset);
  EncodeFixed32(dst + 8, r.key_length);
  EncodeFixed64(dst + 12, r.value_offset);
  EncodeFixed32(dst + 20, r.value_length);
}

inline Record DecodeRecord(const std::byte* src) {
  return Record{DecodeFixed64(src), DecodeFixed32(src + 8), DecodeFixed64(src + 12),
                DecodeFixed32(src + 20)};
}

// wal.bin holds WalEntry records back to back, without framing:
//   Put:    tag u32 = 0, key length u64, key bytes, value length u64, value
//   Delete: tag u32 = 1, key length u64, key bytes
enum class WalTag : uint32_t { kPut = 0, kDelete = 1 };
// Longest key a record's 32-bit length field describes.
inline constexpr uint64_t kMaxKeyLength = UINT32_MAX;
// Longest value this platform stores. A 32-bit process reading a value
// back holds it up to three times at once, each copy one contiguous block
// (the read buffer, its cache entry, the caller's result), beside the data
// files' maps in an address space of 2 to 3 GiB: blocks of 128 MiB are
// found reliably, larger ones not after the process has run a while. A
// longer value is refused rather than stored unreadable.
inline constexpr uint64_t kMaxValueLength = sizeof(void*) == 4 ? uint64_t{128} << 20 : UINT32_MAX;

inline constexpr size_t kWalPutOverhead = 20;
inline constexpr size_t kWalDeleteOverhead = 12;

// Decoders reserve no more than this ahead of the data actually read.
inline constexpr size_t kMaxReservedIndexEntries = 65536;
inline constexpr size_t kMaxReservedValueBytes = 1 << 20;

}  // namespace vantre

#endif  // VANTRE_ENGINE_FORMAT_H_
