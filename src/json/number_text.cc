#include "json/number_text.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace tovra::reader {

namespace {

// The decimal exponent K of a number's first significant digit, so that the magnitude lies in
// [10^(K-1), 10^K). Only called for text that from_chars found out of range, so it has a
// nonzero digit. Saturates far beyond the range of a double.
long decimal_magnitude(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  long integer_digits = 0;
  long first_significant = -1;  // index among all mantissa digits
  long digit_index = 0;
  bool in_fraction = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.') {
      in_fraction = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    if (first_significant < 0 && c != '0') first_significant = digit_index;
    ++digit_index;
    if (!in_fraction) ++integer_digits;
  }
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (exponent < 1000000000L) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (first_significant < 0) return std::numeric_limits<long>::min();
  return integer_digits - first_significant + exponent;
}

}  // namespace

bool number_from_text(std::string_view text, JsonValue& out) {
  const char* first = text.data();
  const char* last = first + text.size();
  bool integer_literal = text.find_first_of(".eE") == std::string_view::npos;
  if (integer_literal) {
    if (text[0] == '-') {
      int64_t i;
      auto [ptr, ec] = std::from_chars(first, last, i);
      if (ec == std::errc() && ptr == last) {
        out = JsonValue::integer(i);
        return true;
      }
    } else {
      uint64_t u;
      auto [ptr, ec] = std::from_chars(first, last, u);
      if (ec == std::errc() && ptr == last) {
        out = JsonValue::uint(u);
        return true;
      }
    }
    // Too large for 64 bits: falls through to a double.
  }
  double d;
  auto [ptr, ec] = std::from_chars(first, last, d);
  if (ptr != last) return false;
  if (ec == std::errc()) {
    out = JsonValue::number(d);
    return true;
  }
  if (ec != std::errc::result_out_of_range) return false;
  // Out of range is both overflow and underflow to zero (a value that rounds to the smallest
  // subnormal is converted normally); only the first is invalid.
  if (decimal_magnitude(text) > 0) return false;
  out = JsonValue::number(text[0] == '-' ? -0.0 : 0.0);
  return true;
}

}  // namespace tovra::reader
