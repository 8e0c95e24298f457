// Write-outs handed over to the caller, to be made once it holds no lock:
// the bytes stay readable meanwhile, the file gets them in order whoever
// writes them, and a write taken back is never made late (over records
// stored since, or into a file cut since).
#include <fcntl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/format/format.h"
#include "engine/io/data_file.h"
#include "engine/io/pending_write.h"
#include "engine/io/record_table.h"
#include "engine/io/wal_writer.h"
#include "engine/util/error.h"
#include "test_util.h"

namespace vantre {
namespace {

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 17 + i / 253) % 253);
  return s;
}

class DataFileHandOverTest : public testing::Test {
 protected:
  DataFileHandOverTest() : path_(dir_.Join("vals.bin")) { Open(O_RDWR | O_CREAT); }

  void Open(int flags) {
    data_.reset();
    data_ = std::make_unique<DataFile>(File::Open(path_, flags), 0);
    data_->SetHandOver(true);
  }
  // Appends 1000-byte pieces until `n` bytes are in, keeping a copy.
  void AppendUpTo(size_t n) {
    while (all_.size() < n) {
      const std::string piece = Pattern(1000, static_cast<unsigned>(all_.size() / 1000));
      ASSERT_EQ(data_->Append(AsBytes(piece)), all_.size());
      all_ += piece;
    }
  }
  void ExpectReadsWhole() {
    std::string out(all_.size(), '\0');
    data_->Read({reinterpret_cast<std::byte*>(out.data()), out.size()}, 0);
    ASSERT_EQ(out, all_);
    // A piece straddling the handed-over bytes and the buffer, compared.
    const size_t at = DataFile::kWriteUnit - 500;
    if (all_.size() >= at + 1000) {
      std::vector<std::byte> scratch;
      EXPECT_TRUE(data_->Equals(at, AsBytes(std::string_view(all_).substr(at, 1000)), &scratch));
    }
  }
  std::string Contents() const { return test::ReadFileText(path_); }

  test::TempDir dir_;
  std::string path_;
  std::unique_ptr<DataFile> data_;
  std::string all_;
};

TEST_F(DataFileHandOverTest, CallerWritesTheWholeUnitsAndReadsSeeThemThroughout) {
  AppendUpTo(DataFile::kWriteUnit + 3000);
  EXPECT_EQ(Contents(), "");  // the append left the unit for the caller
  PendingWrites writes;
  data_->HandOver(&writes);
  ASSERT_FALSE(writes.empty());
  ExpectReadsWhole();
  EXPECT_EQ(Contents(), "");
  writes.WriteAll();
  EXPECT_EQ(Contents(), all_.substr(0, DataFile::kWriteUnit));
  ExpectReadsWhole();
  // The next unit: the previous write is complete, so it is handed over too.
  AppendUpTo(2 * DataFile::kWriteUnit + 10);
  data_->HandOver(&writes);
  ASSERT_FALSE(writes.empty());
  writes.WriteAll();
  EXPECT_EQ(Contents(), all_.substr(0, 2 * DataFile::kWriteUnit));
  data_->Flush();
  EXPECT_EQ(Contents(), all_);
  ExpectReadsWhole();
}

// Flushing takes the handed-over bytes back and writes them itself; the
// caller's write, coming after, finds them taken: a file cut in between
// stays cut.
TEST_F(DataFileHandOverTest, TakenBackWriteIsNeverMadeLate) {
  AppendUpTo(DataFile::kWriteUnit + 3000);
  PendingWrites writes;
  data_->HandOver(&writes);
  ASSERT_FALSE(writes.empty());
  data_->Flush();
  EXPECT_EQ(Contents(), all_);
  test::WriteFileText(path_, "");
  writes.WriteAll();
  EXPECT_EQ(Contents(), "");
}

// A handed-over write that fails is made again by the owner's next
// write-out, which reports the failure; the bytes stay readable and the
// data end where it was.
TEST_F(DataFileHandOverTest, FailedHandedWriteIsReportedByTheNextWriteOut) {
  Open(O_RDONLY | O_CREAT);
  AppendUpTo(DataFile::kWriteUnit + 3000);
  PendingWrites writes;
  data_->HandOver(&writes);
  ASSERT_FALSE(writes.empty());
  writes.WriteAll();  // fails quietly
  ExpectReadsWhole();
  EXPECT_THROW(data_->Flush(), OsError);
  EXPECT_THROW(data_->Append(AsBytes(std::string("x"))), OsError);
  EXPECT_EQ(data_->end(), all_.size());
  ExpectReadsWhole();
  data_.reset();  // teardown ignores the failed write-out
}

