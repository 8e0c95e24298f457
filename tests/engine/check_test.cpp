// DirectoryInspector and Recovery: the state rebuilt read-only from a
// directory written by the engine, each kind of damage it must report, what
// recovery brings back from a damaged one, that neither changes the
// directory, and open's keeping of an undecodable log tail in wal.bin.cut.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include "engine/check/check.h"
#include "engine/check/recover.h"
#include "engine/db/database.h"
#include "engine/util/error.h"
#include "engine/format/snapshot.h"
#include "test_util.h"

namespace vantre {
namespace {

namespace fs = std::filesystem;
using test::ReadFileText;
using test::WriteFileText;

std::string Get(Database& db, std::string_view key) {
  std::string out = "<absent>";
  db.Get(key, [&](Bytes v) { out = test::Str(v); });
  return out;
}

class CheckTest : public testing::Test {
 protected:
  CheckTest() : dir_(tmp_.Join("db")) {}

  // Writes k0..k9 (k3 twice), persists, then logs k10 and k11, a new value
  // of k1 and the deletion of k2, and closes: the snapshot names 11
  // records and the log adds 3.
  void WriteStore() {
    std::shared_ptr<Database> db = Database::Open(dir_, 16);
    auto put = [&](const std::string& k, const std::string& v) { db->Put(k, AsBytes(v)); };
    for (int i = 0; i < 10; ++i) put("k" + std::to_string(i), "value " + std::to_string(i));
    put("k3", "second");
    db->Persist();
    put("k10", "ten");
    put("k11", "eleven");
    put("k1", "new one");
    db->Delete("k2");
  }

  // Every entry the inspector (or a recovery) lists, key -> value, in
  // listing order.
  template <typename Source>
  static std::vector<std::pair<std::string, std::string>> Entries(Source& in) {
    std::vector<std::pair<std::string, std::string>> out;
    std::string key;
    std::vector<std::byte> value;
    const uint64_t n = [&] {
      if constexpr (std::is_same_v<Source, Recovery>) {
        return in.count();
      } else {
        return in.live_count();
      }
    }();
    for (uint64_t i = 0; i < n; ++i) {
      try {
        in.ReadEntry(i, &key, &value);
      } catch (const EngineError& e) {
        // A damaged record is refused, never read as other bytes.
        EXPECT_EQ(e.kind(), ErrorKind::kInvalidData);
        out.emplace_back("<damaged>", e.text());
        continue;
      }
      out.emplace_back(key, test::Str(value));
    }
    return out;
  }

  // What WriteStore leaves the store holding.
  static std::map<std::string, std::string> Written() {
    std::map<std::string, std::string> m;
    for (int i = 0; i < 12; ++i) m["k" + std::to_string(i)] = "value " + std::to_string(i);
    m["k3"] = "second";
    m["k10"] = "ten";
    m["k11"] = "eleven";
    m["k1"] = "new one";
    m.erase("k2");
    return m;
  }

  // A scanned recovery of the directory, its entries as a map, and its
  // losses joined.
  std::map<std::string, std::string> Recover(std::string* lost) {
    Recovery recovery(dir_);
    EXPECT_TRUE(recovery.Scan(nullptr));
    lost->clear();
    for (const std::string& l : recovery.lost()) *lost += l + "\n";
    auto entries = Entries(recovery);
    return {entries.begin(), entries.end()};
  }

  // Log bytes of WriteStore's records after the persist: k10 (26 bytes),
  // k11 (29), k1 (29), the deletion of k2 (14).
  static constexpr size_t kSecondLogRecord = 26;

  // The problems after a full verification, joined for matching.
  std::string Problems() {
    DirectoryInspector in(dir_);
    EXPECT_TRUE(in.Verify(nullptr));
    std::string all;
    for (const std::string& p : in.problems()) all += p + "\n";
    return all;
  }

  // Overwrites the bytes at `offset` of the file `name`.
  void Patch(const char* name, size_t offset, const std::string& bytes) {
    std::string data = ReadFileText(JoinPath(dir_, name));
    ASSERT_LE(offset + bytes.size(), data.size());
    data.replace(offset, bytes.size(), bytes);
    WriteFileText(JoinPath(dir_, name), data);
  }

