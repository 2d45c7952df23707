// The SSSE3 kernels of json/utf8_kernels.h: decoding UTF-8 into text of one or two bytes per
// unit 16 bytes a step, encoding fixed-width text four or eight units a step, and the shape of
// UTF-8 text (SSE2). The build compiles this file alone with -mssse3; json/utf8_validate.h says
// what such a file may hold. The SSSE3 validator is utf8_validate_ssse3.cc.
#include "json/utf8_kernels.h"

#ifdef TOVRA_UTF8_X86
#ifndef __SSSE3__
#error "utf8_ssse3.cc is compiled with -mssse3"
#endif

#include <immintrin.h>

#include <cstring>

#include "json/utf8_scalar.h"
#include "json/utf8_tables.h"

namespace tovra::utf8_ssse3 {

namespace {

using utf8_scalar::decode_scalar;
using utf8_scalar::encode_one;
using utf8_scalar::shape_scalar;

// ---------------------------------------------------------------------------------------
// Decoding 16 bytes a step, into fixed-width text of one or two bytes per unit (so no
// sequence is longer than three bytes). Lane i of a step stands for the code point that ends
// at the byte before byte i, when byte i begins a code point: its value is assembled from that
// byte and the two before it (taken across the step boundary), and a shuffle chosen by the
// mask of such lanes packs the values to the front. Steps depend on each other only through
// the output position, so the processor overlaps them.

using utf8_tables::kPackTables;

// Eight lanes of one step: `last` holds the byte before each lane's, `before` the one before
// that and `lead` the one before that, zero-extended to 16 bits; `mask` says which lanes stand
// for a code point.
template <typename Unit>
__attribute__((always_inline)) inline void decode_lanes(
    __m128i last, __m128i before, __m128i lead, unsigned mask, Unit*& out) noexcept {
  const __m128i low6 = _mm_set1_epi16(0x3F);
  __m128i ascii = _mm_cmplt_epi16(last, _mm_set1_epi16(0x80));
  // The byte before the last is a continuation only in a three-byte sequence.
  __m128i three = _mm_cmpeq_epi16(_mm_and_si128(before, _mm_set1_epi16(0xC0)),
                                  _mm_set1_epi16(0x80));
  // A two-byte lead masked with 0x3F keeps just its five payload bits (110xxxxx).
  __m128i value = _mm_or_si128(
      _mm_or_si128(_mm_slli_epi16(_mm_and_si128(before, low6), 6), _mm_and_si128(last, low6)),
      _mm_and_si128(three, _mm_slli_epi16(_mm_and_si128(lead, _mm_set1_epi16(0x0F)), 12)));
  value = _mm_or_si128(_mm_and_si128(ascii, last), _mm_andnot_si128(ascii, value));
  __m128i packed = _mm_shuffle_epi8(
      value, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPackTables.shuffles[mask])));
  if constexpr (sizeof(Unit) == 1) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(packed, packed));
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
  }
  out += kPackTables.counts[mask];
}

// Decodes from p while 16 bytes of input and room for 16 units remain; returns where the
// first code point not yet written begins.
template <typename Unit>
const unsigned char* decode_ssse3(const unsigned char* p, const unsigned char* end, Unit*& out,
                                  Unit* out_end) noexcept {
  static_assert(sizeof(Unit) <= 2);
  const unsigned char* start = p;
  const __m128i zero = _mm_setzero_si128();
  const __m128i lead_bound = _mm_set1_epi8(static_cast<char>(0xBF));
  __m128i previous = zero;
  // Lane 0 of the first step would stand for a code point before the text.
  unsigned first_step = 0xFFFE;
  for (; end - p >= 16 && out_end - out >= 16; p += 16) {
    __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // ASCII bytes and leads are above 0xBF as signed bytes: they begin code points.
    unsigned mask =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(input, lead_bound))) & first_step;
    first_step = 0xFFFF;
    __m128i last = _mm_alignr_epi8(input, previous, 15);
    __m128i before = _mm_alignr_epi8(input, previous, 14);
    __m128i lead = _mm_alignr_epi8(input, previous, 13);
    previous = input;
    decode_lanes(_mm_unpacklo_epi8(last, zero), _mm_unpacklo_epi8(before, zero),
                 _mm_unpacklo_epi8(lead, zero), mask & 0xFF, out);
    decode_lanes(_mm_unpackhi_epi8(last, zero), _mm_unpackhi_epi8(before, zero),
                 _mm_unpackhi_epi8(lead, zero), mask >> 8, out);
  }
  // Written: every code point that ends before p - 1. The next begins at or before p - 1.
  if (p == start) return p;
  const unsigned char* next = p - 1;
  while ((*next & 0xC0) == 0x80) --next;
  return next;
}

// ---------------------------------------------------------------------------------------
// Encoding four code points below U+10000 at a time: each 32-bit lane gets the one-, two- and
// three-byte forms of its code point, the right one is selected by comparisons, and a shuffle
// chosen by the four lengths packs the bytes together (the shuffles are in utf8_tables.h).

using utf8_tables::EncodeTables;
using utf8_tables::kEncodeTables;

