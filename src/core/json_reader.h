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

#include <string>
#include <string_view>

#include "core/json_value.h"

namespace tovra {

// Nesting depth of arrays and objects that a JSON text may reach; one level more is invalid.
inline constexpr int kMaxJsonDepth = 127;

// Opens `path` read-only (exactly as given: a relative path is resolved against the current
// working directory) and parses it as a stream through an 8 KiB buffer; the file is never held
// in memory whole.
// Throws Error::file("Error opening document ...") when the file cannot be opened and
// Error::value("Error deserializing JSON") when its content is invalid or cannot be read (a
// directory opens but fails to read).
JsonValue read_document(const std::string& path);

// Parses `text` by the same rules; throws Error::value("Error deserializing JSON").
JsonValue parse_json(std::string_view text);

}  // namespace tovra
