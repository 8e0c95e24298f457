// The key index while persist or vacuum reads it: random puts and deletes
// through every phase (frozen, renumbering, merging) against a map, with
// the frozen index checked unchanged while it must be.
#include "engine/state/frozen_index.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <utility>
#include <vector>

namespace vantre {
namespace {

std::vector<uint32_t> IdsOf(const RetiredJournal& journal) {
  std::vector<uint32_t> ids;
  journal.ForEach([&](uint32_t id) { ids.push_back(id); });
  return ids;
}

using Model = std::map<uint64_t, uint32_t>;

// Ids as the index's own order gives them: for comparing layouts.
std::vector<std::pair<uint64_t, uint32_t>> Entries(const KeyIndex& index) {
  std::vector<std::pair<uint64_t, uint32_t>> out;
  for (const KeyIndex::Entry& e : index) out.emplace_back(e.hash(), e.id);
  return out;
}

// A renumbering that maps each frozen id to a new one by a fixed rule.
class AddRenumbering final : public Renumbering {
 public:
  AddRenumbering(const KeyIndex& index, uint32_t offset) : offset_(offset) {
    for (const KeyIndex::Entry& e : index) in_order_.push_back(e.id + offset_);
  }
  uint32_t NewId(uint32_t old_id) const override { return old_id + offset_; }
  std::span<const uint32_t> ids_in_index_order() const override { return in_order_; }

 private:
  uint32_t offset_;
  std::vector<uint32_t> in_order_;
};

class FrozenIndexTest : public testing::Test {
 protected:
  // Hashes whose high halves often share a home slot, so that runs form.
  uint64_t RandomHash() { return (rng_() % 64) << 32 | (rng_() % 4096); }

  // One random put or delete, checked against the model for the id it
  // replaces; then a random lookup, checked.
  void Step() {
    const uint64_t hash = RandomHash();
    const auto it = model_.find(hash);
    const std::optional<uint32_t> before =
        it == model_.end() ? std::nullopt : std::optional<uint32_t>(it->second);
    frozen_.Reserve(index_);
    if (rng_() % 3 != 0) {
      const uint32_t id = next_id_++;
      const Record r{rng_() % 1000, 5, rng_() % 1000, 7};
      EXPECT_EQ(frozen_.Put(index_, hash, id, r), before);
      model_[hash] = id;
      const KeyIndex::Entry* e = frozen_.Find(index_, hash);
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->id, id);
      EXPECT_TRUE(e->located());
      EXPECT_EQ(e->record().key_offset, r.key_offset);
    } else {
      EXPECT_EQ(frozen_.Erase(index_, hash), before);
      model_.erase(hash);
      EXPECT_EQ(frozen_.Find(index_, hash), nullptr);
    }
    CheckLookup(RandomHash());
  }
  void CheckLookup(uint64_t hash) {
    const auto it = model_.find(hash);
    const KeyIndex::Entry* e = frozen_.Find(index_, hash);
    const std::optional<uint32_t> id = frozen_.IdOf(index_, hash);
    if (it == model_.end()) {
      EXPECT_EQ(e, nullptr);
      EXPECT_EQ(id, std::nullopt);
    } else {
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->id, it->second);
      EXPECT_EQ(id, it->second);
    }
  }
  void CheckAll() {
    for (const auto& [hash, id] : model_) EXPECT_EQ(frozen_.IdOf(index_, hash), id) << hash;
  }

  // Writes before, during and after a freeze whose overlay starts from
  // `overlay`, which they fill past `filled_past` entries; then the merge,
  // with writes between its batches.
  void FreezeWriteAndMerge(KeyIndex overlay, size_t filled_past) {
    for (int i = 0; i < 2000; ++i) Step();
    const auto frozen_entries = Entries(index_);
    frozen_.Freeze(/*journal=*/false, std::move(overlay));
    for (int i = 0; i < 3000; ++i) Step();
    // Nothing the other thread reads changed: the layout, the ids.
    EXPECT_EQ(Entries(index_), frozen_entries);
    EXPECT_GT(frozen_.overlay_size(), filled_past);
    CheckAll();
    frozen_.EndFreeze();
    // Writes go on between the merge's batches.
    while (!frozen_.MergeStep(index_, 50)) {
      for (int i = 0; i < 20; ++i) Step();
      CheckAll();
    }
    EXPECT_TRUE(frozen_.idle());
    EXPECT_EQ(frozen_.overlay_size(), 0u);
    EXPECT_EQ(index_.size(), model_.size());
    for (const auto& [hash, id] : model_) {
      const uint32_t* found = index_.find_id(hash);
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(*found, id);
    }
  }

