// A buffer's write-out handed from its owner, who holds the Store lock, to
// the thread that filled the buffer, to be written once that thread holds
// no lock at all.
//
// While persist or vacuum runs, the kernel is busy writing their files
// back and the page cache is slow to hand out pages: writing a full 64 KiB
// data buffer or an 8 KiB log buffer then took a put 12 to 24 ms, all of it
// under the Store lock (and, under CPython, the interpreter lock). So the
// put that fills a buffer hands its full part over (`Make`), lets every
// lock go, and writes it (`Write`); reads meanwhile find the bytes in the
// PendingWrite, which nothing changes once made.
//
// The owner takes the bytes back (`TakeBack`) before anything else depends
// on the file holding them: the next write-out, a flush, a sync, a cut or
// a replacement of the file, teardown. Taking back waits for a write in
// progress (one buffer's write: the writer holds no other lock meanwhile)
// and stops the writer from starting one later; the owner then writes
// whatever did not reach the file itself, through its File, and reports
// the failure as any write-out of its own. So the writer never reports
// anything: a write it could not make is made again, and fails again, in
// front of a caller that can report it. And the writer never writes after
// the owner took the bytes back: not over records stored since, not into
// a file cut or replaced since, not through a descriptor closed since.
//
// Shared (std::shared_ptr) by the owner and the writer, so that an owner
// that takes back and drops it while the writer waits for its turn leaves
// the writer a live object to find taken.
#ifndef VANTRE_ENGINE_PENDING_WRITE_H_
#define VANTRE_ENGINE_PENDING_WRITE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/format/coding.h"

namespace vantre {

class PendingWrite {
 public:
  // An offset meaning: at the end of a file opened for appending.
  static constexpr uint64_t kAppend = UINT64_MAX;

  // `bytes`, to be written at `at` (or appended) through the descriptor
  // `fd`, which the owner keeps open until it has taken them back.
  static std::shared_ptr<PendingWrite> Make(int fd, uint64_t at, std::vector<std::byte> bytes) {
    return std::make_shared<PendingWrite>(fd, at, std::move(bytes));
  }
  // `length` zeros, to be written at `at`. REQUIRES: length <= kMaxZeros.
  static constexpr size_t kMaxZeros = 64 * 1024;
  static std::shared_ptr<PendingWrite> Zeros(int fd, uint64_t at, size_t length);
  // The `length` bytes the file holds at `at`, read by the writer and
  // written back over themselves (so that the file's blocks there are
  // allocated, and its pages cached, with what they hold kept). REQUIRES:
  // nothing writes there until the owner has taken them back.
  static std::shared_ptr<PendingWrite> Rewrite(int fd, uint64_t at, size_t length) {
    auto write = Make(fd, at, std::vector<std::byte>(length));
    write->read_first_ = true;
    return write;
  }

  PendingWrite(int fd, uint64_t at, std::vector<std::byte> bytes)
      : fd_(fd), at_(at), bytes_(std::move(bytes)), data_(bytes_.data()), size_(bytes_.size()) {}
  PendingWrite(int fd, uint64_t at, const std::byte* data, size_t size)
      : fd_(fd), at_(at), data_(data), size_(size) {}
  PendingWrite(const PendingWrite&) = delete;
  PendingWrite& operator=(const PendingWrite&) = delete;

  // The writer, holding no lock: writes the bytes unless the owner has
  // taken them back. Stops at the first failure, leaving the rest to the
  // owner. Never throws.
  void Write() noexcept;

  // The owner, under its lock: waits for a write in progress, and keeps the
  // writer from writing after this. Returns how many of the bytes reached
  // the file (from the start; those past it are the owner's to write).
  size_t TakeBack();
  // The same without waiting: true, the bytes taken back, when they are all
  // in the file; false, and nothing changed, when a write is in progress
  // or not all of them are in.
  bool TakeBackIfWritten();
  // Whether TakeBackIfWritten would succeed now; changes nothing. Once
  // true, stays true until taken back.
  bool Written() const;

  // Fixed from construction: read by the owner without the lock. (A
  // Rewrite's bytes are the writer's until taken back.)
  uint64_t at() const { return at_; }
  size_t size() const { return size_; }
  Bytes bytes() const { return {data_, size_}; }
  // The byte buffer, for the owner to use again once it has taken the bytes
  // back.
  std::vector<std::byte> ReleaseBuffer() && { return std::move(bytes_); }

 private:
  mutable std::mutex mutex_;
  const int fd_;
  const uint64_t at_;
  std::vector<std::byte> bytes_;
  const std::byte* const data_;
  const size_t size_;
  bool read_first_ = false;  // Rewrite: bytes_ is read from the file first
  size_t written_ = 0;       // under mutex_
  bool taken_ = false;       // under mutex_
};

// The write-outs one call handed over, written by it once it holds no lock.
class PendingWrites {
 public:
  void Add(std::shared_ptr<PendingWrite> write) { writes_[count_++] = std::move(write); }
  bool empty() const { return count_ == 0; }
  // Writes each in the order added, and lets them go.
  void WriteAll() noexcept {
    for (size_t i = 0; i < count_; ++i) {
      writes_[i]->Write();
      writes_[i].reset();
    }
    count_ = 0;
  }
  // One for each data file, the record table and the log.
  static constexpr size_t kMax = 4;
  size_t room() const { return kMax - count_; }

 private:
  std::shared_ptr<PendingWrite> writes_[kMax];
  size_t count_ = 0;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_PENDING_WRITE_H_
