#include "json/utf8.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "json/byte_scan.h"
#include "json/utf8_decode.h"
#include "json/utf8_tables.h"
#include "json/utf8_validate.h"

#ifdef TOVRA_UTF8_X86
#include <immintrin.h>
#endif

namespace tovra {

namespace {

// Decodes the code point at p (valid UTF-8) and returns its length in bytes.
inline size_t decode_one(const unsigned char* p, uint32_t& cp) noexcept {
  unsigned char c = p[0];
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  if (c < 0xE0) {
    cp = (uint32_t{c} & 0x1F) << 6 | (p[1] & 0x3F);
    return 2;
  }
  if (c < 0xF0) {
    cp = (uint32_t{c} & 0x0F) << 12 | (uint32_t{p[1]} & 0x3F) << 6 | (p[2] & 0x3F);
    return 3;
  }
  cp = (uint32_t{c} & 0x07) << 18 | (uint32_t{p[1]} & 0x3F) << 12 | (uint32_t{p[2]} & 0x3F) << 6 |
       (p[3] & 0x3F);
  return 4;
}

template <typename Unit>
void decode_scalar(const unsigned char* p, const unsigned char* end, Unit* out) noexcept {
  while (p != end) {
    uint32_t cp;
    p += decode_one(p, cp);
    *out++ = static_cast<Unit>(cp);
  }
}

#ifdef TOVRA_UTF8_X86

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
__attribute__((target("ssse3"), always_inline)) inline void decode_lanes(
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
__attribute__((target("ssse3"))) const unsigned char* decode_ssse3(const unsigned char* p,
                                                                   const unsigned char* end,
                                                                   Unit*& out,
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
__attribute__((target("ssse3"), always_inline)) inline __m128i load_four(const Unit* text) {
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
__attribute__((target("ssse3"))) size_t encode_uniform(const uint16_t* text, size_t n,
                                                       char*& out, char* out_end,
                                                       const EncodeTables& tables) noexcept {
  const __m128i zero = _mm_setzero_si128();
  const __m128i above_7ff = _mm_set1_epi16(static_cast<int16_t>(0xF800));
  // Per eight units: a bit pair set for each unit below U+0800.
  auto short_units = [&](size_t at) __attribute__((target("ssse3"))) {
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
          reinterpret_cast<const __m128i*>(tables.pair_shuffles[index & 0xFF].data());
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
            reinterpret_cast<const __m128i*>(tables.triple_leads[half].data());
        const auto* last_order =
            reinterpret_cast<const __m128i*>(tables.triple_lasts[half].data());
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
__attribute__((target("ssse3"))) size_t encode_ssse3(const Unit* text, size_t n, char*& out,
                                                     char* out_end) noexcept {
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
        forms, _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.shuffles[index].data())));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
    out += tables.lengths[index];
    i += 4;
  }
  return i;
}

#endif  // TOVRA_UTF8_X86

enum class Path { kScalar, kSsse3, kAvx2 };

Path detect_path() noexcept {
#ifdef TOVRA_UTF8_X86
  __builtin_cpu_init();
  // Every processor with AVX2 has POPCNT, which the AVX2 decoder uses as well.
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return Path::kAvx2;
  if (__builtin_cpu_supports("ssse3")) return Path::kSsse3;
#endif
  return Path::kScalar;
}

const Path kPath = detect_path();

template <typename Unit>
size_t length_of(const Unit* text, size_t n) noexcept {
  size_t extra = 0;
  uint32_t surrogates = 0;
  size_t i = 0;
#ifdef TOVRA_UTF8_X86
  if constexpr (sizeof(Unit) == 2) {
    // SSE2: per 16-bit lane, how many of "below U+0080" and "below U+0800" hold, counted down
    // from two extra bytes per code point; flushed before a lane could overflow.
    const __m128i high9 = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i high5 = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
    __m128i bad = _mm_setzero_si128();
    while (n - i >= 8) {
      size_t block_start = i;
      size_t block_end = i + 8 * std::min<size_t>((n - i) / 8, 8192);
      __m128i below = _mm_setzero_si128();
      for (; i < block_end; i += 8) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        __m128i top5 = _mm_and_si128(x, high5);
        below = _mm_sub_epi16(below, _mm_cmpeq_epi16(_mm_and_si128(x, high9), _mm_setzero_si128()));
        below = _mm_sub_epi16(below, _mm_cmpeq_epi16(top5, _mm_setzero_si128()));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi16(top5, surrogate));
      }
      alignas(16) uint16_t lanes[8];
      _mm_store_si128(reinterpret_cast<__m128i*>(lanes), below);
      size_t below_count = 0;
      for (uint16_t lane : lanes) below_count += lane;
      extra += 2 * (block_end - block_start) - below_count;
    }
    if (_mm_movemask_epi8(bad) != 0) return kNotEncodable;
  }
#endif
  for (; i < n; ++i) {
    uint32_t c = text[i];
    extra += (c >= 0x80);
    if constexpr (sizeof(Unit) > 1) {
      extra += (c >= 0x800);
      surrogates |= ((c & 0xFFFFF800u) == 0xD800u);
    }
    if constexpr (sizeof(Unit) > 2) extra += (c >= 0x10000);
  }
  return surrogates != 0 ? kNotEncodable : n + extra;
}

inline char* encode_one(uint32_t c, char* out) noexcept {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    out += 2;
  } else if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    out += 3;
  } else {
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    out += 4;
  }
  return out;
}

