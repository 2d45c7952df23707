// Tests of the indexes a collection builds by itself: the equality and numeric indexes against
// plain models, the equality key against the query language's equality, and a differential
// test that runs random traces of collections, finds and updates twice, once with indexes and
// once with them forbidden, and compares every result, error and written file. Then every
// interrupt check of building, catching up and using an index is interrupted in turn.
// Plain program: prints each failed check and ends with "N passed, N failed".
#include <stdlib.h>

#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "json/error.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "query/filter.h"
#include "query/update.h"
#include "store/database.h"
#include "store/equality_index.h"
#include "store/indexes.h"
#include "store/fs.h"
#include "store/numeric_index.h"
#include "index_support.h"
#include "test_support.h"

using test_support::read_file;
using tovra::EqualityIndex;
using tovra::Error;
using tovra::JsonValue;
using tovra::NumericIndex;

namespace {

JsonValue J(std::string_view text) { return tovra::parse_json(text); }

// Values where equality and ordering are easy to get wrong, as JSON texts.
const std::vector<std::string> kValues = {
    "0", "-0.0", "0.0", "1", "1.0", "-1", "-1.0", "2", "2.5", "7",
    "9007199254740992", "9007199254740993", "9007199254740992.0",
    "18446744073709551615", "18446744073709551614", "9223372036854775807",
    "-9223372036854775808", "-9223372036854775807",
    "1.7976931348623157e308", "-1.7976931348623157e308", "5e-324", "-5e-324",
    "\"a\"", "\"a\\u0000b\"", "\"a\\u0000c\"", "\"\"", "\"1\"",
    "\"a string longer than fourteen bytes\"", "true", "false", "null",
    "[1,2]", "[1,2.0]", "[]", "{}", "{\"x\":1}", "{\"x\":1.0}", "{\"x\":{\"y\":2}}"};

// Equal values (as filters compare them) have equal keys; the pool has few collisions.
void test_equality_key() {
  std::set<uint32_t> keys;
  for (const std::string& a : kValues) {
    keys.insert(EqualityIndex::key_of(J(a)));
    for (const std::string& b : kValues) {
      if (J(a) == J(b)) {
        CHECK_MSG(EqualityIndex::key_of(J(a)) == EqualityIndex::key_of(J(b)), a + " " + b);
      }
    }
  }
  // Only 0.0 and -0.0 share a key as equal values; the rest are distinct.
  CHECK_MSG(keys.size() == kValues.size() - 1, std::to_string(keys.size()));
}

// Random adds and removes, with few keys (long chains) and many (table growth and the
// deletion of slots), against a map of sets.
void test_equality_index_model() {
  std::mt19937_64 random(7);
  for (uint32_t key_count : {3u, 50u, 5000u}) {
    EqualityIndex index;
    std::map<uint32_t, std::set<uint32_t>> model;
    std::map<uint32_t, uint32_t> key_at;
    for (int step = 0; step < 20000; ++step) {
      uint32_t position = static_cast<uint32_t>(random() % 4000);
      // Keys that collide in the table's home slots: small numbers.
      uint32_t key = static_cast<uint32_t>(random() % key_count) * 977;
      if (auto it = key_at.find(position); it != key_at.end()) {
        CHECK(index.remove(position, it->second));
        model[it->second].erase(position);
        key_at.erase(it);
      } else {
        CHECK(index.add(position, key));
        model[key].insert(position);
        key_at[position] = key;
      }
    }
    for (uint32_t k = 0; k < key_count; ++k) {
      uint32_t key = k * 977;
      std::vector<uint32_t> got;
      index.candidates(key, got);
      std::vector<uint32_t> expected(model[key].begin(), model[key].end());
      CHECK_MSG(got == expected, std::to_string(key_count) + " key " + std::to_string(key));
    }
    std::vector<uint32_t> none;
    index.candidates(0xdeadbeef, none);
    CHECK(none.empty());
    // A walk that runs out of budget changes nothing.
    if (key_count == 3) {
      std::vector<uint32_t> before;
      index.candidates(0, before);
      if (before.size() > 3) {
        size_t budget = 1;
        CHECK(!index.remove(before.front(), 0, &budget));
        std::vector<uint32_t> after;
        index.candidates(0, after);
        CHECK(after == before);
      }
    }
  }
}

void test_numeric_index_model() {
  using tovra::query::FilterOperator;
  std::mt19937_64 random(11);
  NumericIndex index;
  index.finish_build();
  std::map<uint32_t, double> model;
  const std::vector<double> keys = {-1e308, -2.5, -1, 0, 0.5, 1, 1, 2, 9007199254740992.0, 1e308};
  for (int step = 0; step < 30000; ++step) {
    uint32_t position = static_cast<uint32_t>(random() % 3000);
    if (auto it = model.find(position); it != model.end()) {
      CHECK(index.remove_key(position, it->second));
      model.erase(it);
    } else {
      double key = keys[random() % keys.size()];
      index.add_key(position, key);
      model[position] = key;
    }
    if (step % 997 != 0) continue;
    for (FilterOperator op : {FilterOperator::kGreaterThan, FilterOperator::kGreaterThanEqual,
                              FilterOperator::kLessThan, FilterOperator::kLessThanEqual}) {
      for (double bound : {-1e308, -1.0, 0.0, -0.0, 1.0, 1.5, 1e308}) {
        std::vector<uint32_t> got;
        index.candidates(op, bound, got);
        std::sort(got.begin(), got.end());
        std::vector<uint32_t> expected;
        for (auto [p, k] : model) {
          bool holds = op == FilterOperator::kGreaterThan        ? k > bound
                       : op == FilterOperator::kGreaterThanEqual ? k >= bound
                       : op == FilterOperator::kLessThan         ? k < bound
                                                                 : k <= bound;
          if (holds) expected.push_back(p);
        }
        CHECK(got == expected);
      }
    }
  }
  CHECK(!index.remove_key(5000, 1.0));
  CHECK(!index.remove_non_number());
}

// --- The differential test ------------------------------------------------------------------

const std::vector<std::string> kPaths = {"id", "a", "n", "o", "o.x", "o.y", "k\\u0000ey", "gone"};

struct Trace {
  explicit Trace(uint64_t seed) : random(seed) {}

