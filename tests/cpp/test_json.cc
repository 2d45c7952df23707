// Unit tests of JSON values, reading and writing.
// Plain program: prints each failed check and ends with "N passed, N failed".

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "json/error.h"
#include "test_support.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "json/text_position.h"
#include "json/utf8.h"

using test_support::error_of;
using tovra::Error;
using tovra::ErrorKind;
using tovra::JsonMember;
using tovra::JsonType;
using tovra::JsonValue;

namespace {

bool is_invalid_json(std::string_view text) {
  Error e = error_of([&] { tovra::parse_json(text); });
  return e.kind() == ErrorKind::kValue && e.message() == "Error deserializing JSON";
}

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

uint64_t rng_state = 0x2545F4914F6CDD1DULL;
uint64_t next_random() {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 7;
  rng_state ^= rng_state << 17;
  return rng_state;
}

JsonValue object_of(std::vector<std::pair<std::string, JsonValue>> entries) {
  std::vector<JsonMember> members;
  for (auto& [key, value] : entries) members.push_back({JsonValue::string(key), std::move(value)});
  return JsonValue::object(members);
}

JsonValue array_of(std::vector<JsonValue> values) {
  JsonValue array = JsonValue::array(values.size());
  for (size_t i = 0; i < values.size(); ++i) array.elements()[i] = std::move(values[i]);
  return array;
}

JsonValue random_value(int depth) {
  switch (next_random() % (depth > 4 ? 6 : 8)) {
    case 0:
      return JsonValue::null();
    case 1:
      return JsonValue::boolean(next_random() & 1);
    case 2:
      return JsonValue::uint(next_random() >> (next_random() % 64));
    case 3:
      return JsonValue::integer(-static_cast<int64_t>(next_random() >> (1 + next_random() % 63)));
    case 4: {
      uint64_t bits = next_random();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return std::isfinite(d) ? JsonValue::number(d) : JsonValue::number(0.5);
    }
    case 5: {
      std::string text;
      size_t length = next_random() % 40;
      for (size_t i = 0; i < length; ++i) {
        // Mostly ASCII with control characters, quotes and backslashes; sometimes 'é'.
        unsigned r = next_random() % 100;
        if (r < 5) {
          text += "\xC3\xA9";
        } else {
          text += static_cast<char>(next_random() % 0x80);
        }
      }
      return JsonValue::string(text);
    }
    case 6: {
      std::vector<JsonValue> values(next_random() % 5);
      for (JsonValue& v : values) v = random_value(depth + 1);
      return array_of(std::move(values));
    }
    default: {
      std::vector<std::pair<std::string, JsonValue>> entries;
      size_t n = next_random() % 5;
      for (size_t i = 0; i < n; ++i) {
        std::string key = "k";
        key += std::to_string(next_random() % 8);
        entries.emplace_back(std::move(key), random_value(depth + 1));
      }
      return object_of(std::move(entries));
    }
  }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void test_nesting_limit() {
  CHECK(tovra::parse_json(nested_arrays(127)).is_array());
  CHECK(is_invalid_json(nested_arrays(128)));
  // Objects and arrays count together.
  std::string mixed;
  for (int i = 0; i < 63; ++i) mixed += "{\"a\":[";
  std::string closing;
  for (int i = 0; i < 63; ++i) closing += "]}";
  CHECK(tovra::parse_json(mixed + "{}" + closing).is_object());  // 127 levels
  CHECK(is_invalid_json(mixed + "{\"b\":[]}" + closing));        // 128 levels
}

void test_surroundings() {
  CHECK(tovra::parse_json(" \t\r\n[1] \n\r\t ").size() == 1);
  CHECK(is_invalid_json("[1] x"));
  CHECK(is_invalid_json("[1][2]"));
  CHECK(is_invalid_json(std::string_view("[1]\0", 4)));
  CHECK(is_invalid_json(std::string_view("[1] \0 ", 6)));
  CHECK(is_invalid_json(""));
  CHECK(is_invalid_json("  \n "));
  CHECK(is_invalid_json("\xEF\xBB\xBF[1]"));
  CHECK(is_invalid_json("[1,]"));
  CHECK(is_invalid_json("[1]\f"));
  CHECK(is_invalid_json("01"));
  CHECK(is_invalid_json("NaN"));
  CHECK(tovra::parse_json("\"top\"").as_string() == "top");
}

void test_duplicate_keys_keep_last_and_sort() {
  JsonValue v = tovra::parse_json(R"({"b":1,"a":2,"b":{"x":3},"c":null})");
  CHECK(v.size() == 3);
  CHECK(v.members()[0].key_view() == "a");
  CHECK(v.members()[1].key_view() == "b");
  CHECK(v.find("b")->is_object() && v.find("b")->find("x")->as_uint() == 3);
}

void test_number_kinds() {
  struct Case {
    const char* text;
    JsonType type;
    uint64_t uint_value;
    int64_t int_value;
    double double_value;
  };
  const Case cases[] = {
      {"0", JsonType::kUInt, 0, 0, 0},
      {"-0", JsonType::kUInt, 0, 0, 0},
      {"10", JsonType::kUInt, 10, 0, 0},
      {"18446744073709551615", JsonType::kUInt, UINT64_MAX, 0, 0},
      {"18446744073709551616", JsonType::kDouble, 0, 0, 18446744073709551616.0},
      {"-1", JsonType::kInt, 0, -1, 0},
      {"-9223372036854775808", JsonType::kInt, 0, INT64_MIN, 0},
      {"-9223372036854775809", JsonType::kDouble, 0, 0, -9223372036854775809.0},
      {"10.0", JsonType::kDouble, 0, 0, 10.0},
      {"1E2", JsonType::kDouble, 0, 0, 100.0},
      {"-2.5e-3", JsonType::kDouble, 0, 0, -0.0025},
      {"1.7976931348623157e308", JsonType::kDouble, 0, 0, 1.7976931348623157e308},
      {"4.9e-324", JsonType::kDouble, 0, 0, 4.9e-324},
      {"1e-400", JsonType::kDouble, 0, 0, 0.0},
      {"123456789012345678901234567890", JsonType::kDouble, 0, 0, 1.2345678901234568e29},
  };
  for (const Case& c : cases) {
    JsonValue v = tovra::parse_json(c.text);
    CHECK_MSG(v.type() == c.type, c.text);
    if (c.type == JsonType::kUInt) CHECK_MSG(v.as_uint() == c.uint_value, c.text);
    if (c.type == JsonType::kInt) CHECK_MSG(v.as_int() == c.int_value, c.text);
    if (c.type == JsonType::kDouble) CHECK_MSG(v.as_double() == c.double_value, c.text);
  }
  CHECK(tovra::parse_json("4.9e-324").as_double() == std::numeric_limits<double>::denorm_min());
  // Underflow keeps the sign, with or without an exponent.
  CHECK(same_bits(tovra::parse_json("1e-400").as_double(), 0.0));
  CHECK(same_bits(tovra::parse_json("-1e-400").as_double(), -0.0));
  CHECK(same_bits(tovra::parse_json("-0.0").as_double(), -0.0));
  CHECK(same_bits(tovra::parse_json("-0." + std::string(400, '0') + "1").as_double(), -0.0));
  CHECK(same_bits(tovra::parse_json("1e-99999999999999999999").as_double(), 0.0));
  // Overflow is invalid, however it is spelled.
  for (std::string text :
       {"1e309", "2e308", "-2e308", "1.7976931348623159e308", "10e308", "0.01e311"}) {
    CHECK_MSG(is_invalid_json(text), text);
  }
  CHECK(is_invalid_json("1" + std::string(400, '0')));
  CHECK(tovra::parse_json("0.001e310").as_double() == 1e307);
}

void test_strings() {
  CHECK(tovra::parse_json(R"("\ud83d\ude00")").as_string() == "\xF0\x9F\x98\x80");
  CHECK(is_invalid_json(R"("\udc00")"));
  CHECK(is_invalid_json(R"(["ok","a\udfffb"])"));
  CHECK(is_invalid_json(R"({"\udc00":1})"));
  CHECK(is_invalid_json("\"" + std::string(100, 'l') + "\\udc00" + std::string(100, 'l') + "\""));
  CHECK(is_invalid_json(R"("\ud800")"));
  CHECK(is_invalid_json(R"("\ud800x")"));
  CHECK(is_invalid_json("\"\xED\xA0\x80\""));
  CHECK(is_invalid_json("\"\xFF\""));
  CHECK(is_invalid_json("\"\xC0\x80\""));
  CHECK(is_invalid_json("\"tab\tinside\""));
  CHECK(tovra::parse_json("\"\xED\x9F\xBF\"").as_string() == "\xED\x9F\xBF");  // U+D7FF
  JsonValue nul = tovra::parse_json(R"({"k\u0000":"a\u0000b"})");
  CHECK(nul.members()[0].key_view() == std::string_view("k\0", 2));
  CHECK(nul.members()[0].value.as_string() == std::string_view("a\0b", 3));
}

void test_double_layout() {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {1.5, "1.5"},
      {3.25, "3.25"},
      {123456789.125, "123456789.125"},
      {0.1, "0.1"},
      {0.0001234, "0.0001234"},
      {0.00001, "0.00001"},
      {1e16, "1e16"},
      {1e-6, "1e-6"},
      {1.5e16, "1.5e16"},
      {1.5e-7, "1.5e-7"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1e300, "1e300"},
      {-2.5, "-2.5"},
      {-1e-6, "-1e-6"},
      {1234567890123456.8, "1234567890123456.8"},
      {12345678901234568.0, "1.2345678901234568e16"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {-2.2250738585072014e-308, "-2.2250738585072014e-308"},
  };
  for (auto [d, text] : cases) {
    CHECK_MSG(tovra::to_json(JsonValue::number(d)) == text, text);
  }
  // Random bit patterns: the written text reads back as the same double, and as a double.
  int mismatches = 0;
  for (int i = 0; i < 200000; ++i) {
    uint64_t bits = next_random();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    JsonValue back = tovra::parse_json(tovra::to_json(JsonValue::number(d)));
    if (back.type() != JsonType::kDouble || !same_bits(back.as_double(), d)) ++mismatches;
  }
  CHECK(mismatches == 0);
}

void test_scalars_and_escapes() {
  CHECK(tovra::to_json(JsonValue::uint(UINT64_MAX)) == "18446744073709551615");
  CHECK(tovra::to_json(JsonValue::integer(INT64_MIN)) == "-9223372036854775808");
  CHECK(tovra::to_json(JsonValue::uint(100)) == "100");
  CHECK(tovra::to_json(JsonValue::number(100.0)) == "100.0");
  CHECK(tovra::to_json(array_of({JsonValue(), JsonValue::boolean(true),
                                 JsonValue::boolean(false)})) == "[null,true,false]");
  std::string text("\"\\\b\t\n\f\r\x01\x1f\x7f/\xC3\xA9", 13);
  text += std::string("\0", 1);
  CHECK(tovra::to_json(JsonValue::string(text)) == R"("\"\\\b\t\n\f\r\u0001\u001f)"
                                                   "\x7f/\xC3\xA9"
                                                   R"(\u0000")");
  std::string body;
  tovra::append_json_string(body, "us\"er\\s");
  CHECK(body == R"(us\"er\\s)");
  // Escapes at every offset of the eight-byte blocks, in strings longer than the buffer.
  for (size_t offset = 0; offset < 17; ++offset) {
    std::string s(9000, 'x');
    s[offset] = '"';
    s[offset + 8190] = '\n';
    std::string expected = "\"";
    expected += s.substr(0, offset);
    expected += "\\\"";
    expected += s.substr(offset + 1, 8189);
    expected += "\\n";
    expected += s.substr(offset + 8191);
    expected += '"';
    CHECK_MSG(tovra::to_json(JsonValue::string(s)) == expected, std::to_string(offset));
  }
}

void test_document_example_and_round_trips() {
  JsonValue doc = object_of(
      {{"b", JsonValue::uint(1)}, {"a", array_of({JsonValue::boolean(true), JsonValue()})}});
  JsonValue collection = array_of({doc});
  CHECK(tovra::to_json(collection) == R"([{"a":[true,null],"b":1}])");
  CHECK(tovra::to_json(collection).size() == 25);
  CHECK(tovra::to_json(tovra::parse_json(nested_arrays(127))) == nested_arrays(127));
  int mismatches = 0;
  for (int i = 0; i < 3000; ++i) {
    JsonValue v = random_value(0);
    std::string text = tovra::to_json(v);
    JsonValue back = tovra::parse_json(text);
    if (!(back == v) || tovra::to_json(back) != text) ++mismatches;
  }
  CHECK(mismatches == 0);
}

}  // namespace

// Assigning a value a part of itself (an element, a member's value): the part must survive the
// release of the whole it lived in. Heap strings and nested blocks make a read of freed memory
// show up as a wrong value (and as an error under AddressSanitizer).
void test_move_assignment_from_inside() {
  const std::string long_text(100, 'z');
  JsonValue v = tovra::parse_json("[[\"" + long_text + "\", [1, 2]], \"tail " + long_text + "\"]");
  v = std::move(v.elements()[0]);
  CHECK(tovra::to_json(v) == "[\"" + long_text + "\",[1,2]]");
  v = std::move(v.elements()[0]);
  CHECK(v.is_string() && v.as_string() == long_text);

  JsonValue o = tovra::parse_json("{\"a\": 1, \"b\": {\"c\": [\"" + long_text + "\"]}}");
  o = std::move(o.members()[1].value);
  CHECK(tovra::to_json(o) == "{\"c\":[\"" + long_text + "\"]}");
  o = std::move(o.members()[0].value);
  CHECK(tovra::to_json(o) == "[\"" + long_text + "\"]");
  // A copy from inside, too.
  o = o.elements()[0];
  CHECK(o.is_string() && o.as_string() == long_text);
}

// Objects of one arena with the same keys share a shape; an erase or a copy must never change
// what another object sharing the shape holds, and a copy is equal in every form.
void test_shapes_are_shared_and_never_change() {
  const std::string long_key(40, 'k');
  const std::string text = "[{\"b\":1,\"a\":2,\"" + long_key + "\":3},{\"" + long_key +
                           "\":4,\"a\":5,\"b\":6},{\"a\":7}]";
  auto arena = std::make_unique<tovra::Arena>();
  JsonValue docs = tovra::parse_json(text, arena.get());
  std::span<JsonValue> d = docs.elements();
  CHECK(d[0].shape() == d[1].shape() && d[0].shape()->owner() == arena.get());
  CHECK(d[0].shape() != d[2].shape());

  // Erasing from one document gives it another shared shape and leaves the other alone.
  CHECK(d[0].erase("b") && !d[0].erase("b"));
  CHECK(tovra::to_json(d[0]) == "{\"a\":2,\"" + long_key + "\":3}");
  CHECK(tovra::to_json(d[1]) == "{\"a\":5,\"b\":6,\"" + long_key + "\":4}");
  CHECK(d[0].erase(long_key));
  CHECK(d[0].shape() == d[2].shape());
  CHECK(d[0].erase("a") && d[0].size() == 0 && tovra::to_json(d[0]) == "{}");

  // Copies: into the same arena (shape shared), another arena, and onto the heap.
  JsonValue same = d[1].copy_into(arena.get());
  CHECK(same.shape() == d[1].shape());
  tovra::Arena other;
  JsonValue moved = d[1].copy_into(&other);
  CHECK(moved.shape() != d[1].shape() && moved.shape()->owner() == &other && moved == d[1]);
  JsonValue heap = d[1];
  CHECK(heap.shape()->owner() == nullptr && heap == d[1] && d[1] == heap);
  CHECK(heap.erase(long_key) && heap.erase("a"));
  CHECK(tovra::to_json(heap) == "{\"b\":6}" && !(heap == d[1]));
  CHECK(heap.erase("b") && heap.size() == 0);  // the emptied block is still released

  // Objects equal in content but of different shapes compare equal; other keys do not.
  JsonValue parsed = tovra::parse_json("{\"a\":5,\"b\":6,\"" + long_key + "\":4}");
  CHECK(parsed == d[1] && !(parsed == d[2]));

  // A rewind gives back the documents' blocks, not the shapes they used.
  tovra::Arena::Mark mark = arena->mark();
  JsonValue gone = tovra::parse_json("[{\"x\":1,\"y\":2}]", arena.get());
  const tovra::Shape* xy = gone.elements()[0].shape();
  arena->rewind(mark);
  JsonValue again = tovra::parse_json("[{\"y\":3,\"x\":4}]", arena.get());
  CHECK(again.elements()[0].shape() == xy);
  CHECK(tovra::to_json(again) == "[{\"x\":4,\"y\":3}]");
  arena.reset();
  CHECK(tovra::to_json(heap) == "{}");
}

// Objects read into an arena follow the key orders of the objects before them at the same
// place. Text that leaves an order (other keys, fewer, more, repeated or escaped ones, the
// same keys in another order), wherever a chunk ends, must read as it reads onto the heap.
void test_objects_that_leave_their_key_order_read_as_on_the_heap() {
  const std::string long_key(20, 'L');
  const std::vector<std::string> documents = {
      R"({"a":1,"b":"two","n":{"x":[1,{"p":1}],"y":null}})",
      R"({"a":2,"b":"three","n":{"x":[2,{"p":2}],"y":true}})",
      R"({"b":"swapped","a":3,"n":{"y":1,"x":[]}})",
      R"({"a":4,"b":"fewer"})",
      R"({"a":5,"b":"more","n":{},"z":-7})",
      R"({"a":6,"a":"repeated","b":0})",
      R"({"a\u0062":7,"b":"escaped key"})",
      R"({"a\"b":8})",
      R"({"a\"b":9})",
      R"({"é東":10,")" + long_key + R"(":11})",
      R"({"é東":12,")" + long_key + R"(":13})",
      R"({"é東":14,")" + long_key + R"(x":15})",
      R"({"a" : 16 , "b" : "spaced" })",
      R"({"a":17,"b":"back","n":{"x":[3,{"p":3,"q":4}],"y":"end"}})",
      R"({})",
      R"([{"a":18},{"a":19}])",
  };
  std::string text = "[";
  for (int round = 0; round < 3; ++round) {
    for (const std::string& document : documents) text += document + ",";
  }
  text.back() = ']';
  const std::string expected = tovra::to_json(tovra::parse_json(text));
  for (size_t piece : {1, 2, 3, 5, 8, 13, 17, 31, 64, 1 << 20}) {
    tovra::Arena arena;
    test_support::Pieces pieces(text, piece);
    JsonValue read = tovra::parse_json(pieces, &arena);
    CHECK_MSG(tovra::to_json(read) == expected, "piece " + std::to_string(piece));
    std::span<const JsonValue> d = read.elements();
    CHECK(d[0].shape() == d[1].shape() && d[0].shape() == d[2].shape());
    CHECK(d[0].find("n")->shape() == d[1].find("n")->shape());
  }
  // Objects that alternate between orders keep reading right once their place stops learning.
  std::string alternating = "[";
  for (int i = 0; i < 300; ++i) {
    alternating += i % 3 == 0   ? R"({"a":1,"b":[{"x":1}],"c":"three"},)"
                   : i % 3 == 1 ? R"({"c":"c first","a":2},)"
                                : R"({"b":[{"y":2},{"x":3}],"a":3},)";
  }
  alternating.back() = ']';
  for (size_t piece : {7, 1 << 20}) {
    tovra::Arena arena;
    test_support::Pieces pieces(alternating, piece);
    CHECK(tovra::to_json(tovra::parse_json(pieces, &arena)) ==
          tovra::to_json(tovra::parse_json(alternating)));
  }

  // Past the bound on the keys of all layouts together, objects of ever-new keys are read by
  // the general path, each twice in a row so that those learnt early are also followed.
  std::string many_keys = "[";
  for (int object = 0; object < 90; ++object) {
    std::string one = "{";
    for (int key = 0; key < 1000; ++key) {
      one += "\"k" + std::to_string(object) + "_" + std::to_string(key) + "\":" +
             std::to_string(key) + ",";
    }
    one.back() = '}';
    many_keys += one + "," + one + ",";
  }
  many_keys.back() = ']';
  {
    tovra::Arena arena;
    CHECK(tovra::to_json(tovra::parse_json(many_keys, &arena)) ==
          tovra::to_json(tovra::parse_json(many_keys)));
  }

  // Invalid text is refused on the learnt path as well.
  for (const char* bad : {R"([{"a":1},{"a":01}])", R"([{"a":1},{"a" 2}])", R"([{"a":1},{"a":2,}])",
                          R"([{"a":1},{"a":2])", R"([{"a":1},{"a":-}])"}) {
    tovra::Arena arena;
    CHECK_MSG(test_support::error_of([&] { tovra::parse_json(bad, &arena); }).kind() ==
                  tovra::ErrorKind::kValue,
              bad);
  }
}

