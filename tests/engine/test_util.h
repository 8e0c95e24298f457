// Helpers shared by the engine tests: a scratch directory, whole-file reads
// and writes, and little-endian fields for building bytes by hand.
#ifndef VANTRE_TESTS_ENGINE_TEST_UTIL_H_
#define VANTRE_TESTS_ENGINE_TEST_UTIL_H_

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/format/coding.h"
#include "engine/io/file.h"
#include "engine/format/id_set.h"
#include "engine/io/wal_writer.h"

namespace vantre::test {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vantre-test-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
inline void WriteFileText(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}
inline uint64_t FileSize(const std::string& path) { return std::filesystem::file_size(path); }

// Bytes of address space the process holds now.
inline uint64_t AddressSpaceUsed() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
  }
  return 0;
}

// Caps the process's address space at what it holds now plus `room`
// bytes, as a 32-bit process with large maps would be, until Lift() or
// destruction.
class AddressSpaceCap {
 public:
  explicit AddressSpaceCap(uint64_t room) {
    if (::getrlimit(RLIMIT_AS, &old_) != 0) throw std::runtime_error("getrlimit failed");
    rlimit tight = old_;
    tight.rlim_cur = AddressSpaceUsed() + room;
    if (::setrlimit(RLIMIT_AS, &tight) != 0) throw std::runtime_error("setrlimit failed");
  }
  AddressSpaceCap(const AddressSpaceCap&) = delete;
  AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;
  ~AddressSpaceCap() { Lift(); }
  void Lift() { ::setrlimit(RLIMIT_AS, &old_); }

 private:
  rlimit old_{};
};
// Writes `data` to `path` and opens it for reading.
inline File FileWith(const std::string& path, const std::string& data) {
  WriteFileText(path, data);
  return File::Open(path, O_RDONLY);
}

// The bytes the log writer produces for the records that `write` appends.
template <typename F>
std::string LogBytes(F write) {
  TempDir dir;
  const std::string path = dir.Join("wal.bin");
  {
    WalWriter w(File::Open(path, O_WRONLY | O_APPEND | O_CREAT), 0);
    write(w);
    w.Flush();
  }
  return ReadFileText(path);
}

inline std::string Str(Bytes b) { return std::string(AsText(b)); }
inline IdSet Ids(std::initializer_list<uint32_t> ids) {
  IdSet s;
  for (uint32_t id : ids) s.add(id);
  return s;
}

inline std::string U16(uint16_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
inline std::string U32(uint32_t v) { return U16(v & 0xFFFF) + U16(v >> 16); }
inline std::string U64(uint64_t v) { return U32(v & 0xFFFFFFFF) + U32(v >> 32); }
inline uint32_t DecodeU32(const std::string& s) {
  return DecodeFixed32(reinterpret_cast<const std::byte*>(s.data()));
}

}  // namespace vantre::test

#endif  // VANTRE_TESTS_ENGINE_TEST_UTIL_H_
