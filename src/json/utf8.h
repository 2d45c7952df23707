// UTF-8 as the system accepts it: the shortest form of each scalar value, no surrogates
// (U+D800 to U+DFFF), nothing beyond U+10FFFF.
//
// Validation and the conversions between UTF-8 and fixed-width text (1, 2 or 4 bytes per
// character, as the Python binding stores strings) run on 16-byte vectors where the processor
// has them, chosen once at run time: SSSE3 or AVX2 on x86-64, with a scalar path everywhere
// else. Every vector path gives exactly the scalar path's answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tovra {

bool is_valid_utf8(std::string_view text) noexcept;
// The reference: one code point at a time. Kept for tests and fuzzing of the fast paths.
bool is_valid_utf8_scalar(std::string_view text) noexcept;
// For tests: paths 0 (scalar) to utf8_paths_available() - 1 (1: SSSE3, 2: AVX2).
int utf8_paths_available() noexcept;
bool is_valid_utf8_on_path(std::string_view text, int path) noexcept;

// What text of valid UTF-8 holds: its number of code points, and the width that fixed-width
// text needs for its widest one (1 for U+0000..U+00FF, 2 up to U+FFFF, 4 beyond); `ascii`
// when every code point is below U+0080.
struct Utf8Shape {
  size_t code_points = 0;
  int width = 1;
  bool ascii = true;
};
Utf8Shape utf8_shape(std::string_view valid_text) noexcept;

// Decodes valid UTF-8 into out[0, units), where `units` is utf8_shape(text).code_points and
// the unit width holds every code point of the text.
void decode_utf8(std::string_view valid_text, uint8_t* out, size_t units) noexcept;
void decode_utf8(std::string_view valid_text, uint16_t* out, size_t units) noexcept;
void decode_utf8(std::string_view valid_text, uint32_t* out, size_t units) noexcept;
// For tests: the same on a given path (as for is_valid_utf8_on_path; a path beyond those
// available means the best one).
Utf8Shape utf8_shape_on_path(std::string_view valid_text, int path) noexcept;
void decode_utf8_on_path(std::string_view valid_text, uint8_t* out, size_t units,
                         int path) noexcept;
void decode_utf8_on_path(std::string_view valid_text, uint16_t* out, size_t units,
                         int path) noexcept;
void decode_utf8_on_path(std::string_view valid_text, uint32_t* out, size_t units,
                         int path) noexcept;

// The UTF-8 length of fixed-width text, or SIZE_MAX when it holds a surrogate code point
// (U+D800..U+DFFF), which has no UTF-8 form. Units are code points (values up to U+10FFFF).
inline constexpr size_t kNotEncodable = SIZE_MAX;
size_t utf8_length(const uint8_t* text, size_t n) noexcept;
size_t utf8_length(const uint16_t* text, size_t n) noexcept;
size_t utf8_length(const uint32_t* text, size_t n) noexcept;

// Writes the UTF-8 of fixed-width text whose utf8_length is `length` (not kNotEncodable)
// into out[0, length).
void encode_utf8(const uint8_t* text, size_t n, char* out, size_t length) noexcept;
void encode_utf8(const uint16_t* text, size_t n, char* out, size_t length) noexcept;
void encode_utf8(const uint32_t* text, size_t n, char* out, size_t length) noexcept;

}  // namespace tovra
