// Decoding valid UTF-8 into fixed-width text on vectors: what utf8.cc and the AVX2 file
// utf8_decode_avx2.cc share. That file is compiled alone with -mavx2 and -mpopcnt, under the
// rules json/utf8_validate.h sets for such files (intrinsics, this header and functions of
// internal linkage only); utf8.cc puts them into the AVX2 kernels (json/utf8_kernels.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/utf8_tables.h"
#include "json/utf8_validate.h"

namespace tovra::utf8_decode {


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
