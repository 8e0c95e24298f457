#include "engine/check/read_source.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/util/error.h"

namespace vantre {
namespace {

constexpr size_t kWindowSize = 1 << 20;

}  // namespace

void ReadSource::Open(const std::string& path) {
  try {
    file_ = File::Open(path, O_RDONLY);
  } catch (const OsError& e) {
    if (e.code() == ENOENT) return;
    throw;
  }
  size_ = file_.Size();
}

void ReadSource::Read(uint64_t offset, size_t length, std::byte* dst) {
  if (!Inside(offset, length, size_)) {
    throw EngineError(ErrorKind::kInvalidData, "record lies outside its file");
  }
  if (length == 0) return;
  if (length > kWindowSize / 2) {
    file_.ReadExactAt({dst, length}, offset);
    return;
  }
  if (offset < window_start_ || offset + length > window_start_ + window_.size()) {
    const uint64_t want = std::min<uint64_t>(kWindowSize, size_ - offset);
    window_.resize(static_cast<size_t>(want));
    file_.ReadExactAt(window_, offset);
    window_start_ = offset;
  }
  std::memcpy(dst, window_.data() + (offset - window_start_), length);
}

}  // namespace vantre
