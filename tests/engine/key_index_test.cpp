#include "engine/state/key_index.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace vantre {
namespace {

// Random operations against an ordered map, with hashes drawn so that
// their high halves collide often (long runs, spare slots outgrown) or
// never, through growth, erasure down to empty, copies and moves.
void AgreesWithMap(uint64_t high_range, int rounds) {
  std::mt19937_64 rng(high_range);
  KeyIndex index;
  std::map<uint64_t, uint32_t> model;
  const auto random_hash = [&] {
    return (rng() % high_range) << 32 | (rng() & 0xFFFF);
  };
  for (int op = 0; op < rounds; ++op) {
    const uint64_t hash = random_hash();
    const uint32_t id = static_cast<uint32_t>(op);
    switch (rng() % 8) {
      case 0:
      case 1:
        EXPECT_EQ(index.erase(hash), model.erase(hash) == 1);
        break;
      case 2:
        EXPECT_EQ(index.emplace(hash, id), model.emplace(hash, id).second);
        break;
      default: {
        index.ReserveOneMore();
        const auto old = index.Put(hash, id, Record{op % 7u, 3, 100, 5});
        const auto it = model.find(hash);
        EXPECT_EQ(old.has_value(), it != model.end());
        if (old) {
          EXPECT_EQ(*old, it->second);
        }
        model[hash] = id;
        const KeyIndex::Entry* e = index.find(hash);
        ASSERT_NE(e, nullptr);
        EXPECT_TRUE(e->located() && e->record().key_offset == op % 7u);
      }
    }
    if (op % 5000 == 0 || op == rounds - 1) {
      ASSERT_EQ(index.size(), model.size());
      auto m = model.begin();
      for (const KeyIndex::Entry& e : index) {  // ascending, as the map
        ASSERT_EQ(e.hash(), m->first);
        ASSERT_EQ(e.id, m->second);
        ++m;
      }
      for (int probe = 0; probe < 200; ++probe) {
        const uint64_t h = random_hash();
        const uint32_t* found = index.find_id(h);
        ASSERT_EQ(found != nullptr, model.count(h) == 1);
        if (found) {
          ASSERT_EQ(*found, model.at(h));
        }
      }
      KeyIndex copy = index;
      KeyIndex moved = std::move(copy);
      ASSERT_TRUE(moved == index);
    }
  }
  for (const auto& [hash, id] : model) ASSERT_TRUE(index.erase(hash));
  EXPECT_TRUE(index.empty());
  EXPECT_EQ(index.begin(), index.end());
}

TEST(KeyIndexTest, AgreesWithAMapForSpreadHashes) { AgreesWithMap(uint64_t{1} << 32, 200000); }

TEST(KeyIndexTest, AgreesWithAMapWhenHighHalvesCollide) { AgreesWithMap(3, 30000); }

TEST(KeyIndexTest, ReserveAndClearKeepEntriesFindable) {
  KeyIndex index{{1, 1}, {~uint64_t{0}, 2}};
  index.reserve(100000);
  EXPECT_EQ(*index.find_id(~uint64_t{0}), 2u);
  index.insert_or_assign(1, 9);
  EXPECT_EQ(*index.find_id(1), 9u);
  EXPECT_FALSE(index.find(1)->located());
  index.clear();
  EXPECT_TRUE(index.empty());
  EXPECT_EQ(index.find(1), nullptr);
  EXPECT_TRUE(index.emplace(0, 4));
  EXPECT_EQ(*index.find_id(0), 4u);
}

}  // namespace
}  // namespace vantre
