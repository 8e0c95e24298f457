#include "engine/format/key_hash.h"

#include <cstring>

#include "engine/format/coding.h"

namespace vantre {
namespace {

inline uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;

  SipState(uint64_t k0, uint64_t k1)
      : v0(k0 ^ 0x736f6d6570736575ULL),
        v1(k1 ^ 0x646f72616e646f6dULL),
        v2(k0 ^ 0x6c7967656e657261ULL),
        v3(k1 ^ 0x7465646279746573ULL) {}

  inline void Round() {
    v0 += v1; v1 = Rotl(v1, 13); v1 ^= v0; v0 = Rotl(v0, 32);
    v2 += v3; v3 = Rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = Rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = Rotl(v1, 17); v1 ^= v2; v2 = Rotl(v2, 32);
  }
  inline void Compress(uint64_t m) {
    v3 ^= m;
    Round();
    v0 ^= m;
  }
  inline uint64_t Finish() {
    v2 ^= 0xff;
    Round(); Round(); Round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

inline uint64_t LoadLe64(const char* p) {
  return DecodeFixed64(reinterpret_cast<const std::byte*>(p));
}

// Hashes `data` followed by the optional byte `extra` (when has_extra).
uint64_t Hash(uint64_t k0, uint64_t k1, std::string_view data, bool has_extra,
              unsigned char extra) {
  SipState s(k0, k1);
  const size_t total = data.size() + (has_extra ? 1 : 0);
  const char* p = data.data();
  size_t left = data.size();
  while (left >= 8) {
    s.Compress(LoadLe64(p));
    p += 8;
    left -= 8;
  }
  // The remaining bytes plus the extra byte. When they fill a whole block
  // (7 key bytes and 0xFF) it is compressed as such, and the final block
  // holds only the length: total length modulo 256 in the top byte.
  unsigned char tail[16] = {0};
  std::memcpy(tail, p, left);
  size_t tail_len = left;
  if (has_extra) tail[tail_len++] = extra;
  size_t pos = 0;
  if (tail_len == 8) {
    s.Compress(LoadLe64(reinterpret_cast<const char*>(tail)));
    pos = 8;
    tail_len = 0;
  }
  uint64_t b = static_cast<uint64_t>(total & 0xff) << 56;
  for (size_t i = 0; i < tail_len; ++i) b |= static_cast<uint64_t>(tail[pos + i]) << (8 * i);
  s.Compress(b);
  return s.Finish();
}

}  // namespace

uint64_t SipHash13(uint64_t k0, uint64_t k1, std::string_view message) {
  return Hash(k0, k1, message, false, 0);
}

uint64_t KeyHash(std::string_view key) { return Hash(0, 0, key, true, 0xff); }

}  // namespace vantre
