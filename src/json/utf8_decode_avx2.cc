// Decoding UTF-8 into text of one or two bytes per unit with AVX2. The build compiles this file
// alone with -mavx2 -mpopcnt: see json/utf8_validate.h for what may and may not go into it.
#include "json/utf8_decode.h"

#ifdef TOVRA_UTF8_X86
#if !defined(__AVX2__) || !defined(__POPCNT__)
#error "utf8_decode_avx2.cc is compiled with -mavx2 -mpopcnt"
#endif

#include <immintrin.h>

namespace tovra::utf8_decode {

namespace {

using utf8_tables::kPackTables;

inline __m128i load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

// Per byte, whether it begins a code point: ASCII bytes and lead bytes are above 0xBF taken
// as signed bytes, continuations (0x80..0xBF) are not.
inline unsigned begins_of(__m128i bytes) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(-65))));
}

// One step of 16 input bytes: the code points that begin at the bytes of `first`, where
// `second` and `third` hold the byte after each byte and the one after that, and `mask` has
// a bit for each byte that begins one. Each lane of 16 bits computes the value of the code
// point that would begin at its byte; a shuffle per half, chosen by the mask, packs the values
// to the front. Writes up to 16 units past `out` (whatever the count) and advances `out` by
// the count.
template <typename Unit>
[[gnu::always_inline]] inline void step(__m128i first, __m128i second, __m128i third,
                                        unsigned mask, Unit*& out) {
  const __m256i low6 = _mm256_set1_epi16(0x3F);
  __m256i lead = _mm256_cvtepu8_epi16(first);
  // The lead's bits above the second byte's six; shifting again by six keeps just the four
  // payload bits of a three-byte lead in the 16-bit lane.
  __m256i two = _mm256_or_si256(_mm256_slli_epi16(lead, 6),
                                _mm256_and_si256(_mm256_cvtepu8_epi16(second), low6));
  __m256i three = _mm256_or_si256(_mm256_slli_epi16(two, 6),
                                  _mm256_and_si256(_mm256_cvtepu8_epi16(third), low6));
  two = _mm256_and_si256(two, _mm256_set1_epi16(0x7FF));
  __m256i value =
      _mm256_blendv_epi8(two, three, _mm256_cmpgt_epi16(lead, _mm256_set1_epi16(0xDF)));
  value = _mm256_blendv_epi8(lead, value, _mm256_cmpgt_epi16(lead, _mm256_set1_epi16(0x7F)));
  unsigned low = mask & 0xFF;
  unsigned high = mask >> 8;
  __m256i shuffle = _mm256_inserti128_si256(
      _mm256_castsi128_si256(load16(kPackTables.shuffles[low])),
      load16(kPackTables.shuffles[high]), 1);
  __m256i packed = _mm256_shuffle_epi8(value, shuffle);
  if constexpr (sizeof(Unit) == 2) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
    out += _mm_popcnt_u32(low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_extracti128_si256(packed, 1));
    out += _mm_popcnt_u32(high);
  } else {
    // Every value fits a byte: narrowing within each half keeps the packed order.
    __m256i bytes = _mm256_packus_epi16(packed, packed);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
    out += _mm_popcnt_u32(low);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm256_extracti128_si256(bytes, 1));
    out += _mm_popcnt_u32(high);
  }
}

// For each mask of eight 32-bit lanes, the permutation that moves the lanes whose bit is set
// to the front, in order.
struct WidePackTable {
  uint32_t lanes[256][8];
};

constexpr WidePackTable build_wide_pack_table() {
  WidePackTable table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned at = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((mask & (1u << lane)) != 0) table.lanes[mask][at++] = lane;
    }
    while (at < 8) table.lanes[mask][at++] = 0;
  }
  return table;
}

constexpr WidePackTable kWidePackTable = build_wide_pack_table();

// The payload bits of the eight bytes from p, one per 32-bit lane.
[[gnu::always_inline]] inline __m256i low_six_bits(const unsigned char* p) {
  return _mm256_and_si256(
      _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))),
      _mm256_set1_epi32(0x3F));
}

