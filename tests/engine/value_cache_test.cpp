#include "engine/state/value_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>
#include <string>

namespace vantre {
namespace {

constexpr uint64_t kA = 0xA, kB = 0xB, kC = 0xC;

std::string Value(std::optional<Bytes> v) { return v ? std::string(AsText(*v)) : "<miss>"; }

Bytes Insert(ValueCache* cache, uint64_t hash, const std::string& v) {
  return cache->Insert(hash, AsBytes(v));
}

// A plain least-recently-used list, the order the cache must keep: front
// is the most recently used.
class ModelLru {
 public:
  explicit ModelLru(uint64_t capacity) : capacity_(std::max<uint64_t>(capacity, 1)) {}

  std::optional<std::string> Lookup(uint64_t hash) {
    auto it = Find(hash);
    if (it == items_.end()) return std::nullopt;
    items_.splice(items_.begin(), items_, it);
    return items_.front().second;
  }
  void Insert(uint64_t hash, const std::string& v) {
    auto it = Find(hash);
    if (it != items_.end()) {
      items_.erase(it);
    } else if (items_.size() >= capacity_) {
      items_.pop_back();
    }
    items_.emplace_front(hash, v);
  }
  void Remove(uint64_t hash) {
    auto it = Find(hash);
    if (it != items_.end()) items_.erase(it);
  }
  void Clear() { items_.clear(); }
  size_t size() const { return items_.size(); }

 private:
  using Items = std::list<std::pair<uint64_t, std::string>>;
  Items::iterator Find(uint64_t hash) {
    return std::find_if(items_.begin(), items_.end(), [&](const auto& p) { return p.first == hash; });
  }

  uint64_t capacity_;
  Items items_;
};

TEST(ValueCacheTest, EvictsTheLeastRecentlyUsed) {
  ValueCache cache(2);
  Insert(&cache, kA, "a");
  Insert(&cache, kB, "b");
  EXPECT_EQ(Value(cache.Lookup(kA)), "a");  // a hit is a use: B is now the oldest
  cache.Prefetch(kB);  // not a use
  cache.Prefetch(kC);
  Insert(&cache, kC, "c");
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(Value(cache.Lookup(kB)), "<miss>");  // a miss is not a use
  EXPECT_EQ(Value(cache.Lookup(kC)), "c");

  // A is now the oldest; inserting B evicts it.
  Insert(&cache, kB, "b");
  EXPECT_EQ(Value(cache.Lookup(kA)), "<miss>");
  EXPECT_EQ(Value(cache.Lookup(kB)), "b");
  EXPECT_EQ(Value(cache.Lookup(kC)), "c");

  // Replacing a cached key's value is a use and evicts nothing.
  Insert(&cache, kB, "b2");
  EXPECT_EQ(cache.size(), 2u);
  Insert(&cache, kA, "a");  // evicts C, the oldest
  EXPECT_EQ(Value(cache.Lookup(kC)), "<miss>");
  EXPECT_EQ(Value(cache.Lookup(kB)), "b2");
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

TEST(ValueCacheTest, ClearDropsEntriesAndKeepsCapacity) {
  ValueCache cache(2);
  Insert(&cache, kA, "a");
  Insert(&cache, kB, "b");
  cache.Clear();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.capacity(), 2u);
  EXPECT_EQ(Value(cache.Lookup(kA)), "<miss>");
  // Records of the uses before the clear must not decide later evictions.
  Insert(&cache, kC, "c");
  Insert(&cache, kA, "a");
  Insert(&cache, kB, "b");  // evicts C
  EXPECT_EQ(Value(cache.Lookup(kC)), "<miss>");
  EXPECT_EQ(Value(cache.Lookup(kA)), "a");
  EXPECT_EQ(Value(cache.Lookup(kB)), "b");
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

// Long random runs of every operation against the plain list, through many
// compactions of the use queue and many reuses of evicted buffers: every
// lookup must agree (which keys survive is the order of use), and the
// queue must stay within its bound.
TEST(ValueCacheTest, MatchesAPlainLruListThroughCompactions) {
  for (uint64_t capacity : {0, 1, 3, 50}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    ValueCache cache(capacity);
    ModelLru model(capacity);
    std::mt19937_64 rng(capacity + 1);
    const uint64_t keys = std::max<uint64_t>(capacity, 1) * 2 + 1;
    const size_t bound = 2 * std::max<size_t>(capacity, 1) + ValueCache::kQueueSlack;
    for (int step = 0; step < 200000; ++step) {
      const uint64_t hash = rng() % keys + 1;
      const unsigned op = rng() % 100;
      if (op < 60) {
        ASSERT_EQ(Value(cache.Lookup(hash)), model.Lookup(hash).value_or("<miss>")) << "step " << step;
      } else if (op < 97) {
        // Sizes on both sides of the inline limit and of buffer reuse.
        const std::string v(rng() % 40, static_cast<char>('a' + step % 26));
        ASSERT_EQ(Value(Insert(&cache, hash, v)), v);
        model.Insert(hash, v);
      } else if (op < 99) {
        cache.Remove(hash);
        model.Remove(hash);
      } else if (step % 50 == 0) {
        cache.Clear();
        model.Clear();
      }
      ASSERT_EQ(cache.size(), model.size()) << "step " << step;
      ASSERT_LE(cache.queue_length(), bound) << "step " << step;
    }
  }
}

// The queue must stay bounded however long the cache runs, both when every
// read misses and evicts (the reported growth: a cache of 10 with 11 keys
// read in turn) and when every read hits.
TEST(ValueCacheTest, QueueStaysBounded) {
  ValueCache cache(10);
  const size_t bound = 2 * 10 + ValueCache::kQueueSlack;
  const std::string v(100, 'v');
  for (int i = 0; i < 1000000; ++i) {
    const uint64_t hash = i % 11 + 1;
    ASSERT_FALSE(cache.Lookup(hash).has_value());
    Insert(&cache, hash, v);
    ASSERT_LE(cache.queue_length(), bound);
  }
  EXPECT_EQ(cache.size(), 10u);
  for (uint64_t hash = 1; hash <= 10; ++hash) Insert(&cache, hash, v);
  for (int i = 0; i < 1000000; ++i) {
    ASSERT_TRUE(cache.Lookup(i % 10 + 1).has_value());
    ASSERT_LE(cache.queue_length(), bound);
  }
}

}  // namespace
}  // namespace vantre
