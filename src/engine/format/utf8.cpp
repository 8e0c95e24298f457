#include "engine/format/utf8.h"

namespace vantre {
namespace {

// Length of the well-formed sequence starting at s[i], or 0 if the bytes
// there are ill-formed. *bad receives the length of the maximal ill-formed
// prefix (at least 1) when 0 is returned.
size_t SequenceLength(std::string_view s, size_t i, size_t* bad) {
  auto at = [&](size_t k) -> unsigned { return static_cast<unsigned char>(s[k]); };
  const unsigned c = at(i);
  const size_t n = s.size();
  *bad = 1;
  if (c < 0x80) return 1;
  size_t len;
  unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= n) {
      *bad = k;
      return 0;
    }
    const unsigned b = at(i + k);
    const unsigned l = (k == 1) ? lo : 0x80;
    const unsigned h = (k == 1) ? hi : 0xBF;
    if (b < l || b > h) {
      *bad = k;
      return 0;
    }
  }
  return len;
}

}  // namespace

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    // Fast path over ASCII.
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t bad;
    size_t len = SequenceLength(s, i, &bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string Utf8Lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    size_t bad;
    size_t len = SequenceLength(s, i, &bad);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

}  // namespace vantre
