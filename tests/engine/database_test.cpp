// The store through its front door: a storage directory opened, written,
// persisted, compacted and reopened, with its files checked and damaged
// between runs.
#include "engine/db/database.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/util/error.h"
#include "engine/format/key_hash.h"
#include "engine/format/snapshot.h"
#include "engine/io/missing_ranges.h"
#include "test_util.h"

namespace vantre {
namespace {

namespace fs = std::filesystem;

class DatabaseTest : public testing::Test {
 protected:
  DatabaseTest() : dir_(tmp_.Join("db")) {}

  void Reopen(uint64_t cache_capacity = 64) {
    Close();
    db_ = Database::Open(dir_, cache_capacity);
  }
  // Releases the store as teardown does, flushing the buffers.
  void Close() { db_.reset(); }

  void Put(std::string_view key, std::string_view val) { db_->Put(key, AsBytes(val)); }
  bool Remove(std::string_view key) { return db_->Delete(key); }
  std::string Get(std::string_view key) {
    std::string out = "<absent>";
    db_->Get(key, [&](Bytes v) { out = std::string(AsText(v)); });
    return out;
  }
  std::string Path(const char* name) const { return JoinPath(dir_, name); }
  std::string Contents(const char* name) const { return test::ReadFileText(Path(name)); }
  // The snapshot persist writes now.
  SnapshotData Snapshot() {
    db_->Persist();
    File in = File::Open(Path(kSnapshotFile), O_RDONLY);
    return ReadSnapshot(in).value();
  }

