// Helpers shared by the fuzz targets: fuzz input as an engine File, and a
// fresh temporary directory that is removed with everything in it.
#ifndef VANTRE_FUZZ_FUZZ_UTIL_H_
#define VANTRE_FUZZ_FUZZ_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/io/file.h"

namespace vantre::fuzz {

// An anonymous in-memory file holding exactly `data`. The same file is
// rewritten for every input (a new one per input would cost more system
// calls than the decoding): the reference is valid until the next call.
const File& MemoryFile(const uint8_t* data, size_t size);

// Writes `size` bytes of `data` to `path` (created or truncated).
void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size);

// Owns a directory made by mkdtemp under $TMPDIR (or /tmp); the destructor
// removes it and everything below it, so no input leaves files behind.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vantre::fuzz

#endif  // VANTRE_FUZZ_FUZZ_UTIL_H_
