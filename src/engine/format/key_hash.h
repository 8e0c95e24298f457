// The key hash: identifies a key in the key index, the value cache and
// snapshot.bin.
//
// SipHash-1-3 (one compression round per 8-byte block, three finalization
// rounds) with both key halves 0, over the key's UTF-8 bytes followed by one
// byte 0xFF. Its values are written to disk: this function must never change.
#ifndef VANTRE_ENGINE_KEY_HASH_H_
#define VANTRE_ENGINE_KEY_HASH_H_

#include <cstdint>
#include <string_view>

namespace vantre {

uint64_t KeyHash(std::string_view key);

// SipHash-1-3 with key (k0, k1) over exactly `message`; KeyHash(key) is
// SipHash13(0, 0, key + "\xff"). Exposed for known-answer tests.
uint64_t SipHash13(uint64_t k0, uint64_t k1, std::string_view message);

}  // namespace vantre

#endif  // VANTRE_ENGINE_KEY_HASH_H_
