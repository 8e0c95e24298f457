#include "engine/format/wal_entry.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/format/utf8.h"

namespace vantre {
namespace {

// A declared length must describe a record field (u32) and fit in memory.
bool LengthFits(uint64_t n) {
  return n <= std::numeric_limits<uint32_t>::max() &&
         n <= std::numeric_limits<size_t>::max() / 2;
}

// Reads `n` bytes into `out`, growing it as the bytes arrive so that a
// declared length larger than the file reserves at most one chunk.
template <typename Container>
bool ReadChunked(BufferedReader* r, uint64_t n, Container* out) {
  out->clear();
  size_t total = static_cast<size_t>(n);
  while (out->size() < total) {
    size_t have = out->size();
    size_t step = std::min(total - have, std::max(have, kMaxReservedValueBytes));
    out->resize(have + step);
    auto* p = reinterpret_cast<std::byte*>(out->data()) + have;
    if (!r->ReadExact({p, step})) return false;
  }
  return true;
}

}  // namespace

void EncodeWalHeader(WalTag tag, uint64_t key_length, std::byte* dst) {
  EncodeFixed32(dst, static_cast<uint32_t>(tag));
  EncodeFixed64(dst + 4, key_length);
}

bool ReadWalEntry(BufferedReader* reader, WalEntry* entry) {
  uint32_t tag;
  if (!reader->ReadFixed32(&tag)) return false;
  if (tag != static_cast<uint32_t>(WalTag::kPut) && tag != static_cast<uint32_t>(WalTag::kDelete)) {
    return false;
  }
  entry->tag = static_cast<WalTag>(tag);
  uint64_t key_length;
  if (!reader->ReadFixed64(&key_length) || !LengthFits(key_length)) return false;
  if (!ReadChunked(reader, key_length, &entry->key)) return false;
  if (!IsValidUtf8(entry->key)) return false;
  entry->val.clear();
  if (entry->tag == WalTag::kPut) {
    uint64_t value_length;
    if (!reader->ReadFixed64(&value_length) || !LengthFits(value_length)) return false;
    if (!ReadChunked(reader, value_length, &entry->val)) return false;
  }
  return true;
}

}  // namespace vantre