  size_t below(size_t n) { return static_cast<size_t>(random() % n); }
  const std::string& value() { return kValues[below(kValues.size())]; }

  std::string number() {
    static const std::vector<std::string> numbers = {
        "0", "-0.0", "1", "1.0", "2.5", "-1", "9007199254740993", "9007199254740992.0",
        "18446744073709551615", "-9223372036854775808", "1e300", "-5e-324"};
    return below(3) == 0 ? numbers[below(numbers.size())] : std::to_string(below(20));
  }

  std::string document() {
    if (non_objects && below(40) == 0) return value();
    std::string text = "{";
    auto member = [&](const std::string& key, const std::string& v) {
      if (text.size() > 1) text += ",";
      text += "\"" + key + "\":" + v;
    };
    if (below(10) != 0) member("id", below(8) == 0 ? value() : std::to_string(next_id++));
    if (below(2) == 0) member("a", below(2) == 0 ? std::to_string(below(4)) : value());
    if (below(4) != 0) member("n", strings_in_n && below(20) == 0 ? value() : number());
    if (below(2) == 0) {
      member("o", below(5) == 0 ? value()
                                : "{\"x\":" + (below(2) == 0 ? number() : value()) +
                                      ",\"y\":" + value() + "}");
    }
    if (below(6) == 0) member("k\\u0000ey", value());
    return text + "}";
  }

  std::string operand(const std::string& path) {
    if (path == "id" && below(2) == 0) return std::to_string(below(next_id + 2));
    if (path == "n" || path == "o.x") return below(4) == 0 ? value() : number();
    return value();
  }

  std::string record(const std::string& path, const char* const* ops, size_t op_count) {
    std::string op = ops[below(op_count)];
    std::string v = operand(path);
    if (op.empty()) return "\"" + path + "\":" + v;
    return "\"" + path + "\":{\"" + op + "\":" + v + "}";
  }

  // A query object of up to `most` records on distinct paths, operators drawn from `ops`.
  template <size_t N>
  std::string query(const char* const (&ops)[N], size_t most) {
    size_t count = 1 + below(most);
    std::set<std::string> used;
    std::string text = "{";
    for (size_t i = 0; i < count; ++i) {
      const std::string& path = kPaths[below(kPaths.size())];
      if (!used.insert(path).second) continue;
      if (text.size() > 1) text += ",";
      text += record(path, ops, N);
    }
    return text + "}";
  }

  std::string filter() {
    static const char* const kOps[] = {"", "", "$eq", "$ne", "$gt", "$gte", "$lt", "$lte"};
    return query(kOps, 3);
  }

  std::string update() {
    static const char* const kOps[] = {"", "$set", "$inc", "$dec", "$add", "$substract",
                                       "$delete"};
    return query(kOps, 2);
  }

