#include "engine/io/data_file.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/util/error.h"
#include "engine/io/map_guard.h"

namespace vantre {

namespace {

// Address space given to the read map of one data file: the map starts at
// kMinReadMap and doubles as the file grows; files beyond kMaxReadMap are
// read through the descriptor. 32-bit processes have little to spare.
constexpr uint64_t kMinReadMap = 16ull << 20;
constexpr uint64_t kMaxReadMap = sizeof(size_t) == 4 ? 512ull << 20 : 1ull << 40;

}  // namespace

void DataFile::ShortFile() const {
  throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText, file_.path());
}

DataFile::DataFile(File file, uint64_t end)
    : file_(std::move(file)), end_(end), flushed_(end), file_size_(end) {
  InstallMapGuard();
}

DataFile::~DataFile() {
  if (!file_.is_open()) return;
  try {
    Flush();
  } catch (...) {
    // Ignoring any potential errors: teardown cannot report them.
  }
}

DataFile& DataFile::operator=(DataFile&& other) noexcept {
  if (this == &other) return *this;
  // The writer must not write through the descriptor about to be closed
  // (or a later file given its number).
  if (pending_) pending_->TakeBack();
  file_ = std::move(other.file_);
  end_ = other.end_;
  flushed_ = other.flushed_;
  file_size_ = other.file_size_;
  failed_ = other.failed_;
  missing_ = std::move(other.missing_);
  recorder_ = other.recorder_;
  tag_ = other.tag_;
  buf_ = std::move(other.buf_);
  pending_ = std::move(other.pending_);
  spare_ = std::move(other.spare_);
  hand_over_ = other.hand_over_;
  read_map_ = std::move(other.read_map_);
  map_refused_ = other.map_refused_;
  return *this;
}

void DataFile::Settle(size_t done) {
  const Bytes bytes = pending_->bytes();
  if (done < bytes.size()) buf_.insert(buf_.begin(), bytes.begin() + done, bytes.end());
  flushed_ += done;
  file_size_ = std::max(file_size_, flushed_);
  spare_ = std::move(*pending_).ReleaseBuffer();
  pending_.reset();
}

void DataFile::TakeBack() {
  if (pending_) Settle(pending_->TakeBack());
}

bool DataFile::TakeBackIfWritten() {
  if (!pending_) return true;
  if (!pending_->TakeBackIfWritten()) return false;
  Settle(pending_->size());
  return true;
}

