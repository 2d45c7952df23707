// Decoding valid UTF-8 into fixed-width text on vectors: what utf8.cc and the AVX2 file
// utf8_decode_avx2.cc share. That file is compiled alone with -mavx2 and -mpopcnt, under the
// rules json/utf8_validate.h sets for such files (intrinsics, this header and functions of
// internal linkage only); utf8.cc calls it after checking the processor at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/utf8_validate.h"

namespace tovra::utf8_decode {

// For each mask of eight 16-bit lanes, the shuffle that packs the lanes whose bit is set to
// the front, in order, and how many there are. Data only: the constant is evaluated at
// compile time and shared by both files.
struct PackTables {
  uint8_t shuffles[256][16];
  uint8_t counts[256];
};

constexpr PackTables build_pack_tables() {
  PackTables tables{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned at = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((mask & (1u << lane)) == 0) continue;
      tables.shuffles[mask][at++] = static_cast<uint8_t>(2 * lane);
      tables.shuffles[mask][at++] = static_cast<uint8_t>(2 * lane + 1);
    }
    tables.counts[mask] = static_cast<uint8_t>(at / 2);
    while (at < 16) tables.shuffles[mask][at++] = 0x80;  // a zero byte
  }
  return tables;
}

inline constexpr PackTables kPackTables = build_pack_tables();

#ifdef TOVRA_UTF8_X86
// Only where the processor has AVX2 and POPCNT.

// The number of code points in valid UTF-8 (bytes that are not continuations) and its
// largest byte.
struct ShapeCounts {
  size_t begins;
  unsigned max_byte;
};
ShapeCounts shape_avx2(const char* p, size_t n) noexcept;

// Decodes valid UTF-8 of `units` code points, none beyond the unit's range, into
// out[0, units).
void decode_avx2(const char* p, size_t n, uint8_t* out, size_t units) noexcept;
void decode_avx2(const char* p, size_t n, uint16_t* out, size_t units) noexcept;
void decode_avx2(const char* p, size_t n, uint32_t* out, size_t units) noexcept;
#endif

}  // namespace tovra::utf8_decode