  test::TempDir tmp_;
  std::string dir_;
  std::shared_ptr<Database> db_;
};

TEST_F(DatabaseTest, NewDirectory) {
  dir_ = tmp_.Join("a/b");  // parents are created too
  Reopen();
  EXPECT_EQ(Contents(kOffsetsFile), std::string(2400000, '\0'));
  for (const char* name : {kKeysFile, kValsFile, kWalFile}) {
    EXPECT_TRUE(std::filesystem::exists(Path(name))) << name;
    EXPECT_EQ(test::FileSize(Path(name)), 0u) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(Path(kSnapshotFile)));
  EXPECT_EQ(db_->Len(), 0u);
  EXPECT_EQ(Get("a"), "<absent>");
  EXPECT_FALSE(Remove("a"));
}

TEST_F(DatabaseTest, PutReadRemove) {
  for (uint64_t cache_capacity : {0, 64}) {
    dir_ = tmp_.Join("cache" + std::to_string(cache_capacity));
    Reopen(cache_capacity);
    Put("a", "1");
    Put("b", "2");
    Put("a", "3");
    Put("", "");
    Put("\xc3\xa9t\xc3\xa9", std::string(100000, 'v'));
    EXPECT_EQ(Get("a"), "3");
    EXPECT_EQ(Get("b"), "2");
    EXPECT_EQ(Get(""), "");
    EXPECT_EQ(Get("\xc3\xa9t\xc3\xa9"), std::string(100000, 'v'));
    EXPECT_EQ(Get("c"), "<absent>");
    EXPECT_TRUE(Remove("b"));
    EXPECT_FALSE(Remove("b"));
    EXPECT_EQ(Get("b"), "<absent>");
    EXPECT_EQ(db_->Len(), 3u);
    EXPECT_EQ(db_->Keys(), (std::vector<std::string>{"a", "", "\xc3\xa9t\xc3\xa9"}));
    const SnapshotData snap = Snapshot();
    EXPECT_EQ(snap.record_count, 5u);
    EXPECT_EQ(snap.dead.toString(), "{0,1}");
  }
}

// A batch reads exactly what the same sequence of single reads would.
TEST_F(DatabaseTest, GetManyInOrder) {
  Reopen(1);
  Put("a", "1");
  Put("b", "2");
  const std::string_view keys[] = {"b", "zz", "a", "b"};
  std::vector<std::string> seen(4, "<absent>");
  db_->GetMany(keys, [&](size_t i, Bytes v) { seen[i] = std::string(AsText(v)); });
  EXPECT_EQ(seen, (std::vector<std::string>{"2", "<absent>", "1", "2"}));
  EXPECT_EQ(db_->GetCacheStats().entries, 1u);
}

// Batches longer than the slices they are read in, over a cache that
// evicts within a batch, against a model.
// Reads, single and in batches longer than the slices they are read in,
// agree with a model through puts, deletes, persist, vacuum and reopen (the
// key index then learns its records' locations again), over a cache that
// holds only a few values. Some keys and one value are too long for the
// index to hold their location.
TEST_F(DatabaseTest, ReadsAgreeWithAModel) {
  Reopen(7);
  std::mt19937 rng(7);
  std::map<std::string, std::string> model;
  std::vector<std::string> names;
  for (int i = 0; i < 60; ++i) names.push_back("key" + std::to_string(i));
  for (int i = 0; i < 3; ++i) names.push_back(std::string(1100, 'L') + std::to_string(i));
  Put(names[0], std::string((4 << 20) + 1, 'x'));
  model[names[0]] = std::string((4 << 20) + 1, 'x');
  for (int round = 0; round < 300; ++round) {
    const std::string& key = names[1 + rng() % (names.size() - 1)];
    if (rng() % 4 == 0) {
      Remove(key);
      model.erase(key);
    } else {
      const std::string val(rng() % 200, static_cast<char>('a' + round % 26));
      Put(key, val);
      model[key] = val;
    }
    switch (rng() % 30) {
      case 0: db_->Persist(); break;
      case 1: db_->Vacuum(); break;
      case 2: Reopen(7); break;
      case 3: db_->ClearCache(); break;
    }
    std::vector<std::string_view> batch(rng() % (3 * kMaxPreparedReads + 2));
    for (auto& k : batch) k = names[rng() % names.size()];
    std::vector<std::string> seen(batch.size(), "<absent>");
    db_->GetMany(batch, [&](size_t i, Bytes v) { seen[i] = std::string(AsText(v)); });
    for (size_t i = 0; i < batch.size(); ++i) {
      auto it = model.find(std::string(batch[i]));
      ASSERT_EQ(seen[i], it == model.end() ? "<absent>" : it->second) << round;
      ASSERT_EQ(Get(batch[i]), seen[i]) << round;
    }
  }
}

// offsets.bin holds 100,000 records until the put that needs a 100,001st.
TEST_F(DatabaseTest, GrowsAtCapacity) {
  Reopen();
  for (int i = 0; i < 100000; ++i) Put("k" + std::to_string(i), std::to_string(i));
  EXPECT_EQ(test::FileSize(Path(kOffsetsFile)), 2400000u);
  Put("k100000", "last");
  EXPECT_EQ(test::FileSize(Path(kOffsetsFile)), 4800000u);
  EXPECT_EQ(Get("k0"), "0");
  EXPECT_EQ(Get("k100000"), "last");
  EXPECT_EQ(*Snapshot().key_index.find_id(KeyHash("k100000")), 100000u);

  Reopen();
  EXPECT_EQ(db_->Len(), 100001u);
  EXPECT_EQ(test::FileSize(Path(kOffsetsFile)), 4800000u);
  EXPECT_EQ(Get("k99999"), "99999");
  EXPECT_EQ(Get("k100000"), "last");
}

// A write that rebuilds a large key index (or, during persist, the overlay)
// runs the caller's hook first, so that the binding lets the program's
// other threads run meanwhile; the other writes, uncontended, never do.
TEST_F(DatabaseTest, WritesRunTheHookBeforeALongIndexRebuild) {
  Reopen();
  int calls = 0;
  const WaitHook hook{[](void* n) { ++*static_cast<int*>(n); }, &calls};
  int first_call_at = -1;
  for (int i = 0; i < 300000; ++i) {
    const int before = calls;
    db_->Put("k" + std::to_string(i), AsBytes(std::string_view("v")), hook);
    ASSERT_LE(calls, before + 1) << i;
    if (calls > 0 && first_call_at < 0) first_call_at = i;
  }
  // 300,000 keys outgrow tables of 65,536 slots and more a few times (the
  // first at 80% of 65,536 entries); the smaller tables before them, and
  // every other put, run no hook.
  EXPECT_GE(calls, 3);
  EXPECT_LE(calls, 8);
  EXPECT_EQ(first_call_at, 65536 - 65536 / 5);
  // Deletes grow nothing outside persist and vacuum.
  const int rebuilds = calls;
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(db_->Delete("k" + std::to_string(i), hook));
  EXPECT_EQ(calls, rebuilds);
  EXPECT_EQ(Get("k299999"), "v");
}

// Without a snapshot, open replays the whole log on top of the data files,
// appending every key and value again.
TEST_F(DatabaseTest, ReopenReplaysTheLog) {
  Reopen();
  Put("a", "1");
  Put("b", "2");
  Put("a", "3");
  Remove("b");
  Close();
  EXPECT_EQ(Contents(kKeysFile), "aba");
  EXPECT_EQ(Contents(kValsFile), "123");
  const uint64_t log_size = 3 * 22 + 13;
  EXPECT_EQ(test::FileSize(Path(kWalFile)), log_size);

  Reopen();
  EXPECT_EQ(Get("a"), "3");
  EXPECT_EQ(Get("b"), "<absent>");
  EXPECT_EQ(db_->Len(), 1u);
  Close();
  // The replayed puts found their bytes where an earlier replay put them:
  // reopening without a snapshot does not grow the data files.
  EXPECT_EQ(Contents(kKeysFile), "aba");
  Reopen();
  EXPECT_EQ(Get("a"), "3");
  Close();
  EXPECT_EQ(Contents(kKeysFile), "aba");
  EXPECT_EQ(test::FileSize(Path(kWalFile)), log_size);

  // A torn record at the end is cut off, so later records are not stranded
  // behind it.
  test::WriteFileText(Path(kWalFile), Contents(kWalFile) + std::string("\0\0\0\0\x05\0", 6));
  Reopen();
  EXPECT_EQ(test::FileSize(Path(kWalFile)), log_size);
  Put("c", "4");
  Reopen();
  EXPECT_EQ(Get("a"), "3");
  EXPECT_EQ(Get("c"), "4");
}

TEST_F(DatabaseTest, PersistThenReopen) {
  Reopen();
  Put("a", "1");
  Put("b", "2");
  db_->Persist();
  EXPECT_TRUE(std::filesystem::exists(Path(kSnapshotFile)));
  EXPECT_FALSE(std::filesystem::exists(Path(kSnapshotTmpFile)));
  EXPECT_EQ(test::FileSize(Path(kWalFile)), 0u);
  Put("c", "3");
  Remove("a");
  Reopen();
  EXPECT_EQ(Get("a"), "<absent>");
  EXPECT_EQ(Get("b"), "2");
  EXPECT_EQ(Get("c"), "3");
  Close();
  // The replay starts at the data ends the snapshot names: nothing doubles.
  EXPECT_EQ(Contents(kKeysFile), "abc");
}

// When the address space is short, growing the record table takes it from
// the data files' read maps, and reads go on through the descriptor.
TEST_F(DatabaseTest, TableGrowthWinsAddressSpaceFromReadMaps) {
  Reopen(1);
  for (int i = 0; i < 100000; ++i) Put("k" + std::to_string(i), std::to_string(i));
  db_->Flush();
  EXPECT_EQ(Get("k5"), "5");  // maps keys.bin and vals.bin for reading
  test::AddressSpaceCap cap((1 << 20));
  std::string error;
  try {
    Put("k0", "new");  // the 100,001st record: the table doubles
  } catch (const std::exception& e) {
    error = e.what();
  }
  cap.Lift();
  EXPECT_EQ(error, "");
  EXPECT_EQ(test::FileSize(Path(kOffsetsFile)), 4800000u);
  EXPECT_EQ(Get("k0"), "new");
  EXPECT_EQ(Get("k99999"), "99999");
}

// Persist makes the overlay's table ahead of its lock, for a thirty-second
// of the keys; when the address space is too short for it, persist runs
// with an empty overlay instead, and the store goes on.
TEST_F(DatabaseTest, PersistGoesOnWhenTheOverlayCannotBeMadeAhead) {
  Reopen();
  constexpr int kKeys = 2'400'000;  // an overlay table of over 2 MB
  for (int i = 0; i < kKeys; ++i) Put("k" + std::to_string(i), "v");
  db_->Flush();
  test::AddressSpaceCap cap((2 << 20));
  std::string error;
  try {
    db_->Persist();
  } catch (const std::exception& e) {
    error = e.what();
  }
  cap.Lift();
  EXPECT_EQ(error, "");
  Put("after", "a");
  db_->Persist();
  Reopen();
  EXPECT_EQ(db_->Len(), kKeys + 1u);
  EXPECT_EQ(Get("k0"), "v");
  EXPECT_EQ(Get("after"), "a");
}

// A second open of a directory fails while the first is alive, changing
// nothing, and succeeds once it is gone.
TEST_F(DatabaseTest, OneOpenPerDirectory) {
  Reopen();
  Put("a", "1");
  try {
    Database::Open(dir_, 64);
    ADD_FAILURE() << "second open succeeded";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kWouldBlock);
  }
  EXPECT_EQ(Get("a"), "1");
  Reopen();
  EXPECT_EQ(Get("a"), "1");
}

// A snapshot that decodes but whose counts do not fit the files opens: only
// what the damaged counts touch fails, and nothing is sized from them.
// The refusal open gives a store whose files disagree: Damaged (EIO),
// pointing at recover, with every file as it was.
void ExpectRefusedUnchanged(const std::function<void()>& open,
                            const std::vector<std::string>& paths) {
  std::vector<std::string> before;
  for (const std::string& p : paths) before.push_back(test::ReadFileText(p));
  try {
    open();
    ADD_FAILURE() << "opened";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kInvalidData);
    EXPECT_EQ(e.code(), EIO);
    EXPECT_NE(e.text().find("vantre recover"), std::string::npos) << e.text();
  }
  for (size_t i = 0; i < paths.size(); ++i) {
    EXPECT_TRUE(test::ReadFileText(paths[i]) == before[i]) << paths[i] << " changed";
  }
}

