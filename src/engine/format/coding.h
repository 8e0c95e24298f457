// Little-endian encoding of fixed-width integers, and a decoder that
// consumes from the front of a byte view.
//
// Every field goes through memcpy: fields on disk and in the record table
// are not aligned (the value offset of a record starts at byte 12), and an
// unaligned 64-bit load faults on ARM.
#ifndef VANTRE_ENGINE_CODING_H_
#define VANTRE_ENGINE_CODING_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace vantre {

using Bytes = std::span<const std::byte>;
using MutableBytes = std::span<std::byte>;

template <typename T>
inline T ByteSwapIfBig(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    T out;
    auto* src = reinterpret_cast<const unsigned char*>(&v);
    auto* dst = reinterpret_cast<unsigned char*>(&out);
    for (size_t i = 0; i < sizeof(T); ++i) dst[i] = src[sizeof(T) - 1 - i];
    return out;
  }
  return v;
}

inline void EncodeFixed32(std::byte* dst, uint32_t v) {
  v = ByteSwapIfBig(v);
  std::memcpy(dst, &v, sizeof v);
}
inline void EncodeFixed64(std::byte* dst, uint64_t v) {
  v = ByteSwapIfBig(v);
  std::memcpy(dst, &v, sizeof v);
}
inline uint16_t DecodeFixed16(const std::byte* src) {
  uint16_t v;
  std::memcpy(&v, src, sizeof v);
  return ByteSwapIfBig(v);
}
inline uint32_t DecodeFixed32(const std::byte* src) {
  uint32_t v;
  std::memcpy(&v, src, sizeof v);
  return ByteSwapIfBig(v);
}
inline uint64_t DecodeFixed64(const std::byte* src) {
  uint64_t v;
  std::memcpy(&v, src, sizeof v);
  return ByteSwapIfBig(v);
}

inline Bytes AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}
inline std::string_view AsText(Bytes b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// Consumes fields from the front of a byte view. Each Get* returns false,
// consuming nothing, when the view holds too few bytes.
class ByteReader {
 public:
  explicit ByteReader(Bytes data) : data_(data) {}

  size_t remaining() const { return data_.size(); }
  Bytes rest() const { return data_; }

  bool GetFixed16(uint16_t* v) { return Get(v, 2, DecodeFixed16); }
  bool GetFixed32(uint32_t* v) { return Get(v, 4, DecodeFixed32); }
  bool GetFixed64(uint64_t* v) { return Get(v, 8, DecodeFixed64); }
  bool GetBytes(size_t n, Bytes* out) {
    if (data_.size() < n) return false;
    *out = data_.first(n);
    data_ = data_.subspan(n);
    return true;
  }
  bool Skip(size_t n) {
    if (data_.size() < n) return false;
    data_ = data_.subspan(n);
    return true;
  }

 private:
  template <typename T, typename F>
  bool Get(T* v, size_t n, F decode) {
    if (data_.size() < n) return false;
    *v = decode(data_.data());
    data_ = data_.subspan(n);
    return true;
  }

  Bytes data_;
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_CODING_H_
