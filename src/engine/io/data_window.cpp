#include "engine/io/data_window.h"

#include <algorithm>

#include "engine/util/error.h"

namespace vantre {

Bytes DataWindow::Get(uint64_t offset, size_t length) {
  if (length == 0) return {};
  if (offset >= start_ && offset - start_ <= window_.size() &&
      length <= window_.size() - (offset - start_)) {
    return Bytes(window_).subspan(static_cast<size_t>(offset - start_), length);
  }
  const uint64_t end = file_->end();
  if (length < kWindowSize && offset < end && length <= end - offset) {
    // Refill the window from this range onwards, within the data. A window
    // that reaches into a gap (a data end past the file, from a damaged
    // snapshot) falls back to the range alone.
    window_.resize(static_cast<size_t>(std::min<uint64_t>(kWindowSize, end - offset)));
    try {
      file_->Read(window_, offset);
      start_ = offset;
      return Bytes(window_).first(length);
    } catch (const Error&) {
      window_.clear();
    }
  }
  file_->CheckInFile(offset, length);
  large_.resize(length);
  file_->Read(large_, offset);
  return large_;
}

}  // namespace vantre
