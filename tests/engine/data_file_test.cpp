#include "engine/data_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/error.h"
#include "test_util.h"

namespace vantre {
namespace {

using test::Str;

// `n` bytes that differ from their neighbours, so misplaced reads show.
std::string Pattern(size_t n, unsigned seed = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) % 251);
  return s;
}

class DataFileTest : public testing::Test {
 protected:
  DataFileTest() : path_(dir_.Join("keys.bin")) { Reopen(0); }

  void Reopen(uint64_t end) {
    data_.reset();
    data_ = std::make_unique<DataFile>(File::Open(path_, O_RDWR | O_CREAT), end);
  }
  uint64_t Append(const std::string& s) { return data_->Append(AsBytes(s)); }
  std::string Read(uint64_t offset, size_t n) {
    std::string out(n, '\0');
    data_->Read({reinterpret_cast<std::byte*>(out.data()), n}, offset);
    return out;
  }
  std::string Contents() const { return test::ReadFileText(path_); }

  test::TempDir dir_;
  std::string path_;
  std::unique_ptr<DataFile> data_;
};

TEST_F(DataFileTest, AppendsAreReadableBeforeFlush) {
  EXPECT_EQ(Append("hello"), 0u);
  EXPECT_EQ(Append(" world"), 5u);
  EXPECT_EQ(data_->end(), 11u);
  EXPECT_EQ(Contents(), "");
  EXPECT_EQ(Read(0, 11), "hello world");
  EXPECT_EQ(Read(4, 3), "o w");
  data_->Flush();
  EXPECT_EQ(Contents(), "hello world");
  EXPECT_EQ(Read(6, 5), "world");
}

TEST_F(DataFileTest, ReadsSpanFileAndBuffer) {
  const std::string a = Pattern(40000, 1), b = Pattern(40000, 2);
  Append(a);
  Append(b);  // does not fit: a goes to the file
  EXPECT_EQ(Contents(), a);
  EXPECT_EQ(Read(30000, 20000), (a + b).substr(30000, 20000));
  // One piece as large as the buffer goes straight to the file, after it.
  const std::string big = Pattern(DataFile::kBufferSize, 3);
  EXPECT_EQ(Append(big), 80000u);
  EXPECT_EQ(Contents(), a + b + big);
  EXPECT_EQ(Read(0, 80000 + big.size()), a + b + big);
}

TEST_F(DataFileTest, DestructionFlushesAtTheDataEnd) {
  test::WriteFileText(path_, "garbage!!");
  Reopen(3);
  EXPECT_EQ(Append("XYZ"), 3u);
  Reopen(6);
  EXPECT_EQ(Contents(), "garXYZe!!");
  EXPECT_EQ(Read(0, 6), "garXYZ");
}

// Bytes after the mark that a flush already wrote stay in the file as
// garbage beyond the data end, and are overwritten by the next appends.
TEST_F(DataFileTest, Rollback) {
  const std::string a = Pattern(60000, 1);
  Append(a);
  const DataFile::Mark mark = data_->mark();
  Append("junk");  // within the buffer
  data_->Rollback(mark);
  EXPECT_EQ(Append("ok"), 60000u);
  EXPECT_EQ(Read(59998, 4), a.substr(59998) + "ok");
  data_->Rollback(mark);
  Append(Pattern(10000, 2));  // pushes a out
  Append(Pattern(60000, 3));  // pushes the 10000 out
  ASSERT_EQ(Contents().size(), 70000u);
  data_->Rollback(mark);
  EXPECT_EQ(data_->end(), 60000u);
  EXPECT_EQ(Append("d"), 60000u);
  EXPECT_EQ(Read(0, 60001), a + "d");
  data_->Flush();
  EXPECT_EQ(Contents().substr(0, 60001), a + "d");
}

TEST_F(DataFileTest, ReadsPastTheFileFail) {
  auto expect_short = [&](uint64_t offset, size_t n) {
    try {
      Read(offset, n);
      ADD_FAILURE() << "read of " << n << " at " << offset << " succeeded";
    } catch (const EngineError& e) {
      EXPECT_STREQ(e.what(), "failed to fill whole buffer");
      EXPECT_EQ(e.kind(), ErrorKind::kUnexpectedEof);
    }
  };
  expect_short(0, 1);
  Append("abc");
  data_->Flush();
  Append("de");
  EXPECT_EQ(Read(0, 5), "abcde");
  expect_short(3, 3);  // two buffered bytes, then nothing in the file
  expect_short(1000, 1);
  EXPECT_THROW(Read(~0ULL - 3, 8), Error);
}

}  // namespace
}  // namespace vantre
