#include "engine/io/wal_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <memory>
#include <string>

#include "engine/util/error.h"
#include "engine/format/wal_entry.h"
#include "test_util.h"

namespace vantre {
namespace {

// A Put record of `key` that encodes to `total` bytes.
struct Rec {
  std::string key, val, bytes;
};
Rec PutOfSize(std::string_view key, size_t total) {
  Rec r{std::string(key), std::string(total - kWalPutOverhead - key.size(), 'v'), ""};
  r.bytes = test::LogBytes([&](WalWriter& w) { w.AppendPut(r.key, AsBytes(r.val)); });
  return r;
}
const std::string kDeleteA("\x01\0\0\0\x01\0\0\0\0\0\0\0a", 13);

class WalWriterTest : public testing::Test {
 protected:
  WalWriterTest() : path_(dir_.Join("wal.bin")) { Reopen(); }

  void Reopen() {
    writer_.reset();
    File f = File::Open(path_, O_WRONLY | O_APPEND | O_CREAT);
    const uint64_t size = f.Size();
    writer_ = std::make_unique<WalWriter>(std::move(f), size);
  }
  void Append(const Rec& r) { writer_->AppendPut(r.key, AsBytes(r.val)); }
  std::string Contents() const { return test::ReadFileText(path_); }

  test::TempDir dir_;
  std::string path_;
  std::unique_ptr<WalWriter> writer_;
};

TEST_F(WalWriterTest, NothingReachesTheFileUntilTheBufferOverflows) {
  const Rec a = PutOfSize("a", 4096), b = PutOfSize("b", 4096);
  Append(a);
  Append(b);  // exactly fills the buffer
  EXPECT_EQ(writer_->buffered(), 8192u);
  EXPECT_EQ(Contents(), "");
  writer_->AppendDelete("a");  // does not fit: the buffer goes out whole
  EXPECT_EQ(Contents(), a.bytes + b.bytes);
  EXPECT_EQ(writer_->buffered(), 13u);
  writer_->Flush();
  EXPECT_EQ(writer_->buffered(), 0u);
  EXPECT_EQ(Contents(), a.bytes + b.bytes + kDeleteA);
}

TEST_F(WalWriterTest, RecordAsLargeAsTheBufferGoesStraightToTheFile) {
  const Rec small = PutOfSize("s", 21), large = PutOfSize("l", 8192),
            almost = PutOfSize("m", 8191);
  Append(small);
  Append(large);
  EXPECT_EQ(Contents(), small.bytes + large.bytes);
  EXPECT_EQ(writer_->buffered(), 0u);
  Append(almost);
  EXPECT_EQ(writer_->buffered(), 8191u);
  EXPECT_EQ(Contents(), small.bytes + large.bytes);
}

TEST_F(WalWriterTest, DestructionFlushesAndResetEmpties) {
  const Rec a = PutOfSize("a", 5000), b = PutOfSize("b", 5000), c = PutOfSize("c", 30);
  Append(c);
  Reopen();
  EXPECT_EQ(Contents(), c.bytes);
  Append(a);  // after what is there
  Append(b);  // pushes a out
  ASSERT_EQ(Contents(), c.bytes + a.bytes);
  writer_->Reset();
  EXPECT_EQ(Contents(), "");
  EXPECT_EQ(writer_->buffered(), 0u);
  Append(c);
  writer_.reset();
  EXPECT_EQ(Contents(), c.bytes);
}

// Limits the size of files this process may write; writes past it fail
// with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit lowered = old_;
    lowered.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit old_;
  sighandler_t old_handler_;
};

TEST_F(WalWriterTest, FailedWritesLeaveWholeRecords) {
  const Rec a = PutOfSize("a", 21), b = PutOfSize("b", 21), c = PutOfSize("c", 21);
  const std::string abc = a.bytes + b.bytes + c.bytes;
  Append(a);
  Append(b);
  Append(c);
  {
    FileSizeLimit limit(30);
    EXPECT_THROW(writer_->Flush(), OsError);
  }
  // What reached the file left the buffer; the rest is still there.
  EXPECT_EQ(Contents(), abc.substr(0, 30));
  EXPECT_EQ(writer_->buffered(), 33u);
  writer_->Flush();
  EXPECT_EQ(Contents(), abc);

  // A direct write cut short is cut back to the record's start, so that
  // the next record follows a whole one.
  const Rec large = PutOfSize("l", 9000);
  {
    FileSizeLimit limit(abc.size() + 100);
    try {
      Append(large);
      ADD_FAILURE() << "the direct write succeeded";
    } catch (const OsError& e) {
      EXPECT_EQ(e.code(), EFBIG);
    }
  }
  EXPECT_EQ(Contents(), abc);
  EXPECT_EQ(writer_->buffered(), 0u);
  writer_->AppendDelete("a");
  writer_.reset();
  EXPECT_EQ(Contents(), abc + kDeleteA);
}

}  // namespace
}  // namespace vantre