TEST_F(DatabaseTest, SnapshotTheRecordTableContradictsIsRefused) {
  Reopen();
  Put("a", "1");
  Put("b", "22");
  db_->Persist();
  Close();
  const std::string good = Contents(kSnapshotFile);
  auto patched = [&](size_t from_end, uint64_t v, int width) {
    std::string s = good;
    const std::string bytes = width == 4 ? test::U32(static_cast<uint32_t>(v)) : test::U64(v);
    s.replace(s.size() - from_end, bytes.size(), bytes);
    return s;
  };
  const std::vector<std::string> files = {Path(kSnapshotFile), Path(kOffsetsFile),
                                          Path(kKeysFile), Path(kValsFile), Path(kWalFile)};
  // Data ends not where the last record ends (one far past the files, one
  // short of them), a record count past the table or short of the records.
  for (const std::string& bad : {patched(16, 1ull << 40, 8), patched(8, 2, 8),
                                 patched(20, 0x7fffffff, 4), patched(20, 1, 4)}) {
    test::WriteFileText(Path(kSnapshotFile), bad);
    ExpectRefusedUnchanged([&] { Reopen(); }, files);
    ExpectRefusedUnchanged([&] { Database::Open(dir_, 64, {.read_only = true}); }, files);
  }
  // A record table cut short of the count, or missing.
  test::WriteFileText(Path(kSnapshotFile), good);
  std::filesystem::resize_file(Path(kOffsetsFile), 24);
  ExpectRefusedUnchanged([&] { Reopen(); }, files);
  std::filesystem::remove(Path(kOffsetsFile));
  ExpectRefusedUnchanged([&] { Reopen(); }, {Path(kSnapshotFile), Path(kKeysFile)});
  EXPECT_FALSE(std::filesystem::exists(Path(kOffsetsFile)));
}

