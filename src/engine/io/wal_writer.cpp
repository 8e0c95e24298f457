#include "engine/io/wal_writer.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/util/error.h"
#include "engine/format/format.h"
#include "engine/format/wal_entry.h"

namespace vantre {

WalWriter::WalWriter(File file, uint64_t file_size)
    : file_(std::move(file)), file_size_(file_size), buf_(2 * kBufferSize) {}

WalWriter::~WalWriter() {
  if (writing_ && pending_) pending_->TakeBack();
  if (!writing_) {
    try {
      Flush();
    } catch (...) {
      // Ignoring any potential errors: teardown cannot report them.
    }
  }
}

void WalWriter::TakeBack() {
  if (!pending_) return;
  const size_t done = pending_->TakeBack();
  const Bytes bytes = pending_->bytes();
  const size_t rest = bytes.size() - done;
  if (rest > 0) {
    // len_ < kBufferSize and rest <= kBufferSize: the vector has room.
    std::memmove(buf_.data() + rest, buf_.data(), len_);
    std::memcpy(buf_.data(), bytes.data() + done, rest);
    len_ += rest;
  }
  file_size_ += done;
  pending_.reset();
}

void WalWriter::HandOver(PendingWrites* out) {
  if (!pending_ || given_ || out->room() == 0) return;
  out->Add(pending_);
  given_ = true;
}

void WalWriter::Flush() {
  TakeBack();
  if (len_ == 0) {
    failed_ = false;
    return;
  }
  size_t written = 0;
  try {
    file_.WriteAll({buf_.data(), len_}, kWriteBufferedText, &written);
  } catch (...) {
    // Keep only the bytes that did not reach the file.
    std::memmove(buf_.data(), buf_.data() + written, len_ - written);
    len_ -= written;
    file_size_ += written;
    failed_ = true;
    throw;
  }
  file_size_ += written;
  len_ = 0;
  failed_ = false;
}

void WalWriter::SyncData() {
  Flush();
  file_.SyncData();
}

void WalWriter::Append(std::initializer_list<Bytes> pieces, size_t total) {
  // A crash may lose what has not reached the file: the buffer, and a
  // buffer handed over and not yet written. Together they stay within
  // kBufferSize, the one buffer that open allows a crash to have lost
  // (agreement.h): the buffer is handed over once it is half full, and
  // fills only up to what the handed-over bytes leave.
  if (pending_ && pending_->TakeBackIfWritten()) {
    file_size_ += pending_->size();
    pending_.reset();
  }
  if (HandsOverFirst(pending_ != nullptr, total)) {
    // Everything that can fail comes before anything changes.
    pending_ = PendingWrite::Make(file_.fd(), PendingWrite::kAppend,
                                  std::vector<std::byte>(buf_.begin(), buf_.begin() + len_));
    given_ = false;
    len_ = 0;
  }
  if (failed_ || Overflows((pending_ ? pending_->size() : 0) + len_, total)) Flush();
  if (total < kBufferSize) {
    for (Bytes p : pieces) {
      if (!p.empty()) std::memcpy(buf_.data() + len_, p.data(), p.size());
      len_ += p.size();
    }
    return;
  }
  // A record as large as the buffer goes straight to the file. If it fails
  // part way, the file is cut back to the record's start so that later
  // records are not stranded behind a torn one.
  const uint64_t start = file_size_;
  writing_ = true;
  try {
    for (Bytes p : pieces) {
      size_t written = 0;
      try {
        file_.WriteAll(p, kWriteWholeText, &written);
      } catch (...) {
        file_size_ += written;
        throw;
      }
      file_size_ += written;
    }
  } catch (...) {
    try {
      if (file_size_ != start) {
        file_.Truncate(start);
        file_size_ = start;
      }
    } catch (...) {
      // The original failure is the one reported.
    }
    writing_ = false;
    throw;
  }
  writing_ = false;
}

bool WalWriter::AppendWritesOut(size_t total) const {
  if (failed_ || total >= kBufferSize) return true;
  // As Append: a handed-over buffer that is written no longer counts, and
  // the buffer may be handed over before the record goes in.
  const bool in_flight = pending_ && !pending_->Written();
  if (HandsOverFirst(in_flight, total)) return Overflows(len_, total);
  return Overflows((in_flight ? pending_->size() : 0) + len_, total);
}

void WalWriter::AppendPut(std::string_view key, Bytes val) {
  std::byte head[12];
  std::byte vlen[8];
  EncodeWalHeader(WalTag::kPut, key.size(), head);
  EncodeFixed64(vlen, val.size());
  Append({Bytes(head), AsBytes(key), Bytes(vlen), val}, kWalPutOverhead + key.size() + val.size());
}

void WalWriter::AppendDelete(std::string_view key) {
  std::byte head[12];
  EncodeWalHeader(WalTag::kDelete, key.size(), head);
  Append({Bytes(head), AsBytes(key)}, kWalDeleteOverhead + key.size());
}

File WalWriter::ReplaceFile(File file, uint64_t size) {
  // The caller wrote the buffer out, which took any handed-over write
  // back; so does this, so that none is ever appended to the new file.
  if (pending_) pending_->TakeBack();
  pending_.reset();
  File old = std::exchange(file_, std::move(file));
  file_size_ = size;
  len_ = 0;
  failed_ = false;
  return old;
}

void WalWriter::Reset() {
  // A handed-over write must not land after the cut.
  if (pending_) pending_->TakeBack();
  pending_.reset();
  file_.Truncate(0);
  file_size_ = 0;
  file_.Seek(0);
  len_ = 0;
  failed_ = false;
}

}  // namespace vantre