  std::mt19937_64 random;
  size_t next_id = 0;
  bool non_objects = false;
  bool strings_in_n = false;
};

// What one call showed: its result as text, or its error.
std::string outcome(const std::function<std::string()>& call) {
  try {
    return "ok " + call();
  } catch (const Error& error) {
    return "error " + std::to_string(static_cast<int>(error.kind())) + " " + error.message();
  }
}

std::string shown(const tovra::FindResult& result, bool stored) {
  tovra::Collection::ReadGuard guard(*result.source());
  std::string text = stored ? "stored [" : "not stored [";
  result.for_each(guard.documents(), [&](const JsonValue& d) { text += tovra::to_json(d) + ","; });
  return text + "]";
}

// The two databases of a trace: `indexed` with indexes allowed, `scanned` with them forbidden.
struct Pair {
  Pair(const std::string& a, const std::string& b) : indexed_dir(a), scanned_dir(b) { reopen(); }
  void reopen() {
    indexed.reset();
    scanned.reset();
    tovra::indexes::testing::forbid(false);
    indexed.emplace(indexed_dir);
    tovra::indexes::testing::forbid(true);
    scanned.emplace(scanned_dir);
  }
  // Runs `call` on both and returns whether they agreed.
  bool both(const std::function<std::string(tovra::Database&)>& call, std::string* seen = nullptr) {
    tovra::indexes::testing::forbid(false);
    std::string a = outcome([&] { return call(*indexed); });
    tovra::indexes::testing::forbid(true);
    std::string b = outcome([&] { return call(*scanned); });
    tovra::indexes::testing::forbid(false);
    if (seen != nullptr) *seen = a;
    if (a != b) std::printf("  indexed: %s\n  scanned: %s\n", a.c_str(), b.c_str());
    return a == b;
  }