  std::mt19937_64 rng_{7};
  KeyIndex index_;
  FrozenIndex frozen_;
  Model model_;
  uint32_t next_id_ = 0;
};

TEST_F(FrozenIndexTest, WritesWhileFrozenGoBesideTheIndexAndMergeBack) {
  FreezeWriteAndMerge(KeyIndex(), 0);
}

// The overlay may start from a table sized ahead (outside the store's lock):
// writes fill it, grow it past that size, and merge back the same.
TEST_F(FrozenIndexTest, AnOverlaySizedAheadFillsGrowsAndMergesTheSame) {
  KeyIndex overlay;
  overlay.reserve(500);
  FreezeWriteAndMerge(std::move(overlay), 500);
}

// A journal of more ids than a chunk holds lists them all, in order, and
// taking it leaves an empty one that fills again.
TEST(RetiredJournalTest, ListsEveryIdInOrderAcrossChunks) {
  RetiredJournal journal;
  EXPECT_TRUE(journal.empty());
  std::vector<uint32_t> added;
  for (uint32_t i = 0; i < 40000; ++i) {
    journal.Reserve();
    journal.Add(i * 7 % 40009);
    added.push_back(i * 7 % 40009);
  }
  EXPECT_EQ(journal.size(), added.size());
  EXPECT_EQ(IdsOf(journal), added);
  RetiredJournal taken = std::exchange(journal, {});
  EXPECT_TRUE(journal.empty());
  journal.Reserve();
  journal.Add(5);
  EXPECT_EQ(IdsOf(journal), std::vector<uint32_t>{5});
  EXPECT_EQ(taken.size(), added.size());
}

TEST_F(FrozenIndexTest, JournalListsTheRetiredIdsInOrder) {
  frozen_.Put(index_, 1, 10, Record{});
  frozen_.Freeze(/*journal=*/true);
  frozen_.Reserve(index_);
  frozen_.Retired(*frozen_.Put(index_, 1, 11, Record{}));
  frozen_.Reserve(index_);
  frozen_.Retired(*frozen_.Erase(index_, 1));
  EXPECT_EQ(IdsOf(frozen_.TakeJournal()), (std::vector<uint32_t>{10, 11}));
  EXPECT_TRUE(frozen_.TakeJournal().empty());
  EXPECT_FALSE(frozen_.Erase(index_, 1).has_value());  // a tombstone hides the index's entry
  EXPECT_EQ(frozen_.Find(index_, 1), nullptr);
}

TEST_F(FrozenIndexTest, RenumberingTranslatesWhatItHasNotReachedYet) {
  for (int i = 0; i < 3000; ++i) Step();
  frozen_.Freeze(/*journal=*/true);
  const uint32_t carried_from = next_id_;
  for (int i = 0; i < 1000; ++i) Step();
  // The switch: frozen entries get id + 100000, those written since the
  // freeze move from carried_from to 500000.
  constexpr uint32_t kOffset = 100000;
  constexpr uint32_t kCarriedTo = 500000;
  for (auto& [hash, id] : model_) {
    id = id >= carried_from ? kCarriedTo + (id - carried_from) : id + kOffset;
  }
  frozen_.StartRenumbering(index_, std::make_unique<AddRenumbering>(index_, kOffset),
                           carried_from, kCarriedTo);
  next_id_ = kCarriedTo + (next_id_ - carried_from);
  CheckAll();
  while (!frozen_.RenumberStep(index_, 100)) {
    for (int i = 0; i < 10; ++i) Step();
    CheckAll();
  }
  while (!frozen_.MergeStep(index_, 100)) {
    for (int i = 0; i < 10; ++i) Step();
  }
  EXPECT_TRUE(frozen_.idle());
  EXPECT_EQ(index_.size(), model_.size());
  for (const auto& [hash, id] : model_) {
    const uint32_t* found = index_.find_id(hash);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, id);
  }
}

TEST_F(FrozenIndexTest, EmptyIndexRenumbersAtOnce) {
  frozen_.Freeze(/*journal=*/true);
  frozen_.Reserve(index_);
  frozen_.Put(index_, 5, 0, Record{});
  frozen_.StartRenumbering(index_, std::make_unique<AddRenumbering>(index_, 0), 0, 7);
  EXPECT_EQ(frozen_.phase(), FrozenIndex::Phase::kMerging);
  EXPECT_EQ(frozen_.IdOf(index_, 5), 7u);
  EXPECT_TRUE(frozen_.MergeStep(index_, 10));
  EXPECT_EQ(*index_.find_id(5), 7u);
}

}  // namespace
}  // namespace vantre
