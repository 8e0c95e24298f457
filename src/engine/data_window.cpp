#include "engine/data_window.h"

#include <algorithm>

namespace vantre {

Bytes DataWindow::Get(uint64_t offset, size_t length) {
  if (length == 0) return {};
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
