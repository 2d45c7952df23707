// libFuzzer target of the JSON reader: any input either is refused with the core's value
// error or parses to a tree whose compact text parses back to an equal tree with the same text.
//
// Build and run from the repository root (clang):
//   bash scripts/fuzz.sh 120
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/error.h"
#include "json/json_reader.h"
#include "json/json_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  tovra::JsonValue value;
  try {
    value = tovra::parse_json(input);
  } catch (const tovra::Error& e) {
    if (e.kind() != tovra::ErrorKind::kValue) std::abort();
    return 0;
  }
  std::string text = tovra::to_json(value);
  tovra::JsonValue again = tovra::parse_json(text);  // must not throw
  if (!(again == value)) std::abort();
  if (tovra::to_json(again) != text) std::abort();
  return 0;
}
