// Persist and vacuum beside reads and writes in other threads: every read
// sees every write acknowledged before it, and the store holds exactly the
// writes made, in process and after a reopen, however the calls interleave.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/db/database.h"
#include "engine/format/snapshot.h"
#include "engine/format/wal_entry.h"
#include "engine/db/log_replay.h"
#include "test_util.h"

namespace vantre {
namespace {

using Model = std::map<std::string, std::string>;

std::optional<std::string> Read(Database& db, std::string_view key) {
  std::optional<std::string> out;
  db.Get(key, [&](Bytes v) { out = std::string(AsText(v)); });
  return out;
}

// The whole store, through Keys and Get, checked against `model`.
void ExpectContents(Database& db, const Model& model) {
  std::vector<std::string> keys = db.Keys();
  ASSERT_EQ(keys.size(), model.size());
  EXPECT_EQ(db.Len(), model.size());
  std::sort(keys.begin(), keys.end());
  size_t i = 0;
  for (const auto& [key, value] : model) {
    ASSERT_EQ(keys[i++], key);
    EXPECT_EQ(Read(db, key), value) << key;
  }
}

// A writer's share of the key space: it alone writes these keys, so what
// it reads back is what it wrote last.
class Writer {
 public:
  Writer(Database* db, int index, uint64_t seed) : db_(db), index_(index), rng_(seed) {}

  // One random put, delete or read of its keys, checked.
  void Step() {
    const std::string key = "w" + std::to_string(index_) + "-" + std::to_string(rng_() % 400);
    const uint64_t r = rng_() % 10;
    if (r < 5) {
      std::string value(rng_() % 300, static_cast<char>('a' + rng_() % 26));
      value += std::to_string(seq_++);
      db_->Put(key, AsBytes(value));
      model_[key] = value;
    } else if (r < 7) {
      EXPECT_EQ(db_->Delete(key), model_.erase(key) == 1) << key;
    } else if (r < 9) {
      const auto it = model_.find(key);
      const std::optional<std::string> expected =
          it == model_.end() ? std::nullopt : std::optional<std::string>(it->second);
      ASSERT_EQ(Read(*db_, key), expected) << key;
    } else {
      std::vector<std::string> keys;
      std::vector<std::string_view> views;
      for (int i = 0; i < 20; ++i) {
        keys.push_back("w" + std::to_string(index_) + "-" + std::to_string(rng_() % 400));
      }
      views.assign(keys.begin(), keys.end());
      std::vector<std::optional<std::string>> got(keys.size());
      db_->GetMany(views, [&](size_t i, Bytes v) { got[i] = std::string(AsText(v)); });
      for (size_t i = 0; i < keys.size(); ++i) {
        const auto it = model_.find(keys[i]);
        ASSERT_EQ(got[i], it == model_.end() ? std::nullopt
                                             : std::optional<std::string>(it->second))
            << keys[i];
      }
    }
  }
  const Model& model() const { return model_; }

 private:
  Database* db_;
  int index_;
  std::mt19937_64 rng_;
  Model model_;
  uint64_t seq_ = 0;
};

class ConcurrencyTest : public testing::Test {
 protected:
  ConcurrencyTest() : dir_(tmp_.Join("db")) {}

  // Loads `n` keys of the shared space (never written by the writers), a
  // tenth of them deleted again, so that persist and vacuum have work.
  void Load(int n) {
    for (int i = 0; i < n; ++i) {
      const std::string key = "base" + std::to_string(i);
      const std::string value = std::string(100, 'b') + std::to_string(i);
      db_->Put(key, AsBytes(value));
      base_[key] = value;
    }
    for (int i = 0; i < n; i += 10) {
      db_->Delete("base" + std::to_string(i));
      base_.erase("base" + std::to_string(i));
    }
  }

