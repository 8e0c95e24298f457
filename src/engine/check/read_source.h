// A file of a store directory opened read-only for inspection, with a
// window over it, so that ranges read in mostly ascending order cost a copy
// rather than a system call each.
#ifndef VANTRE_ENGINE_CHECK_READ_SOURCE_H_
#define VANTRE_ENGINE_CHECK_READ_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/io/file.h"

namespace vantre {

// Whether [offset, offset + length) lies inside [0, end).
inline bool Inside(uint64_t offset, uint64_t length, uint64_t end) {
  return offset <= end && length <= end - offset;
}

class ReadSource {
 public:
  bool present() const { return file_.is_open(); }
  uint64_t size() const { return size_; }
  // Opens `path` O_RDONLY; leaves the source absent when it does not exist.
  // Other failures are thrown as OsError.
  void Open(const std::string& path);
  // Copies the `length` bytes at `offset` into `dst`; a range outside the
  // file is EngineError (kInvalidData).
  void Read(uint64_t offset, size_t length, std::byte* dst);
  const File& file() const { return file_; }

 private:
  File file_;
  uint64_t size_ = 0;
  std::vector<std::byte> window_;
  uint64_t window_start_ = 0;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_CHECK_READ_SOURCE_H_