// The chunks an arena grows by, of a large-page size and up, are aligned for large pages; those
// of an arena that asked for large pages and is large already are shown to the installed hint,
// whole. Other arenas, smaller ones and blocks with a chunk of their own never are.
std::vector<std::pair<void*, size_t>> hinted_chunks;
void test_large_chunks_are_aligned_and_hinted() {
  constexpr size_t kPage = tovra::Arena::kLargePage;
  tovra::Arena::set_large_chunk_hint(
      [](void* chunk, size_t bytes) noexcept { hinted_chunks.emplace_back(chunk, bytes); });
  {
    tovra::Arena plain;  // did not ask: aligned, never hinted
    while (plain.bytes_reserved() < 4 * kPage) std::memset(plain.allocate(1000), 0x5a, 1000);
    CHECK(hinted_chunks.empty());
    tovra::Arena arena;
    arena.ask_for_large_pages();
    while (arena.bytes_reserved() < tovra::Arena::kLargeArena) arena.allocate(1000);
    CHECK(hinted_chunks.empty());
    while (hinted_chunks.size() < 2 && arena.bytes_reserved() < (size_t{64} << 20)) {
      std::memset(arena.allocate(1000), 0x5a, 1000);
    }
    CHECK(hinted_chunks.size() == 2);
    void* alone = arena.allocate(3 * kPage + 8);  // a block of its own: taken as it is
    std::memset(alone, 0x5a, 3 * kPage + 8);
    CHECK(hinted_chunks.size() == 2 && hinted_chunks.back().first != alone);
    for (auto [chunk, bytes] : hinted_chunks) {
      CHECK(reinterpret_cast<uintptr_t>(chunk) % kPage == 0 && bytes % kPage == 0);
    }
    tovra::Arena small;
    small.ask_for_large_pages();
    size_t before = hinted_chunks.size();
    for (int i = 0; i < 1000; ++i) small.allocate(100);
    CHECK(hinted_chunks.size() == before);
  }
  tovra::Arena::set_large_chunk_hint(nullptr);
}

