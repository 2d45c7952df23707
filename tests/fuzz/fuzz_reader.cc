// libFuzzer target of the JSON reader: any input either is refused with the core's value
// error or parses to a tree whose compact text parses back to an equal tree with the same text.
//
// Build and run from the repository root (clang):
//   clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -Isrc src/core/json_value.cc \
//     src/core/json_reader.cc src/core/json_writer.cc tests/fuzz/fuzz_reader.cc -o fuzz_reader
//   mkdir -p corpus && cp tests/fuzz/corpus_reader/* corpus/
//   echo 'pointer-overflow:rapidjson/internal/stack.h' > ubsan.supp
//   UBSAN_OPTIONS=suppressions=ubsan.supp ./fuzz_reader -max_total_time=120 corpus
// The suppression covers the tokenizer's lazily allocated scratch stack, whose first push adds
// an offset to its still-null pointer (harmless, but reported by the sanitizer).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/json_reader.h"
#include "core/json_writer.h"

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