  std::string indexed_dir, scanned_dir;
  std::optional<tovra::Database> indexed, scanned;
};

void run_trace(uint64_t seed, const std::string& dir) {
  Trace trace(seed);
  trace.non_objects = seed % 7 == 0;
  trace.strings_in_n = seed % 3 == 0;
  std::string a = dir + "/i" + std::to_string(seed), b = dir + "/s" + std::to_string(seed);
  Pair pair(a, b);
  const std::string name = "c";
  std::vector<std::string> filters;
  for (int i = 0; i < 10; ++i) filters.push_back(trace.filter());
  auto insert_many = [&](size_t count) {
    std::string text = "[";
    for (size_t i = 0; i < count; ++i) text += (i ? "," : "") + trace.document();
    text += "]";
    return pair.both([&](tovra::Database& db) {
      db.insert_many(name, J(text));
      return std::string();
    });
  };
  std::string context = "seed " + std::to_string(seed);
  CHECK_MSG(insert_many(trace.below(300)), context);
  const int steps = 150;
  for (int step = 0; step < steps; ++step) {
    size_t what = trace.below(100);
    std::string label = context + " step " + std::to_string(step);
    if (what < 45) {
      std::string filter = trace.below(4) == 0 ? trace.filter() : filters[trace.below(filters.size())];
      CHECK_MSG(pair.both([&](tovra::Database& db) {
        bool stored = false;
        tovra::FindResultHandle result = db.find(name, J(filter), &stored);
        return shown(*result, stored);
      }), label + " find " + filter);
    } else if (what < 70) {
      std::string update = trace.update();
      std::optional<std::string> filter;
      if (trace.below(6) != 0) {
        filter = trace.below(3) == 0 ? trace.filter() : filters[trace.below(filters.size())];
      }
      CHECK_MSG(pair.both([&](tovra::Database& db) {
        db.begin_update(name);
        tovra::query::UpdateEngine engine(J(update));
        std::optional<tovra::query::FilterEngine> filter_engine;
        if (filter) filter_engine.emplace(J(*filter));
        db.update(name, engine, filter_engine ? &*filter_engine : nullptr);
        tovra::Collection::ReadGuard guard(*db.lookup(name));
        std::string text;
        for (const JsonValue& d : guard.documents()) text += tovra::to_json(d) + ",";
        return text;
      }), label + " update " + update + " where " + filter.value_or("-"));
    } else if (what < 85) {
      std::string document = trace.document();
      CHECK_MSG(pair.both([&](tovra::Database& db) {
        db.insert(name, J(document));
        return std::string();
      }), label + " insert");
    } else if (what < 92) {
      CHECK_MSG(insert_many(trace.below(40)), label + " insert_many");
    } else if (what < 96) {
      // Written, then loaded again by a new object.
      CHECK_MSG(pair.both([&](tovra::Database& db) {
        db.write(name);
        return std::string();
      }), label + " write");
      pair.reopen();
    } else if (what < 97) {
      CHECK_MSG(pair.both([&](tovra::Database& db) {
        db.drop_collection(name);
        db.create_collection(name);
        return std::string();
      }), label + " drop");
    } else {
      CHECK_MSG(pair.both([&](tovra::Database& db) {
        db.write(name);
        return std::string();
      }), label + " write");
      CHECK_MSG(read_file(a + "/c.json") == read_file(b + "/c.json"), label + " files");
    }
  }
  CHECK_MSG(pair.both([&](tovra::Database& db) {
    db.write(name);
    return std::string();
  }), context + " last write");
  CHECK_MSG(read_file(a + "/c.json") == read_file(b + "/c.json"), context + " files");
}

// Indexes are built on the second filter that names a path, and stay through updates by key.
void test_indexes_are_built_and_kept(const std::string& dir) {
  tovra::indexes::testing::forbid(false);
  tovra::Database db(dir + "/kept");
  std::string text = "[";
  for (int i = 0; i < 2000; ++i) {
    text += (i ? "," : "") + std::string("{\"id\":") + std::to_string(i) +
            ",\"age\":" + std::to_string(i % 90) + "}";
  }
  db.insert_many("u", J(text + "]"));
  auto indexes = [&]() -> tovra::IndexSet& {
    return tovra::Collection::ReadGuard(*db.lookup("u")).indexes();
  };
  db.find("u", J(R"({"id": 1})"));
  CHECK(indexes().size() == 0);
  db.find("u", J(R"({"id": 2})"));
  CHECK(indexes().size() == 1);
  size_t memory = indexes().memory_bytes();
  CHECK(memory > 0 && memory <= 2000 * 20);
  auto update_where = [&](const std::string& update, const std::string& filter) {
    db.begin_update("u");
    tovra::query::FilterEngine filter_engine(J(filter));
    db.update("u", tovra::query::UpdateEngine(J(update)), &filter_engine);
  };
  for (int i = 0; i < 500; ++i) {
    std::string key = std::to_string(i * 3);
    update_where(R"({"age": {"$inc": 1}})", "{\"id\": " + key + "}");
    CHECK(db.find("u", J("{\"id\": " + key + "}"))->size() == 1);
    // The indexed field itself changes.
    std::string moved = std::to_string(100000 + i);
    update_where("{\"id\": " + moved + "}", "{\"id\": " + key + "}");
    CHECK(db.find("u", J("{\"id\": " + key + "}"))->size() == 0);
    CHECK(db.find("u", J("{\"id\": " + moved + "}"))->size() == 1);
    CHECK(db.find("u", J("{\"id\": " + moved + ".0}"))->size() == 0);
  }
  // Still the one index, with its entries.
  CHECK(indexes().size() == 1 && indexes().memory_bytes() > 0);
  // Ten other paths: at most eight indexes.
  for (int i = 0; i < 10; ++i) {
    for (int twice = 0; twice < 2; ++twice) {
      db.find("u", J("{\"p" + std::to_string(i) + "\": " + std::to_string(twice) + "}"));
    }
  }
  CHECK(indexes().size() == tovra::IndexSet::kMaxIndexes);
}

// --- Interrupts -----------------------------------------------------------------------------

// The walk's interrupt check: it stops the call at its nth ask.
uint64_t asked = 0;
uint64_t stop_at = 0;
bool stop_at_nth_ask() { return ++asked == stop_at; }

// The documents of collection "u", as text.
std::string documents_text(tovra::Database& db) {
  tovra::Collection::ReadGuard guard(*db.lookup("u"));
  std::string text;
  for (const JsonValue& d : guard.documents()) text += tovra::to_json(d) + ",";
  return text;
}

void update_where(tovra::Database& db, const char* update, const char* filter) {
  db.begin_update("u");
  tovra::query::FilterEngine filter_engine(J(filter));
  db.update("u", tovra::query::UpdateEngine(J(update)), &filter_engine);
}

// Moves indexed values: ids and ages change.
constexpr const char* kMove = R"({"id": {"$inc": 1}, "age": {"$set": 85}})";

// Names the id and the age path twice each: the second of each builds its index.
void build_id_and_age(tovra::Database& db) {
  for (const char* filter : {R"({"id": -1})", R"({"id": -2})", R"({"age": {"$gte": 200}})",
                             R"({"age": {"$gte": 201}})"}) {
    db.find("u", J(filter));
  }
}

struct InterruptStage {
  const char* name;
  void (*prepare)(tovra::Database&);  // after the first 20,000 documents, not interrupted
  void (*run)(tovra::Database&);      // interrupted at each of its checks in turn
};

const InterruptStage kInterruptStages[] = {
    {"build", [](tovra::Database&) {}, build_id_and_age},
    {"catch up",
     [](tovra::Database& db) {
       build_id_and_age(db);
       db.insert_many("u", index_support::keyed_documents(20000, 40000));
     },
     [](tovra::Database& db) {
       db.find("u", J(R"({"id": -3})"));
       db.find("u", J(R"({"age": {"$gte": 202}})"));
     }},
    // The update's filter builds the age index while the id index, which it moves, lags behind.
    {"update that builds",
     [](tovra::Database& db) {
       db.find("u", J(R"({"id": -1})"));
       db.find("u", J(R"({"id": -2})"));
       db.find("u", J(R"({"age": {"$gte": 200}})"));
       db.insert_many("u", index_support::keyed_documents(20000, 25000));
     },
     [](tovra::Database& db) { update_where(db, kMove, R"({"age": {"$lt": 20}})"); }},
    // The update's filter catches the id index up; the age index, which it moves, lags behind.
    {"update that catches up",
     [](tovra::Database& db) {
       build_id_and_age(db);
       db.insert_many("u", index_support::keyed_documents(20000, 40000));
     },
     [](tovra::Database& db) { update_where(db, kMove, R"({"id": 30007})"); }},
};

// Interrupts each interrupt check of a stage in turn, until a run is not interrupted. The
// interrupted call throws the interruption and changes no document, a run that is not leaves
// the documents as a run with indexes forbidden does; whatever an interrupt leaves of the
// indexes (a build dropped, a catch-up part way), an update that moves indexed values across
// the collection and every later find give what a scan of the documents gives.
void test_interrupted_indexes(const std::string& dir) {
  namespace fs = tovra::fs;
  for (const InterruptStage& stage : kInterruptStages) {
    std::string reference_before, reference_after;
    {
      tovra::indexes::testing::forbid(true);
      tovra::Database reference(dir + "/reference");
      reference.insert_many("u", index_support::keyed_documents(0, 20000));
      stage.prepare(reference);
      reference_before = documents_text(reference);
      stage.run(reference);
      reference_after = documents_text(reference);
      tovra::indexes::testing::forbid(false);
    }
    bool finished = false;
    uint64_t n = 0;
    while (!finished && n < 1000) {
      ++n;
      const std::string context = std::string(stage.name) + " interrupt " + std::to_string(n);
      tovra::Database database(dir + "/interrupt" + std::to_string(n));
      database.insert_many("u", index_support::keyed_documents(0, 20000));
      stage.prepare(database);
      asked = 0;
      stop_at = n;
      fs::set_interrupt_check(stop_at_nth_ask);
      std::optional<Error> error;
      try {
        stage.run(database);
      } catch (const Error& e) {
        error = e;
      }
      fs::set_interrupt_check(nullptr);
      finished = asked < n;
      CHECK_MSG(finished ? !error : error && error->kind() == tovra::ErrorKind::kInterrupted,
                context + (error ? " " + error->message() : ""));
      CHECK_MSG(documents_text(database) == (finished ? reference_after : reference_before),
                context);
      update_where(database, kMove, R"({"age": 5})");
      CHECK_MSG(index_support::finds_agree_with_documents(database, "u"), context);
    }
    // Each stage's index work polls several times.
    CHECK_MSG(finished && n > 4, stage.name);
    std::printf("indexes, %s: %llu interrupt checks walked\n", stage.name,
                static_cast<unsigned long long>(n - 1));
  }
}

}  // namespace

int main(int argc, char** argv) {
  char dir_template[] = "/tmp/test_indexes_XXXXXX";
  std::string dir = mkdtemp(dir_template);
  test_equality_key();
  test_equality_index_model();
  test_numeric_index_model();
  test_indexes_are_built_and_kept(dir);
  test_interrupted_indexes(dir);
  uint64_t traces = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 150;
  uint64_t answers_before = tovra::indexes::testing::answers();
  for (uint64_t seed = 1; seed <= traces; ++seed) run_trace(seed, dir);
  // The traces did reach the indexes.
  uint64_t answered = tovra::indexes::testing::answers() - answers_before;
  std::printf("%llu filters answered from indexes\n", static_cast<unsigned long long>(answered));
  CHECK(answered > traces * 10);
  std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) std::printf("could not remove %s\n", dir.c_str());
  return test_support::summary();
}
