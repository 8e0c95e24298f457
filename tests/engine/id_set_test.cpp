#include "engine/format/id_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace vantre {
namespace {

using test::Ids;
using test::Str;
using test::U16;
using test::U32;

std::string Serialized(const IdSet& set) {
  std::vector<std::byte> out;
  SerializeIdSet(set, &out);
  return Str(out);
}

std::optional<IdSet> Parse(const std::string& bytes) { return DeserializeIdSet(AsBytes(bytes)); }

std::string ArrayData(const std::vector<uint16_t>& values) {
  std::string s;
  for (uint16_t v : values) s += U16(v);
  return s;
}

std::string BitmapData(const std::vector<uint16_t>& values) {
  std::string s(8192, '\0');
  for (uint16_t v : values) s[v / 8] = static_cast<char>(s[v / 8] | (1 << (v % 8)));
  return s;
}

std::vector<uint16_t> Iota(uint32_t from, uint32_t to, uint32_t step = 1) {
  std::vector<uint16_t> v;
  for (uint32_t i = from; i < to; i += step) v.push_back(static_cast<uint16_t>(i));
  return v;
}

// One container of the plain (run-free) form, built by hand; `card` is what
// the header declares, whatever `data` holds.
struct Container {
  uint16_t key;
  uint32_t card;
  std::string data;
};

std::string PlainForm(const std::vector<Container>& cs) {
  std::string out = U32(kRoaringCookie) + U32(static_cast<uint32_t>(cs.size()));
  for (const Container& c : cs) out += U16(c.key) + U16(static_cast<uint16_t>(c.card - 1));
  uint32_t offset = static_cast<uint32_t>(8 + 8 * cs.size());
  for (const Container& c : cs) {
    out += U32(offset);
    offset += static_cast<uint32_t>(c.data.size());
  }
  for (const Container& c : cs) out += c.data;
  return out;
}

// Run-container variant with one run container (key 0) holding 10..14 and
// 100: fewer than four containers, so there is no offset header.
std::string OneRunContainer() {
  return U32(kRoaringRunCookie) + "\x01" + U16(0) + U16(5) +  // cookie, flags, header
         U16(2) + U16(10) + U16(4) + U16(100) + U16(0);       // two runs
}

// Run-container variant with four containers, runs at 0 and 2, so it has an
// offset header:
//   key 0  run     0..65535
//   key 1  array   {1, 2}
//   key 2  run     5..6, 65534..65535
//   key 5  array   {7}
std::string FourContainersWithRuns() {
  std::string s = U32(kRoaringRunCookie | (3u << 16)) + "\x05";
  s += U16(0) + U16(65535) + U16(1) + U16(1) + U16(2) + U16(3) + U16(5) + U16(0);
  s += U32(37) + U32(43) + U32(47) + U32(57);
  s += U16(1) + U16(0) + U16(65535);
  s += U16(1) + U16(2);
  s += U16(2) + U16(5) + U16(1) + U16(65534) + U16(1);
  s += U16(7);
  return s;
}

IdSet VariedSet() {
  IdSet s = Ids({0, 5, 65535, 65536, 0xFFFFFFFF});
  for (uint32_t v = 3 * 65536; v < 3 * 65536 + 20000; v += 3) s.add(v);  // bitmap container
  return s;
}

TEST(IdSetTest, ExactBytes) {
  EXPECT_EQ(Serialized(IdSet()), std::string("\x3a\x30\0\0\0\0\0\0", 8));
  IdSet five;
  five.add(5);
  EXPECT_EQ(Serialized(five),
            std::string("\x3a\x30\0\0" "\x01\0\0\0" "\0\0" "\0\0" "\x10\0\0\0" "\x05\0", 18));
}

// 4096 values is the largest array container; one more makes a bitmap.
TEST(IdSetTest, ArrayBitmapBoundary) {
  IdSet array_set, bitmap_set;
  for (uint32_t v = 0; v < 8192; v += 2) array_set.add(v);
  bitmap_set = array_set;
  bitmap_set.add(8192);
  EXPECT_EQ(Serialized(array_set), PlainForm({{0, 4096, ArrayData(Iota(0, 8192, 2))}}));
  EXPECT_EQ(Serialized(bitmap_set), PlainForm({{0, 4097, BitmapData(Iota(0, 8193, 2))}}));
}

// Sets built from ranges hold run containers, which are never written.
TEST(IdSetTest, RoundTrip) {
  IdSet ranges;
  ranges.addRange(0, 200000);
  ranges.addRange(5 * 65536 - 2, 5 * 65536);  // a small run ending at 65535
  ranges.runOptimize();
  for (const IdSet& s : {VariedSet(), ranges}) {
    const std::string bytes = Serialized(s);
    EXPECT_EQ(test::DecodeU32(bytes), kRoaringCookie);
    EXPECT_EQ(Parse(bytes), s);
    EXPECT_EQ(Parse(bytes + "trailing"), s);  // only a prefix is read
  }
}

TEST(IdSetTest, ReadsRunContainers) {
  EXPECT_EQ(Parse(OneRunContainer()), Ids({10, 11, 12, 13, 14, 100}));
  IdSet four = Ids({65536 + 1, 65536 + 2, 2 * 65536 + 5, 2 * 65536 + 6, 3 * 65536 - 2,
                    3 * 65536 - 1, 5 * 65536 + 7});
  four.addRange(0, 65536);
  EXPECT_EQ(Parse(FourContainersWithRuns()), four);
}

TEST(IdSetTest, RejectsEveryTruncation) {
  for (const std::string& full :
       {Serialized(VariedSet()), OneRunContainer(), FourContainersWithRuns()}) {
    ASSERT_TRUE(Parse(full));
    for (size_t n = 0; n < full.size(); ++n) {
      EXPECT_FALSE(Parse(full.substr(0, n))) << "length " << n << " of " << full.size();
    }
  }
}

TEST(IdSetTest, RejectsMalformedHeaders) {
  const std::string valid = PlainForm({{0, 1, U16(5)}});
  ASSERT_TRUE(Parse(valid));
  for (uint32_t cookie : {0u, 12345u, 12348u, kRoaringCookie | (1u << 16)}) {
    EXPECT_FALSE(Parse(U32(cookie) + valid.substr(4))) << cookie;
  }
  // More containers than 16-bit keys, with the bytes to back them.
  std::string many = U32(kRoaringCookie) + U32(65537) + std::string(65537 * 10, '\0');
  EXPECT_FALSE(Parse(many));
  EXPECT_FALSE(Parse(U32(kRoaringCookie) + U32(0xFFFFFFFF)));
  // Container keys must ascend.
  EXPECT_FALSE(Parse(PlainForm({{1, 1, U16(5)}, {0, 1, U16(5)}})));
  EXPECT_FALSE(Parse(PlainForm({{1, 1, U16(5)}, {1, 1, U16(6)}})));
}

TEST(IdSetTest, RejectsMalformedContainers) {
  EXPECT_TRUE(Parse(PlainForm({{0, 3, ArrayData({1, 2, 3})}})));
  EXPECT_FALSE(Parse(PlainForm({{0, 3, ArrayData({1, 3, 2})}})));
  EXPECT_FALSE(Parse(PlainForm({{0, 3, ArrayData({1, 2, 2})}})));

  std::vector<uint16_t> bits = Iota(0, 5000);
  EXPECT_TRUE(Parse(PlainForm({{0, 5000, BitmapData(bits)}})));
  EXPECT_FALSE(Parse(PlainForm({{0, 4999, BitmapData(bits)}})));
  EXPECT_FALSE(Parse(PlainForm({{0, 5001, BitmapData(bits)}})));

  auto one_run = [](uint16_t card, const std::string& runs) {
    return U32(kRoaringRunCookie) + "\x01" + U16(0) + U16(card - 1) + runs;
  };
  EXPECT_TRUE(Parse(one_run(5, U16(1) + U16(3) + U16(4))));
  EXPECT_FALSE(Parse(one_run(6, U16(1) + U16(3) + U16(4))));                    // count
  EXPECT_FALSE(Parse(one_run(2, U16(1) + U16(65535) + U16(1))));                // past 0xFFFF
  EXPECT_FALSE(Parse(one_run(6, U16(2) + U16(3) + U16(3) + U16(6) + U16(1))));  // overlap
  EXPECT_FALSE(Parse(one_run(6, U16(2) + U16(9) + U16(2) + U16(3) + U16(2))));  // order
}

}  // namespace
}  // namespace vantre