// Nobody handing over: the buffer is written out by the append once it
// reaches its limit, as without handing over.
TEST_F(DataFileHandOverTest, BufferWithoutTakersIsWrittenAtItsLimit) {
  AppendUpTo(DataFile::kHandOverLimit + 1000);
  EXPECT_GE(Contents().size(), DataFile::kHandOverLimit - DataFile::kWriteUnit);
  EXPECT_EQ(Contents().size() % DataFile::kWriteUnit, 0u);
  ExpectReadsWhole();
}

// AppendWritesOut names exactly the appends that write to the file
// themselves (a put runs the caller's hook before them): none while each
// handed-over write is made in time; with one left unwritten (its writer
// stalled), each append that brings the buffer to its limit; and a value
// written straight to the file.
TEST_F(DataFileHandOverTest, AppendWritesOutNamesExactlyTheAppendsThatWrite) {
  for (int i = 0; i < 400; ++i) {
    ASSERT_FALSE(data_->AppendWritesOut(1000)) << i;
    AppendUpTo(all_.size() + 1000);
    PendingWrites writes;
    data_->HandOver(&writes);
    writes.WriteAll();
  }
  PendingWrites stalled;
  while (stalled.empty()) {
    AppendUpTo(all_.size() + 1000);
    data_->HandOver(&stalled);
  }
  int wrote = 0;
  for (int i = 0; i < 800; ++i) {
    const bool predicted = data_->AppendWritesOut(1000);
    const uint64_t before = test::FileSize(path_);
    AppendUpTo(all_.size() + 1000);
    ASSERT_EQ(predicted, test::FileSize(path_) != before) << i;
    wrote += predicted;
    PendingWrites never_written;
    data_->HandOver(&never_written);
  }
  EXPECT_GE(wrote, 2);
  EXPECT_TRUE(data_->AppendWritesOut(DataFile::kDirectWrite));
  stalled.WriteAll();  // taken back by then: writes nothing
  data_->Flush();
  EXPECT_EQ(Contents(), all_);
}

// A rollback to a mark taken after the handing over, and moving another
// file over this one, keep the bytes exact.
TEST_F(DataFileHandOverTest, RollbackAndReplacementAfterHandingOver) {
  AppendUpTo(DataFile::kWriteUnit + 3000);
  PendingWrites writes;
  data_->HandOver(&writes);
  const DataFile::Mark mark = data_->mark();
  data_->Append(AsBytes(std::string(5000, 'j')));
  data_->Rollback(mark);
  ExpectReadsWhole();
  data_->Flush();
  EXPECT_EQ(Contents(), all_);
  // Handed over again, then the file replaced before the caller writes.
  AppendUpTo(2 * DataFile::kWriteUnit + 10);
  data_->HandOver(&writes);
  writes.WriteAll();
  AppendUpTo(3 * DataFile::kWriteUnit + 10);
  data_->HandOver(&writes);
  ASSERT_FALSE(writes.empty());
  const size_t before = Contents().size();
  *data_ = DataFile(File::Open(dir_.Join("other.bin"), O_RDWR | O_CREAT), 0);
  writes.WriteAll();
  EXPECT_EQ(Contents().size(), before);
  EXPECT_EQ(test::ReadFileText(dir_.Join("other.bin")), "");
}

class WalHandOverTest : public testing::Test {
 protected:
  WalHandOverTest() : path_(dir_.Join("wal.bin")) {
    writer_ = std::make_unique<WalWriter>(File::Open(path_, O_WRONLY | O_APPEND | O_CREAT), 0);
    writer_->SetHandOver(true);
  }
  // One put of about 900 bytes, offered to `writes` as a put does; true
  // when a buffer was handed over.
  bool Put(PendingWrites* writes) {
    const std::string key = "k" + std::to_string(n_);
    const std::string val = Pattern(900, n_);
    writer_->AppendPut(key, AsBytes(val));
    expected_ += test::LogBytes([&](WalWriter& w) { w.AppendPut(key, AsBytes(val)); });
    ++n_;
    writer_->HandOver(writes);
    return !writes->empty();
  }
  // What a crash now would lose: never more than one buffer, which is what
  // open allows for.
  void ExpectAtMostOneBufferUnwritten() {
    const std::string in_file = Contents();
    ASSERT_EQ(in_file, expected_.substr(0, in_file.size()));
    EXPECT_LE(expected_.size() - in_file.size(), WalWriter::kBufferSize);
  }
  std::string Contents() const { return test::ReadFileText(path_); }

  test::TempDir dir_;
  std::string path_;
  std::unique_ptr<WalWriter> writer_;
  std::string expected_;
  unsigned n_ = 0;
};