// ----------------------------------------------------------------------------- UTF-8

std::string utf8_of(uint32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {  // also spells the values beyond U+10FFFF that the rules refuse
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Every validation path agrees with the expected answer.
bool all_paths_say(std::string_view text, bool valid) {
  bool ok = tovra::is_valid_utf8(text) == valid;
  for (int path = 0; path < tovra::utf8_paths_available(); ++path) {
    ok &= tovra::is_valid_utf8_on_path(text, path) == valid;
  }
  return ok;
}

std::string hex(std::string_view text) {
  std::string out;
  char buffer[4];
  for (unsigned char c : text) {
    std::snprintf(buffer, sizeof buffer, "%02x ", c);
    out += buffer;
  }
  return out;
}

const uint32_t kBoundaryCodePoints[] = {0x00,   0x7F,   0x80,   0xFF,    0x100,   0x7FF,
                                        0x800,  0xD7FF, 0xE000, 0xFFFD,  0xFFFF,  0x10000,
                                        0x10FFFF};
const char* const kInvalidSequences[] = {
    "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xF0\x80\x80\x80",
    "\xF0\x8F\xBF\xBF",                                  // overlong forms
    "\xED\xA0\x80", "\xED\xBF\xBF", "\xED\xAF\xBF\xED\xB0\x80",  // surrogates, also paired
    "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF",              // beyond U+10FFFF
    "\x80", "\xBF", "\xC3\xA9\xA9", "\xF5\x80\x80\x80", "\xF8", "\xFE", "\xFF",
    "\xC3", "\xE6\x9D", "\xF0\x9F\x98",                    // cut short
};

// Each case at every offset across several vector widths, amid ASCII and amid
// multi-byte text, and at the very end.
void test_utf8_validation_edges() {
  const std::string fillers[] = {"a", "\xC3\xA9", "\xE6\x9D\xB1"};
  for (const std::string& filler : fillers) {
    for (size_t offset = 0; offset < 80; ++offset) {
      std::string prefix;
      while (prefix.size() + filler.size() <= offset) prefix += filler;
      for (uint32_t cp : kBoundaryCodePoints) {
        std::string valid = prefix + utf8_of(cp);
        CHECK_MSG(all_paths_say(valid, true), hex(valid));
        CHECK_MSG(all_paths_say(valid + "tail" + filler, true), hex(valid));
        std::string whole = utf8_of(cp);
        for (size_t cut = 1; cut < whole.size(); ++cut) {
          std::string truncated = prefix + whole.substr(0, cut);
          CHECK_MSG(all_paths_say(truncated, false), hex(truncated));
          CHECK_MSG(all_paths_say(truncated + "x" + filler, false), hex(truncated));
        }
      }
      for (const char* bad : kInvalidSequences) {
        std::string invalid = prefix + bad;
        CHECK_MSG(all_paths_say(invalid, false), hex(invalid));
        CHECK_MSG(all_paths_say(invalid + "0123456789abcdefghijklmnopqrstuvwxyz", false),
                  hex(invalid));
      }
    }
  }
  for (uint32_t cp : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu, 0x110000u, 0x1FFFFFu}) {
    CHECK_MSG(all_paths_say(utf8_of(cp), false), hex(utf8_of(cp)));
  }
  CHECK(all_paths_say("", true));
}

// The vector paths agree with the scalar one on random byte strings built from pieces that
// are valid, invalid or cut short, of every length up to a few vectors.
void test_utf8_validation_random() {
  const char* pieces[] = {"a", "\x7F", "\xC3\xA9", "\xDF\xBF", "\xE0\xA0\x80", "\xEF\xBF\xBF",
                          "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\x80", "\xC0", "\xED\xA0",
                          "\xF4\x90", "\xFF", "\xE6"};
  for (int round = 0; round < 200000; ++round) {
    std::string text;
    size_t count = next_random() % 48;
    bool only_valid = round % 2 == 0;
    for (size_t k = 0; k < count; ++k) text += pieces[next_random() % (only_valid ? 8 : 14)];
    bool expected = tovra::is_valid_utf8_scalar(text);
    if (only_valid) CHECK_MSG(expected, hex(text));
    CHECK_MSG(all_paths_say(text, expected), hex(text));
  }
}

template <typename Unit>
std::vector<Unit> decoded(std::string_view text, size_t units) {
  std::vector<Unit> out(units);
  tovra::decode_utf8(text, out.data(), units);
  return out;
}

// Every decoding path gives exactly `cps` and writes nothing past them (the units after are
// guarded: a Python str has no room beyond its length).
template <typename Unit>
bool every_path_decodes(std::string_view text, const std::vector<uint32_t>& cps) {
  constexpr Unit kGuard = static_cast<Unit>(0xA5A5A5A5u);
  bool ok = true;
  for (int path = 0; path < tovra::utf8_paths_available(); ++path) {
    std::vector<Unit> out(cps.size() + 64, kGuard);
    tovra::decode_utf8_on_path(text, out.data(), cps.size(), path);
    ok &= std::equal(cps.begin(), cps.end(), out.begin());
    ok &= std::all_of(out.begin() + static_cast<ptrdiff_t>(cps.size()), out.end(),
                      [](Unit unit) { return unit == kGuard; });
  }
  return ok;
}

bool every_path_shapes(std::string_view text, const std::vector<uint32_t>& cps) {
  uint32_t widest = cps.empty() ? 0 : *std::max_element(cps.begin(), cps.end());
  int width = widest < 0x100 ? 1 : (widest < 0x10000 ? 2 : 4);
  bool ok = true;
  for (int path = 0; path < tovra::utf8_paths_available(); ++path) {
    tovra::Utf8Shape shape = tovra::utf8_shape_on_path(text, path);
    ok &= shape.code_points == cps.size() && shape.width == width &&
          shape.ascii == (widest < 0x80);
  }
  return ok;
}

// Decodes `cps` as UTF-8 on every path into every unit wide enough.
bool every_path_converts(const std::vector<uint32_t>& cps) {
  std::string text;
  for (uint32_t cp : cps) text += utf8_of(cp);
  uint32_t widest = cps.empty() ? 0 : *std::max_element(cps.begin(), cps.end());
  bool ok = every_path_shapes(text, cps) && every_path_decodes<uint32_t>(text, cps);
  if (widest < 0x10000) ok &= every_path_decodes<uint16_t>(text, cps);
  if (widest < 0x100) ok &= every_path_decodes<uint8_t>(text, cps);
  return ok;
}

// Texts of every length up to a few vectors, of one byte length of code point or mixes, with
// the widest code point first, last, or nowhere but once in the middle: the vector steps, the
// tails and the last bytes of a text each meet every kind of sequence.
void test_utf8_decoding_edges() {
  const uint32_t fillers[] = {'a', 0xE9, 0x3BA, 0x6771, 0x1F600};
  const uint32_t widest[] = {0x7F, 0xFF, 0x7FF, 0xFFFF, 0x10000, 0x10FFFF};
  for (size_t count = 0; count < 70; ++count) {
    for (uint32_t filler : fillers) {
      for (uint32_t wide : widest) {
        if (wide < filler) continue;
        for (int where = 0; where < 3; ++where) {
          std::vector<uint32_t> cps(count, filler);
          if (count != 0) cps[where == 0 ? 0 : (where == 1 ? count - 1 : count / 2)] = wide;
          std::string context = std::to_string(count) + " of " + std::to_string(filler) +
                                " with " + std::to_string(wide);
          CHECK_MSG(every_path_converts(cps), context);
          // The same after a mix of widths, so the wide one lands at each offset in a step.
          std::vector<uint32_t> mixed = {'x', 0xE9, 0x6771, 'y', 0x3BA};
          mixed.resize(1 + count % 5);
          mixed.insert(mixed.end(), cps.begin(), cps.end());
          CHECK_MSG(every_path_converts(mixed), "mixed " + context);
        }
      }
    }
  }
}

// Shape, decoding and encoding give back what a code point at a time gives, at every offset
// and for every width.
void test_utf8_conversions() {
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint32_t> cps;
    size_t count = next_random() % 90;
    // Below U+0800 every code point takes one or two bytes: the encoder's eight-unit step.
    static constexpr uint32_t kLimits[] = {0x100, 0x800, 0x10000, 0x110000};
    uint32_t limit = kLimits[round % 4];
    bool mostly_ascii = round % 5 == 0;
    for (size_t k = 0; k < count; ++k) {
      uint32_t cp = next_random() % 4 == 0
                        ? kBoundaryCodePoints[next_random() % 13]
                        : static_cast<uint32_t>(next_random() % (mostly_ascii ? 0x80 : limit));
      if (cp >= limit || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 'z';
      cps.push_back(cp);
    }
    std::string text;
    uint32_t widest = 0;
    for (uint32_t cp : cps) {
      text += utf8_of(cp);
      widest = std::max(widest, cp);
    }
    CHECK_MSG(every_path_converts(cps), hex(text));
    tovra::Utf8Shape shape = tovra::utf8_shape(text);
    CHECK_MSG(shape.code_points == cps.size(), hex(text));
    CHECK_MSG(shape.ascii == (widest < 0x80), hex(text));
    int width = widest < 0x100 ? 1 : (widest < 0x10000 ? 2 : 4);
    CHECK_MSG(shape.width == width, hex(text));
    std::vector<uint32_t> wide = decoded<uint32_t>(text, cps.size());
    CHECK_MSG(wide == cps, hex(text));
    if (width <= 2) {
      std::vector<uint16_t> two = decoded<uint16_t>(text, cps.size());
      CHECK_MSG(std::equal(two.begin(), two.end(), cps.begin()), hex(text));
      size_t length = tovra::utf8_length(two.data(), two.size());
      CHECK(length == text.size());
      std::string back(length, '\0');
      tovra::encode_utf8(two.data(), two.size(), back.data(), length);
      CHECK_MSG(back == text, hex(text));
    }
    if (width == 1) {
      std::vector<uint8_t> one = decoded<uint8_t>(text, cps.size());
      CHECK_MSG(std::equal(one.begin(), one.end(), cps.begin()), hex(text));
      size_t length = tovra::utf8_length(one.data(), one.size());
      std::string back(length, '\0');
      tovra::encode_utf8(one.data(), one.size(), back.data(), length);
      CHECK_MSG(back == text, hex(text));
    }
    size_t length = tovra::utf8_length(wide.data(), wide.size());
    std::string back(length, '\0');
    tovra::encode_utf8(wide.data(), wide.size(), back.data(), length);
    CHECK_MSG(back == text, hex(text));
  }
  // A surrogate anywhere has no UTF-8 length.
  for (uint32_t surrogate : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu}) {
    for (size_t at = 0; at < 40; at += 7) {
      std::vector<uint16_t> two(40, 'a');
      std::vector<uint32_t> four(40, 0x1F600);
      two[at] = static_cast<uint16_t>(surrogate);
      four[at] = surrogate;
      CHECK(tovra::utf8_length(two.data(), two.size()) == tovra::kNotEncodable);
      CHECK(tovra::utf8_length(four.data(), four.size()) == tovra::kNotEncodable);
    }
  }
}