template <typename Unit>
void encode(const Unit* text, size_t n, char* out, size_t length) noexcept {
  [[maybe_unused]] char* out_end = out + length;
  size_t i = 0;
#ifdef TOVRA_UTF8_X86
  if (kPath != Path::kScalar) {
    while (i < n) {
      i += encode_ssse3(text + i, n - i, out, out_end);
      if (i == n) return;
      // Near the end, or a code point beyond U+FFFF: one at a time for a few units.
      size_t stop = n - i > 4 ? i + 4 : n;
      for (; i < stop; ++i) out = encode_one(text[i], out);
      if (out_end - out < 16) break;
    }
  }
#endif
  for (; i < n; ++i) out = encode_one(text[i], out);
}

}  // namespace

bool is_valid_utf8_on_path(std::string_view text, [[maybe_unused]] int path) noexcept {
#ifdef TOVRA_UTF8_X86
  if (path == 2) return utf8_validate::is_valid_avx2(text.data(), text.size());
  if (path == 1) return utf8_validate::is_valid_ssse3(text.data(), text.size());
#endif
  return is_valid_utf8_scalar(text);
}

int utf8_paths_available() noexcept { return static_cast<int>(kPath) + 1; }

bool is_valid_utf8(std::string_view text) noexcept {
  return is_valid_utf8_on_path(text, static_cast<int>(kPath));
}

namespace {

Utf8Shape shape_of(size_t begins, unsigned max_byte) noexcept {
  Utf8Shape shape;
  shape.code_points = begins;
  shape.ascii = max_byte < 0x80;
  // The widest lead byte decides: C2 and C3 begin U+0080..U+00FF, E0..EF end at U+FFFF.
  shape.width = max_byte < 0xC4 ? 1 : (max_byte < 0xF0 ? 2 : 4);
  return shape;
}

Utf8Shape shape_scalar(const unsigned char* p, const unsigned char* end, size_t begins = 0,
                       unsigned max_byte = 0) noexcept {
  for (; p != end; ++p) {
    max_byte = *p > max_byte ? *p : max_byte;
    begins += (*p & 0xC0) != 0x80;
  }
  return shape_of(begins, max_byte);
}

#ifdef TOVRA_UTF8_X86
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
#endif

template <typename Unit>
void decode_on_path(std::string_view valid_text, Unit* out, [[maybe_unused]] size_t units,
                    [[maybe_unused]] Path path) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(valid_text.data());
  const auto* end = p + valid_text.size();
#ifdef TOVRA_UTF8_X86
  if (path == Path::kAvx2) {
    utf8_decode::decode_avx2(valid_text.data(), valid_text.size(), out, units);
    return;
  }
  if constexpr (sizeof(Unit) <= 2) {
    if (path == Path::kSsse3) p = decode_ssse3(p, end, out, out + units);
  }
#endif
  decode_scalar(p, end, out);
}