void DataFile::HandOver(PendingWrites* out) {
  if (!hand_over_ || failed_ || out->room() == 0) return;
  const uint64_t unit_end = end_ - end_ % kWriteUnit;
  if (unit_end <= buffered_from()) return;
  if (!TakeBackIfWritten()) return;  // the previous write is still on its way
  try {
    NoteCutBefore(flushed_);
    const auto n = static_cast<size_t>(unit_end - flushed_);
    // Everything that can fail comes before the buffer changes: the units
    // are copied into the spare buffer, whose capacity is kept.
    spare_.assign(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
    pending_ = PendingWrite::Make(file_.fd(), flushed_, std::move(spare_));
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
    out->Add(pending_);
  } catch (const std::bad_alloc&) {
    // Left in the buffer, for the next write-out.
  } catch (const Error&) {
    // The range before the write could not be recorded: the next write-out
    // meets it again, and fails with it.
  }
}

void DataFile::Flush() {
  TakeBack();
  if (buf_.empty()) {
    failed_ = false;
    return;
  }
  WriteOut(end_);
}

void DataFile::NoteCutBefore(uint64_t at) {
  const uint64_t size = file_.Size();
  if (size >= at) return;
  // Known already when the whole range lies in a listed one.
  for (const Range& r : missing_) {
    if (r.start <= size && at <= r.end) return;
  }
  if (recorder_ == nullptr) ShortFile();
  recorder_->Record({tag_, size, at});
  AddMissing(size, at);
}

void DataFile::WriteOut(uint64_t upto) {
  TakeBack();
  const auto n = static_cast<size_t>(upto - flushed_);
  try {
    NoteCutBefore(flushed_);
    file_.WriteAllAt(Bytes(buf_.data(), n), flushed_);
  } catch (...) {
    // The buffer is kept whole: a retry writes the same bytes at the same
    // offsets.
    failed_ = true;
    throw;
  }
  failed_ = false;
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
  flushed_ = upto;
  file_size_ = std::max(file_size_, upto);
}

uint64_t DataFile::AppendCopy(const DataFile& src, uint64_t offset, uint64_t length) {
  src.CheckOutsideHole(offset, length);
  const uint64_t in_file = std::min(src.flushed_, src.file_size_);
  if (offset > in_file || length > in_file - offset) src.ShortFile();
  Flush();
  const uint64_t at = end_;
  NoteCutBefore(at);
  file_.CopyFrom(src.file_, offset, length, at);
  end_ = at + length;
  flushed_ = end_;
  file_size_ = std::max(file_size_, end_);
  return at;
}

void DataFile::SyncData() {
  Flush();
  file_.SyncData();
}

File DataFile::Release() && {
  Flush();
  read_map_ = MemoryMap();
  return std::move(file_);
}

DataFile DataFile::ReaderOf(File file) const {
  DataFile reader(std::move(file), end_);
  reader.flushed_ = flushed_;
  reader.file_size_ = file_size_;
  reader.missing_ = missing_;
  return reader;
}

void DataFile::Remap(uint64_t needed) const {
  if (needed > kMaxReadMap || (map_refused_ != 0 && needed < 2 * map_refused_)) return;
  const uint64_t length = std::min(kMaxReadMap, std::max(kMinReadMap, 2 * needed));
  try {
    MemoryMap map = MemoryMap::Map(file_, length, MemoryMap::Access::kReadOnly);
    map.AdviseRandomAccess();
    map.AdviseHugePages();
    read_map_ = std::move(map);
    map_refused_ = 0;
  } catch (const Error&) {
    map_refused_ = std::max<uint64_t>(needed, 1);
  }
}

void DataFile::ReleaseReadMap() {
  if (read_map_.size() == 0) return;
  map_refused_ = std::max<uint64_t>(std::min(flushed_, file_size_), 1);
  read_map_ = MemoryMap();
}

const std::byte* DataFile::Mapped(uint64_t offset, size_t length) const {
  const uint64_t in_file = std::min(flushed_, file_size_);
  // Below the buffer, or past the data end, where the file holds what it
  // held when it was opened (open compares those bytes with the log).
  const bool below = offset <= in_file && length <= in_file - offset;
  const bool past_end = offset >= end_ && offset <= file_size_ && length <= file_size_ - offset;
  if (!below && !past_end) return nullptr;
  const uint64_t end = offset + length;
  if (end > read_map_.size()) Remap(std::max(in_file, end));
  if (end > read_map_.size()) return nullptr;
  return read_map_.data() + offset;
}

bool DataFile::Equals(uint64_t offset, Bytes expected, std::vector<std::byte>* scratch) const {
  const size_t n = expected.size();
  if (n == 0) return true;
  CheckOutsideHole(offset, n);
  if (const std::byte* mapped = Mapped(offset, n)) {
    const int equal = GuardedEqual(mapped, expected.data(), n);
    if (equal < 0) ShortFile();
    return equal == 1;
  }
  const uint64_t from = buffered_from();
  if (offset >= from && offset < end_ && n <= end_ - offset) {
    return std::memcmp(buf_.data() + (offset - from), expected.data(), n) == 0;
  }
  CheckInFile(offset, n);
  scratch->resize(n);
  Read(*scratch, offset);
  return std::memcmp(scratch->data(), expected.data(), n) == 0;
}

void DataFile::CheckInFile(uint64_t offset, size_t length) const {
  CheckOutsideHole(offset, length);
  if (length <= kDirectWrite) return;
  const uint64_t size = std::max(end_, file_.Size());
  if (offset > size || length > size - offset) ShortFile();
}

uint64_t DataFile::Append(Bytes data) {
  if (failed_) Flush();
  const uint64_t at = end_;
  if (data.size() >= kDirectWrite) {
    Flush();
    NoteCutBefore(at);
    file_.WriteAllAt(data, at);
    end_ = at + data.size();
    flushed_ = end_;
    file_size_ = std::max(file_size_, end_);
    return at;
  }
  // Fewer than kWriteUnit bytes are buffered between appends (crossing a
  // boundary writes out all below it), so this reservation is never
  // outgrown.
  if (buf_.capacity() == 0) buf_.reserve(kWriteUnit + kDirectWrite);
  const uint64_t end = at + data.size();
  const uint64_t unit_end = end - end % kWriteUnit;
  // Whole units are written out here, unless they are left for HandOver()
  // and the buffer has room for them.
  const bool write_out = WritesOutUnits(data.size());
  if (write_out) TakeBack();
  const size_t before = buf_.size();
  buf_.insert(buf_.end(), data.begin(), data.end());
  if (write_out) {
    try {
      WriteOut(unit_end);
    } catch (...) {
      buf_.resize(before);
      throw;
    }
  }
  end_ = end;
  return at;
}

void DataFile::AdoptThrough(uint64_t offset, uint64_t length) {
  if (offset != end_ || length == 0) return;
  Flush();
  end_ = offset + length;
  flushed_ = end_;
  file_size_ = std::max(file_size_, end_);
}

void DataFile::Rollback(Mark mark) {
  // A mark is taken and returned to within one call, which hands nothing
  // over in between; taking back keeps this exact whatever the order.
  if (mark.end < buffered_from()) TakeBack();
  if (mark.end >= buffered_from()) {
    // Everything since the mark is still in the buffer.
    buf_.resize(static_cast<size_t>(mark.end - buffered_from()));
  } else {
    // A flush since the mark wrote the bytes before it, and some after it,
    // to the file; those after it are now garbage beyond the data end.
    buf_.clear();
    flushed_ = mark.end;
  }
  end_ = mark.end;
}

void DataFile::Read(MutableBytes out, uint64_t offset) const {
  const size_t n = out.size();
  if (n == 0) return;
  CheckOutsideHole(offset, n);
  if (const std::byte* mapped = Mapped(offset, n)) {
    if (!GuardedCopy(out.data(), mapped, n)) ShortFile();
    return;
  }
  size_t done = 0;
  while (done < n) {
    const uint64_t pos = offset + done;
    if (pos < offset) ShortFile();
    if (pos >= flushed_ && pos < end_) {
      // In the write handed over, or in the buffer.
      const Bytes held = pos < buffered_from() ? pending_->bytes() : Bytes(buf_);
      const uint64_t held_from = pos < buffered_from() ? flushed_ : buffered_from();
      size_t from = static_cast<size_t>(pos - held_from);
      if (from >= held.size()) ShortFile();
      size_t take = std::min(n - done, held.size() - from);
      std::memcpy(out.data() + done, held.data() + from, take);
      done += take;
      continue;
    }
    // In the file: up to the buffer's start, or all that is left when the
    // range lies beyond the data end.
    size_t take = n - done;
    if (pos < flushed_ && flushed_ < end_) {
      take = static_cast<size_t>(std::min<uint64_t>(take, flushed_ - pos));
    }
    file_.ReadExactAt(out.subspan(done, take), pos);
    done += take;
  }
}

void DataFile::SetEnd(uint64_t end) {
  end_ = end;
  flushed_ = end;
  // A data end past the file (a file cut short): the bytes in between are
  // not there, and appends past them must not make them readable as zeros.
  if (end > file_size_) AddMissing(file_size_, end);
}

void DataFile::AddMissing(uint64_t start, uint64_t end) {
  if (start < end) missing_.push_back({start, end});
}

void DataFile::CheckOutsideMissing(uint64_t offset, uint64_t length) const {
  for (const Range& r : missing_) {
    if (offset < r.end && (offset >= r.start || length > r.start - offset)) ShortFile();
  }
}

}  // namespace vantre