// One step of 8 input bytes into text of four bytes per unit: as `step`, with 32-bit lanes and
// up to four bytes per code point, so it reads the three bytes after the eight. Writes 8 units
// past `out` and advances `out` by the count.
[[gnu::always_inline]] inline void wide_step(const unsigned char* p, uint32_t*& out) {
  __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  unsigned mask = begins_of(bytes) & 0xFF;
  __m256i lead = _mm256_cvtepu8_epi32(bytes);
  // Each further byte's six bits go below those before; masks keep the lead's payload bits.
  __m256i two = _mm256_or_si256(_mm256_slli_epi32(lead, 6), low_six_bits(p + 1));
  __m256i three = _mm256_or_si256(_mm256_slli_epi32(two, 6), low_six_bits(p + 2));
  __m256i four = _mm256_or_si256(_mm256_slli_epi32(three, 6), low_six_bits(p + 3));
  __m256i value = _mm256_blendv_epi8(
      _mm256_and_si256(three, _mm256_set1_epi32(0xFFFF)),
      _mm256_and_si256(four, _mm256_set1_epi32(0x1FFFFF)),
      _mm256_cmpgt_epi32(lead, _mm256_set1_epi32(0xEF)));
  value = _mm256_blendv_epi8(_mm256_and_si256(two, _mm256_set1_epi32(0x7FF)), value,
                             _mm256_cmpgt_epi32(lead, _mm256_set1_epi32(0xDF)));
  value = _mm256_blendv_epi8(value, lead, _mm256_cmpgt_epi32(_mm256_set1_epi32(0x80), lead));
  __m256i order = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kWidePackTable.lanes[mask]));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permutevar8x32_epi32(value, order));
  out += _mm_popcnt_u32(mask);
}

void decode_wide(const char* text, size_t n, uint32_t* out, size_t units) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const auto* end = p + n;
  uint32_t* out_end = out + units;
  // Code points that begin in [p, p + 8) end by p + 11; a step writes 8 units.
  while (end - p >= 11 && out_end - out >= 8) {
    wide_step(p, out);
    p += 8;
  }
  if (out == out_end) return;
  // As in `decode`: fewer than 11 bytes, or fewer than 8 code points after at most three
  // continuations, under 32 bytes in all.
  size_t rest = static_cast<size_t>(end - p);
  if (rest > 35) rest = 35;  // never for valid input of `units` code points
  alignas(32) unsigned char padded[40 + 16] = {};
  __builtin_memcpy(padded, p, rest);
  uint32_t decoded[40 + 8];
  uint32_t* at = decoded;
  for (size_t i = 0; i < rest; i += 8) wide_step(padded + i, at);
  size_t left = static_cast<size_t>(out_end - out);
  if (left > static_cast<size_t>(at - decoded)) left = static_cast<size_t>(at - decoded);
  __builtin_memcpy(out, decoded, left * sizeof(uint32_t));
}

template <typename Unit>
void decode(const char* text, size_t n, Unit* out, size_t units) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const auto* end = p + n;
  Unit* out_end = out + units;
  // Code points that begin in [p, p + 16) end by p + 18; a step writes up to 16 units. While
  // 50 bytes remain, so do 16 code points of at most three bytes (after at most two
  // continuations of one already written): only the input needs a bound.
  if (n >= 32 + 50) {
    for (const unsigned char* stop = end - (32 + 50); p <= stop; p += 32) {
      auto mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), _mm256_set1_epi8(-65))));
      step(load16(p), load16(p + 1), load16(p + 2), mask & 0xFFFF, out);
      step(load16(p + 16), load16(p + 17), load16(p + 18), mask >> 16, out);
    }
  }
  while (end - p >= 18 && out_end - out >= 16) {
    __m128i first = load16(p);
    step(first, load16(p + 1), load16(p + 2), begins_of(first), out);
    p += 16;
  }
  if (out == out_end) return;
  // The rest holds fewer than 18 bytes, or fewer than 16 code points: its units go to a buffer
  // of its own, as a step writes past its count, and from there to the str.
  Unit decoded[48 + 16];
  Unit* at = decoded;
  if (n >= 16) {
    // Fewer than 16 code points of at most three bytes, after at most two continuations of
    // one already written: at most two steps before the last 16 bytes (more only for text
    // that holds more code points than `units`, which must not overrun the buffer).
    while (end - p >= 17 && at - decoded <= 32) {
      __m128i first = load16(p);
      __m128i second = load16(p + 1);
      // At 17 bytes the third byte after the last lane's is past the end: that lane begins
      // at most a two-byte sequence.
      __m128i third = end - p >= 18 ? load16(p + 2) : _mm_srli_si128(second, 1);
      step(first, second, third, begins_of(first), at);
      p += 16;
    }
    if (end - p <= 16 && p != end) {
      // The last 16 bytes of the text, with zeros after them; only lanes from p on count.
      auto skipped = static_cast<unsigned>(16 - (end - p));
      __m128i first = load16(end - 16);
      step(first, _mm_srli_si128(first, 1), _mm_srli_si128(first, 2),
           begins_of(first) & (0xFFFFu << skipped), at);
    }
  } else {
    // A short text, from a copy padded with zeros (which decode to NUL units past the real
    // ones), so that no load reads past the caller's memory.
    alignas(16) unsigned char padded[32] = {};
    __builtin_memcpy(padded, p, n);
    __m128i first = load16(padded);
    step(first, load16(padded + 1), load16(padded + 2), begins_of(first), at);
  }
  size_t left = static_cast<size_t>(out_end - out);
  if (left > static_cast<size_t>(at - decoded)) left = static_cast<size_t>(at - decoded);
  __builtin_memcpy(out, decoded, left * sizeof(Unit));
}

}  // namespace

