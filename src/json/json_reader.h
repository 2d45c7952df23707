// Reading JSON text into a JsonValue: collection files, bulk-load documents and test input.
//
// Both entry points accept exactly one RFC 8259 value with optional surrounding whitespace
// (space, tab, line feed, carriage return), no byte-order mark, valid UTF-8, no unpaired
// surrogate escapes, and arrays/objects nested at most 127 levels deep (the top-level value is
// level 1). Of duplicate keys the last one wins. Numbers keep their kind: an integer literal
// becomes kUInt (non-negative) or kInt (negative) when it fits in 64 bits and a double
// otherwise; a literal with a fraction or an exponent becomes a double; a magnitude too large
// for a double is invalid, one too small becomes a correctly signed zero.
#pragma once

#include <cstddef>
#include <string_view>

#include "json/json_value.h"

namespace tovra {

// Nesting depth of arrays and objects that a JSON text may reach; one level more is invalid.
inline constexpr int kMaxJsonDepth = 127;

// The message of every text the reader refuses.
inline constexpr char kDeserializeError[] = "Error deserializing JSON";

// Bytes the reader pulls, a buffer at a time (files, pipes: the store provides them).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills up to `capacity` bytes of `buffer` and returns how many; 0 only at the end of the
  // input. A source that fails throws (a tovra::Error), and the parse ends with that error.
  virtual size_t read(char* buffer, size_t capacity) = 0;
};

// Parses `stream` through a 256 KiB buffer, so that the text is never held in memory whole.
// Throws JsonSyntaxError (json/json_syntax_error.h: Error::value(kDeserializeError) with the byte
// offset and the reason) for text that breaks the rules above. With an arena,
// the blocks of every value inside the top-level value are made in it (the top-level value's
// own block is not), and the arena must outlive them.
JsonValue parse_json(ByteSource& stream, Arena* arena = nullptr);

// Parses `text` by the same rules; throws JsonSyntaxError.
JsonValue parse_json(std::string_view text, Arena* arena = nullptr);

}  // namespace tovra