// The reader refuses what the validator refuses inside strings and keys of any length and
// position, across the reader's own scan widths, and keeps the text it accepts.
void test_reader_string_text() {
  for (size_t offset = 0; offset < 40; ++offset) {
    std::string prefix(offset, 'p');
    for (uint32_t cp : kBoundaryCodePoints) {
      if (cp < 0x20) continue;  // a raw control character is refused on its own
      std::string text = prefix + "\xC3\xA9" + utf8_of(cp) + prefix;
      if (cp == '"' || cp == '\\') continue;
      std::string json = "[\"" + text + "\",{\"" + text + "\":1}]";
      JsonValue value = tovra::parse_json(json);
      CHECK_MSG(value.elements()[0].as_string() == text, hex(text));
      CHECK(value.elements()[1].find(text) != nullptr);
      // Read in pieces, every sequence is cut somewhere by a chunk's end.
      for (size_t piece : {1, 2, 3}) {
        test_support::Pieces pieces(json, piece);
        CHECK_MSG(tovra::parse_json(pieces) == value, hex(text));
      }
    }
    for (const char* bad : kInvalidSequences) {
      std::string text = prefix + bad + prefix;
      CHECK_MSG(is_invalid_json("[\"" + text + "\"]"), hex(text));
      CHECK_MSG(is_invalid_json("{\"" + text + "\":1}"), hex(text));
      CHECK_MSG(is_invalid_json("[\"\\n" + text + "\"]"), hex(text));
      const std::string json = "[\"" + text + "\"]";
      for (size_t piece : {1, 2, 3}) {
        test_support::Pieces pieces(json, piece);
        CHECK_MSG(test_support::error_of([&] { tovra::parse_json(pieces); }).kind() ==
                      tovra::ErrorKind::kValue,
                  hex(text));
      }
    }
  }
}

