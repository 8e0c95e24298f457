#include "fuzz_util.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "engine/util/error.h"

namespace vantre::fuzz {

const File& MemoryFile(const uint8_t* data, size_t size) {
  static const File file = [] {
    const int fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
    if (fd < 0) std::abort();  // The harness cannot run without it.
    return File(fd);
  }();
  file.Truncate(0);
  file.WriteAllAt(Bytes(reinterpret_cast<const std::byte*>(data), size), 0);
  return file;
}

void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size) {
  File file = File::Open(path, O_WRONLY | O_CREAT | O_TRUNC);
  file.WriteAllAt(Bytes(reinterpret_cast<const std::byte*>(data), size), 0);
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vantre-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;  // Ignoring any potential errors: the next input uses a new name.
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace vantre::fuzz
