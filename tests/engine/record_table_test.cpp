#include "engine/io/record_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <string>

#include "engine/util/error.h"
#include "test_util.h"

namespace vantre {
namespace {

Record RecordOf(uint32_t id) {
  return {uint64_t{id} * 3, id % 7, uint64_t{id} * 5, id % 11};
}

// Disk blocks are made ahead of the records, some by writing zeros: records
// written by an earlier open, in the same 2 MiB chunk as the next record or
// right up to its boundary, must survive.
TEST(RecordTableTest, AllocationKeepsEarlierRecords) {
  test::TempDir dir;
  const std::string path = dir.Join("offsets.bin");
  const uint32_t straddles = (2u << 20) / kRecordSize;      // crosses the first chunk boundary
  const uint32_t aligned = (6u << 20) / kRecordSize;        // starts exactly at one
  uint32_t next = 0;
  for (uint32_t stop : {10u, straddles + 1, aligned, aligned + 10}) {
    File file = File::Open(path, O_RDWR | O_CREAT);
    const uint64_t size = file.Size();
    RecordTable table = RecordTable::Open(std::move(file), size, 1);
    for (; next < stop; ++next) {
      table.Prepare(next);
      table.Set(next, RecordOf(next));
    }
    for (uint32_t id = 0; id < next; ++id) {
      const Record r = table.At(id);
      ASSERT_EQ(r.key_offset, RecordOf(id).key_offset) << id;
      ASSERT_EQ(r.value_offset, RecordOf(id).value_offset) << id;
      ASSERT_EQ(r.key_length, RecordOf(id).key_length) << id;
      ASSERT_EQ(r.value_length, RecordOf(id).value_length) << id;
    }
  }
}

// Records past the one being prepared, left by an earlier process (the
// log's records a replay is about to compare, or a crash's leftovers), are
// kept when the chunks ahead are allocated: open's checks read them.
TEST(RecordTableTest, AllocationAheadKeepsLaterRecords) {
  test::TempDir dir;
  const std::string path = dir.Join("offsets.bin");
  const uint32_t chunk = (2u << 20) / kRecordSize;
  const uint32_t last = 3 * chunk;
  {
    File file = File::Open(path, O_RDWR | O_CREAT);
    RecordTable table = RecordTable::Open(std::move(file), 0, 4 * chunk);
    for (uint32_t id = 0; id < last; ++id) {
      table.Prepare(id);
      table.Set(id, RecordOf(id + 1));
    }
  }
  File file = File::Open(path, O_RDWR);
  const uint64_t size = file.Size();
  RecordTable table = RecordTable::Open(std::move(file), size, 1);
  for (uint32_t id = 0; id < last; ++id) {
    table.Prepare(id);  // crosses chunk boundaries with later records there
    ASSERT_EQ(table.At(last - 1).key_offset, RecordOf(last).key_offset);
    ASSERT_EQ(table.At(id).value_offset, RecordOf(id + 1).value_offset) << id;
    if (id + 1 < last) {
      ASSERT_EQ(table.At(id + 1).key_length, RecordOf(id + 2).key_length) << id;
    }
  }
}

// Past the file's length at open, the blocks ahead are written as zeros
// without being read, but never over a record this table wrote there: one
// set far ahead first (its chunk allocated out of order), then reached
// again by the records growing towards it.
TEST(RecordTableTest, ZerosAheadNeverOverwriteARecordWrittenFarAhead) {
  test::TempDir dir;
  const std::string path = dir.Join("offsets.bin");
  const uint32_t chunk = (2u << 20) / kRecordSize;
  const uint32_t far = 3 * chunk + 5;
  {
    File file = File::Open(path, O_RDWR | O_CREAT);
    RecordTable table = RecordTable::Open(std::move(file), 0, 4 * chunk);
    table.Prepare(far);
    table.Set(far, RecordOf(far));
    for (uint32_t id = 0; id < far; ++id) {  // into far's chunk
      table.Prepare(id);
      table.Set(id, RecordOf(id));
    }
    ASSERT_EQ(table.At(far).value_offset, RecordOf(far).value_offset);
    ASSERT_EQ(table.At(far + 1).value_offset, 0u);  // never written: zeros
  }
  File file = File::Open(path, O_RDWR);
  const uint64_t size = file.Size();
  RecordTable table = RecordTable::Open(std::move(file), size, 1);
  for (uint32_t id : {0u, chunk, 3 * chunk, far}) {
    ASSERT_EQ(table.At(id).key_offset, RecordOf(id).key_offset) << id;
  }
}

// A write of the zeros ahead that fails (here: beyond the file size limit)
// fails Prepare and changes nothing; once it can be written, the table goes
// on, and what it held before is still there after a reopen.
TEST(RecordTableTest, FailedZeroWriteLeavesTheTableUsable) {
  test::TempDir dir;
  const std::string path = dir.Join("offsets.bin");
  const uint32_t first_chunk = (2u << 20) / kRecordSize;  // ids wholly in the first chunk
  auto open = [&] {
    File file = File::Open(path, O_RDWR | O_CREAT);
    const uint64_t size = file.Size();
    return RecordTable::Open(std::move(file), size, 4 * first_chunk);
  };
  {
    RecordTable table = open();
    for (uint32_t id = 0; id < first_chunk; ++id) {
      table.Prepare(id);
      table.Set(id, RecordOf(id));
    }
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 2u << 20;
    ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    EXPECT_THROW(table.Prepare(first_chunk), OsError);
    EXPECT_THROW(table.Prepare(first_chunk), OsError);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    ::signal(SIGXFSZ, SIG_DFL);
    for (uint32_t id = first_chunk; id < first_chunk + 10; ++id) {
      table.Prepare(id);
      table.Set(id, RecordOf(id));
    }
  }
  RecordTable table = open();
  for (uint32_t id = 0; id < first_chunk + 10; ++id) {
    ASSERT_EQ(table.At(id).value_offset, RecordOf(id).value_offset) << id;
  }
}

// A table the address space has no room to double (a 32-bit process with
// large maps): the doubling is refused and changes nothing; growth as room
// allows takes less, keeps every record, and the file reopens at the size
// it grew to, from which the next growth doubles again.
TEST(RecordTableTest, GrowsByLessWhenTheDoublingFindsNoRoom) {
  test::TempDir dir;
  const std::string path = dir.Join("offsets.bin");
  constexpr uint32_t kCapacity = 1u << 20;  // a 24 MiB map
  {
    File file = File::Open(path, O_RDWR | O_CREAT);
    RecordTable table = RecordTable::Open(std::move(file), 0, kCapacity);
    for (uint32_t id : {0u, kCapacity / 2, kCapacity - 1}) {
      table.Prepare(id);
      table.Set(id, RecordOf(id));
    }
    test::AddressSpaceCap cap(16u << 20);
    int refused = 0;
    try {
      table.Prepare(kCapacity);
    } catch (const OsError& e) {
      refused = e.code();
    }
    const uint32_t capacity_after_refusal = table.capacity();
    std::string error;
    try {
      table.Prepare(kCapacity, RecordTable::Growth::kAsRoomAllows);
      table.Set(kCapacity, RecordOf(kCapacity));
    } catch (const std::exception& e) {
      error = e.what();
    }
    cap.Lift();
    EXPECT_EQ(refused, ENOMEM);
    EXPECT_EQ(capacity_after_refusal, kCapacity);
    EXPECT_EQ(error, "");
    EXPECT_GT(table.capacity(), kCapacity);
    EXPECT_LT(table.capacity(), 2 * kCapacity);
    EXPECT_EQ(test::FileSize(path), uint64_t{table.capacity()} * kRecordSize);
  }
  File file = File::Open(path, O_RDWR);
  const uint64_t size = file.Size();
  RecordTable table = RecordTable::Open(std::move(file), size, 1);
  EXPECT_EQ(uint64_t{table.capacity()} * kRecordSize, size);
  for (uint32_t id : {0u, kCapacity / 2, kCapacity - 1, kCapacity}) {
    ASSERT_EQ(table.At(id).value_offset, RecordOf(id).value_offset) << id;
  }
  const uint32_t grown = table.capacity();
  table.Prepare(grown);
  EXPECT_EQ(table.capacity(), 2 * grown);
  EXPECT_EQ(table.At(kCapacity).key_length, RecordOf(kCapacity).key_length);
}

}  // namespace
}  // namespace vantre