  test::TempDir tmp_;
  std::string dir_;
};

TEST_F(CheckTest, RebuildsWhatOpenWould) {
  WriteStore();
  DirectoryInspector in(dir_);
  EXPECT_TRUE(in.Verify(nullptr));
  EXPECT_TRUE(in.problems().empty()) << in.problems().front();
  const DirectoryFigures& f = in.figures();
  EXPECT_EQ(f.live_keys, 11u);
  EXPECT_EQ(f.records, 14u);
  EXPECT_EQ(f.dead_records, 3u);  // the first k3, the first k1, k2
  EXPECT_EQ(f.log_records, 4u);
  EXPECT_EQ(f.log_torn_bytes, 0u);
  EXPECT_TRUE(f.snapshot_decoded);
  EXPECT_EQ(f.record_capacity, kMinRecordCapacity);

  // Listing order and contents are those of the store once reopened.
  auto entries = Entries(in);
  std::shared_ptr<Database> db = Database::Open(dir_, 16);
  std::vector<std::string> keys = db->Keys();
  ASSERT_EQ(entries.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(entries[i].first, keys[i]);
    EXPECT_EQ(entries[i].second, Get(*db, keys[i]));
  }
}

TEST_F(CheckTest, ReclaimableIsWhatVacuumDrops) {
  WriteStore();
  const uint64_t reclaimable = DirectoryInspector(dir_).figures().reclaimable_bytes;
  std::shared_ptr<Database> db = Database::Open(dir_, 16);
  db->Flush();
  auto data_size = [&] {
    return test::FileSize(JoinPath(dir_, kKeysFile)) + test::FileSize(JoinPath(dir_, kValsFile));
  };
  const uint64_t before = data_size();
  db->Vacuum();
  EXPECT_EQ(reclaimable, before - data_size());
}

TEST_F(CheckTest, LeavesTheDirectoryUnchanged) {
  WriteStore();
  Patch(kKeysFile, 0, "X");  // damaged, so that every report path runs
  WriteFileText(JoinPath(dir_, kWalFile), ReadFileText(JoinPath(dir_, kWalFile)) + "torn");
  std::map<std::string, std::string> before;
  for (const auto& e : fs::directory_iterator(dir_)) before[e.path().string()] = ReadFileText(e.path());
  {
    DirectoryInspector in(dir_);
    in.Verify(nullptr);
    Entries(in);
    std::string lost;
    Recover(&lost);
  }
  std::map<std::string, std::string> after;
  for (const auto& e : fs::directory_iterator(dir_)) after[e.path().string()] = ReadFileText(e.path());
  EXPECT_EQ(before, after);
}

TEST_F(CheckTest, ReportsDamage) {
  WriteStore();
  // Record 0 is k0 in the snapshot: its key bytes start keys.bin.
  Patch(kKeysFile, 0, "j");
  EXPECT_NE(Problems().find("record 0: its key j0 does not hash"), std::string::npos) << Problems();

  // A key length running past the key data.
  Patch(kOffsetsFile, 4 * kRecordSize + 8, test::U32(1000000));
  EXPECT_NE(Problems().find("record 4: key bytes"), std::string::npos) << Problems();

  // Bytes after the log's last record.
  WriteFileText(JoinPath(dir_, kWalFile), ReadFileText(JoinPath(dir_, kWalFile)) + "xyz");
  EXPECT_NE(Problems().find("torn tail: 3 bytes"), std::string::npos) << Problems();
  EXPECT_EQ(DirectoryInspector(dir_).figures().log_torn_bytes, 3u);

  // A snapshot cut short.
  const std::string snap = ReadFileText(JoinPath(dir_, kSnapshotFile));
  WriteFileText(JoinPath(dir_, kSnapshotFile), snap.substr(0, snap.size() - 1));
  EXPECT_NE(Problems().find("snapshot.bin does not decode"), std::string::npos);
}

TEST_F(CheckTest, ReportsInconsistentSets) {
  WriteStore();
  fs::remove(JoinPath(dir_, kWalFile));
  // A snapshot whose id 1 is both live and dead, whose index names an id
  // that is not live, and whose record count leaves id 7 outside.
  File out = File::Open(JoinPath(dir_, kSnapshotFile), O_WRONLY | O_TRUNC);
  WriteSnapshot(out, KeyIndex{{1, 1}, {2, 2}, {3, 9}}, test::Ids({1, 2, 7}), test::Ids({1}), 5, 100,
                100);
  const std::string problems = Problems();
  EXPECT_NE(problems.find("1 record ids are in both"), std::string::npos) << problems;
  EXPECT_NE(problems.find("1 live or dead ids are not below the record count 5"), std::string::npos);
  EXPECT_NE(problems.find("name an id that is not live"), std::string::npos);
}

TEST_F(CheckTest, MissingFilesAndDirectories) {
  try {
    DirectoryInspector in(tmp_.Join("absent"));
    FAIL() << "no error";
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), ENOENT);
  }
  fs::create_directory(dir_);
  EXPECT_NE(Problems().find("not a store directory"), std::string::npos);
  WriteStore();
  fs::remove(JoinPath(dir_, kValsFile));
  EXPECT_NE(Problems().find("vals.bin is missing"), std::string::npos);
}

TEST_F(CheckTest, FollowsACommittedCompactionSwitch) {
  WriteStore();
  Database::Open(dir_, 16)->Vacuum();
  // As if killed after the commit point with only offsets.bin switched:
  // keys.bin, vals.bin and snapshot.bin are still the old ones (here,
  // garbage), and open takes the .vac copies.
  for (const char* name : {kKeysFile, kValsFile, kSnapshotFile}) {
    fs::rename(JoinPath(dir_, name), JoinPath(dir_, name) + ".vac");
    WriteFileText(JoinPath(dir_, name), "stale");
  }
  DirectoryInspector in(dir_);
  EXPECT_TRUE(in.Verify(nullptr));
  EXPECT_TRUE(in.problems().empty()) << in.problems().front();
  EXPECT_TRUE(in.figures().vacuum_pending);
  EXPECT_EQ(in.figures().live_keys, 11u);
  auto entries = Entries(in);
  std::shared_ptr<Database> db = Database::Open(dir_, 16);
  EXPECT_EQ(entries.size(), db->Len());
  for (const auto& [key, value] : entries) EXPECT_EQ(Get(*db, key), value);
}

