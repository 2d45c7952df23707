#include "json/reader_failure.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "json/json_reader.h"

namespace tovra::reader {

namespace {

// A byte as a note shows it: 'x' for printable ASCII, byte 0xHH otherwise.
std::string shown(unsigned char c) {
  char text[16];
  if (c > 0x20 && c < 0x7F) {
    std::snprintf(text, sizeof text, "'%c'", c);
  } else if (c == ' ') {
    return "a space";
  } else {
    std::snprintf(text, sizeof text, "byte 0x%02X", c);
  }
  return text;
}

std::string hex4(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "\\u%04X", code);
  return text;
}

// What the text holds at the place, for "found ...".
std::string found(const FailurePlace& place) {
  if (place.at_end) return "the end of the text";
  if (place.at == nullptr) return "something else";
  return shown(static_cast<unsigned char>(*place.at));
}

bool spells(const FailurePlace& place, std::string_view word) {
  return place.at != nullptr && static_cast<size_t>(place.end - place.at) >= word.size() &&
         std::memcmp(place.at, word.data(), word.size()) == 0;
}

// The last byte before the place that is not whitespace, or 0 when there is none.
unsigned char before(const FailurePlace& place) {
  if (place.at == nullptr) return 0;
  for (const char* p = place.at; p != place.begin;) {
    char c = *--p;
    if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return static_cast<unsigned char>(c);
  }
  return place.before_begin;
}

std::string value_expected(const FailurePlace& place) {
  if (place.at_end) {
    return place.depth == 0 ? "the text is empty or only whitespace"
                            : "the text ends where a value was expected";
  }
  if (place.offset == 0 && spells(place, "\xEF\xBB\xBF")) return "a byte order mark is not allowed";
  if (spells(place, "NaN")) return "NaN is not JSON";
  if (spells(place, "Infinity")) return "Infinity is not JSON";
  if (spells(place, "]") && before(place) == ',') return "trailing comma in an array";
  if (spells(place, "'")) return "strings must be in double quotes, not single quotes";
  return "a value was expected, found " + found(place);
}

}  // namespace

std::string describe_failure(Failure failure, const FailurePlace& place) {
  const std::string ends_in_object = "the text ends inside an object";
  switch (failure) {
    case Failure::kValueExpected:
      return value_expected(place);
    case Failure::kTextAfterValue:
      return "text after the top-level value: " + found(place);
    case Failure::kInvalidUtf8: {
      char text[96];
      std::snprintf(text, sizeof text, "invalid UTF-8 byte 0x%02X at byte offset %llu",
                    place.at != nullptr ? static_cast<unsigned char>(*place.at) : 0u,
                    static_cast<unsigned long long>(place.offset));
      return text;
    }
    case Failure::kTooDeep:
      return "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    case Failure::kLiteral:
      return "not a literal (true, false or null): found " + found(place);
    case Failure::kArraySeparator:
      if (place.at_end) return "the text ends inside an array";
      return "a comma or ']' was expected after an array element, found " + found(place);
    case Failure::kKeyExpected:
      if (place.at_end) return ends_in_object;
      if (spells(place, "}")) return "trailing comma in an object";
      if (spells(place, "'")) return "keys must be strings in double quotes, not single quotes";
      return "a key (a string in double quotes) was expected, found " + found(place);
    case Failure::kColonExpected:
      if (place.at_end) return ends_in_object;
      return "a colon was expected after a key, found " + found(place);
    case Failure::kObjectSeparator:
      if (place.at_end) return ends_in_object;
      return "a comma or '}' was expected after an object member, found " + found(place);
    case Failure::kStringEnd:
      return "the text ends inside a string";
    case Failure::kControlCharacter:
      return "unescaped control character " + found(place).substr(5) + " in a string";
    case Failure::kInvalidEscape:
      if (place.at_end) return "the text ends inside a string";
      return "invalid escape: a backslash followed by " + found(place);
    case Failure::kHexDigits:
      if (place.at_end) return "the text ends inside a string";
      return "\\u must be followed by four hexadecimal digits, found " + found(place);
    case Failure::kLoneHighSurrogate:
      return "lone surrogate " + hex4(place.code) +
             ": a high surrogate must be followed by the escape of a low one";
    case Failure::kLoneLowSurrogate:
      return "lone surrogate " + hex4(place.code) + ": a low surrogate without a high one";
    case Failure::kDigitExpected:
      if (place.code == '-') {
        if (spells(place, "Infinity")) return "-Infinity is not JSON";
        return "a digit was expected after '-', found " + found(place);
      }
      if (place.code == '.') {
        return "a digit was expected after the decimal point, found " + found(place);
      }
      return "a digit was expected in the exponent, found " + found(place);
    case Failure::kOutOfRange:
      return "number out of range";
  }
  return "invalid text";
}

const char* first_invalid_utf8(const char* p, const char* end) noexcept {
  auto byte = [](const char* q) { return static_cast<unsigned char>(*q); };
  while (p != end) {
    unsigned char lead = byte(p);
    if (lead < 0x80) {
      ++p;
      continue;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
      return p;
    }
    if (static_cast<size_t>(end - p) < length) return p;
    if (byte(p + 1) < low || byte(p + 1) > high) return p;
    for (size_t k = 2; k < length; ++k) {
      if ((byte(p + k) & 0xC0) != 0x80) return p;
    }
    p += length;
  }
  return end;
}

}  // namespace tovra::reader
