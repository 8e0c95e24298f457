// UTF-8 checks for key texts read back from disk.
#ifndef VANTRE_ENGINE_UTF8_H_
#define VANTRE_ENGINE_UTF8_H_

#include <string>
#include <string_view>

namespace vantre {

// True if `s` is well-formed UTF-8: no overlong forms, no surrogates, no
// code point above U+10FFFF, no truncated sequence.
bool IsValidUtf8(std::string_view s);

// `s` with every maximal ill-formed subsequence replaced by U+FFFD.
std::string Utf8Lossy(std::string_view s);

}  // namespace vantre

#endif  // VANTRE_ENGINE_UTF8_H_
