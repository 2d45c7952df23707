// Unit tests of the query language (parsing, filters, updates, diagnostics) and the result
// cache. A plain program: prints each failed check and exits non-zero when any failed.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json_reader.h"
#include "core/query_cache.h"
#include "core/siphash.h"
#include "query/filter.h"
#include "query/query.h"
#include "query/update.h"

using tovra::Error;
using tovra::ErrorKind;
using tovra::JsonValue;
using namespace tovra::query;

namespace {

int failures = 0;

#define CHECK(cond)                                                                \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                                  \
    }                                                                              \
  } while (0)

JsonValue J(std::string_view text) { return tovra::parse_json(text); }

// The message of the tovra::Error that `fn` throws with `kind`, or "<no error>".
std::string error_of(ErrorKind kind, const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Error& e) {
    if (e.kind() != kind) return "<wrong kind> " + e.message();
    return e.message();
  }
  return "<no error>";
}

// Runs `fn` with file descriptor 1 sent to a temporary file and returns what was written.
std::string capture_stdout(const std::function<void()>& fn) {
  char path[] = "/tmp/test_query_stdout_XXXXXX";
  int fd = mkstemp(path);
  int saved = dup(1);
  dup2(fd, 1);
  try {
    fn();
  } catch (...) {
    dup2(saved, 1);
    close(saved);
    close(fd);
    unlink(path);
    throw;
  }
  dup2(saved, 1);
  close(saved);
  std::string out;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  close(fd);
  unlink(path);
  return out;
}

// Updates print their diagnostics; tests that are not about them keep the output quiet.
UpdateEngine quiet_update(std::string_view text) {
  std::unique_ptr<UpdateEngine> engine;
  capture_stdout([&] { engine = std::make_unique<UpdateEngine>(J(text)); });
  return std::move(*engine);
}

// [depth] nested one-element arrays around 0: depth 0 is the scalar itself.
JsonValue nested_arrays(int depth) {
  JsonValue v = JsonValue::uint(0);
  for (int i = 0; i < depth; ++i) {
    JsonValue a = JsonValue::array(1);
    a.elements()[0] = std::move(v);
    v = std::move(a);
  }
  return v;
}

