#include "engine/format/key_hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vantre {
namespace {

// A deliberately plain SipHash with `c` compression and `d` finalization
// rounds: the message is fed one byte at a time into a 64-bit word, which is
// compressed whenever it fills. It shares no code with the engine's, which
// works on whole 8-byte blocks and appends the 0xFF itself.
uint64_t ReferenceSipHash(int c, int d, uint64_t k0, uint64_t k1, const std::string& msg) {
  auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  uint64_t v0 = k0 ^ 0x736f6d6570736575ULL;
  uint64_t v1 = k1 ^ 0x646f72616e646f6dULL;
  uint64_t v2 = k0 ^ 0x6c7967656e657261ULL;
  uint64_t v3 = k1 ^ 0x7465646279746573ULL;
  auto round = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  auto compress = [&](uint64_t m) {
    v3 ^= m;
    for (int i = 0; i < c; ++i) round();
    v0 ^= m;
  };
  uint64_t word = 0;
  int filled = 0;
  for (unsigned char ch : msg) {
    word |= static_cast<uint64_t>(ch) << (8 * filled);
    if (++filled == 8) {
      compress(word);
      word = 0;
      filled = 0;
    }
  }
  compress(word | (static_cast<uint64_t>(msg.size() & 0xff) << 56));
  v2 ^= 0xff;
  for (int i = 0; i < d; ++i) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

std::string Counting(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
  return s;
}

// Published SipHash-2-4 outputs for key 00 01 .. 0f and message 00 01 .. n-1,
// read as little-endian 64-bit words.
TEST(KeyHashTest, ReferenceMatchesPublishedSipHash24) {
  const uint64_t kExpected[] = {
      0x726fdb47dd0e0e31ULL, 0x74f839c593dc67fdULL, 0x0d6c8009d9a94f5aULL, 0x85676696d7fb7e2dULL,
      0xcf2794e0277187b7ULL, 0x18765564cd99a68dULL, 0xcbc9466e58fee3ceULL, 0xab0200f58b01d137ULL,
      0x93f5f5799a932462ULL, 0x9e0082df0ba9e4b0ULL, 0x7a5dbbc594ddb9f3ULL, 0xf4b32f46226bada7ULL,
      0x751e8fbc860ee5fbULL, 0x14ea5627c0843d90ULL, 0xf723ca908e7af2eeULL, 0xa129ca6149be45e5ULL,
      0x3f2acc7f57c29bdbULL,
  };
  const uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  for (size_t n = 0; n < std::size(kExpected); ++n) {
    EXPECT_EQ(ReferenceSipHash(2, 4, k0, k1, Counting(n)), kExpected[n]) << "length " << n;
  }
}

// SipHash13 under several keys, and KeyHash at every key length from 0 to
// 40, so that the 0xFF lands at each position of a block, including
// completing one (lengths 7, 15, ...).
TEST(KeyHashTest, MatchesReference) {
  for (uint64_t k0 : {0ULL, 0x0706050403020100ULL, ~0ULL}) {
    for (size_t n = 0; n <= 40; ++n) {
      const std::string msg = Counting(n);
      EXPECT_EQ(SipHash13(k0, ~k0, msg), ReferenceSipHash(1, 3, k0, ~k0, msg)) << "length " << n;
    }
  }
  std::string key;
  for (size_t n = 0; n <= 40; ++n) {
    EXPECT_EQ(KeyHash(key), ReferenceSipHash(1, 3, 0, 0, key + '\xff')) << "length " << n;
    key.push_back(static_cast<char>('a' + n % 26));
  }
  EXPECT_EQ(KeyHash(""), SipHash13(0, 0, "\xff"));
}

// These values are on disk in every snapshot.bin; they come from an
// independent SipHash-1-3 implementation.
TEST(KeyHashTest, KnownAnswers) {
  EXPECT_EQ(KeyHash(""), 0x30406ea523c53defULL);
  EXPECT_EQ(KeyHash("a"), 0x719b50b9a4f0e9f3ULL);
  EXPECT_EQ(KeyHash("abcdefg"), 0x2295ef44bd078ae9ULL);
  EXPECT_EQ(KeyHash("abcdefghijklmno"), 0x3f016393f7fd4069ULL);
  EXPECT_EQ(KeyHash("cl\xc3\xa9-\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80"), 0x24c19c034e4a3885ULL);
  EXPECT_EQ(KeyHash("0123456789abcdefghijklmnopqrstuvwxyzABCD"), 0x75656a94ad859afeULL);
}

}  // namespace
}  // namespace vantre
