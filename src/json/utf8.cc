#include "json/utf8.h"

#include <algorithm>
#include <cstdint>

#include "json/byte_scan.h"
#include "json/utf8_decode.h"
#include "json/utf8_kernels.h"
#include "json/utf8_scalar.h"
#include "json/utf8_validate.h"

#ifdef TOVRA_UTF8_X86
#include <immintrin.h>
#endif

namespace tovra {

namespace {

// The scalar kernels, for every processor.
bool is_valid_scalar(const char* p, size_t n) noexcept { return is_valid_utf8_scalar({p, n}); }

Utf8Shape shape_scalar(const char* text, size_t n) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  return utf8_scalar::shape_scalar(p, p + n);
}

template <typename Unit>
void decode_scalar(const char* text, size_t n, Unit* out, size_t) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  utf8_scalar::decode_scalar(p, p + n, out);
}

template <typename Unit>
void encode_scalar(const Unit* text, size_t n, char* out, size_t) noexcept {
  utf8_scalar::encode_scalar(text, n, out);
}

constexpr Utf8Kernels kScalarKernels = {
    is_valid_scalar,        shape_scalar,           decode_scalar<uint8_t>,
    decode_scalar<uint16_t>, decode_scalar<uint32_t>, encode_scalar<uint8_t>,
    encode_scalar<uint16_t>, encode_scalar<uint32_t>,
};

#ifdef TOVRA_UTF8_X86
Utf8Shape shape_avx2(const char* text, size_t n) noexcept {
  utf8_decode::ShapeCounts counts = utf8_decode::shape_avx2(text, n);
  return utf8_scalar::shape_of(counts.begins, counts.max_byte);
}

constexpr Utf8Kernels kSsse3Kernels = {
    utf8_validate::is_valid_ssse3, utf8_ssse3::shape,  utf8_ssse3::decode, utf8_ssse3::decode,
    utf8_ssse3::decode,            utf8_ssse3::encode, utf8_ssse3::encode, utf8_ssse3::encode,
};

constexpr Utf8Kernels kAvx2Kernels = {
    utf8_validate::is_valid_avx2, shape_avx2,         utf8_decode::decode_avx2,
    utf8_decode::decode_avx2,     utf8_decode::decode_avx2, utf8_ssse3::encode,
    utf8_ssse3::encode,           utf8_ssse3::encode,
};
#endif

// The kernels by path, as the functions for tests number them: 0 scalar, 1 SSSE3, 2 AVX2.
constexpr const Utf8Kernels* kPaths[] = {
    &kScalarKernels,
#ifdef TOVRA_UTF8_X86
    &kSsse3Kernels,
    &kAvx2Kernels,
#endif
};

// The one choice of kernels, made once when the library is loaded.
int best_path() noexcept {
#ifdef TOVRA_UTF8_X86
  __builtin_cpu_init();
  // Every processor with AVX2 has POPCNT, which the AVX2 decoder uses as well.
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return 2;
  if (__builtin_cpu_supports("ssse3")) return 1;
#endif
  return 0;
}

const int kBestPath = best_path();
const Utf8Kernels& kBest = *kPaths[kBestPath];

// A path the processor has: the one asked for, or the best one when asked for more.
const Utf8Kernels& kernels_on(int path) noexcept {
  return *kPaths[std::clamp(path, 0, kBestPath)];
}

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

}  // namespace

int utf8_paths_available() noexcept { return kBestPath + 1; }

bool is_valid_utf8(std::string_view text) noexcept {
  return kBest.is_valid(text.data(), text.size());
}
bool is_valid_utf8_on_path(std::string_view text, int path) noexcept {
  return kernels_on(path).is_valid(text.data(), text.size());
}

Utf8Shape utf8_shape(std::string_view valid_text) noexcept {
  return kBest.shape(valid_text.data(), valid_text.size());
}
Utf8Shape utf8_shape_on_path(std::string_view valid_text, int path) noexcept {
  return kernels_on(path).shape(valid_text.data(), valid_text.size());
}

void decode_utf8(std::string_view valid_text, uint8_t* out, size_t units) noexcept {
  kBest.decode_1(valid_text.data(), valid_text.size(), out, units);
}
void decode_utf8(std::string_view valid_text, uint16_t* out, size_t units) noexcept {
  kBest.decode_2(valid_text.data(), valid_text.size(), out, units);
}
void decode_utf8(std::string_view valid_text, uint32_t* out, size_t units) noexcept {
  kBest.decode_4(valid_text.data(), valid_text.size(), out, units);
}

void decode_utf8_on_path(std::string_view valid_text, uint8_t* out, size_t units,
                         int path) noexcept {
  kernels_on(path).decode_1(valid_text.data(), valid_text.size(), out, units);
}
void decode_utf8_on_path(std::string_view valid_text, uint16_t* out, size_t units,
                         int path) noexcept {
  kernels_on(path).decode_2(valid_text.data(), valid_text.size(), out, units);
}
void decode_utf8_on_path(std::string_view valid_text, uint32_t* out, size_t units,
                         int path) noexcept {
  kernels_on(path).decode_4(valid_text.data(), valid_text.size(), out, units);
}

size_t utf8_length(const uint8_t* text, size_t n) noexcept { return length_of(text, n); }
size_t utf8_length(const uint16_t* text, size_t n) noexcept { return length_of(text, n); }
size_t utf8_length(const uint32_t* text, size_t n) noexcept { return length_of(text, n); }

void encode_utf8(const uint8_t* text, size_t n, char* out, size_t length) noexcept {
  kBest.encode_1(text, n, out, length);
}
void encode_utf8(const uint16_t* text, size_t n, char* out, size_t length) noexcept {
  kBest.encode_2(text, n, out, length);
}
void encode_utf8(const uint32_t* text, size_t n, char* out, size_t length) noexcept {
  kBest.encode_4(text, n, out, length);
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
