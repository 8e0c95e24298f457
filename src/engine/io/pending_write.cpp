#include "engine/io/pending_write.h"

#include <unistd.h>

#include <cerrno>

namespace vantre {

namespace {

const std::byte kZeros[PendingWrite::kMaxZeros] = {};

// Bytes per system call, as File's own transfers.
constexpr size_t kMaxTransfer = 1 << 30;

}  // namespace

std::shared_ptr<PendingWrite> PendingWrite::Zeros(int fd, uint64_t at, size_t length) {
  return std::make_shared<PendingWrite>(fd, at, kZeros, length < kMaxZeros ? length : kMaxZeros);
}

void PendingWrite::Write() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (read_first_ && !taken_ && written_ == 0) {
    for (size_t done = 0; done < size_;) {
      const ssize_t n = ::pread(fd_, bytes_.data() + done, size_ - done,
                                static_cast<off_t>(at_ + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // the owner reads and writes them itself
      done += static_cast<size_t>(n);
    }
  }
  while (!taken_ && written_ < size_) {
    const size_t want = size_ - written_ < kMaxTransfer ? size_ - written_ : kMaxTransfer;
    const ssize_t n =
        at_ == kAppend ? ::write(fd_, data_ + written_, want)
                       : ::pwrite(fd_, data_ + written_, want, static_cast<off_t>(at_ + written_));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the owner writes the rest, and reports what fails
    written_ += static_cast<size_t>(n);
  }
}

size_t PendingWrite::TakeBack() {
  std::lock_guard<std::mutex> lock(mutex_);
  taken_ = true;
  return written_;
}

bool PendingWrite::TakeBackIfWritten() {
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || written_ < size_) return false;
  taken_ = true;
  return true;
}

bool PendingWrite::Written() const {
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  return lock.owns_lock() && written_ >= size_;
}

}  // namespace vantre
