// Unit tests of JSON values, reading and writing.
// Plain program: prints each failed check and ends with "N passed, N failed".

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "json/error.h"
#include "test_support.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"

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

int main() {
  test_nesting_limit();
  test_surroundings();
  test_duplicate_keys_keep_last_and_sort();
  test_number_kinds();
  test_strings();
  test_double_layout();
  test_scalars_and_escapes();
  test_document_example_and_round_trips();
  test_move_assignment_from_inside();

  return test_support::summary();
}