void test_parse() {
  struct Case {
    const char* query;
    std::vector<std::string> fields;
    FilterOperator op;
    const char* operand;
  };
  const Case cases[] = {
      {R"({"age": 30})", {"age"}, FilterOperator::kEqual, "30"},
      {R"({"a.b": 1})", {"a", "b"}, FilterOperator::kEqual, "1"},
      {R"({"a": {"b": 1}})", {"a", "b"}, FilterOperator::kEqual, "1"},
      {R"({"a": {"b": {"$eq": 1}}})", {"a", "b"}, FilterOperator::kEqual, "1"},
      {R"({"a.$gt": 5})", {"a"}, FilterOperator::kGreaterThan, "5"},
      {R"({"a": {"$gt": 1, "$lt": 5}})", {"a"}, FilterOperator::kGreaterThan, "1"},
      {R"({"a": {"b": 1, "c": 2}})", {"a", "b"}, FilterOperator::kEqual, "1"},
      {R"({"a": {"#x": 1, "$gt": 5}})", {"a", "#x"}, FilterOperator::kEqual, "1"},
      {R"({"a": {"$eq": null}})", {"a"}, FilterOperator::kEqual, "null"},
      {R"({"a": {"$ne": [1, {"$gt": 2}]}})", {"a"}, FilterOperator::kNotEqual,
       R"([1, {"$gt": 2}])"},
      {R"({"a": {"b.c": {"$lte": 2}}})", {"a", "b", "c"}, FilterOperator::kLessThanEqual, "2"},
      {R"({"a..b": 1})", {"a", "", "b"}, FilterOperator::kEqual, "1"},
      {R"({".a": 1})", {"", "a"}, FilterOperator::kEqual, "1"},
      {R"({"a.": 1})", {"a", ""}, FilterOperator::kEqual, "1"},
      {R"({"": 1})", {""}, FilterOperator::kEqual, "1"},
      {R"({"$gt": {"$lt": 1}})", {"$gt"}, FilterOperator::kLessThan, "1"},
      {R"({"$gt.a": 1})", {"$gt", "a"}, FilterOperator::kEqual, "1"},
  };
  for (const Case& c : cases) {
    FilterEngine engine(J(c.query));
    CHECK(engine.size() == 1);
    const Query<FilterOperator>& q = engine.queries()[0];
    if (q.fields != c.fields || q.op != c.op || !(q.value == J(c.operand))) {
      std::fprintf(stderr, "parse mismatch for %s\n", c.query);
      ++failures;
    }
  }

  FilterEngine two(J(R"({"a.b": {"$gt": 1}, "a": {"b": {"$lt": 5}}})"));
  CHECK(two.size() == 2);
  CHECK(two.queries()[0].op == FilterOperator::kLessThan);
  CHECK(two.queries()[1].op == FilterOperator::kGreaterThan);
  CHECK(FilterEngine(J("{}")).size() == 0);

  struct ErrorCase {
    const char* query;
    const char* filter_error;
    const char* update_error;
  };
  const ErrorCase errors[] = {
      {R"({"a": null})", "Not Valid query", "Not Valid query"},
      {R"({"a": [1, 2]})", "Not Valid query", "Not Valid query"},
      {R"({"a.$in": [1]})", "Not Valid query", "Not Valid query"},
      {R"({"a": {"b": null}})", "Not Valid query", "Not Valid query"},
      {R"({"a": {}})", "Error while parsing query", "Error while parsing query"},
      {R"({"a": {"$in": [1]}})", "Unknown query operator found: $in",
       "Unknown update query operator found: $in"},
      {R"({"a": {"$": 1}})", "Unknown query operator found: $",
       "Unknown update query operator found: $"},
      {R"({"a": {"$GT": 1}})", "Unknown query operator found: $GT",
       "Unknown update query operator found: $GT"},
      {R"({"a": {"$x.y": 1}})", "Unknown query operator found: $x.y",
       "Unknown update query operator found: $x.y"},
      {R"({"a": {"$gt": 1}})", "<no error>", "Unknown update query operator found: $gt"},
      {R"({"a": {"$set": 1}})", "Unknown query operator found: $set", "<no error>"},
      // A top-level operator word addresses no field: its own kind rejects the query, other
      // words are unknown operators.
      {R"({"$gt": 5})", "Not Valid query", "Unknown update query operator found: $gt"},
      {R"({"$delete": 1})", "Unknown query operator found: $delete", "Not Valid query"},
      {R"({"$foo": 5})", "Unknown query operator found: $foo",
       "Unknown update query operator found: $foo"},
      // The first bad entry in key order decides.
      {R"({"b": null, "a": {}})", "Error while parsing query", "Error while parsing query"},
      {"[]", "Not Valid query", "Not Valid query"},
  };
  for (const ErrorCase& c : errors) {
    JsonValue query = J(c.query);
    std::string filter = error_of(ErrorKind::kPanic, [&] { FilterEngine engine(query); });
    std::string update;
    capture_stdout([&] { update = error_of(ErrorKind::kPanic, [&] { UpdateEngine e(query); }); });
    if (filter != c.filter_error || update != c.update_error) {
      std::fprintf(stderr, "%s: filter '%s', update '%s'\n", c.query, filter.c_str(),
                   update.c_str());
      ++failures;
    }
  }

  // {'$set': {'a': 1}} is a plain Set on the path $set, a.
  UpdateEngine set_path = quiet_update(R"({"$set": {"a": 1}})");
  CHECK(set_path.query(0).fields == (std::vector<std::string>{"$set", "a"}));
  CHECK(set_path.query(0).op == UpdateOperator::kSet);
}

void test_filter() {
  const std::string kError = "Malformed query, non-numeric value found for operator ";
  struct Case {
    const char* query;
    const char* document;
    const char* expected;  // "pass", "fail" or the error's operator name
  };
  const Case cases[] = {
      {"{}", R"({"a": 1})", "pass"},
      {"{}", "[1]", "pass"},
      {R"({"a": 1})", "[1]", "fail"},
      {R"({"a": {"$gt": "x"}})", R"("text")", "fail"},
      {R"({"age": 30})", R"({"age": 30})", "pass"},
      {R"({"age": 30})", R"({"age": 30.0})", "fail"},
      {R"({"age": 30})", R"({"age": "30"})", "fail"},
      {R"({"age": 30})", "{}", "fail"},
      {R"({"age": {"$gte": 30}})", R"({"age": 30.0})", "pass"},
      {R"({"a": {"$ne": 1}})", "{}", "fail"},
      {R"({"a": {"$ne": 1}})", R"({"a": "1"})", "pass"},
      {R"({"a": {"$ne": 1}})", R"({"a": 1.0})", "pass"},
      {R"({"a": {"$ne": 1}})", R"({"a": 1})", "fail"},
      {R"({"a": {"$eq": -0.0}})", R"({"a": 0.0})", "pass"},
      {R"({"flag": 1})", R"({"flag": true})", "fail"},
      {R"({"flag": true})", R"({"flag": true})", "pass"},
      {R"({"tags": {"$eq": ["x"]}})", R"({"tags": ["x"]})", "pass"},
      {R"({"tags": {"$eq": ["x"]}})", R"({"tags": ["x", "y"]})", "fail"},
      {R"({"tags": "x"})", R"({"tags": ["x"]})", "fail"},
      {R"({"items.0": 1})", R"({"items": [1]})", "fail"},
      {R"({"items.0": 1})", R"({"items": {"0": 1}})", "pass"},
      {R"({"a.b": 1})", R"({"a": 5})", "fail"},
      {R"({"a.b": 1})", R"({"a": {}})", "fail"},
      {R"({"a..b": 1})", R"({"a": {"": {"b": 1}}})", "pass"},
      {R"({"p": {"$eq": {"x": 1, "y": 2}}})", R"({"p": {"y": 2, "x": 1}})", "pass"},
      {R"({"p": {"$eq": {"x": 1, "y": 2}}})", R"({"p": {"x": 1, "y": 2, "z": 3}})", "fail"},
      {R"({"n": {"$gt": 9007199254740992}})", R"({"n": 9007199254740993})", "fail"},
      {R"({"n": 9007199254740992})", R"({"n": 9007199254740993})", "fail"},
      {R"({"n": 9007199254740993})", R"({"n": 9007199254740993})", "pass"},
      {R"({"n": {"$lt": 0}})", R"({"n": -1.5})", "pass"},
      {R"({"n": {"$gt": 30}})", R"({"n": 31})", "pass"},
      {R"({"n": {"$gt": 30}})", R"({"n": 30})", "fail"},
      {R"({"a.b": 1, "a": {"b": {"$lt": 5}}})", R"({"a": {"b": 1}})", "pass"},
      // Ordering needs numbers on both sides, but only once the path resolves and every
      // earlier record held.
      {R"({"name": {"$gt": "m"}})", R"({"name": "z"})", "GreaterThan"},
      {R"({"name": {"$gt": "m"}})", R"({"other": 1})", "fail"},
      {R"({"age": {"$lte": 30}})", R"({"age": "30"})", "LessThanEqual"},
      {R"({"age": {"$lte": 30}})", R"({"age": true})", "LessThanEqual"},
      {R"({"age": {"$lte": 30}})", R"({"age": null})", "LessThanEqual"},
      {R"({"age": {"$lte": 30}})", "{}", "fail"},
      {R"({"a": 1, "b": {"$lt": "x"}})", R"({"a": 2, "b": 1})", "fail"},
      {R"({"a": 1, "b": {"$lt": "x"}})", R"({"a": 1, "b": 1})", "LessThan"},
  };
  for (const Case& c : cases) {
    FilterEngine engine(J(c.query));
    JsonValue document = J(c.document);
    std::string got;
    try {
      got = engine.matches(document) ? "pass" : "fail";
    } catch (const Error& e) {
      got = e.kind() == ErrorKind::kValue && e.message().starts_with(kError)
                ? e.message().substr(kError.size())
                : "<unexpected> " + e.message();
    }
    if (got != c.expected) {
      std::fprintf(stderr, "filter %s on %s: got %s, expected %s\n", c.query, c.document,
                   got.c_str(), c.expected);
      ++failures;
    }
  }
}

void test_update() {
  struct Case {
    const char* update;
    const char* before;
    const char* after;
  };
  const Case cases[] = {
      {"{}", R"({"n": 5})", R"({"n": 5})"},
      {R"({"n": {"$inc": 1}})", R"({"n": 5})", R"({"n": 6.0})"},
      {R"({"n": {"$inc": 10}})", R"({"n": 5})", R"({"n": 6.0})"},
      {R"({"n": {"$inc": "x"}})", R"({"n": 5})", R"({"n": 6.0})"},
      {R"({"n": {"$inc": 1}})", R"({"n": "5"})", R"({"n": "5"})"},
      {R"({"n": {"$dec": 1}})", R"({"n": 0})", R"({"n": -1.0})"},
      {R"({"n": {"$add": 2}})", R"({"n": 3})", R"({"n": 5.0})"},
      {R"({"n": {"$add": 2}})", R"({"n": 1.5})", R"({"n": 3.5})"},
      {R"({"n": {"$add": 2}})", R"({"n": "3"})", R"({"n": "3"})"},
      {R"({"n": {"$add": 2}})", R"({"m": 3})", R"({"m": 3})"},
      {R"({"n": {"$add": "2"}})", R"({"n": 3})", R"({"n": 3})"},
      {R"({"n": {"$add": -4}})", R"({"n": 18446744073709551615})",
       R"({"n": 1.8446744073709552e19})"},
      {R"({"n": {"$substract": 10}})", R"({"n": 3})", R"({"n": -7.0})"},
      {R"({"n": {"$add": 1e308}})", R"({"n": 1e308})", R"({"n": null})"},
      {R"({"a": 1})", R"({"a": "x", "b": 2})", R"({"a": 1, "b": 2})"},
      {R"({"a": {"$set": 1}})", R"({"b": 2})", R"({"b": 2})"},
      {R"({"a": {"$set": [1, 2]}})", R"({"a": 0})", R"({"a": [1, 2]})"},
      {R"({"a": {"$set": null}})", R"({"a": 0})", R"({"a": null})"},
      {R"({"a": {"$set": {"x": 1}}})", R"({"a": 0})", R"({"a": {"x": 1}})"},
      {R"({"a.b": 7})", R"({"a": {"b": 1}})", R"({"a": {"b": 7}})"},
      {R"({"a.b": 7})", R"({"a": 3})", R"({"a": 3})"},
      {R"({"a.b": 7})", R"({"a": {}})", R"({"a": {}})"},
      {R"({"a.0": 7})", R"({"a": [1]})", R"({"a": [1]})"},
      {R"({"a": {"$delete": true}})", R"({"a": 1, "b": 2})", R"({"b": 2})"},
      {R"({"a": {"$delete": true}})", R"({"b": 2})", R"({"b": 2})"},
      {R"({"a.b": {"$delete": 0}})", R"({"a": {"b": 1, "c": 2}})", R"({"a": {"c": 2}})"},
      {R"({"a": {"$delete": 1}, "a.b": 5})", R"({"a": {"b": 1}})", "{}"},
      {R"({"a": {"b": {"$add": 5}}, "a.b": {"$inc": 1}})", R"({"a": {"b": 0}})",
       R"({"a": {"b": 6.0}})"},
      {R"({"a": {"$set": {}}, "a.b": 1})", R"({"a": {"b": 0}})", R"({"a": {}})"},
      {R"({"$set": {"a": 1}})", R"({"a": 0})", R"({"a": 0})"},
      {R"({"$set": {"a": 1}})", R"({"$set": {"a": 0}})", R"({"$set": {"a": 1}})"},
      {R"({"": 1, "x": {"$inc": 0}})", R"({"": 0, "x": -0.5})", R"({"": 1, "x": 0.5})"},
      // Documents that are not objects are left alone.
      {R"({"a": 1})", "[1, 2]", "[1, 2]"},
  };
  for (const Case& c : cases) {
    UpdateEngine engine = quiet_update(c.update);
    JsonValue document = J(c.before);
    engine.apply(document);
    if (!(document == J(c.after))) {
      std::fprintf(stderr, "update %s on %s did not give %s\n", c.update, c.before, c.after);
      ++failures;
    }
  }

  // The arithmetic result is always a double, even when it is integral.
  UpdateEngine inc = quiet_update(R"({"count": {"$inc": 1}})");
  JsonValue counted = J(R"({"count": 5})");
  inc.apply(counted);
  CHECK(counted.find("count")->type() == tovra::JsonType::kDouble);
  CHECK(!FilterEngine(J(R"({"count": 6})")).matches(counted));
  CHECK(FilterEngine(J(R"({"count": {"$gte": 6}})")).matches(counted));

  // Set stays within the nesting bound: the target under a.b is at level 2, so the operand
  // may add at most 124 levels.
  for (int operand_depth : {124, 125}) {
    std::vector<tovra::JsonMember> set(1), inner(1), outer(1);
    set[0] = {JsonValue::string("$set"), nested_arrays(operand_depth)};
    inner[0] = {JsonValue::string("b"), JsonValue::object(set)};
    outer[0] = {JsonValue::string("a"), JsonValue::object(inner)};
    JsonValue query = JsonValue::object(outer);
    std::unique_ptr<UpdateEngine> engine;
    capture_stdout([&] { engine = std::make_unique<UpdateEngine>(query); });
    JsonValue document = J(R"({"a": {"b": 1}})");
    engine->apply(document);
    bool applied = document.find("a")->find("b")->is_array();
    CHECK(applied == (operand_depth == 124));
  }
}

void test_diagnostics() {
  std::string out = capture_stdout([] { UpdateEngine e(J(R"({"s": "x", "n": {"$inc": 1}})")); });
  CHECK(out ==
        "Update operator found Increment\nFields: [\"n\"]\n"
        "Update operator found Set\nFields: [\"s\"]\n");

  out = capture_stdout([] { UpdateEngine e(J(R"({"a.b..c": {"$delete": 1}})")); });
  CHECK(out == "Update operator found Delete\nFields: [\"a\", \"b\", \"\", \"c\"]\n");

  // The lines of the entries before a failing one are already out.
  std::string error;
  out = capture_stdout([&] {
    error = error_of(ErrorKind::kPanic,
                     [] { UpdateEngine e(J(R"({"a": {"$add": 1}, "b": {"$gt": 1}, "c": 1})")); });
  });
  CHECK(error == "Unknown update query operator found: $gt");
  CHECK(out == "Update operator found Add\nFields: [\"a\"]\n");

  // Filters print nothing.
  CHECK(capture_stdout([] { FilterEngine f(J(R"({"a": 1})")); }).empty());

  CHECK(format_fields({}) == "[]");
  CHECK(format_fields({"q\"b\\s", "n\nr\rt\t", std::string("z\0\x1b\x7f", 4), "é"}) ==
        "[\"q\\\"b\\\\s\", \"n\\nr\\rt\\t\", \"z\\u{0}\\u{1b}\\u{7f}\", \"é\"]");
}

uint64_t sip24_reference(size_t length) {
  unsigned char message[64];
  for (size_t i = 0; i < length; ++i) message[i] = static_cast<unsigned char>(i);
  tovra::SipHasher24 hasher(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL);
  // Fed in uneven pieces, so the incremental buffering is exercised too.
  for (size_t done = 0; done < length;) {
    size_t piece = std::min<size_t>(3 + done % 5, length - done);
    hasher.write(message + done, piece);
    done += piece;
  }
  return hasher.finish();
}

void test_siphash() {
  // The published SipHash-2-4 vectors: key 00..0f, message 00..(n-1).
  CHECK(sip24_reference(0) == 0x726fdb47dd0e0e31ULL);
  CHECK(sip24_reference(1) == 0x74f839c593dc67fdULL);
  CHECK(sip24_reference(7) == 0xab0200f58b01d137ULL);
  CHECK(sip24_reference(8) == 0x93f5f5799a932462ULL);
  CHECK(sip24_reference(15) == 0xa129ca6149be45e5ULL);
  CHECK(sip24_reference(63) == 0x958a324ceb064572ULL);

  // SipHash-1-3 with both keys zero.
  auto sip13 = [](std::string_view text) {
    tovra::SipHasher13 hasher;
    hasher.write(text);
    return hasher.finish();
  };
  CHECK(sip13("abc") == 0xc03bc3a0042630f2ULL);
  CHECK(sip13("hello world") == 0xb1b1f2e707e4ac8aULL);
  CHECK(sip13("0123456789abcdef0123") == 0x560ed5360a9a319aULL);
}

void test_digest() {
  // The digest's byte stream is fixed: it must not change between builds.
  tovra::SipHasher13 expected;
  const unsigned char stream[] = {
      'c', 0xFF,                                          // collection name
      2, 0, 0, 0,                                         // two entries
      'a', 0xFF, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,      // "a": 1
      'b', 0xFF, 4, 0, 0, 0, 3, 0, 0, 0,                  // "b": array of 3
      0, 0, 0, 0,                                         //   null
      1, 0, 0, 0, 1,                                      //   true
      3, 0, 0, 0, 'x', 0xFF,                              //   "x"
  };
  expected.write(stream, sizeof stream);
  CHECK(tovra::query_digest("c", J(R"({"b": [null, true, "x"], "a": 1})")) == expected.finish());

  auto digest = [](const char* collection, const char* query) {
    return tovra::query_digest(collection, J(query));
  };
  CHECK(digest("c", R"({"a": 1, "b": 2})") == digest("c", R"({"b": 2, "a": 1})"));
  CHECK(digest("c", R"({"a": 1})") != digest("c", R"({"a": 1.0})"));
  CHECK(digest("c", R"({"a": 0.0})") == digest("c", R"({"a": -0.0})"));
  CHECK(digest("c", R"({"a": 1})") != digest("d", R"({"a": 1})"));
  CHECK(digest("ca", R"({})") != digest("c", R"({"a": 1})"));
}

tovra::CollectionHandle result_of(int n) {
  std::vector<JsonValue> documents;
  documents.push_back(JsonValue::integer(n));
  return std::make_shared<tovra::Collection>(std::move(documents));
}

JsonValue numbered_query(int n) { return J("{\"a\": " + std::to_string(n) + "}"); }

void test_cache() {
  tovra::QueryCache cache;
  CHECK(cache.get("c", numbered_query(0)) == nullptr);

  // 101 entries evict the first.
  for (int i = 0; i <= 100; ++i) cache.put("c", numbered_query(i), result_of(i));
  CHECK(cache.size() == 100);
  CHECK(cache.get("c", numbered_query(0)) == nullptr);
  CHECK(cache.get("c", numbered_query(1)) != nullptr);

  // A get refreshes recency: after reading 2, adding one more evicts 3, not 2.
  cache.clear();
  CHECK(cache.size() == 0);
  for (int i = 0; i < 100; ++i) cache.put("c", numbered_query(i), result_of(i));
  CHECK(cache.get("c", numbered_query(0)) != nullptr);
  cache.put("c", numbered_query(100), result_of(100));
  CHECK(cache.get("c", numbered_query(0)) != nullptr);
  CHECK(cache.get("c", numbered_query(1)) == nullptr);

  // Putting an existing key replaces its result and refreshes it.
  cache.put("c", numbered_query(2), result_of(-2));
  for (int i = 101; i < 199; ++i) cache.put("c", numbered_query(i), result_of(i));
  tovra::CollectionHandle replaced = cache.get("c", numbered_query(2));
  CHECK(replaced != nullptr && tovra::Collection::ReadGuard(*replaced).documents()[0] == J("-2"));
  CHECK(cache.size() == 100);

  cache.clear();
  cache.put("c", J(R"({"a": 1})"), result_of(1));
  CHECK(cache.get("c", J(R"({"a": 1.0})")) == nullptr);
  CHECK(cache.get("d", J(R"({"a": 1})")) == nullptr);
  CHECK(cache.get("c", J(R"({"a": 1})")) != nullptr);

  // A digest collision gives a miss, never the other pair's result, and a put takes the slot.
  cache.clear();
  cache.put_with_digest(42, "c", J(R"({"a": 1})"), result_of(1));
  CHECK(cache.get_with_digest(42, "c", J(R"({"a": 2})")) == nullptr);
  CHECK(cache.get_with_digest(42, "d", J(R"({"a": 1})")) == nullptr);
  cache.put_with_digest(42, "d", J(R"({"a": 1})"), result_of(2));
  CHECK(cache.size() == 1);
  CHECK(cache.get_with_digest(42, "c", J(R"({"a": 1})")) == nullptr);
  CHECK(cache.get_with_digest(42, "d", J(R"({"a": 1})")) != nullptr);

  // A handle outlives its evicted entry.
  tovra::CollectionHandle held = cache.get_with_digest(42, "d", J(R"({"a": 1})"));
  cache.clear();
  CHECK(held.use_count() == 1 && tovra::Collection::ReadGuard(*held).documents().size() == 1);
}

}  // namespace

int main() {
  test_parse();
  test_filter();
  test_update();
  test_diagnostics();
  test_siphash();
  test_digest();
  test_cache();
  if (failures != 0) {
    std::fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  std::printf("all query tests passed\n");
  return 0;
}
