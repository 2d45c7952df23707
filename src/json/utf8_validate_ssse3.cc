// The UTF-8 validator on 16-byte vectors. The build compiles this file alone with -mssse3:
// see json/utf8_validate.h for what may and may not go into it.
#include "json/utf8_validate.h"

#ifdef TOVRA_UTF8_X86
#ifndef __SSSE3__
#error "utf8_validate_ssse3.cc is compiled with -mssse3"
#endif

#include <immintrin.h>

namespace tovra::utf8_validate {

namespace {

struct Ssse3 {
  using Vec = __m128i;
  static constexpr size_t kBytes = 16;

  static Vec load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static Vec set1(uint8_t byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
  static Vec table(const uint8_t (&bytes)[16]) { return load(bytes); }
  static Vec lookup(Vec table, Vec nibbles) { return _mm_shuffle_epi8(table, nibbles); }
  static Vec shift_right_4(Vec v) { return _mm_srli_epi16(v, 4); }
  static Vec bit_or(Vec a, Vec b) { return _mm_or_si128(a, b); }
  static Vec bit_and(Vec a, Vec b) { return _mm_and_si128(a, b); }
  static Vec bit_xor(Vec a, Vec b) { return _mm_xor_si128(a, b); }
  static Vec sub_saturated(Vec a, Vec b) { return _mm_subs_epu8(a, b); }
  template <int N>
  static Vec previous(Vec input, Vec prev) {
    return _mm_alignr_epi8(input, prev, 16 - N);
  }
  static bool any_high_bit(Vec v) { return _mm_movemask_epi8(v) != 0; }
  static bool all_zero(Vec v) {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF;
  }
};

}  // namespace

bool is_valid_ssse3(const char* p, size_t n) noexcept { return is_valid<Ssse3>(p, n); }

}  // namespace tovra::utf8_validate

#endif  // TOVRA_UTF8_X86