template <typename Unit>
__attribute__((always_inline)) inline __m128i load_four(const Unit* text) {
  if constexpr (sizeof(Unit) == 1) {
    uint32_t bytes;
    std::memcpy(&bytes, text, 4);
    __m128i x = _mm_cvtsi32_si128(static_cast<int>(bytes));
    return _mm_unpacklo_epi16(_mm_unpacklo_epi8(x, _mm_setzero_si128()), _mm_setzero_si128());
  } else if constexpr (sizeof(Unit) == 2) {
    __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(text));
    return _mm_unpacklo_epi16(x, _mm_setzero_si128());
  } else {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  }
}

// Two-byte units of one kind of text, eight a step: all below U+0800 (Latin, Greek, Cyrillic,
// ... text: one or two bytes each, a shuffle dropping the unused bytes), or all from U+0800 up
// (CJK text and the like: three bytes each, built as byte planes and interleaved). The kind
// of the first eight units chooses the loop, which stops at the first eight of another kind:
// text that mixes scripts costs a test or two, not a mispredicted test per eight units.
// Returns how many units it took.
size_t encode_uniform(const uint16_t* text, size_t n, char*& out, char* out_end,
                      const EncodeTables& tables) noexcept {
  const __m128i zero = _mm_setzero_si128();
  const __m128i above_7ff = _mm_set1_epi16(static_cast<int16_t>(0xF800));
  // Per eight units: a bit pair set for each unit below U+0800.
  auto short_units = [&](size_t at) {
    __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, above_7ff), zero));
  };
  if (n < 8) return 0;
  const int kind = short_units(0);
  size_t i = 0;
  if (kind == 0xFFFF) {
    const __m128i above_7f = _mm_set1_epi16(static_cast<int16_t>(0xFF80));
    for (; n - i >= 8 && out_end - out >= 16 && short_units(i) == 0xFFFF; i += 8) {
      __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
      __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(units, above_7f), zero);
      // Low byte 110xxxxx (the top five bits), high byte 10xxxxxx (the low six).
      __m128i pair = _mm_or_si128(
          _mm_or_si128(_mm_srli_epi16(units, 6), _mm_set1_epi16(0xC0)),
          _mm_slli_epi16(
              _mm_or_si128(_mm_and_si128(units, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80)), 8));
      __m128i forms = _mm_or_si128(_mm_and_si128(ascii, units), _mm_andnot_si128(ascii, pair));
      unsigned index = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, zero)));
      const auto* order =
          reinterpret_cast<const __m128i*>(tables.pair_shuffles[index & 0xFF]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                       _mm_shuffle_epi8(forms, _mm_loadu_si128(order)));
      out += tables.pair_lengths[index & 0xFF];
    }
  } else if (kind == 0) {
    // Surrogates never get here: text that holds one is refused before it is encoded.
    const __m128i six_bits = _mm_set1_epi16(0x3F);
    const __m128i follow = _mm_set1_epi16(0x80);
    for (; n - i >= 8 && out_end - out >= 24 && short_units(i) == 0; i += 8) {
      __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
      __m128i first = _mm_or_si128(_mm_srli_epi16(units, 12), _mm_set1_epi16(0xE0));
      __m128i second = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(units, 6), six_bits), follow);
      __m128i third = _mm_or_si128(_mm_and_si128(units, six_bits), follow);
      __m128i leads = _mm_packus_epi16(first, second);
      __m128i lasts = _mm_packus_epi16(third, third);
      __m128i head[2];
      for (int half = 0; half < 2; ++half) {
        const auto* lead_order =
            reinterpret_cast<const __m128i*>(tables.triple_leads[half]);
        const auto* last_order =
            reinterpret_cast<const __m128i*>(tables.triple_lasts[half]);
        head[half] = _mm_or_si128(_mm_shuffle_epi8(leads, _mm_loadu_si128(lead_order)),
                                  _mm_shuffle_epi8(lasts, _mm_loadu_si128(last_order)));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), head[0]);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), head[1]);
      out += 24;
    }
  }
  return i;
}

