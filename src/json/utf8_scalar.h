// The scalar UTF-8 steps that every kernel of json/utf8_kernels.h ends its work with: one code
// point at a time. Every function here has internal linkage, so that the files built for one
// instruction set may include it (see json/utf8_validate.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/utf8.h"

namespace tovra::utf8_scalar {

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
void encode_scalar(const Unit* text, size_t n, char* out) noexcept {
  for (size_t i = 0; i < n; ++i) out = encode_one(text[i], out);
}

inline Utf8Shape shape_of(size_t begins, unsigned max_byte) noexcept {
  Utf8Shape shape;
  shape.code_points = begins;
  shape.ascii = max_byte < 0x80;
  // The widest lead byte decides: C2 and C3 begin U+0080..U+00FF, E0..EF end at U+FFFF.
  shape.width = max_byte < 0xC4 ? 1 : (max_byte < 0xF0 ? 2 : 4);
  return shape;
}

inline Utf8Shape shape_scalar(const unsigned char* p, const unsigned char* end, size_t begins = 0,
                       unsigned max_byte = 0) noexcept {
  for (; p != end; ++p) {
    max_byte = *p > max_byte ? *p : max_byte;
    begins += (*p & 0xC0) != 0x80;
  }
  return shape_of(begins, max_byte);
}

}  // namespace

}  // namespace tovra::utf8_scalar
