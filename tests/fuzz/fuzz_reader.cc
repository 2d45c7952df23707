// libFuzzer target of the JSON reader: any input either is refused with the core's value
// error or parses to a tree whose compact text parses back to an equal tree with the same text.
// The input is also taken as text: every UTF-8 validation path must agree with the plain
// scalar one, and valid text must survive decoding to fixed width and encoding back.
//
// Build and run from the repository root (clang):
//   bash scripts/fuzz.sh 120
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "json/utf8.h"
#include "../cpp/test_support.h"

namespace {

template <typename Unit>
void check_round_trip(std::string_view text, size_t units) {
  std::vector<Unit> decoded(units);
  tovra::decode_utf8(text, decoded.data(), units);
  // Every decoding path gives the same units (and, under the sanitizers, stays in bounds).
  for (int path = 0; path < tovra::utf8_paths_available(); ++path) {
    std::vector<Unit> on_path(units);
    tovra::decode_utf8_on_path(text, on_path.data(), units, path);
    if (on_path != decoded) std::abort();
  }
  size_t length = tovra::utf8_length(decoded.data(), units);
  if (length != text.size()) std::abort();
  std::string back(length, '\0');
  tovra::encode_utf8(decoded.data(), units, back.data(), length);
  if (back != text) std::abort();
}

void check_text(std::string_view input) {
  bool valid = tovra::is_valid_utf8_scalar(input);
  for (int path = 0; path < tovra::utf8_paths_available(); ++path) {
    if (tovra::is_valid_utf8_on_path(input, path) != valid) std::abort();
  }
  if (tovra::is_valid_utf8(input) != valid) std::abort();
  if (!valid) return;
  tovra::Utf8Shape shape = tovra::utf8_shape(input);
  for (int path = 0; path < tovra::utf8_paths_available(); ++path) {
    tovra::Utf8Shape on_path = tovra::utf8_shape_on_path(input, path);
    if (on_path.code_points != shape.code_points || on_path.width != shape.width ||
        on_path.ascii != shape.ascii) {
      std::abort();
    }
  }
  check_round_trip<uint32_t>(input, shape.code_points);
  if (shape.width <= 2) check_round_trip<uint16_t>(input, shape.code_points);
  if (shape.width == 1) check_round_trip<uint8_t>(input, shape.code_points);
}

class StringByteSink final : public tovra::ByteSink {
 public:
  explicit StringByteSink(std::string& out) : out_(out) {}
  void write(const char* bytes, size_t n) override { out_.append(bytes, n); }

 private:
  std::string& out_;
};

// Reading into an arena (where objects share shapes and follow learnt key orders), whole or in
// pieces, accepts exactly what reading onto the heap accepts, and gives an equal tree.
void check_arena_reads(std::string_view input, const tovra::JsonValue* heap) {
  size_t piece = input.empty() ? 1 : 1 + static_cast<unsigned char>(input[0]) % 23;
  for (int whole = 0; whole < 2; ++whole) {
    tovra::Arena arena;
    tovra::JsonValue value;
    try {
      if (whole) {
        value = tovra::parse_json(input, &arena);
      } else {
        test_support::Pieces pieces(input, piece);
        value = tovra::parse_json(pieces, &arena);
      }
    } catch (const tovra::Error& e) {
      if (e.kind() != tovra::ErrorKind::kValue || heap != nullptr) std::abort();
      continue;
    }
    if (heap == nullptr || !(value == *heap) || tovra::to_json(value) != tovra::to_json(*heap)) {
      std::abort();
    }
    // The collection writer (which renders the keys of a shape once and copies them for its
    // later objects) gives an array's text exactly.
    if (value.is_array()) {
      std::string written;
      StringByteSink sink(written);
      tovra::write_json_array(sink, value.elements());
      if (written != tovra::to_json(value)) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  check_text(input);
  tovra::JsonValue value;
  try {
    value = tovra::parse_json(input);
  } catch (const tovra::Error& e) {
    if (e.kind() != tovra::ErrorKind::kValue) std::abort();
    check_arena_reads(input, nullptr);
    return 0;
  }
  check_arena_reads(input, &value);
  std::string text = tovra::to_json(value);
  tovra::JsonValue again = tovra::parse_json(text);  // must not throw
  if (!(again == value)) std::abort();
  if (tovra::to_json(again) != text) std::abort();
  return 0;
}
