#include "engine/io/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <limits>
#include <vector>

#include "engine/util/error.h"

namespace vantre {
namespace {

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

// Largest single transfer: keeps every count inside ssize_t on 32 bits.
constexpr size_t kMaxTransfer = 1u << 30;

void CheckRange(uint64_t offset, size_t length, const std::string& path) {
  if (offset > kMaxOffset || length > kMaxOffset - offset) throw OsError(EINVAL, path);
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

File::~File() { Close(); }

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);  // Ignoring any potential errors.
    fd_ = -1;
  }
}

void File::CloseGradually() {
  if (fd_ < 0) return;
  constexpr uint64_t kStep = uint64_t{16} << 20;
  struct stat st;
  if (::fstat(fd_, &st) == 0 && st.st_nlink == 0) {
    try {
      for (uint64_t size = static_cast<uint64_t>(st.st_size); size > kStep;) {
        size -= kStep;
        Truncate(size);
      }
    } catch (const Error&) {
      // The close frees what is left.
    }
  }
  Close();
}

File File::Open(const std::string& path, int flags, mode_t mode) {
  if (path.find('\0') != std::string::npos) {
    throw EngineError(ErrorKind::kInvalidInput, "path contains a NUL character");
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw LastOsError(path);
  File f(fd);
  f.path_ = path;
  return f;
}

File File::OpenAt(const File& dir, const char* name, int flags, mode_t mode, std::string path) {
  int fd;
  do {
    fd = ::openat(dir.fd(), name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw LastOsError(path);
  File f(fd);
  f.path_ = std::move(path);
  return f;
}

uint64_t File::Size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) throw LastOsError(path_);
  return static_cast<uint64_t>(st.st_size);
}

size_t File::ReadAt(MutableBytes out, uint64_t offset) const {
  CheckRange(offset, out.size(), path_);
  size_t done = 0;
  while (done < out.size()) {
    size_t want = std::min(out.size() - done, kMaxTransfer);
    ssize_t n = ::pread(fd_, out.data() + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw LastOsError(path_);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void File::ReadExactAt(MutableBytes out, uint64_t offset) const {
  if (ReadAt(out, offset) != out.size()) {
    throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, path_);
  }
}

void File::WriteAllAt(Bytes data, uint64_t offset) const {
  CheckRange(offset, data.size(), path_);
  size_t done = 0;
  while (done < data.size()) {
    size_t want = std::min(data.size() - done, kMaxTransfer);
    ssize_t n = ::pwrite(fd_, data.data() + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw LastOsError(path_);
    }
    if (n == 0) throw EngineError(ErrorKind::kWriteZero, kWriteWholeText, path_);
    done += static_cast<size_t>(n);
  }
}

void File::CopyFrom(const File& src, uint64_t offset, uint64_t length, uint64_t at) const {
  if (offset > kMaxOffset || length > kMaxOffset - offset) throw OsError(EINVAL, src.path_);
  if (at > kMaxOffset || length > kMaxOffset - at) throw OsError(EINVAL, path_);
  // In the kernel: no copy through this process, and none at all where the
  // file system can share the blocks.
  while (length > 0) {
    auto in = static_cast<off_t>(offset);
    auto out = static_cast<off_t>(at);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, kMaxTransfer));
    const ssize_t n = ::copy_file_range(src.fd_, &in, fd_, &out, want, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) break;
      throw LastOsError(path_);
    }
    if (n == 0) throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, src.path_);
    offset += static_cast<uint64_t>(n);
    at += static_cast<uint64_t>(n);
    length -= static_cast<uint64_t>(n);
  }
  // Where the kernel cannot copy between these files: through a buffer.
  std::vector<std::byte> buf(static_cast<size_t>(std::min<uint64_t>(length, 1 << 20)));
  while (length > 0) {
    const MutableBytes chunk(buf.data(), static_cast<size_t>(std::min<uint64_t>(length, buf.size())));
    src.ReadExactAt(chunk, offset);
    WriteAllAt(chunk, at);
    offset += chunk.size();
    at += chunk.size();
    length -= chunk.size();
  }
}

void File::WriteAll(Bytes data, const char* zero_text, size_t* written) const {
  size_t done = 0;
  *written = 0;
  while (done < data.size()) {
    size_t want = std::min(data.size() - done, kMaxTransfer);
    ssize_t n = ::write(fd_, data.data() + done, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw LastOsError(path_);
    }
    if (n == 0) throw EngineError(ErrorKind::kWriteZero, zero_text, path_);
    done += static_cast<size_t>(n);
    *written = done;
  }
}

void File::Truncate(uint64_t length) const {
  if (length > kMaxOffset) throw OsError(EFBIG, path_);
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) throw LastOsError(path_);
}

void File::Allocate(uint64_t offset, uint64_t length) const {
  if (offset > kMaxOffset || length > kMaxOffset - offset) throw OsError(EFBIG, path_);
  if (length == 0) return;
  int rc;
  do {
    rc = ::posix_fallocate(fd_, static_cast<off_t>(offset), static_cast<off_t>(length));
  } while (rc == EINTR);
  if (rc != 0) throw OsError(rc, path_);
}