  // Runs `writers` writer threads while this thread calls `maintenance`
  // `rounds` times; then checks the contents, and again after a reopen.
  template <typename F>
  void RunBeside(int writers, int rounds, F&& maintenance) {
    std::atomic<bool> stop{false};
    std::vector<Writer> w;
    for (int i = 0; i < writers; ++i) w.emplace_back(db_.get(), i, 1000 + i);
    std::vector<std::thread> threads;
    std::atomic<int> started{0};
    for (int i = 0; i < writers; ++i) {
      threads.emplace_back([&, i] {
        started++;
        // At least a few steps each, however fast the maintenance is.
        for (int n = 0; !stop || n < 200; ++n) w[i].Step();
      });
    }
    while (started < writers) std::this_thread::yield();
    for (int r = 0; r < rounds; ++r) maintenance(r);
    stop = true;
    for (auto& t : threads) t.join();
    Model model = base_;
    for (const Writer& x : w) model.insert(x.model().begin(), x.model().end());
    ExpectContents(*db_, model);
    db_.reset();
    db_ = Database::Open(dir_, 64);
    ExpectContents(*db_, model);
    // And once more after a last maintenance with nothing beside it.
    db_->Vacuum();
    db_->Persist();
    db_.reset();
    db_ = Database::Open(dir_, 64);
    ExpectContents(*db_, model);
  }

  test::TempDir tmp_;
  std::string dir_;
  std::shared_ptr<Database> db_ = Database::Open(dir_, 64);
  Model base_;
};

TEST_F(ConcurrencyTest, PersistBesideWriters) {
  Load(20000);
  RunBeside(3, 6, [&](int) { db_->Persist(); });
}

TEST_F(ConcurrencyTest, VacuumBesideWriters) {
  Load(20000);
  RunBeside(3, 6, [&](int) { db_->Vacuum(); });
}

TEST_F(ConcurrencyTest, EveryMaintenanceBesideWriters) {
  Load(5000);
  RunBeside(2, 12, [&](int r) {
    switch (r % 4) {
      case 0: db_->Vacuum(); break;
      case 1: db_->Persist(); break;
      case 2: db_->Sync(); break;
      default: db_->ClearCache(); db_->Vacuum(); break;
    }
  });
}

// A fresh store: the first vacuum has nothing frozen to copy but what the
// writers write meanwhile.
TEST_F(ConcurrencyTest, VacuumOfAnEmptyStoreBesideWriters) {
  RunBeside(2, 8, [&](int r) {
    if (r % 2 == 0) {
      db_->Vacuum();
    } else {
      db_->Persist();
    }
  });
}

// The log after a persist holds exactly the records written since it
// began: a suffix of the writes, in order, holding every write made after
// it returned.
TEST_F(ConcurrencyTest, LogKeepsTheWritesMadeDuringPersist) {
  Load(30000);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> done_at{0};
  std::vector<std::string> written;  // values, in order
  std::thread writer([&] {
    for (uint64_t i = 0; !stop; ++i) {
      const std::string value = "v" + std::to_string(i);
      db_->Put("k" + std::to_string(i % 50), AsBytes(value));
      written.push_back(value);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  db_->Persist();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  stop = true;
  writer.join();
  db_->Flush();
  File log = File::Open(JoinPath(dir_, kWalFile), O_RDONLY);
  std::vector<std::string> logged;
  ReplayLogFile(log, [&](const WalEntry& e, uint64_t) {
    logged.emplace_back(AsText(e.val));
    return true;
  });
  ASSERT_LE(logged.size(), written.size());
  EXPECT_TRUE(std::equal(logged.begin(), logged.end(), written.end() - logged.size()));
  db_.reset();
  db_ = Database::Open(dir_, 64);
  for (size_t i = written.size() - std::min<size_t>(50, written.size()); i < written.size(); ++i) {
    EXPECT_EQ(Read(*db_, "k" + std::to_string(i % 50)), written[i]);
  }
}

}  // namespace
}  // namespace vantre
