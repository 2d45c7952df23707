// Compact JSON serialisation of JsonValue, byte for byte as collection files hold it.
//
// No whitespace between tokens; object members in their stored (ascending key) order; integers
// as plain digits; a double as its shortest round-trip digits laid out so that it always reads
// back as a double (100.0, 0.0001234, 1e16, 1.5e-7, -0.0); strings escaped by the table of
// append_json_string. Reading the output back gives values of the same kinds.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "json/json_value.h"

namespace tovra {

// Appends `text` escaped as the body of a JSON string, WITHOUT the surrounding double quotes:
// \" \\ \b \t \n \f \r for those characters, \u00xx (lower-case hex) for the other characters
// below U+0020, every other byte unchanged (the slash, U+007F and non-ASCII UTF-8 included).
void append_json_string(std::string& out, std::string_view text);

// The compact JSON text of `value`.
std::string to_json(const JsonValue& value);

// Bytes the writer pushes, a buffer at a time (the store's files provide them).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all `n` bytes, or throws (a tovra::Error), which ends the serialisation at once.
  virtual void write(const char* bytes, size_t n) = 0;
};

// Writes `values` as one JSON array to `stream` through a 256 KiB buffer, never holding the
// whole text in memory.
void write_json_array(ByteSink& stream, std::span<const JsonValue> values);

}  // namespace tovra
