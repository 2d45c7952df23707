// Word-at-a-time byte scans shared by the reader, the writer, UTF-8 validation and the
// conversion of stored text: each finds the first byte of a class without a branch per byte.
// A word holds eight bytes in memory order; the lowest set bit of a hit mask marks the first
// hit, which is why the byte order must be little-endian.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tovra {

static_assert(std::endian::native == std::endian::little,
              "the byte scans read the first byte of a word from its low bits");

namespace byte_scan {

inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kHighs = 0x8080808080808080ull;

inline uint64_t load_word(const char* p) noexcept {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// High bit of each byte that is zero, exact for the lowest such byte (higher ones may be
// flagged falsely after a true hit, never without one).
inline uint64_t zero_bytes(uint64_t word) noexcept { return (word - kOnes) & ~word & kHighs; }

// High bit of each byte that is '"', '\\' or below 0x20: the bytes a JSON string escapes.
inline uint64_t escape_bytes(uint64_t word) noexcept {
  return zero_bytes(word ^ (kOnes * '"')) | zero_bytes(word ^ (kOnes * '\\')) |
         ((word - kOnes * 0x20) & ~word & kHighs);
}

// Index of the first byte flagged in a non-zero mask.
inline size_t first_flagged(uint64_t mask) noexcept {
  return static_cast<size_t>(std::countr_zero(mask) >> 3);
}

}  // namespace byte_scan

// The first byte in [p, end) at or above 0x80, or end.
inline const char* find_non_ascii(const char* p, const char* end) noexcept {
  while (end - p >= 8) {
    uint64_t hits = byte_scan::load_word(p) & byte_scan::kHighs;
    if (hits != 0) return p + byte_scan::first_flagged(hits);
    p += 8;
  }
  while (p != end && static_cast<unsigned char>(*p) < 0x80) ++p;
  return p;
}

inline bool is_ascii(const char* p, size_t n) noexcept { return find_non_ascii(p, p + n) == p + n; }

inline constexpr bool needs_json_escape(unsigned char c) noexcept {
  return c < 0x20 || c == '"' || c == '\\';
}

// The first byte in [p, end) that a JSON string must escape, or end: where a run of string
// text that can be taken as it stands ends. Sixteen bytes a step where SSE2 is there, then
// eight.
inline const char* find_json_escape(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                                _mm_cmpeq_epi8(_mm_min_epu8(x, control_max), x));
    int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return p + std::countr_zero(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (end - p >= 8) {
    uint64_t hits = byte_scan::escape_bytes(byte_scan::load_word(p));
    if (hits != 0) return p + byte_scan::first_flagged(hits);
    p += 8;
  }
  while (p != end && !needs_json_escape(static_cast<unsigned char>(*p))) ++p;
  return p;
}

}  // namespace tovra
