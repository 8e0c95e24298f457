// Sequential reads of a DataFile through a large window, for ranges that
// come mostly in ascending order (keys or values in record id order, as
// vacuum and key listing read them): each range then costs a copy rather
// than a system call.
#ifndef VANTRE_ENGINE_DATA_WINDOW_H_
#define VANTRE_ENGINE_DATA_WINDOW_H_

#include <cstdint>
#include <vector>

#include "engine/format/coding.h"
#include "engine/io/data_file.h"

namespace vantre {

class DataWindow {
 public:
  static constexpr size_t kWindowSize = 1 << 20;

  // "*file" must remain live, and unchanged, while this window is in use.
  explicit DataWindow(const DataFile* file) : file_(file) {}

  // The `length` bytes at `offset`; the view stays valid until the next
  // call. Errors as DataFile::Read.
  Bytes Get(uint64_t offset, size_t length);

 private:
  const DataFile* file_;
  std::vector<std::byte> window_;
  uint64_t start_ = 0;
  std::vector<std::byte> large_;  // ranges that do not fit a window
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_DATA_WINDOW_H_
