#include "engine/record_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace vantre
