// Why the reader refused a text, in the few words a person reads in an exception note. The
// parser names the rule the text broke and where; the words are made from that and from the
// bytes around the place that are still in memory, only once the parse has failed.
#pragma once

#include <cstdint>
#include <string>

namespace tovra::reader {

enum class Failure : uint8_t {
  kValueExpected,      // no value where one must be (an empty text, "NaN", a trailing comma)
  kTextAfterValue,     // more than whitespace after the top-level value
  kInvalidUtf8,        // `at` starts a sequence that is not UTF-8
  kTooDeep,            // one array or object more than the nesting limit
  kLiteral,            // a word that begins like true, false or null but is none of them
  kArraySeparator,     // neither ',' nor ']' after an element
  kKeyExpected,        // no string where an object's key must be
  kColonExpected,      // no ':' after a key
  kObjectSeparator,    // neither ',' nor '}' after a member
  kStringEnd,          // the text ends inside a string
  kControlCharacter,   // a raw byte below 0x20 inside a string
  kInvalidEscape,      // a backslash followed by a byte that begins no escape
  kHexDigits,          // "\u" not followed by four hexadecimal digits
  kLoneHighSurrogate,  // `code`, not followed by the escape of a low surrogate
  kLoneLowSurrogate,   // `code`, with no high surrogate before it
  kDigitExpected,      // a number stops after '-', '.', 'e' or its sign (`code`: that byte)
  kOutOfRange,         // a number too large for a double
};

// Where a failure lies. `at` is the byte in memory at which the rule was broken, or null when
// the text ended there (`at_end`) or the byte is no longer in memory; [begin, end) are the bytes
// of the text in memory around it.
struct FailurePlace {
  uint64_t offset = 0;  // from the start of the text
  const char* at = nullptr;
  bool at_end = false;
  const char* begin = nullptr;
  const char* end = nullptr;
  unsigned char before_begin = 0;  // the last byte before `begin` that is not whitespace, or 0
  int depth = 0;  // arrays and objects open at the place
  uint32_t code = 0;
};

// The reason, such as "trailing comma in an array" or "invalid UTF-8 byte 0xC3 at byte
// offset 17".
std::string describe_failure(Failure failure, const FailurePlace& place);

// The start of the first sequence of [p, end) that is not valid UTF-8, or `end` when all are.
const char* first_invalid_utf8(const char* p, const char* end) noexcept;

}  // namespace tovra::reader