TEST_F(DatabaseTest, MissingRangeOfADataFileStaysUnreadable) {
  Reopen();
  for (int i = 0; i < 50; ++i) Put("k" + std::to_string(i), std::string(100, 'a' + i % 26));
  db_->Persist();
  Put("after", "x");
  Close();
  std::filesystem::resize_file(Path(kValsFile), 1000);  // k10 .. k49 lose their values
  // Opens with the range recorded; writes grow the file over it.
  for (int round = 0; round < 3; ++round) {
    Reopen();
    EXPECT_EQ(Get("k3"), std::string(100, 'd'));
    EXPECT_EQ(Get("after"), "x");
    EXPECT_THROW(Get("k20"), Unrecoverable);
    Put("new" + std::to_string(round), std::string(70000, 'n'));
    if (round == 1) db_->Persist();
    Close();
    EXPECT_GT(test::FileSize(Path(kValsFile)), 5000u);
  }
  EXPECT_EQ(test::FileSize(Path(kMissingFile)), 17u) << "one range, recorded once";
  Reopen();
  EXPECT_EQ(Get("new2"), std::string(70000, 'n'));
  EXPECT_THROW(Get("k49"), Unrecoverable);
  // A read-only open sees the same.
  Close();
  auto reader = Database::Open(dir_, 64, {.read_only = true});
  EXPECT_THROW(reader->Get("k20", [](Bytes) {}), Unrecoverable);
}

