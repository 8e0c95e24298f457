// The on-disk codecs: the 24-byte record of offsets.bin, WalEntry records of
// wal.bin, and SnapshotData in snapshot.bin.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "engine/io/buffered_reader.h"
#include "engine/format/format.h"
#include "engine/format/key_hash.h"
#include "engine/format/snapshot.h"
#include "engine/format/wal_entry.h"
#include "engine/state/key_index.h"
#include "test_util.h"

// Largest single allocation since the last reset: a length declared far
// beyond the data must fail before anything is reserved for it, and with an
// address-space-sized request the allocator could otherwise just succeed
// lazily and hide the fault.
static std::atomic<size_t> largest_allocation{0};

// Not inlined, so that the compiler never pairs malloc with a delete.
[[gnu::noinline]] void* operator new(size_t n) {
  size_t seen = largest_allocation.load(std::memory_order_relaxed);
  while (n > seen && !largest_allocation.compare_exchange_weak(seen, n)) {
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace vantre {
namespace {

using test::Ids;
using test::Str;
using test::U16;
using test::U32;
using test::U64;

constexpr size_t kSmallAllocation = 4 << 20;  // above the 1 MiB read buffers

// ---------------------------------------------------------------- records

TEST(RecordTest, LayoutIsPackedLittleEndian) {
  const Record r{0x0807060504030201ULL, 0x0c0b0a09, 0x14131211100f0e0dULL, 0x18171615};
  std::byte buf[kRecordSize + 1] = {};
  EncodeRecord(buf + 1, r);  // deliberately unaligned
  std::string expected;
  for (char i = 1; i <= 24; ++i) expected.push_back(i);
  EXPECT_EQ(Str(Bytes(buf + 1, kRecordSize)), expected);
  const Record back = DecodeRecord(buf + 1);
  EXPECT_EQ(std::tie(back.key_offset, back.key_length, back.value_offset, back.value_length),
            std::tie(r.key_offset, r.key_length, r.value_offset, r.value_length));
}

// An index entry holds a record's location exactly up to each field's
// limit, and marks it absent beyond any of them.
TEST(RecordTest, IndexEntryLocatesWithinItsLimits) {
  using E = KeyIndex;
  const Record max{E::kMaxKeyOffset, E::kMaxKeyLength, E::kMaxValueOffset, E::kMaxValueLength};
  KeyIndex index{{42, 7}};
  const KeyIndex::Entry& e = *index.find(42);
  EXPECT_FALSE(e.located());
  e.Locate(max);
  ASSERT_TRUE(e.located());
  const Record back = e.record();
  EXPECT_EQ(std::tie(back.key_offset, back.key_length, back.value_offset, back.value_length),
            std::tie(max.key_offset, max.key_length, max.value_offset, max.value_length));
  Record over[4] = {max, max, max, max};
  ++over[0].key_offset, ++over[1].key_length, ++over[2].value_offset, ++over[3].value_length;
  for (const Record& r : over) {
    e.Locate(r);
    EXPECT_FALSE(e.located()) << r.key_offset << " " << r.key_length;
    e.Locate(max);
  }
  EXPECT_EQ(e.id, 7u);
}

// ---------------------------------------------------------------- WalEntry

class WalEntryTest : public testing::Test {
 protected:
  // Decodes `bytes` as a whole log through a reader with `buffer_size`,
  // showing each record as "put key=value" or "del key".
  std::vector<std::string> DecodeAll(const std::string& bytes, size_t buffer_size = 16) {
    File f = test::FileWith(dir_.Join("wal.bin"), bytes);
    BufferedReader reader(&f, buffer_size);
    std::vector<std::string> out;
    WalEntry e;
    decoded_end_ = 0;
    while (ReadWalEntry(&reader, &e)) {
      out.push_back(e.tag == WalTag::kPut ? "put " + e.key + "=" + Str(e.val) : "del " + e.key);
      decoded_end_ = reader.position();
    }
    return out;
  }

  test::TempDir dir_;
  uint64_t decoded_end_ = 0;  // reader position after the last whole record
};

std::string Put(std::string_view key, std::string_view val) {
  return test::LogBytes([&](WalWriter& w) { w.AppendPut(key, AsBytes(val)); });
}

std::string Delete(std::string_view key) {
  return test::LogBytes([&](WalWriter& w) { w.AppendDelete(key); });
}

TEST_F(WalEntryTest, ExactBytes) {
  EXPECT_EQ(Put("a", ""), std::string("\0\0\0\0" "\x01\0\0\0\0\0\0\0" "a" "\0\0\0\0\0\0\0\0", 21));
  EXPECT_EQ(Delete("a"), std::string("\x01\0\0\0" "\x01\0\0\0\0\0\0\0" "a", 13));
}

// Buffers smaller than a field, and values larger than the buffer.
TEST_F(WalEntryTest, RoundTripAcrossBufferSizes) {
  const std::string big(100000, 'v'), key = "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87";
  const std::string log = Put("a", "") + Put(key, big) + Delete("a") + Put("", "x");
  for (size_t buffer_size : {1, 7, 64 * 1024}) {
    EXPECT_EQ(DecodeAll(log, buffer_size),
              (std::vector<std::string>{"put a=", "put " + key + "=" + big, "del a", "put =x"}));
    EXPECT_EQ(decoded_end_, log.size());
  }
}

TEST_F(WalEntryTest, RejectsMalformedRecords) {
  const std::string cases[] = {
      std::string(),
      std::string("\0", 1),
      std::string("\0\0\0", 3),
      U32(2) + U64(1) + "a" + U64(0),                // unknown tag
      U32(0xFFFFFFFF) + U64(1) + "a",                // unknown tag
      U32(1) + U64(1ULL << 32) + std::string(64, 'a'),
      U32(0) + U64(1) + "a" + U64(1ULL << 32) + std::string(64, 'v'),
      U32(0) + U64(0xFFFFFFFF) + "abc",              // fits, but truncated
      U32(0) + U64(1) + "a" + U64(0xFFFFFFFF) + "v",
      Delete("\xff"),
      Delete("\xc0\xaf"),          // overlong
      Delete("\xed\xa0\x80"),      // surrogate
      Delete("\xf4\x90\x80\x80"),  // above U+10FFFF
      Delete("ab\xe2\x82"),        // cut inside a sequence
  };
  for (const std::string& bytes : cases) {
    largest_allocation = 0;
    EXPECT_TRUE(DecodeAll(bytes).empty()) << testing::PrintToString(bytes);
    EXPECT_LT(largest_allocation.load(), kSmallAllocation) << testing::PrintToString(bytes);
  }
}

// A log cut anywhere decodes every record before the cut, and stops at the
// end of the last whole one.
TEST_F(WalEntryTest, TornTail) {
  const std::string records[] = {Put("k1", "value"), Delete("k1"), Put("k2", "")};
  std::string log;
  std::vector<size_t> ends;
  for (const std::string& r : records) ends.push_back((log += r).size());
  for (size_t n = 0; n <= log.size(); ++n) {
    size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= n) ++whole;
    EXPECT_EQ(DecodeAll(log.substr(0, n)).size(), whole) << "cut at " << n;
    EXPECT_EQ(decoded_end_, whole == 0 ? 0 : ends[whole - 1]) << "cut at " << n;
  }
}

// ---------------------------------------------------------------- snapshot

class SnapshotTest : public testing::Test {
 protected:
  std::optional<SnapshotData> Decode(const std::string& bytes) {
    File f = test::FileWith(dir_.Join("snapshot.bin"), bytes);
    return ReadSnapshot(f);
  }

  std::string Encode(const KeyIndex& index, const IdSet& live, const IdSet& dead,
                     uint32_t count, uint64_t key_end, uint64_t value_end) {
    const std::string path = dir_.Join("written.bin");
    {
      File f = File::Open(path, O_WRONLY | O_CREAT | O_TRUNC);
      WriteSnapshot(f, index, live, dead, count, key_end, value_end);
    }
    return test::ReadFileText(path);
  }

  test::TempDir dir_;
};

std::string SetBytes(const IdSet& set) {
  std::vector<std::byte> out;
  SerializeIdSet(set, &out);
  return U64(out.size()) + Str(out);
}

// A snapshot built by hand, index entries in the order given.
std::string HandSnapshot(const std::vector<std::pair<uint64_t, uint32_t>>& entries,
                         const IdSet& live, const IdSet& dead) {
  std::string s = U64(entries.size());
  for (const auto& [hash, id] : entries) s += U64(hash) + U32(id);
  return s + SetBytes(live) + SetBytes(dead) + U32(9) + U64(40) + U64(50);
}

TEST_F(SnapshotTest, EmptyStoreIsSixtyBytes) {
  const std::string empty_set("\x3a\x30\0\0\0\0\0\0", 8);
  const std::string expected = U64(0) + U64(8) + empty_set + U64(8) + empty_set + U32(0) +
                               U64(0) + U64(0);
  ASSERT_EQ(expected.size(), 60u);
  EXPECT_EQ(Encode({}, {}, {}, 0, 0, 0), expected);
}

// Large enough that the index passes the 1 MiB write buffer and is read
// back in more than one batch.
TEST_F(SnapshotTest, RoundTrip) {
  KeyIndex index;
  IdSet live, dead;
  for (uint32_t id = 0; id < 200000; ++id) {
    if (id % 2 == 0) {
      index.emplace(KeyHash(std::to_string(id)), id);
      live.add(id);
    } else {
      dead.add(id);
    }
  }
  auto snap = Decode(Encode(index, live, dead, 0xFFFFFFF0u, (1ULL << 40) + 3, 7));
  ASSERT_TRUE(snap);
  EXPECT_TRUE(snap->key_index == index);
  EXPECT_EQ(snap->live, live);
  EXPECT_EQ(snap->dead, dead);
  EXPECT_EQ(snap->record_count, 0xFFFFFFF0u);
  EXPECT_EQ(snap->key_data_end, (1ULL << 40) + 3);
  EXPECT_EQ(snap->value_data_end, 7u);
}

TEST_F(SnapshotTest, IndexOrderDoesNotMatter) {
  std::vector<std::pair<uint64_t, uint32_t>> entries = {{KeyHash("a"), 0}, {~0ULL, 7}, {0, 8}};
  auto forward = Decode(HandSnapshot(entries, Ids({0, 7, 8}), Ids({1})));
  std::reverse(entries.begin(), entries.end());
  auto backward = Decode(HandSnapshot(entries, Ids({0, 7, 8}), Ids({1})));
  ASSERT_TRUE(forward && backward);
  EXPECT_TRUE(forward->key_index == backward->key_index);
  EXPECT_TRUE(forward->key_index == KeyIndex(entries.begin(), entries.end()));
  EXPECT_EQ(std::tie(forward->record_count, forward->key_data_end, forward->value_data_end),
            std::make_tuple(9u, 40u, 50u));
}

TEST_F(SnapshotTest, RejectsEveryTruncation) {
  const std::string full = HandSnapshot({{1, 0}, {2, 5}}, Ids({0, 5}), Ids({1, 2, 3, 4}));
  ASSERT_TRUE(Decode(full));
  for (size_t n = 0; n < full.size(); ++n) {
    EXPECT_FALSE(Decode(full.substr(0, n))) << "length " << n;
  }
}

// Declared lengths beyond the file fail before anything is reserved.
TEST_F(SnapshotTest, RejectsMalformed) {
  const std::string valid = HandSnapshot({{1, 0}}, Ids({0}), Ids({}));
  const std::string after_index = valid.substr(8 + 12);
  std::string bad_cookie = valid;
  bad_cookie[8 + 12 + 8] = 0x3c;  // the live set's
  const std::string cases[] = {
      bad_cookie,
      U64(1ULL << 62) + valid.substr(8),
      U64(20000000) + valid.substr(8),
      U64(2) + valid.substr(8),  // one entry more than there is
      valid.substr(0, 20) + U64(1ULL << 40) + after_index.substr(8),
      valid.substr(0, 20) + U64(0x7FFFFFFF) + after_index.substr(8),
      valid.substr(0, 20) + U64(after_index.size()) + after_index.substr(8),
  };
  for (const std::string& bytes : cases) {
    largest_allocation = 0;
    EXPECT_FALSE(Decode(bytes)) << "case " << &bytes - cases;
    EXPECT_LT(largest_allocation.load(), kSmallAllocation) << "case " << &bytes - cases;
  }
}

}  // namespace
}  // namespace vantre
