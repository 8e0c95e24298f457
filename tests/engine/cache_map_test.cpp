#include "engine/state/cache_map.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace vantre {
namespace {

// Random inserts, erasures and lookups against a plain map: in tables of a
// few slots, where runs wrap around the end and erasures shift entries
// across it, and through growth to thousands of entries.
TEST(CacheMapTest, AgreesWithAMap) {
  for (size_t keys : {3, 8, 40, 5000}) {
    SCOPED_TRACE("keys " + std::to_string(keys));
    CacheMap map;
    std::unordered_map<uint64_t, uint32_t> model;
    std::mt19937_64 rng(keys);
    std::vector<uint64_t> hashes(keys);
    for (uint64_t& h : hashes) h = rng();
    for (int step = 0; step < 100000; ++step) {
      const uint64_t hash = hashes[rng() % keys];
      CacheMap::Slot* slot = map.Find(hash);
      auto it = model.find(hash);
      ASSERT_EQ(slot != nullptr, it != model.end()) << step;
      if (slot != nullptr) {
        ASSERT_EQ(slot->node, it->second) << step;
        if (rng() % 2 == 0) {
          map.Erase(slot);
          model.erase(it);
        }
      } else if (rng() % 3 != 0) {
        const uint32_t node = static_cast<uint32_t>(step);
        ASSERT_TRUE(map.Insert(hash, node));
        model[hash] = node;
      }
      ASSERT_EQ(map.size(), model.size());
    }
    for (const auto& [hash, node] : model) {
      ASSERT_NE(map.Find(hash), nullptr);
      EXPECT_EQ(map.Find(hash)->node, node);
    }
    map.Clear();
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.Find(hashes[0]), nullptr);
    CacheMap moved(std::move(map));
    EXPECT_TRUE(moved.Insert(hashes[0], 1));
    EXPECT_EQ(moved.Find(hashes[0])->node, 1u);
  }
}

}  // namespace
}  // namespace vantre