// Short strings are written from the words they are stored in: every length, with a byte to
// escape at every place or none, as value and as key, writes as the general path writes it.
void test_short_strings_are_written_exactly() {
  for (size_t n = 0; n <= 16; ++n) {
    for (size_t at = 0; at <= n; ++at) {
      for (char special : {'"', '\\', '\x01', '\n', '\x1f', 'x', '\x7f'}) {
        std::string text(n, 'a');
        if (at < n) text[at] = special;
        std::string quoted = "\"";
        tovra::append_json_string(quoted, text);
        quoted += '"';
        JsonMember member[1] = {{JsonValue::string(text), JsonValue::string(text)}};
        JsonValue object = JsonValue::object(member);
        CHECK_MSG(tovra::to_json(JsonValue::string(text)) == quoted, hex(text));
        CHECK_MSG(tovra::to_json(object) == "{" + quoted + ":" + quoted + "}", hex(text));
      }
    }
  }
}

void test_string_filled() {
  for (size_t size : {0u, 1u, 14u, 15u, 300u}) {
    JsonValue value = JsonValue::string_filled(size, [&](char* out) {
      for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + i % 26);
    });
    std::string expected;
    for (size_t i = 0; i < size; ++i) expected += static_cast<char>('a' + i % 26);
    CHECK(value.as_string() == expected);
    CHECK(value == JsonValue::string(expected));
  }
}