// Whoever writes them, the records reach the file whole and in order, and
// what is unwritten never exceeds one buffer: written by the caller at
// once, as a put does, or left unwritten while more records come.
TEST_F(WalHandOverTest, RecordsReachTheFileInOrderAndAtMostOneBufferWaits) {
  PendingWrites writes;
  int handed = 0;
  for (int i = 0; i < 40; ++i) {
    if (Put(&writes)) ++handed;
    ExpectAtMostOneBufferUnwritten();
    writes.WriteAll();
  }
  EXPECT_GE(handed, 2);
  // Handed over and left unwritten: later records take it back and write
  // it first when they need its room.
  while (!Put(&writes)) ExpectAtMostOneBufferUnwritten();
  for (int i = 0; i < 20; ++i) {
    PendingWrites ignored;
    Put(&ignored);
    ExpectAtMostOneBufferUnwritten();
  }
  writes.WriteAll();  // taken back by then: writes nothing
  writer_->Flush();
  EXPECT_EQ(Contents(), expected_);
  EXPECT_EQ(writer_->size(), expected_.size());
}

// AppendWritesOut names exactly the records whose append writes to the
// file itself: none while handed-over buffers are written in time; with
// one left unwritten, each record that finds no room beside it.
TEST_F(WalHandOverTest, AppendWritesOutNamesExactlyTheAppendsThatWrite) {
  const auto next_total = [&] {
    return kWalPutOverhead + ("k" + std::to_string(n_)).size() + 900;
  };
  for (int i = 0; i < 40; ++i) {
    ASSERT_FALSE(writer_->AppendWritesOut(next_total())) << i;
    PendingWrites writes;
    Put(&writes);
    writes.WriteAll();
  }
  PendingWrites stalled;
  while (!Put(&stalled)) {
  }
  int wrote = 0;
  for (int i = 0; i < 40; ++i) {
    const bool predicted = writer_->AppendWritesOut(next_total());
    const uint64_t before = test::FileSize(path_);
    PendingWrites never_written;
    Put(&never_written);
    ASSERT_EQ(predicted, test::FileSize(path_) != before) << i;
    wrote += predicted;
  }
  EXPECT_GE(wrote, 2);
  EXPECT_TRUE(writer_->AppendWritesOut(WalWriter::kBufferSize));
  stalled.WriteAll();
  writer_->Flush();
  EXPECT_EQ(Contents(), expected_);
}

// A log emptied while a buffer is handed over stays empty: the
// handed-over records were covered by what emptied it.
TEST_F(WalHandOverTest, ResetBeforeTheWriteKeepsTheLogEmpty) {
  PendingWrites writes;
  while (!Put(&writes)) {
  }
  writer_->Reset();
  writes.WriteAll();
  EXPECT_EQ(Contents(), "");
  EXPECT_EQ(writer_->size(), 0u);
}

Record RecordOf(uint32_t id) { return {uint64_t{id} * 3, id % 7, uint64_t{id} * 5, id % 11}; }

// Records in one piece of the table written ahead.
constexpr uint32_t kPerPiece = (64 << 10) / kRecordSize;

// A new table of `capacity` records at `path`, handing its pieces over.
RecordTable NewTableHandingOver(const std::string& path, uint32_t capacity) {
  RecordTable table = RecordTable::Open(File::Open(path, O_RDWR | O_CREAT), 0, capacity);
  table.SetHandOver(true);
  return table;
}

// Stores the records from `*id` on, offering the table's next piece to
// `writes` after each, until one is handed over (at most up to `limit`).
void SetUntilHandedOver(RecordTable& table, uint32_t* id, uint32_t limit, PendingWrites* writes) {
  for (; writes->empty() && *id < limit; ++*id) {
    table.Prepare(*id);
    table.Set(*id, RecordOf(*id));
    table.HandOver(*id + 1, writes);
  }
}

// Stores the records from `*id` through `last`, offering nothing.
void SetThrough(RecordTable& table, uint32_t* id, uint32_t last) {
  for (; *id <= last; ++*id) {
    table.Prepare(*id);
    table.Set(*id, RecordOf(*id));
  }
}

