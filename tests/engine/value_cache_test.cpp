#include "engine/value_cache.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace vantre {
namespace {

using test::Str;

constexpr uint64_t kA = 0xA, kB = 0xB, kC = 0xC;

std::string Value(std::optional<Bytes> v) { return v ? std::string(AsText(*v)) : "<miss>"; }

Bytes Insert(ValueCache* cache, uint64_t hash, const std::string& v) {
  return cache->Insert(hash, AsBytes(v));
}

TEST(ValueCacheTest, EvictsTheLeastRecentlyUsed) {
  ValueCache cache(2);
  Insert(&cache, kA, "a");
  Insert(&cache, kB, "b");
  EXPECT_EQ(Value(cache.Lookup(kA)), "a");
  Insert(&cache, kC, "c");
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(Value(cache.Lookup(kB)), "<miss>");
  EXPECT_EQ(Value(cache.Lookup(kC)), "c");
  EXPECT_EQ(cache.StampOf(kA), 3u);  // untouched by the lookups since

  // The miss on B is followed by inserting B: A is now the oldest.
  Insert(&cache, kB, "b");
  EXPECT_EQ(Value(cache.Lookup(kA)), "<miss>");
  EXPECT_EQ(Value(cache.Lookup(kB)), "b");
  EXPECT_EQ(Value(cache.Lookup(kC)), "c");
}

TEST(ValueCacheTest, CapacityZeroHoldsOneEntry) {
  ValueCache cache(0);
  Insert(&cache, kA, "a");
  EXPECT_EQ(Value(cache.Lookup(kA)), "a");
  Insert(&cache, kB, "b");
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(Value(cache.Lookup(kA)), "<miss>");
  EXPECT_EQ(Value(cache.Lookup(kB)), "b");
  Insert(&cache, kB, "b2");  // same hash: replaced in place
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(Value(cache.Lookup(kB)), "b2");
}

TEST(ValueCacheTest, Clock) {
  ValueCache cache(8);
  EXPECT_EQ(cache.clock(), 0u);
  Insert(&cache, kA, "a");
  EXPECT_EQ(cache.clock(), 1u);
  EXPECT_EQ(cache.StampOf(kA), 1u);
  cache.Lookup(kA);
  EXPECT_EQ(cache.clock(), 2u);
  EXPECT_EQ(cache.StampOf(kA), 2u);
  cache.Lookup(kB);  // a miss changes nothing
  EXPECT_EQ(cache.clock(), 2u);
  Insert(&cache, kB, "b");
  cache.Remove(kA);
  cache.Remove(kC);
  EXPECT_EQ(cache.clock(), 3u);
  EXPECT_EQ(cache.StampOf(kA), 0u);
  EXPECT_EQ(cache.size(), 1u);

  cache.Clear();
  EXPECT_EQ(cache.clock(), 0u);
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.capacity(), 8u);
  EXPECT_EQ(Value(cache.Lookup(kB)), "<miss>");
  Insert(&cache, kC, "c");
  EXPECT_EQ(cache.StampOf(kC), 1u);
}

// A removed entry's slot is reused, and eviction still takes the least
// recently used of what is left.
TEST(ValueCacheTest, RemoveThenEvict) {
  ValueCache cache(2);
  Insert(&cache, kA, "a");
  Insert(&cache, kB, "b");
  cache.Remove(kA);
  Insert(&cache, kC, "c");
  cache.Lookup(kB);
  Insert(&cache, kA, std::string(10000, 'x'));  // evicts C
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(Value(cache.Lookup(kC)), "<miss>");
  EXPECT_EQ(Value(cache.Lookup(kA)), std::string(10000, 'x'));
  Insert(&cache, kA, "short");  // replaced in place, over a larger buffer
  EXPECT_EQ(Value(cache.Lookup(kA)), "short");
  EXPECT_EQ(Value(cache.Lookup(kB)), "b");
}

}  // namespace
}  // namespace vantre