// Encodes text[0, n) into out[0, length); returns how many units it took (the rest, fewer
// than a vector's worth or starting at a code point beyond U+FFFF, is left to the caller).
template <typename Unit>
size_t encode_ssse3(const Unit* text, size_t n, char*& out, char* out_end) noexcept {
  const EncodeTables& tables = kEncodeTables;
  const __m128i below_80 = _mm_set1_epi32(0x80);
  const __m128i below_800 = _mm_set1_epi32(0x800);
  const __m128i low6 = _mm_set1_epi32(0x3F);
  size_t i = 0;
  if constexpr (sizeof(Unit) == 2) i = encode_uniform(text, n, out, out_end, tables);
  while (n - i >= 4 && out_end - out >= 16) {
    __m128i c = load_four(text + i);
    __m128i ascii = _mm_cmplt_epi32(c, below_80);
    // Runs of eight ASCII code points are common in text of one byte per unit; in wider text
    // they are short, and the test would mostly mispredict.
    if (sizeof(Unit) == 1 && _mm_movemask_epi8(ascii) == 0xFFFF && n - i >= 8) {
      __m128i d = load_four(text + i + 4);
      if (_mm_movemask_epi8(_mm_cmplt_epi32(d, below_80)) == 0xFFFF) {
        // Eight ASCII code points: the low byte of each lane.
        __m128i words = _mm_packs_epi32(c, d);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
        out += 8;
        i += 8;
        continue;
      }
    }
    if constexpr (sizeof(Unit) == 4) {
      if (_mm_movemask_epi8(_mm_cmplt_epi32(c, _mm_set1_epi32(0x10000))) != 0xFFFF) break;
    }
    __m128i two_bytes = _mm_cmplt_epi32(c, below_800);
    __m128i one = c;
    __m128i two = _mm_or_si128(
        _mm_or_si128(_mm_srli_epi32(c, 6), _mm_set1_epi32(0xC0)),
        _mm_slli_epi32(_mm_or_si128(_mm_and_si128(c, low6), _mm_set1_epi32(0x80)), 8));
    __m128i three = _mm_or_si128(
        _mm_or_si128(_mm_srli_epi32(c, 12), _mm_set1_epi32(0xE0)),
        _mm_or_si128(
            _mm_slli_epi32(
                _mm_or_si128(_mm_and_si128(_mm_srli_epi32(c, 6), low6), _mm_set1_epi32(0x80)), 8),
            _mm_slli_epi32(_mm_or_si128(_mm_and_si128(c, low6), _mm_set1_epi32(0x80)), 16)));
    __m128i forms = _mm_or_si128(_mm_and_si128(ascii, one),
                                 _mm_andnot_si128(ascii, _mm_or_si128(
                                     _mm_and_si128(two_bytes, two),
                                     _mm_andnot_si128(two_bytes, three))));
    unsigned index = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(ascii))) |
                     static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(two_bytes))) << 4;
    __m128i packed = _mm_shuffle_epi8(
        forms, _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.shuffles[index])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
    out += tables.lengths[index];
    i += 4;
  }
  return i;
}

// SSE2, always there on x86-64.
Utf8Shape shape_sse2(const unsigned char* p, const unsigned char* end) noexcept {
  __m128i maximum = _mm_setzero_si128();
  __m128i counts = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  for (; end - p >= 16; p += 16) {
    __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    maximum = _mm_max_epu8(maximum, input);
    __m128i begin = _mm_cmpgt_epi8(input, _mm_set1_epi8(static_cast<char>(0xBF)));
    counts = _mm_add_epi64(counts, _mm_sad_epu8(_mm_and_si128(begin, one), _mm_setzero_si128()));
  }
  maximum = _mm_max_epu8(maximum, _mm_srli_si128(maximum, 8));
  maximum = _mm_max_epu8(maximum, _mm_srli_si128(maximum, 4));
  maximum = _mm_max_epu8(maximum, _mm_srli_si128(maximum, 2));
  maximum = _mm_max_epu8(maximum, _mm_srli_si128(maximum, 1));
  unsigned max_byte = static_cast<unsigned>(_mm_cvtsi128_si32(maximum)) & 0xFF;
  size_t begins = static_cast<size_t>(_mm_cvtsi128_si64(counts)) +
                  static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(counts, counts)));
  return shape_scalar(p, end, begins, max_byte);
}

// Decodes 16 bytes a step while they and room for 16 units remain, the rest one at a time.
template <typename Unit>
void decode_text(const char* text, size_t n, Unit* out, size_t units) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const auto* end = p + n;
  if constexpr (sizeof(Unit) <= 2) p = decode_ssse3(p, end, out, out + units);
  decode_scalar(p, end, out);
}

// Vectors where they fit; near the end, and around code points beyond U+FFFF, one at a time
// for a few units.
template <typename Unit>
void encode_text(const Unit* text, size_t n, char* out, size_t length) noexcept {
  char* out_end = out + length;
  size_t i = 0;
  while (i < n) {
    i += encode_ssse3(text + i, n - i, out, out_end);
    if (i == n) return;
    size_t stop = n - i > 4 ? i + 4 : n;
    for (; i < stop; ++i) out = encode_one(text[i], out);
    if (out_end - out < 16) break;
  }
  for (; i < n; ++i) out = encode_one(text[i], out);
}

}  // namespace

Utf8Shape shape(const char* text, size_t n) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  return shape_sse2(p, p + n);
}

void decode(const char* text, size_t n, uint8_t* out, size_t units) noexcept {
  decode_text(text, n, out, units);
}
void decode(const char* text, size_t n, uint16_t* out, size_t units) noexcept {
  decode_text(text, n, out, units);
}
void decode(const char* text, size_t n, uint32_t* out, size_t units) noexcept {
  decode_text(text, n, out, units);
}

void encode(const uint8_t* text, size_t n, char* out, size_t length) noexcept {
  encode_text(text, n, out, length);
}
void encode(const uint16_t* text, size_t n, char* out, size_t length) noexcept {
  encode_text(text, n, out, length);
}
void encode(const uint32_t* text, size_t n, char* out, size_t length) noexcept {
  encode_text(text, n, out, length);
}

}  // namespace tovra::utf8_ssse3

#endif  // TOVRA_UTF8_X86