// A path the processor has: the one asked for, or the best one when asked for more.
Path usable(int path) noexcept {
  return path < static_cast<int>(kPath) ? static_cast<Path>(path < 0 ? 0 : path) : kPath;
}

}  // namespace

Utf8Shape utf8_shape_on_path(std::string_view valid_text, [[maybe_unused]] int path) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(valid_text.data());
  const auto* end = p + valid_text.size();
#ifdef TOVRA_UTF8_X86
  switch (usable(path)) {
    case Path::kAvx2: {
      utf8_decode::ShapeCounts counts =
          utf8_decode::shape_avx2(valid_text.data(), valid_text.size());
      return shape_of(counts.begins, counts.max_byte);
    }
    case Path::kSsse3:
      return shape_sse2(p, end);
    case Path::kScalar:
      break;
  }
#endif
  return shape_scalar(p, end);
}

Utf8Shape utf8_shape(std::string_view valid_text) noexcept {
#ifdef TOVRA_UTF8_X86
  if (kPath == Path::kAvx2) {
    utf8_decode::ShapeCounts counts =
        utf8_decode::shape_avx2(valid_text.data(), valid_text.size());
    return shape_of(counts.begins, counts.max_byte);
  }
#endif
  return utf8_shape_on_path(valid_text, static_cast<int>(kPath));
}

void decode_utf8(std::string_view valid_text, uint8_t* out, size_t units) noexcept {
  decode_on_path(valid_text, out, units, kPath);
}
void decode_utf8(std::string_view valid_text, uint16_t* out, size_t units) noexcept {
  decode_on_path(valid_text, out, units, kPath);
}
void decode_utf8(std::string_view valid_text, uint32_t* out, size_t units) noexcept {
  decode_on_path(valid_text, out, units, kPath);
}

void decode_utf8_on_path(std::string_view valid_text, uint8_t* out, size_t units,
                         int path) noexcept {
  decode_on_path(valid_text, out, units, usable(path));
}
void decode_utf8_on_path(std::string_view valid_text, uint16_t* out, size_t units,
                         int path) noexcept {
  decode_on_path(valid_text, out, units, usable(path));
}
void decode_utf8_on_path(std::string_view valid_text, uint32_t* out, size_t units,
                         int path) noexcept {
  decode_on_path(valid_text, out, units, usable(path));
}

size_t utf8_length(const uint8_t* text, size_t n) noexcept { return length_of(text, n); }
size_t utf8_length(const uint16_t* text, size_t n) noexcept { return length_of(text, n); }
size_t utf8_length(const uint32_t* text, size_t n) noexcept { return length_of(text, n); }

void encode_utf8(const uint8_t* text, size_t n, char* out, size_t length) noexcept {
  encode(text, n, out, length);
}
void encode_utf8(const uint16_t* text, size_t n, char* out, size_t length) noexcept {
  encode(text, n, out, length);
}
void encode_utf8(const uint32_t* text, size_t n, char* out, size_t length) noexcept {
  encode(text, n, out, length);
}

bool is_valid_utf8_scalar(std::string_view text) noexcept {
  const char* p = text.data();
  const char* end = p + text.size();
  while (true) {
    // Runs of ASCII, the bulk of most text, a word at a time.
    p = find_non_ascii(p, end);
    if (p == end) return true;
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    unsigned char c = s[0];
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[k] & 0x3F);
    }
    static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += len;
  }
}

}  // namespace tovra
