#include "engine/io/data_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/util/error.h"
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

// Write-outs end on unit boundaries: the piece that crosses one is split
// between file and buffer, and reads and compares put it back together.
TEST_F(DataFileTest, WritesOutWholeUnitsAndReadsAcrossTheSplit) {
  std::string all;
  while (all.size() < DataFile::kWriteUnit) {
    const std::string piece = Pattern(60000, static_cast<unsigned>(all.size() % 7));
    EXPECT_EQ(Append(piece), all.size());
    all += piece;
    EXPECT_EQ(Contents().size(), all.size() < DataFile::kWriteUnit ? 0 : DataFile::kWriteUnit);
  }
  EXPECT_EQ(Contents(), all.substr(0, DataFile::kWriteUnit));
  const size_t split = all.size() - 60000;
  EXPECT_EQ(Read(split - 10, 60010), all.substr(split - 10));
  std::vector<std::byte> scratch;
  EXPECT_TRUE(data_->Equals(split, AsBytes(std::string_view(all).substr(split)), &scratch));
  // A piece of kDirectWrite bytes goes to the file at once, after the buffer.
  const std::string big = Pattern(DataFile::kDirectWrite, 3);
  EXPECT_EQ(Append(big), all.size());
  all += big;
  EXPECT_EQ(Contents(), all);
  EXPECT_EQ(Read(0, all.size()), all);
}

// A write-out that fails leaves the data end and the buffer as they were,
// and the next append fails with it.
TEST_F(DataFileTest, FailedWriteOutChangesNothing) {
  data_.reset();
  data_ = std::make_unique<DataFile>(File::Open(path_, O_RDONLY | O_CREAT), 0);
  const std::string a = Pattern(DataFile::kWriteUnit - 10, 1);
  for (size_t at = 0; at < a.size(); at += 50000) Append(a.substr(at, 50000));
  EXPECT_THROW(Append("crosses the boundary"), OsError);
  EXPECT_EQ(data_->end(), a.size());
  EXPECT_THROW(Append("x"), OsError);
  EXPECT_EQ(Read(0, a.size()), a);
  data_.reset();  // teardown ignores the failed write-out
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
  // Crossing the unit boundary writes out a and what follows the mark.
  while (data_->end() < DataFile::kWriteUnit) Append(Pattern(60000, 2));
  ASSERT_EQ(Contents().size(), DataFile::kWriteUnit);
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

// AppendCopy copies ranges of another data file after what is buffered,
// also between file systems (where the kernel refuses and the copy goes
// through a buffer), and refuses bytes the source does not hold.
TEST_F(DataFileTest, AppendCopyBetweenFiles) {
  const std::string source = Pattern(300000, 3);
  std::vector<std::string> sources = {dir_.Join("vals.bin")};
  if (::access("/dev/shm", W_OK) == 0) {
    char tmpl[] = "/dev/shm/vantre-test-XXXXXX";
    if (::mkdtemp(tmpl) != nullptr) sources.push_back(std::string(tmpl) + "/vals.bin");
  }
  for (const std::string& path : sources) {
    test::WriteFileText(path, source);
    DataFile from(File::Open(path, O_RDWR), source.size());
    Reopen(0);
    Append("head");
    EXPECT_EQ(data_->AppendCopy(from, 1000, 200000), 4u) << path;
    Append("tail");
    EXPECT_EQ(Read(0, 200008), "head" + source.substr(1000, 200000) + "tail") << path;
    EXPECT_THROW(data_->AppendCopy(from, 200000, 100001), EngineError) << path;
    EXPECT_EQ(data_->end(), 200008u) << path;
  }
  if (sources.size() > 1) std::filesystem::remove_all(std::filesystem::path(sources[1]).parent_path());
}

}  // namespace
}  // namespace vantre
