// The hash recipes that the tables of keys share: the shape table (open addressing, so its
// hash is seeded: see set_hash_seed) and the direct-mapped slot tables of the layers above,
// where a collision costs a miss and never a longer search.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace tovra::hash {

inline constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;
inline constexpr uint64_t kMix = 0xff51afd7ed558ccdull;
inline constexpr uint64_t kFnvPrime = 0x100000001b3ull;

// The seed of the shape hash, fixed for the process before the first shape is made. Keys
// come from files and from callers, so a hash they can predict would let crafted keys share
// one slot and make every lookup walk all of them; with a seed they cannot know, keys
// collide only by chance. Zero until set.
inline uint64_t seed = 0;
inline void set_hash_seed(uint64_t value) noexcept { seed = value; }

// The 16-byte image of a short string (text, zero padding, length, tag) as one word.
inline uint64_t short_image(const uint8_t* image, uint64_t key) noexcept {
  uint64_t words[2];
  std::memcpy(words, image, 16);
  uint64_t h = (words[0] ^ key) * kGolden;
  h ^= (words[1] + key) * kMix;
  return h ^ (h >> 31);
}

// Text of any length, byte by byte (FNV-1a from `key`).
inline uint64_t text(std::string_view bytes, uint64_t key) noexcept {
  uint64_t h = key ^ bytes.size();
  for (unsigned char c : bytes) h = (h ^ c) * kFnvPrime;
  return h;
}

// A pointer, for tables that cache per shape: the low bits of an allocation are alike.
inline uint64_t pointer(const void* p) noexcept {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p) >> 4);
}

}  // namespace tovra::hash