ShapeCounts shape_avx2(const char* text, size_t n) noexcept {
  const char* p = text;
  const char* end = text + n;
  const __m256i bound = _mm256_set1_epi8(-65);
  __m256i widest = _mm256_setzero_si256();
  size_t begins = 0;
  for (; end - p >= 32; p += 32) {
    __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    widest = _mm256_max_epu8(widest, bytes);
    begins += _mm_popcnt_u32(
        static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(bytes, bound))));
  }
  __m128i maximum = _mm_max_epu8(_mm256_castsi256_si128(widest),
                                 _mm256_extracti128_si256(widest, 1));
  // The last bytes by loads that end at the end and overlap bytes already counted, which the
  // shifts drop from the counts (the maximum does not mind them).
  size_t rest = static_cast<size_t>(end - p);
  if (n >= 32) {
    if (rest != 0) {
      __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(end - 32));
      maximum = _mm_max_epu8(maximum, _mm_max_epu8(_mm256_castsi256_si128(bytes),
                                                   _mm256_extracti128_si256(bytes, 1)));
      unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(bytes, bound)));
      begins += _mm_popcnt_u32(mask >> (32 - rest));
    }
  } else if (n >= 16) {
    __m128i head = load16(p);
    __m128i tail = load16(end - 16);
    maximum = _mm_max_epu8(head, tail);
    begins = _mm_popcnt_u32(begins_of(head)) + _mm_popcnt_u32(begins_of(tail) >> (32 - n));
  } else if (n >= 8) {
    __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(end - 8));
    maximum = _mm_max_epu8(head, tail);
    begins = _mm_popcnt_u32(begins_of(head) & 0xFF) +
             _mm_popcnt_u32((begins_of(tail) & 0xFF) >> (16 - n));
  } else {
    unsigned max_byte = 0;
    for (; p != end; ++p) {
      unsigned byte = static_cast<unsigned char>(*p);
      max_byte = byte > max_byte ? byte : max_byte;
      begins += (byte & 0xC0) != 0x80;
    }
    return {begins, max_byte};
  }
  maximum = _mm_max_epu8(maximum, _mm_srli_si128(maximum, 8));
  maximum = _mm_max_epu8(maximum, _mm_srli_si128(maximum, 4));
  maximum = _mm_max_epu8(maximum, _mm_srli_si128(maximum, 2));
  maximum = _mm_max_epu8(maximum, _mm_srli_si128(maximum, 1));
  return {begins, static_cast<unsigned>(_mm_cvtsi128_si32(maximum)) & 0xFF};
}

void decode_avx2(const char* p, size_t n, uint8_t* out, size_t units) noexcept {
  decode(p, n, out, units);
}

void decode_avx2(const char* p, size_t n, uint16_t* out, size_t units) noexcept {
  decode(p, n, out, units);
}

void decode_avx2(const char* p, size_t n, uint32_t* out, size_t units) noexcept {
  decode_wide(p, n, out, units);
}

}  // namespace tovra::utf8_decode

#endif  // TOVRA_UTF8_X86
