// Unit tests of the query language (parsing, filters, updates, diagnostics) and the result
// cache. A plain program: prints each failed check and exits non-zero when any failed.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "json/error.h"
#include "json/json_reader.h"
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

// Collects the diagnostic lines an update query hands over.
struct CollectedLines final : DiagnosticSink {
  std::string text;
  void write(std::string_view lines) override { text += lines; }
};

std::string diagnostics_of(std::string_view query) {
  CollectedLines lines;
  UpdateEngine engine(J(query), &lines);
  return lines.text;
}

UpdateEngine quiet_update(std::string_view text) { return UpdateEngine(J(text)); }

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
    update = error_of(ErrorKind::kPanic, [&] { UpdateEngine e(query); });
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
    engine = std::make_unique<UpdateEngine>(query);
    JsonValue document = J(R"({"a": {"b": 1}})");
    engine->apply(document);
    bool applied = document.find("a")->find("b")->is_array();
    CHECK(applied == (operand_depth == 124));
  }
}

void test_diagnostics() {
  CHECK(diagnostics_of(R"({"s": "x", "n": {"$inc": 1}})") ==
        "Update operator found Increment\nFields: [\"n\"]\n"
        "Update operator found Set\nFields: [\"s\"]\n");
  CHECK(diagnostics_of(R"({"a.b..c": {"$delete": 1}})") ==
        "Update operator found Delete\nFields: [\"a\", \"b\", \"\", \"c\"]\n");

  // The lines of the entries before a failing one are already out.
  CollectedLines lines;
  std::string error = error_of(ErrorKind::kPanic, [&] {
    UpdateEngine e(J(R"({"a": {"$add": 1}, "b": {"$gt": 1}, "c": 1})"), &lines);
  });
  CHECK(error == "Unknown update query operator found: $gt");
  CHECK(lines.text == "Update operator found Add\nFields: [\"a\"]\n");

  CHECK(format_fields({}) == "[]");
  CHECK(format_fields({"q\"b\\s", "n\nr\rt\t", std::string("z\0\x1b\x7f", 4), "é"}) ==
        "[\"q\\\"b\\\\s\", \"n\\nr\\rt\\t\", \"z\\u{0}\\u{1b}\\u{7f}\", \"é\"]");
}

}  // namespace

int main() {
  test_parse();
  test_filter();
  test_update();
  test_diagnostics();
  if (failures != 0) {
    std::fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  std::printf("all query tests passed\n");
  return 0;
}
