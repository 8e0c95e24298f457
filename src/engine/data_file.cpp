#include "engine/data_file.h"

#include <algorithm>
#include <cstring>

#include "engine/error.h"

namespace vantre {

namespace {

// Address space given to the read map of one data file: the map starts at
// kMinReadMap and doubles as the file grows; files beyond kMaxReadMap are
// read through the descriptor. 32-bit processes have little to spare.
constexpr uint64_t kMinReadMap = 16ull << 20;
constexpr uint64_t kMaxReadMap = sizeof(size_t) == 4 ? 512ull << 20 : 1ull << 40;

}  // namespace

DataFile::DataFile(File file, uint64_t end)
    : file_(std::move(file)), end_(end), flushed_(end), file_size_(end) {}

DataFile::~DataFile() {
  if (!file_.is_open()) return;
  try {
    Flush();
  } catch (...) {
    // Ignoring any potential errors: teardown cannot report them.
  }
}

void DataFile::Flush() {
  if (buf_.empty()) return;
  file_.WriteAllAt(buf_, flushed_);
  flushed_ = end_;
  file_size_ = std::max(file_size_, end_);
  buf_.clear();
}

void DataFile::Remap(uint64_t needed) const {
  if (needed > kMaxReadMap) return;
  const uint64_t length = std::min(kMaxReadMap, std::max(kMinReadMap, 2 * needed));
  try {
    MemoryMap map = MemoryMap::Map(file_, length, MemoryMap::Access::kReadOnly);
    map.AdviseRandom();
    read_map_ = std::move(map);
  } catch (const Error&) {
    // Reads go through the descriptor instead.
  }
}

std::optional<Bytes> DataFile::MappedView(uint64_t offset, size_t length) const {
  const uint64_t in_file = std::min(flushed_, file_size_);
  if (offset > in_file || length > in_file - offset) return std::nullopt;
  const uint64_t end = offset + length;
  if (end > read_map_.size()) Remap(in_file);
  if (end > read_map_.size()) return std::nullopt;
  return Bytes(read_map_.data() + offset, length);
}

Bytes DataFile::View(uint64_t offset, size_t length, std::vector<std::byte>* scratch) const {
  if (length == 0) return {};
  if (auto mapped = MappedView(offset, length)) return *mapped;
  if (offset >= flushed_ && offset < end_ && length <= end_ - offset) {
    return Bytes(buf_).subspan(static_cast<size_t>(offset - flushed_), length);
  }
  CheckInFile(offset, length);
  scratch->resize(length);
  Read(*scratch, offset);
  return *scratch;
}

void DataFile::CheckInFile(uint64_t offset, size_t length) const {
  if (length <= kBufferSize) return;
  const uint64_t size = std::max(end_, file_.Size());
  if (offset > size || length > size - offset) {
    throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText);
  }
}

uint64_t DataFile::Append(Bytes data) {
  const uint64_t at = end_;
  if (data.size() > kBufferSize - buf_.size()) Flush();
  if (data.size() >= kBufferSize) {
    file_.WriteAllAt(data, at);
    end_ = at + data.size();
    flushed_ = end_;
    file_size_ = std::max(file_size_, end_);
    return at;
  }
  if (buf_.capacity() == 0) buf_.reserve(kBufferSize);
  buf_.insert(buf_.end(), data.begin(), data.end());
  end_ = at + data.size();
  return at;
}

void DataFile::Rollback(Mark mark) {
  if (mark.end >= flushed_) {
    // Everything since the mark is still in the buffer.
    buf_.resize(static_cast<size_t>(mark.end - flushed_));
  } else {
    // A flush since the mark wrote the bytes before it, and some after it,
    // to the file; those after it are now garbage beyond the data end.
    buf_.clear();
    flushed_ = mark.end;
  }
  end_ = mark.end;
}

void DataFile::Read(MutableBytes out, uint64_t offset) const {
  size_t done = 0;
  const size_t n = out.size();
  while (done < n) {
    const uint64_t pos = offset + done;
    if (pos < offset) throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText);
    if (pos >= flushed_ && pos < end_) {
      // In the buffer.
      size_t from = static_cast<size_t>(pos - flushed_);
      if (from >= buf_.size()) throw EngineError(ErrorKind::kUnexpectedEof, kFillBufferText);
      size_t take = std::min(n - done, buf_.size() - from);
      std::memcpy(out.data() + done, buf_.data() + from, take);
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
}

}  // namespace vantre

namespace vantre {

Bytes DataWindow::Get(uint64_t offset, size_t length) {
  if (auto mapped = file_->MappedView(offset, length)) return *mapped;
  if (offset >= start_ && offset - start_ <= window_.size() &&
      length <= window_.size() - (offset - start_)) {
    return Bytes(window_).subspan(static_cast<size_t>(offset - start_), length);
  }
  const uint64_t end = file_->end();
  if (length >= kWindowSize || offset >= end || length > end - offset) {
    file_->CheckInFile(offset, length);
    large_.resize(length);
    file_->Read(large_, offset);
    return large_;
  }
  // Refill the window from this range onwards, within the data.
  window_.resize(static_cast<size_t>(std::min<uint64_t>(kWindowSize, end - offset)));
  file_->Read(window_, offset);
  start_ = offset;
  return Bytes(window_).first(length);
}

}  // namespace vantre
