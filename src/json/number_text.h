// Numbers from their JSON text: the grammar's check of a literal, and the value and kind it
// stands for.
#pragma once

#include <string_view>

#include "json/json_value.h"

namespace tovra::reader {

inline const char* skip_digits(const char* p, const char* end) {
  while (p != end && *p >= '0' && *p <= '9') ++p;
  return p;
}

// The end of the number that starts at p, by -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?,
// or nullptr when the text breaks that grammar or reaches `end` first (the number may go on in
// the next chunk).
inline const char* scan_number(const char* p, const char* end) {
  if (p != end && *p == '-') ++p;
  if (p == end) return nullptr;
  if (*p == '0') {
    ++p;
  } else if (*p >= '1' && *p <= '9') {
    p = skip_digits(p, end);
  } else {
    return nullptr;
  }
  if (p != end && *p == '.') {
    const char* digits = ++p;
    p = skip_digits(p, end);
    if (p == digits) return nullptr;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    const char* digits = p;
    p = skip_digits(p, end);
    if (p == digits) return nullptr;
  }
  return p;
}

// Decides a number's kind from its literal text (already checked against the JSON grammar).
// "-0" has neither fraction nor exponent and is not negative in value, so it is the unsigned
// integer 0, as a non-negative integer always is; "-0.0" is the double negative zero.
// False when the text is out of a double's range or breaks the grammar.
bool number_from_text(std::string_view text, JsonValue& out);

}  // namespace tovra::reader