bool File::TryLockExclusive() const {
  int rc;
  do {
    rc = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  if (errno == EWOULDBLOCK) return false;
  throw LastOsError(path_);
}

void File::Unlock() const {
  int rc;
  do {
    rc = ::flock(fd_, LOCK_UN);
  } while (rc != 0 && errno == EINTR);
}

bool File::SameFileAs(const File& other) const {
  struct stat a, b;
  if (::fstat(fd_, &a) != 0 || ::fstat(other.fd_, &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void File::WriteBack(uint64_t offset, uint64_t length, bool wait) const {
  unsigned flags = SYNC_FILE_RANGE_WRITE;
  if (wait) flags |= SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER;
  if (offset > kMaxOffset || length > kMaxOffset - offset) return;
  while (::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), flags) != 0 &&
         errno == EINTR) {
  }
}

void File::SetAppend() const {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_APPEND) < 0) throw LastOsError(path_);
}

void File::Seek(uint64_t offset) const {
  if (offset > kMaxOffset) throw OsError(EINVAL, path_);
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) throw LastOsError(path_);
}

void File::Sync() const {
  int rc;
  do {
    rc = ::fsync(fd_);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) throw OsError::OfSync(errno, path_);
}

void File::SyncData() const {
  int rc;
  do {
    rc = ::fdatasync(fd_);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) throw OsError::OfSync(errno, path_);
}

// Unmaps a map a piece at a time. Unmapping a large map that was read
// through (a gigabyte of values, after a vacuum) takes tens of
// milliseconds, during which every other thread of the process that maps
// or unmaps memory (an allocator, an interpreter's collector) waits; in
// pieces, each waits for one piece at most. Ignoring any potential errors.
void MemoryMap::Unmap(std::byte* data, size_t size) noexcept {
  constexpr size_t kPiece = 64 << 20;
  if (data == nullptr) return;
  for (size_t done = 0; done < size; done += kPiece) {
    ::munmap(data + done, std::min(kPiece, size - done));
  }
}

MemoryMap::MemoryMap(MemoryMap&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

MemoryMap& MemoryMap::operator=(MemoryMap&& other) noexcept {
  if (this != &other) {
    Unmap(data_, size_);
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

MemoryMap::~MemoryMap() {
  Unmap(data_, size_);
}

MemoryMap MemoryMap::Map(const File& file, uint64_t length, Access access) {
  if (length > std::numeric_limits<size_t>::max() / 2) {
    // More than the address space can hold: mmap would fail anyway, and the
    // length must never be truncated to size_t.
    throw OsError(ENOMEM, file.path());
  }
  MemoryMap map;
  if (length == 0) return map;
  const int prot = access == Access::kReadWrite ? PROT_READ | PROT_WRITE : PROT_READ;
  void* p = ::mmap(nullptr, static_cast<size_t>(length), prot, MAP_SHARED, file.fd(), 0);
  if (p == MAP_FAILED) throw LastOsError(file.path());
  map.data_ = static_cast<std::byte*>(p);
  map.size_ = static_cast<size_t>(length);
  return map;
}

void MemoryMap::Resize(uint64_t length) {
  if (length > std::numeric_limits<size_t>::max() / 2) throw OsError(ENOMEM);
  if (data_ == nullptr) throw OsError(EINVAL);
  void* p = ::mremap(data_, size_, static_cast<size_t>(length), MREMAP_MAYMOVE);
  if (p == MAP_FAILED) throw LastOsError();
  data_ = static_cast<std::byte*>(p);
  size_ = static_cast<size_t>(length);
}

void MemoryMap::SyncAll(const std::string& path) const {
  if (data_ != nullptr && ::msync(data_, size_, MS_SYNC) != 0) throw OsError::OfSync(errno, path);
}

void MemoryMap::AdviseRandomAccess() const {
  if (data_ != nullptr) ::madvise(data_, size_, MADV_RANDOM);  // Advice only.
}

void MemoryMap::AdviseHugePages() const {
  // Advice only: fails where the kernel has no transparent huge pages.
  if (data_ != nullptr) ::madvise(data_, size_, MADV_HUGEPAGE);
}

void CreateDirectories(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw EngineError(ErrorKind::kInvalidInput, "path contains a NUL character", path);
  }
  if (path.empty()) throw OsError(ENOENT, path);
  if (::mkdir(path.c_str(), 0777) == 0) return;
  int err = errno;
  if (err == ENOENT) {
    // A parent is missing: create it, then try again.
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const size_t slash = parent.rfind('/');
    if (slash != std::string::npos && slash > 0) {
      CreateDirectories(parent.substr(0, slash));
      if (::mkdir(path.c_str(), 0777) == 0) return;
      err = errno;
    }
  }
  if (err == EEXIST) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw LastOsError(path);
    if (S_ISDIR(st.st_mode)) return;
  }
  throw OsError(err, path);
}

}  // namespace vantre
