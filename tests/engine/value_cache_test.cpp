#include "engine/state/value_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

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
    Remove(hash);
    if (items_.size() >= capacity_) Remove(items_.back().first);
    items_.emplace_front(hash, v);
    index_[hash] = items_.begin();
  }
  void Remove(uint64_t hash) {
    auto it = Find(hash);
    if (it == items_.end()) return;
    index_.erase(hash);
    items_.erase(it);
  }
  void Clear() {
    items_.clear();
    index_.clear();
  }
  size_t size() const { return items_.size(); }

 private:
  using Items = std::list<std::pair<uint64_t, std::string>>;
  Items::iterator Find(uint64_t hash) {
    auto it = index_.find(hash);
    return it == index_.end() ? items_.end() : it->second;
  }

  uint64_t capacity_;
  Items items_;
  std::unordered_map<uint64_t, Items::iterator> index_;
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

// A value given as a view of the cache's own bytes: of the entry it
// replaces, and of a long entry that the insert evicts.
TEST(ValueCacheTest, InsertsFromItsOwnBytes) {
  ValueCache cache(1);
  const std::string long_value(9000, 'x');
  Insert(&cache, kA, long_value);
  cache.Insert(kA, *cache.Lookup(kA));
  cache.Insert(kB, *cache.Lookup(kA));
  EXPECT_EQ(Value(cache.Lookup(kB)), long_value);
  EXPECT_EQ(Value(cache.Lookup(kA)), "<miss>");
}

// Values of every kind of storage: inline in small and large chunks on
// both sides of the largest chunk, and long values in their own buffers.
std::string RandomValue(std::mt19937_64& rng, int step) {
  static constexpr size_t kSizes[] = {0, 40, 100, 300, 4050, 4072, 4073, 9000};
  const size_t base = kSizes[rng() % std::size(kSizes)];
  return std::string(base + (base > 0 ? rng() % 16 : 0), static_cast<char>('a' + step % 26));
}

// Long random runs of every operation against the plain list, through many
// reuses of freed chunks and (at the largest capacity) growth of the
// table: every lookup must agree (which keys survive is the order of use).
TEST(ValueCacheTest, MatchesAPlainLruList) {
  for (uint64_t capacity : {0, 1, 3, 50, 40000}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    ValueCache cache(capacity);
    ModelLru model(capacity);
    std::mt19937_64 rng(capacity + 1);
    std::vector<uint64_t> hashes(std::max<uint64_t>(capacity, 1) * 2 + 1);
    for (uint64_t& h : hashes) h = rng();
    for (int step = 0; step < 200000; ++step) {
      const uint64_t hash = hashes[rng() % hashes.size()];
      const unsigned op = rng() % 100;
      if (op < 60) {
        ASSERT_EQ(Value(cache.Lookup(hash)), model.Lookup(hash).value_or("<miss>")) << "step " << step;
      } else if (op < 97) {
        const std::string v = RandomValue(rng, step);
        ASSERT_EQ(Value(Insert(&cache, hash, v)), v);
        model.Insert(hash, v);
      } else if (op < 99) {
        cache.Remove(hash);
        model.Remove(hash);
      } else if (rng() % (50 + capacity) == 0) {
        cache.Clear();
        model.Clear();
      }
      ASSERT_EQ(cache.size(), model.size()) << "step " << step;
    }
  }
}

// Memory must stay bounded however long the cache runs: when every read
// misses and evicts (a cache of 10 with 11 keys read in turn, values of
// varied sizes) the freed chunks are reused, and Clear gives blocks back.
TEST(ValueCacheTest, MemoryStaysBounded) {
  ValueCache cache(10);
  std::mt19937_64 rng(7);
  uint64_t warm = 0;
  for (int i = 0; i < 1000000; ++i) {
    const uint64_t hash = i % 11 + 1;
    ASSERT_FALSE(cache.Lookup(hash).has_value());
    Insert(&cache, hash, RandomValue(rng, i));
    if (i == 100000) warm = cache.slab_bytes();
  }
  EXPECT_EQ(cache.size(), 10u);
  EXPECT_EQ(cache.slab_bytes(), warm);
  ValueCache big(100000);
  for (uint64_t hash = 1; hash <= 100000; ++hash) Insert(&big, hash, std::string(100, 'v'));
  EXPECT_GE(big.slab_bytes(), 100000u * 128);
  big.Clear();
  EXPECT_LE(big.slab_bytes(), 16384u);
}

// The cache moves with its store: the new owner serves and frees the
// entries, the old one is empty.
TEST(ValueCacheTest, MoveKeepsEntries) {
  ValueCache cache(4);
  Insert(&cache, kA, "a");
  Insert(&cache, kB, std::string(9000, 'b'));
  ValueCache moved(std::move(cache));
  EXPECT_EQ(cache.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_EQ(Value(moved.Lookup(kA)), "a");
  EXPECT_EQ(Value(moved.Lookup(kB)), std::string(9000, 'b'));
}

}  // namespace
}  // namespace vantre