TEST_F(DatabaseTest, VacuumDropsMissingRangesOnlyWithTheFilesTheyDescribe) {
  Reopen();
  for (int i = 0; i < 10; ++i) Put("old" + std::to_string(i), std::string(1000, 'o'));
  for (int i = 0; i < 10; ++i) Put("live" + std::to_string(i), std::string(1000, 'l'));
  db_->Persist();
  Close();
  // A missing range under a live record: vacuum cannot copy it, and the
  // range stays listed.
  std::filesystem::resize_file(Path(kValsFile), 19500);
  Reopen();
  EXPECT_THROW(db_->Vacuum(), Error);
  Close();
  EXPECT_TRUE(std::filesystem::exists(Path(kMissingFile)));
  // Under dead records only: the compacted files are whole, and the list
  // of the old ones goes with them.
  test::TempDir other;
  dir_ = other.Join("db");
  Reopen();
  for (int i = 0; i < 10; ++i) Put("old" + std::to_string(i), std::string(1000, 'o'));
  for (int i = 0; i < 10; ++i) Put("live" + std::to_string(i), std::string(1000, 'l'));
  for (int i = 0; i < 10; ++i) Remove("old" + std::to_string(i));
  db_->Persist();
  Close();
  // A range of the first (dead) value listed missing, as an open that
  // found vals.bin cut there and then grown back would have left it.
  test::WriteFileText(Path(kMissingFile), std::string("\2", 1) + test::U64(500) + test::U64(1000));
  Reopen();
  db_->Vacuum();
  EXPECT_FALSE(std::filesystem::exists(Path(kMissingFile)));
  Close();
  Reopen();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Get("live" + std::to_string(i)), std::string(1000, 'l'));
}

TEST_F(DatabaseTest, FileCutUnderTheOpenStoreIsRecordedBeforeItGrowsBack) {
  Reopen(0);
  for (int i = 0; i < 20; ++i) Put("k" + std::to_string(i), std::string(5000, 'a' + i));
  db_->Persist();
  std::filesystem::resize_file(Path(kValsFile), 10000);  // under the open store
  Put("big", std::string(70000, 'b'));                     // grows the file back
  EXPECT_THROW(Get("k5"), Unrecoverable);
  Close();
  Reopen(0);
  EXPECT_THROW(Get("k5"), Unrecoverable);
  EXPECT_EQ(Get("k1"), std::string(5000, 'b'));
  EXPECT_EQ(Get("big"), std::string(70000, 'b'));
}

TEST_F(DatabaseTest, LogOfAnotherAgeIsRefused) {
  Reopen();
  for (int i = 0; i < 30; ++i) Put("a" + std::to_string(i), std::string(500, 'a'));
  db_->Persist();
  Close();
  const std::string older_snapshot = Contents(kSnapshotFile);
  Reopen();
  for (int i = 0; i < 30; ++i) Put("b" + std::to_string(i), std::string(500, 'b'));
  db_->Persist();
  for (int i = 0; i < 30; ++i) Put("c" + std::to_string(i), std::string(500, 'c'));
  Close();
  const std::string log = Contents(kWalFile);
  // An older snapshot under a newer log: the log's puts meet the b records.
  test::WriteFileText(Path(kSnapshotFile), older_snapshot);
  ExpectRefusedUnchanged([&] { Reopen(); },
                         {Path(kOffsetsFile), Path(kKeysFile), Path(kValsFile), Path(kWalFile)});
  ExpectRefusedUnchanged([&] { Database::Open(dir_, 64, {.read_only = true}); },
                         {Path(kOffsetsFile), Path(kKeysFile)});
}