// A stream that hands out its text a few bytes at a time, so that chunks end anywhere.
class TrickleSource final : public tovra::ByteSource {
 public:
  TrickleSource(std::string_view text, size_t step) : text_(text), step_(step) {}
  size_t read(char* buffer, size_t capacity) override {
    size_t n = std::min({capacity, step_, text_.size() - at_});
    std::memcpy(buffer, text_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  std::string_view text_;
  size_t step_;
  size_t at_ = 0;
};

// A refused text's note gives the offset of the fault and the reason, the same whether the
// text is read whole or as a stream of small chunks.
void test_refusals_say_where_and_why() {
  struct Case {
    std::string text;
    std::string note;
  };
  const Case cases[] = {
      {"[1,\n 2,\n]", "byte offset 8: trailing comma in an array"},
      {"{\"a\": 1,}", "byte offset 8: trailing comma in an object"},
      {"[\"\xc3\xa9\", \"\xff\"]", "byte offset 8: invalid UTF-8 byte 0xFF at byte offset 8"},
      {"[\"ab\\ud83d\\u0041\"]", "byte offset 4: lone surrogate \\uD83D: a high surrogate "
                                    "must be followed by the escape of a low one"},
      {"[\"ab\\ud83d", "byte offset 4: lone surrogate \\uD83D: a high surrogate must be "
                        "followed by the escape of a low one"},
      {"[1, 2e999]", "byte offset 4: number out of range"},
      {"[1] 2", "byte offset 4: text after the top-level value: '2'"},
      {"  ", "byte offset 2: the text is empty or only whitespace"},
  };
  for (const Case& c : cases) {
    Error whole = error_of([&] { tovra::parse_json(c.text); });
    CHECK_MSG(whole.message() == "Error deserializing JSON", c.text);
    CHECK_MSG(whole.note() == c.note, whole.note());
    for (size_t step : {1, 2, 3, 5}) {
      TrickleSource source(c.text, step);
      Error streamed = error_of([&] { tovra::parse_json(source); });
      CHECK_MSG(streamed.note() == c.note, streamed.note());
    }
  }
  tovra::TextPosition position;
  position.advance("ab\n\xc3\xa9");
  position.advance("\xe6\x9d\xb1x");
  CHECK(position.describe() == "line 2, column 4");
}

int main() {
  test_refusals_say_where_and_why();
  test_nesting_limit();
  test_surroundings();
  test_duplicate_keys_keep_last_and_sort();
  test_number_kinds();
  test_strings();
  test_double_layout();
  test_scalars_and_escapes();
  test_document_example_and_round_trips();
  test_move_assignment_from_inside();
  test_shapes_are_shared_and_never_change();
  test_large_chunks_are_aligned_and_hinted();
  test_objects_that_leave_their_key_order_read_as_on_the_heap();
  test_utf8_validation_edges();
  test_utf8_validation_random();
  test_utf8_conversions();
  test_utf8_decoding_edges();
  test_reader_string_text();
  test_string_filled();
  test_short_strings_are_written_exactly();

  return test_support::summary();
}