// Zeros handed over ahead of the records: a record stored in that piece
// before the caller writes them takes them back first, and the caller's
// late write leaves the record alone.
TEST(RecordTableHandOverTest, HandedZerosNeverLandOnARecord) {
  test::TempDir dir;
  const std::string path = dir.Join("offsets.bin");
  RecordTable table = NewTableHandingOver(path, 8 * kPerPiece);
  uint32_t id = 0;
  PendingWrites writes;
  // Records up to within half a piece of the allocated end.
  SetUntilHandedOver(table, &id, 4 * kPerPiece, &writes);
  ASSERT_FALSE(writes.empty());
  // Past the piece before the caller writes.
  const uint32_t far = id + kPerPiece;
  SetThrough(table, &id, far);
  writes.WriteAll();
  for (uint32_t i = 0; i <= far; ++i) ASSERT_EQ(table.At(i).value_offset, RecordOf(i).value_offset) << i;
  // And written in time: the piece counts as allocated.
  table.HandOver(id, &writes);
  writes.WriteAll();
  for (; id <= far + 2 * kPerPiece; ++id) {
    table.Prepare(id);
    table.Set(id, RecordOf(id));
    table.HandOver(id + 1, &writes);
    writes.WriteAll();
  }
  table.SyncData();
  RecordTable reopened = RecordTable::Open(File::Open(path, O_RDWR), test::ReadFileText(path).size(), 0);
  for (uint32_t i = 0; i < id; ++i) ASSERT_EQ(reopened.At(i).value_offset, RecordOf(i).value_offset) << i;
}

// The pieces before the file's length at open are read back and written
// over themselves: records an earlier open left there are kept, and a
// record stored after the piece was taken back is not overwritten with
// what the piece held when it was read.
TEST(RecordTableHandOverTest, HandedRewriteKeepsOldRecordsAndNeverLandsOnANewOne) {
  test::TempDir dir;
  const std::string path = dir.Join("offsets.bin");
  constexpr uint32_t kOld = 6 * kPerPiece;
  const auto older = [](uint32_t id) { return Record{id, 1, uint64_t{id} + 7, 2}; };
  {
    RecordTable table = RecordTable::Open(File::Open(path, O_RDWR | O_CREAT), 0, kOld);
    for (uint32_t id = 0; id < kOld; ++id) {
      table.Prepare(id);
      table.Set(id, older(id));
    }
    table.SyncData();
  }
  File file = File::Open(path, O_RDWR);
  const uint64_t size = file.Size();
  RecordTable table = RecordTable::Open(std::move(file), size, kOld);
  table.SetHandOver(true);
  PendingWrites writes;
  uint32_t id = 0;
  SetUntilHandedOver(table, &id, 2 * kPerPiece, &writes);
  ASSERT_FALSE(writes.empty());
  // One rewrite made in time, read and written by the caller.
  writes.WriteAll();
  for (uint32_t i = id; i < kOld; ++i) ASSERT_EQ(table.At(i).value_offset, older(i).value_offset) << i;
  // The next one taken back by the records running past it first.
  SetUntilHandedOver(table, &id, 4 * kPerPiece, &writes);
  ASSERT_FALSE(writes.empty());
  const uint32_t far = id + kPerPiece;
  SetThrough(table, &id, far);
  writes.WriteAll();
  for (uint32_t i = 0; i <= far; ++i) ASSERT_EQ(table.At(i).value_offset, RecordOf(i).value_offset) << i;
  for (uint32_t i = far + 1; i < kOld; ++i) ASSERT_EQ(table.At(i).value_offset, older(i).value_offset) << i;
}

// PrepareWrites names the records whose Prepare writes to the file itself:
// with each piece ahead handed over and written in time, only the first
// record (its chunk allocated); with a piece left unwritten, the first
// record that reaches it, which takes it back and writes it.
TEST(RecordTableHandOverTest, PrepareWritesNamesTheRecordsThatWrite) {
  test::TempDir dir;
  RecordTable table = NewTableHandingOver(dir.Join("offsets.bin"), 200 * kPerPiece);
  std::vector<uint32_t> writing;
  uint32_t id = 0;
  for (; id < 120 * kPerPiece; ++id) {
    if (table.PrepareWrites(id)) writing.push_back(id);
    table.Prepare(id);
    table.Set(id, RecordOf(id));
    PendingWrites writes;
    table.HandOver(id + 1, &writes);
    writes.WriteAll();
  }
  EXPECT_EQ(writing, std::vector<uint32_t>{0});
  PendingWrites stalled;
  SetUntilHandedOver(table, &id, 200 * kPerPiece, &stalled);
  ASSERT_FALSE(stalled.empty());
  writing.clear();
  const uint32_t last = id + kPerPiece;
  for (; id <= last; ++id) {
    if (table.PrepareWrites(id)) writing.push_back(id);
    table.Prepare(id);
    table.Set(id, RecordOf(id));
  }
  ASSERT_EQ(writing.size(), 1u);  // the stalled piece, taken back
  // The first record that reaches into the next piece.
  EXPECT_LE((uint64_t{writing[0]} + 1) * kRecordSize % (64 << 10), kRecordSize);
  EXPECT_TRUE(table.PrepareWrites(200 * kPerPiece));  // the table grows
  stalled.WriteAll();
  for (uint32_t i = 0; i < id; ++i) ASSERT_EQ(table.At(i).value_offset, RecordOf(i).value_offset) << i;
}

}  // namespace
}  // namespace vantre