TEST_F(DatabaseTest, RecordsNoLogAccountsForAreRefusedButOneLostBufferIsNot) {
  Reopen();
  for (int i = 0; i < 30; ++i) Put("a" + std::to_string(i), std::string(500, 'a'));
  db_->Persist();
  for (int i = 0; i < 30; ++i) Put("c" + std::to_string(i), std::string(500, 'c'));
  Close();
  const std::string log = Contents(kWalFile);
  // The log lost: 30 records of 500 bytes are more than a crash can lose.
  test::WriteFileText(Path(kWalFile), "");
  ExpectRefusedUnchanged([&] { Reopen(); }, {Path(kOffsetsFile), Path(kKeysFile), Path(kWalFile)});
  std::filesystem::remove(Path(kWalFile));
  ExpectRefusedUnchanged([&] { Reopen(); }, {Path(kOffsetsFile), Path(kKeysFile)});
  EXPECT_FALSE(std::filesystem::exists(Path(kWalFile)));
  // The log cut after its 20th record: the last 10 (5.2 KB) are what a
  // crash loses with the log buffer, and the store opens without them.
  const size_t record = 20 + 500;  // and the key: "c0" .. "c9", then "c10" ..
  test::WriteFileText(Path(kWalFile), log.substr(0, 10 * (record + 2) + 10 * (record + 3)));
  Reopen();
  EXPECT_EQ(Get("c19"), std::string(500, 'c'));
  EXPECT_EQ(Get("c20"), "<absent>");
  // And the snapshot removed: every record, none in the log.
  Close();
  std::filesystem::remove(Path(kSnapshotFile));
  test::WriteFileText(Path(kWalFile), "");
  ExpectRefusedUnchanged([&] { Reopen(); }, {Path(kOffsetsFile), Path(kKeysFile)});
}

// A snapshot that does not decode is refused, and nothing is changed.
TEST_F(DatabaseTest, UndecodableSnapshotIsRefused) {
  Reopen();
  Put("a", "1");
  db_->Persist();
  Close();
  const std::string good = Contents(kSnapshotFile);
  test::WriteFileText(Path(kSnapshotFile), good.substr(0, good.size() - 1));
  const std::string wal = Contents(kWalFile);
  try {
    Reopen();
    ADD_FAILURE() << "damaged snapshot accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), EIO);
    EXPECT_EQ(e.path(), Path(kSnapshotFile));
  }
  EXPECT_EQ(Contents(kWalFile), wal);
  EXPECT_EQ(Contents(kSnapshotFile), good.substr(0, good.size() - 1));
}

// Vacuum keeps only the live records, renumbered, and writes a snapshot of
// them, so a reopen without persist finds them all.
TEST_F(DatabaseTest, VacuumThenReopenWithoutPersist) {
  const std::string big(1536 * 1024, 'b');  // larger than a read window
  auto want = [&](int i) -> std::string {
    if (i % 3 == 0) return "<absent>";
    return i % 3 == 1 ? "new" + std::to_string(i) : i == 2 ? big : "old";
  };
  Reopen();
  for (int i = 0; i < 1000; ++i) Put("k" + std::to_string(i), i == 2 ? big : "old");
  for (int i = 0; i < 1000; ++i) {
    if (i % 3 == 0) Remove("k" + std::to_string(i));
    if (i % 3 == 1) Put("k" + std::to_string(i), want(i));
  }
  std::string live_keys;
  for (const std::string& key : db_->Keys()) live_keys += key;  // in id order
  db_->Vacuum();
  EXPECT_EQ(test::FileSize(Path(kWalFile)), 0u);
  Put("after", "vacuum");
  const SnapshotData snap = Snapshot();
  EXPECT_EQ(snap.record_count, 667u);
  EXPECT_TRUE(snap.dead.isEmpty());
  Close();

  EXPECT_EQ(Contents(kKeysFile), live_keys + "after");
  EXPECT_EQ(test::FileSize(Path(kOffsetsFile)), 2400000u);
  for (const char* name : {kKeysVacFile, kValsVacFile, kOffsetsVacFile, kSnapshotVacFile}) {
    EXPECT_FALSE(std::filesystem::exists(Path(name))) << name;
  }
  Reopen(0);
  EXPECT_EQ(db_->Len(), 667u);
  EXPECT_EQ(Get("after"), "vacuum");
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(Get("k" + std::to_string(i)), want(i)) << i;
}

