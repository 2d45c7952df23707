// The UTF-8 validator on 32-byte vectors. The build compiles this file alone with -mavx2: see
// json/utf8_validate.h for what may and may not go into it.
#include "json/utf8_validate.h"

#ifdef TOVRA_UTF8_X86
#ifndef __AVX2__
#error "utf8_validate_avx2.cc is compiled with -mavx2"
#endif

#include <immintrin.h>

namespace tovra::utf8_validate {

namespace {

struct Avx2 {
  using Vec = __m256i;
  static constexpr size_t kBytes = 32;

  static Vec load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  static Vec set1(uint8_t byte) { return _mm256_set1_epi8(static_cast<char>(byte)); }
  // Shuffles look up within each 16-byte lane, so both lanes hold the table.
  static Vec table(const uint8_t (&bytes)[16]) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
  }
  static Vec lookup(Vec table, Vec nibbles) { return _mm256_shuffle_epi8(table, nibbles); }
  static Vec shift_right_4(Vec v) { return _mm256_srli_epi16(v, 4); }
  static Vec bit_or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
  static Vec bit_and(Vec a, Vec b) { return _mm256_and_si256(a, b); }
  static Vec bit_xor(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
  static Vec sub_saturated(Vec a, Vec b) { return _mm256_subs_epu8(a, b); }
  // alignr works within each 16-byte lane: the bytes before each position cross the middle of
  // the register through the high half of prev and the low half of input.
  template <int N>
  static Vec previous(Vec input, Vec prev) {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(prev, input, 0x21), 16 - N);
  }
  static bool any_high_bit(Vec v) { return _mm256_movemask_epi8(v) != 0; }
  static bool all_zero(Vec v) { return _mm256_testz_si256(v, v) != 0; }
};

}  // namespace

bool is_valid_avx2(const char* p, size_t n) noexcept { return is_valid<Avx2>(p, n); }

}  // namespace tovra::utf8_validate

#endif  // TOVRA_UTF8_X86
