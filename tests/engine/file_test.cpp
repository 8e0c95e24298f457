// Releasing a replaced file: shrunk a step at a time only when no name
// refers to it any more.
#include "engine/io/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace vantre {
namespace {

uint64_t SizeOf(int fd) {
  struct stat st;
  EXPECT_EQ(::fstat(fd, &st), 0);
  return static_cast<uint64_t>(st.st_size);
}

class CloseGraduallyTest : public testing::Test {
 protected:
  // A 40 MiB file, more than two release steps, and a second descriptor of
  // it that outlives the one released, to see what became of the file.
  CloseGraduallyTest() : path_(dir_.Join("vals.bin")) {
    file_ = File::Open(path_, O_RDWR | O_CREAT);
    file_.Truncate(kSize);
    file_.WriteAllAt(AsBytes(std::string("tail")), kSize - 4);
    witness_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~CloseGraduallyTest() override { ::close(witness_); }

  static constexpr uint64_t kSize = uint64_t{40} << 20;
  test::TempDir dir_;
  std::string path_;
  File file_;
  int witness_ = -1;
};

TEST_F(CloseGraduallyTest, AFileWithoutANameIsFreed) {
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  file_.CloseGradually();
  EXPECT_FALSE(file_.is_open());
  EXPECT_LT(SizeOf(witness_), kSize);
}

// A name still in place, or another link to the file (a copy kept by hard
// link), keeps every byte.
TEST_F(CloseGraduallyTest, AFileWithANameKeepsItsBytes) {
  file_.CloseGradually();
  EXPECT_FALSE(file_.is_open());
  EXPECT_EQ(SizeOf(witness_), kSize);

  file_ = File::Open(path_, O_RDWR);
  const std::string kept = dir_.Join("kept");
  ASSERT_EQ(::link(path_.c_str(), kept.c_str()), 0);
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  file_.CloseGradually();
  EXPECT_EQ(test::FileSize(kept), kSize);
  EXPECT_EQ(test::ReadFileText(kept).substr(kSize - 4), "tail");
}

}  // namespace
}  // namespace vantre