TEST_F(CheckTest, ProgressReportsAndStops) {
  WriteStore();
  DirectoryInspector in(dir_);
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  EXPECT_TRUE(in.Verify([&](uint64_t done, uint64_t total) {
    calls.emplace_back(done, total);
    return true;
  }));
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), std::make_pair(uint64_t{11}, uint64_t{11}));
  EXPECT_FALSE(in.Verify([](uint64_t, uint64_t) { return false; }));
}

TEST_F(CheckTest, OpenMovesAnUndecodableLogTailToTheCutFile) {
  WriteStore();
  const std::string wal = JoinPath(dir_, kWalFile);
  const std::string cut = JoinPath(dir_, kWalCutFile);
  Patch(kWalFile, kSecondLogRecord, test::U32(7));  // an unknown tag
  const std::string tail = ReadFileText(wal).substr(kSecondLogRecord);
  {
    std::shared_ptr<Database> db = Database::Open(dir_, 16);
    EXPECT_EQ(db->cut_log_bytes(), tail.size());
    EXPECT_EQ(Get(*db, "k10"), "ten");  // before the damage
    EXPECT_EQ(Get(*db, "k11"), "<absent>");
  }
  EXPECT_EQ(ReadFileText(cut), tail);
  EXPECT_EQ(test::FileSize(wal), kSecondLogRecord);
  DirectoryInspector in(dir_);
  EXPECT_TRUE(in.problems().empty());
  ASSERT_EQ(in.notes().size(), 1u);
  EXPECT_NE(in.notes()[0].find(std::to_string(tail.size()) + " bytes"), std::string::npos);
  EXPECT_EQ(Database::Open(dir_, 16)->cut_log_bytes(), 0u);
  // A later cut is appended.
  WriteFileText(wal, ReadFileText(wal) + "xyz");
  EXPECT_EQ(Database::Open(dir_, 16)->cut_log_bytes(), 3u);
  EXPECT_EQ(ReadFileText(cut), tail + "xyz");
}

TEST_F(CheckTest, OpenAndInspectorAgreeOnALogThatCannotBeRead) {
  WriteStore();
  fs::remove(JoinPath(dir_, kWalFile));
  fs::create_directory(JoinPath(dir_, kWalFile));  // opens, but read() fails with EISDIR
  EXPECT_NE(Problems().find("wal.bin cannot be read: Is a directory"), std::string::npos) << Problems();
  try {
    Database::Open(dir_, 16);
    FAIL() << "opened";
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), EISDIR);
  }
  EXPECT_FALSE(fs::exists(JoinPath(dir_, kWalCutFile)));
}

TEST_F(CheckTest, CleanCloseLeavesNoCutFile) {
  WriteStore();
  Database::Open(dir_, 16)->Persist();
  EXPECT_FALSE(fs::exists(JoinPath(dir_, kWalCutFile)));
}

TEST_F(CheckTest, RecoversWithoutASnapshotFromTheRecordTable) {
  WriteStore();
  const std::string snap = ReadFileText(JoinPath(dir_, kSnapshotFile));
  WriteFileText(JoinPath(dir_, kSnapshotFile), snap.substr(0, snap.size() - 1));
  std::string lost;
  // Newest record of each key, then the log's deletion of k2.
  EXPECT_EQ(Recover(&lost), Written());
  EXPECT_EQ(lost, "");
  EXPECT_TRUE(Recovery(dir_).from_record_table());
  // Without the log, k2's deletion is unknown and it comes back.
  fs::remove(JoinPath(dir_, kWalFile));
  auto with_k2 = Written();
  with_k2["k2"] = "value 2";
  EXPECT_EQ(Recover(&lost), with_k2);
}

TEST_F(CheckTest, RecoversWritesBehindATornLogFromTheRecordTable) {
  WriteStore();
  Patch(kWalFile, kSecondLogRecord, test::U32(7));
  std::string lost;
  auto expected = Written();
  expected["k2"] = "value 2";  // its deletion was in the torn tail
  EXPECT_EQ(Recover(&lost), expected);
  EXPECT_NE(lost.find("2 later writes were taken from the record table"), std::string::npos) << lost;
}

TEST_F(CheckTest, RecoveryReportsDamagedRecords) {
  WriteStore();
  Patch(kOffsetsFile, 4 * kRecordSize + 8, test::U32(1000000));  // k4's key length
  std::string lost;
  auto expected = Written();
  expected.erase("k4");
  EXPECT_EQ(Recover(&lost), expected);
  EXPECT_EQ(lost.find("record 4: key bytes"), 0u) << lost;
}

}  // namespace
}  // namespace vantre