// The files a vacuum replaces are freed as it ends, but a copy of them kept
// elsewhere by hard link (a backup) keeps every byte.
TEST_F(DatabaseTest, VacuumLeavesHardLinkedCopiesIntact) {
  Reopen();
  // 20 MB of values: more than one step of the gradual release.
  for (int i = 0; i < 2000; ++i) Put("k" + std::to_string(i), std::string(10000, 'a' + i % 26));
  db_->Persist();
  const std::string backup = tmp_.Join("backup");
  fs::create_directory(backup);
  for (const char* name : {kKeysFile, kValsFile, kOffsetsFile, kSnapshotFile}) {
    fs::create_hard_link(Path(name), JoinPath(backup, name));
  }
  const std::string values = Contents(kValsFile);
  for (int i = 0; i < 2000; i += 2) Remove("k" + std::to_string(i));
  db_->Vacuum();
  Close();
  EXPECT_EQ(test::ReadFileText(JoinPath(backup, kValsFile)), values);
  db_ = Database::Open(backup, 64);
  EXPECT_EQ(db_->Len(), 2000u);
  EXPECT_EQ(Get("k1998"), std::string(10000, 'a' + 1998 % 26));
}

// A compaction cut short after its commit point, with keys.bin already
// switched and the rest still under temporary names, is finished by open.
TEST_F(DatabaseTest, InterruptedVacuumIsCompletedOnOpen) {
  Reopen();
  for (int i = 0; i < 50; ++i) Put("k" + std::to_string(i), std::to_string(i));
  for (int i = 0; i < 50; i += 2) Remove("k" + std::to_string(i));
  db_->Persist();
  Close();
  const std::string done = tmp_.Join("done");
  fs::copy(dir_, done);
  db_ = Database::Open(done, 64);
  db_->Vacuum();
  Close();

  fs::copy_file(JoinPath(done, kKeysFile), Path(kKeysFile), fs::copy_options::overwrite_existing);
  fs::copy_file(JoinPath(done, kValsFile), Path(kValsVacFile));
  fs::copy_file(JoinPath(done, kOffsetsFile), Path(kOffsetsVacFile));
  fs::copy_file(JoinPath(done, kSnapshotFile), Path(kSnapshotVacFile));
  Reopen();
  EXPECT_FALSE(std::filesystem::exists(Path(kSnapshotVacFile)));
  EXPECT_FALSE(std::filesystem::exists(Path(kOffsetsVacFile)));
  EXPECT_EQ(Contents(kSnapshotFile), test::ReadFileText(JoinPath(done, kSnapshotFile)));
  EXPECT_EQ(db_->Len(), 25u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(Get("k" + std::to_string(i)), i % 2 ? std::to_string(i) : "<absent>") << i;
  }
}

TEST_F(DatabaseTest, RecordOutsideTheFilesIsUnrecoverable) {
  Reopen();
  Put("y", "1");
  Put("z", "2");  // the last record, which open checks against the snapshot
  db_->Persist();
  Close();
  // Key "y" at id 0, whose record now points beyond keys.bin.
  std::string table = Contents(kOffsetsFile);
  EncodeRecord(reinterpret_cast<std::byte*>(table.data()), Record{1000, 1, 0, 1});
  test::WriteFileText(Path(kOffsetsFile), table);

  Reopen();
  EXPECT_THROW(db_->Keys(), Unrecoverable);
  try {
    Get("y");
    ADD_FAILURE() << "read beyond keys.bin succeeded";
  } catch (const Unrecoverable& e) {
    EXPECT_NE(std::string(e.what()).find("failed to fill whole buffer"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(Get("z"), "2");
  // Vacuum refuses to copy it and changes nothing.
  EXPECT_THROW(db_->Vacuum(), EngineError);
  EXPECT_EQ(db_->Len(), 2u);
}

TEST_F(DatabaseTest, ZeroedRecordReadsAsDamageNotAsAbsent) {
  Reopen(0);
  Put("x", "1");
  Put("y", "2");
  Put("z", "3");
  db_->Persist();
  Close();
  std::string table = Contents(kOffsetsFile);
  std::fill(table.begin() + 24, table.begin() + 48, '\0');  // y's record
  test::WriteFileText(Path(kOffsetsFile), table);
  Reopen(0);
  EXPECT_THROW(Get("y"), Unrecoverable);
  EXPECT_THROW(db_->Keys(), Unrecoverable);
  EXPECT_EQ(Get("x"), "1");
  EXPECT_EQ(Get("z"), "3");
  EXPECT_EQ(Get("w"), "<absent>");
}

}  // namespace
}  // namespace vantre
