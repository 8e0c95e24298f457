// Helpers shared by the engine tests: a scratch directory, whole-file reads
// and writes, and byte-string conversions.
#ifndef VANTRE_TESTS_ENGINE_TEST_UTIL_H_
#define VANTRE_TESTS_ENGINE_TEST_UTIL_H_

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/coding.h"
#include "engine/file.h"

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

  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFileText(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline uint64_t FileSize(const std::string& path) { return std::filesystem::file_size(path); }

// Writes `data` to `path` and opens it for reading.
inline File FileWith(const std::string& path, const std::string& data) {
  WriteFileText(path, data);
  return File::Open(path, O_RDONLY);
}

inline std::string Str(Bytes b) { return std::string(AsText(b)); }
inline std::string Str(const std::vector<std::byte>& v) { return Str(Bytes(v)); }
inline std::vector<std::byte> Vec(std::string_view s) {
  Bytes b = AsBytes(s);
  return {b.begin(), b.end()};
}

// Little-endian fixed fields, for building encoded bytes by hand.
inline std::string U16(uint16_t v) {
  std::string s(2, '\0');
  EncodeFixed16(reinterpret_cast<std::byte*>(s.data()), v);
  return s;
}
inline std::string U32(uint32_t v) {
  std::string s(4, '\0');
  EncodeFixed32(reinterpret_cast<std::byte*>(s.data()), v);
  return s;
}
inline std::string U64(uint64_t v) {
  std::string s(8, '\0');
  EncodeFixed64(reinterpret_cast<std::byte*>(s.data()), v);
  return s;
}

inline uint32_t DecodeU32(const std::string& s, size_t at = 0) {
  return DecodeFixed32(reinterpret_cast<const std::byte*>(s.data() + at));
}
inline uint64_t DecodeU64(const std::string& s, size_t at = 0) {
  return DecodeFixed64(reinterpret_cast<const std::byte*>(s.data() + at));
}

}  // namespace vantre::test

#endif  // VANTRE_TESTS_ENGINE_TEST_UTIL_H_
