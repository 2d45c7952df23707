// Memory exhaustion and memory accounting of the store. Every allocation (operator new, and the
// chunks of arenas) counts while a walk is armed, and the nth one fails: walked over every
// allocation of a few updates, each document must come out either fully updated or as it was.
// The same walk over the indexes a collection builds: whatever allocation of a build, a catch-up
// or an update that moves indexed values fails, later finds agree with the documents.
// Then: updates whose operands find no target take no memory, cached results of a dropped
// collection keep only their own documents, and compaction keeps a read collection's large
// pages.
// Plain program: prints each failed check and ends with "N passed, N failed".
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "json/arena.h"
#include "json/error.h"
#include "json/hash.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "query/filter.h"
#include "query/update.h"
#include "store/database.h"
#include "store/indexes.h"
#include "index_support.h"
#include "test_support.h"

using index_support::finds_agree_with_documents;
using index_support::keyed_documents;
using tovra::Arena;
using tovra::Database;
using tovra::JsonValue;
using tovra::Shape;
using tovra::query::FilterEngine;
using tovra::query::UpdateEngine;

namespace {

// The allocation walk: while armed, allocations are counted, and the one numbered fail_at fails.
bool armed = false;
uint64_t allocations = 0;
uint64_t fail_at = 0;

bool allocation_allowed() noexcept {
  if (!armed) return true;
  return ++allocations != fail_at;
}

}  // namespace

void* operator new(size_t bytes) {
  if (!allocation_allowed()) throw std::bad_alloc();
  if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

JsonValue J(std::string_view text) { return tovra::parse_json(text); }

// Documents of distinct key sets (so that a $delete needs a shape the arena lacks), with long
// strings and nested objects (so that copies and shapes take chunks of their own).
std::vector<JsonValue> scene_documents() {
  std::vector<JsonValue> documents;
  const std::string long_text(3000, 'q');
  for (int i = 0; i < 40; ++i) {
    std::string text = "{\"a\": " + std::to_string(i) + ", \"k\": 1, \"" + long_text +
                       "\": 0, \"only" +
                       std::to_string(i) + "\": " + std::to_string(i) + ", \"s\": \"" +
                       long_text + "\", \"m\": {\"n\": 1, \"o" + std::to_string(i) +
                       "\": 2, \"p\": \"" + long_text + "\"}}";
    if (i % 5 == 4) text = "{\"a\": 1, \"z\": 2}";  // most records miss here
    documents.push_back(J(text));
  }
  return documents;
}

struct WalkCase {
  const char* update;
  const char* filter;  // nullptr: every document
};

// Fails each allocation of the update in turn: the documents stay whole, then the update runs.
void walk_update(const std::string& root, const WalkCase& c, int index) {
  // "LONG" stands for a string that takes a chunk of its own.
  std::string update_text = c.update;
  if (size_t at = update_text.find("LONG"); at != std::string::npos) {
    update_text.replace(at, 4, std::string(300000, 'L'));
  }
  const std::vector<JsonValue> originals = scene_documents();
  UpdateEngine reference(J(update_text));
  std::optional<FilterEngine> reference_filter;
  if (c.filter != nullptr) reference_filter.emplace(J(c.filter));
  std::vector<JsonValue> updated;
  for (const JsonValue& original : originals) {
    JsonValue copy = original;
    if (!reference_filter || reference_filter->matches(copy)) reference.apply(copy);
    updated.push_back(std::move(copy));
  }

  bool finished = false;
  uint64_t failures = 0;
  for (uint64_t n = 1; !finished && n < 100000; ++n) {
    const std::string dir = root + "/walk" + std::to_string(index) + "_" + std::to_string(n);
    Database database(dir);
    const std::vector<JsonValue> documents = scene_documents();
    for (const JsonValue& document : documents) database.insert("c", document);
    UpdateEngine engine(J(update_text));
    std::optional<FilterEngine> filter;
    if (c.filter != nullptr) filter.emplace(J(c.filter));
    tovra::CollectionHandle collection = database.begin_update("c");

    allocations = 0;
    fail_at = n;
    armed = true;
    try {
      database.update("c", engine, filter ? &*filter : nullptr);
      finished = true;
    } catch (const std::bad_alloc&) {
      ++failures;
    }
    armed = false;
    finished = finished && allocations < n;  // the walk ends once no allocation was failed

    tovra::Collection::ReadGuard guard(*collection);
    const std::vector<JsonValue>& now = guard.documents();
    CHECK(now.size() == originals.size());
    for (size_t i = 0; i < now.size() && i < originals.size(); ++i) {
      const bool whole = now[i] == updated[i] || now[i] == originals[i];
      CHECK_MSG(whole, std::string(c.update) + " fault " + std::to_string(n) + " document " +
                           std::to_string(i));
      if (finished) CHECK_MSG(now[i] == updated[i], c.update);
    }
  }
  // Every case allocates (a shape, a copy), so some allocations were failed.
  CHECK_MSG(finished && failures > 0, c.update);
  std::printf("%s: %llu allocations failed in turn\n", c.update,
              static_cast<unsigned long long>(failures));
}

void test_whole_document_or_nothing(const std::string& root) {
  Arena::set_chunk_check(allocation_allowed);
  const WalkCase cases[] = {
      {R"({"a": {"$set": 5}, "k": {"$delete": 1}})", nullptr},
      // The delete comes first, and the copies that follow may fail after it.
      {R"({"k": {"$delete": 1}, "s": {"$set": ["a long string of many bytes", {"x": "yy"}]},
          "m.o3": {"$delete": 1}, "m.p": {"$set": {"nested": "LONG"}}})",
       nullptr},
      {R"({"m.n": {"$delete": 1}, "m.p": {"$delete": 1}, "a": {"$inc": 1}})", R"({"k": 1})"},
      {R"({"m": {"$set": {"n": "a string longer than fourteen", "q": 1}}, "m.n": {"$delete": 1}})",
       R"({"a": {"$gte": 2}})"},
  };
  int index = 0;
  for (const WalkCase& c : cases) walk_update(root, c, index++);
  Arena::set_chunk_check(nullptr);
}

// Fails each allocation in turn of a build of the id and age indexes, of their catching up with
// inserted documents, and of an update that moves indexed values. What a failure leaves (an index
// dropped, documents half inserted) is fine as long as every later find agrees with the documents.
void test_indexes_stay_true(const std::string& root) {
  Arena::set_chunk_check(allocation_allowed);
  tovra::indexes::testing::forbid(false);
  const char* const stages[] = {"build", "catch up", "move"};
  for (int stage = 0; stage < 3; ++stage) {
    bool finished = false;
    uint64_t failures = 0;
    const uint64_t answers_before = tovra::indexes::testing::answers();
    for (uint64_t n = 1; !finished && n < 100000; ++n) {
      Database database(root + "/index" + std::to_string(stage) + "_" + std::to_string(n));
      database.insert_many("u", keyed_documents(0, 500));
      auto name_twice = [&] {
        for (const char* filter : {R"({"id": -1})", R"({"id": -2})", R"({"age": {"$gte": 200}})",
                                   R"({"age": {"$gte": 201}})"}) {
          database.find("u", J(filter));
        }
      };
      if (stage != 0) name_twice();
      allocations = 0;
      fail_at = n;
      armed = true;
      try {
        if (stage == 0) {
          name_twice();
        } else if (stage == 1) {
          database.insert_many("u", keyed_documents(500, 700));
          database.find("u", J(R"({"id": -3})"));
        } else {
          database.begin_update("u");
          FilterEngine filter(J(R"({"age": {"$lt": 30}})"));
          database.update("u", UpdateEngine(J(R"({"id": {"$inc": 1}, "age": {"$set": 85}})")),
                          &filter);
        }
        finished = true;
      } catch (const std::bad_alloc&) {
        ++failures;
      }
      armed = false;
      finished = finished && allocations < n;
      CHECK_MSG(finds_agree_with_documents(database, "u"),
                std::string(stages[stage]) + " fault " + std::to_string(n));
    }
    CHECK_MSG(finished && failures > 0, stages[stage]);
    // The walk reached the indexes: some of its finds were answered from one.
    CHECK_MSG(tovra::indexes::testing::answers() > answers_before, stages[stage]);
    std::printf("indexes, %s: %llu allocations failed in turn\n", stages[stage],
                static_cast<unsigned long long>(failures));
  }
  Arena::set_chunk_check(nullptr);
}

// Bytes the collection's documents reach, and what its arenas hold.
size_t arena_bytes_of(Database& database, const char* name) {
  tovra::CollectionHandle collection = database.lookup(name);
  tovra::Collection::ReadGuard guard(*collection);
  size_t bytes = 0;
  for (const JsonValue& document : guard.documents()) bytes += document.block_bytes();
  return bytes;
}

// An operand whose target is missing is never copied: the memory of a collection stays put.
void test_unapplied_operands_take_nothing(const std::string& root) {
  Database database(root + "/operands");
  for (int i = 0; i < 50; ++i) database.insert("c", J(R"({"a": {"b": 1}, "c": "x"})"));
  const std::string operand = "[" + std::string(30, 'v') + "]";
  const char* updates[] = {
      R"({"missing": {"$set": ["vvvvvvvvvvvvvvvvvvvvvvvvvvvvvv", "vvvvvvvvvvvvvvvvvvvvvvvvv"]}})",
      R"({"nope.x": {"$set": "a string too long to be inline"}})",
      R"({"a": {"$delete": 1}, "a.b": {"$set": "a string too long to be inline"}})",
  };
  auto collection = database.begin_update("c");
  Arena* arena = database.arena_for_insert("c");
  const size_t before = arena->bytes_used();
  for (const char* text : updates) {
    UpdateEngine engine(J(text));
    for (int round = 0; round < 40; ++round) database.update("c", engine, nullptr);
  }
  CHECK(arena->bytes_used() == before);
  CHECK(arena_bytes_of(database, "c") < 50 * 200);
}

// A collection read from a file asks for large pages, and so does the arena that an update's
// compaction copies its documents into: the last document then lies in a hinted chunk.
std::vector<std::pair<const char*, size_t>> hinted;
void test_compaction_keeps_large_pages(const std::string& root) {
  const std::string dir = root + "/large";
  std::string numbers = "[";
  for (int i = 0; i < 20; ++i) numbers += std::to_string(1000 + i) + (i < 19 ? "," : "]");
  std::string text = "{ \"c\":[";
  for (int i = 0; i < 20000; ++i) {
    text += (i ? "," : "") + std::string("{\"keep\":") + numbers + ",\"gone\":[" + numbers + "," +
            numbers + "]}";
  }
  mkdir(dir.c_str(), 0777);
  test_support::write_file(dir + "/c.json", text + "] }");
  Arena::set_large_chunk_hint([](void* chunk, size_t bytes) noexcept {
    hinted.emplace_back(static_cast<const char*>(chunk), bytes);
  });
  Database database(dir);
  hinted.clear();
  database.begin_update("c");
  database.update("c", UpdateEngine(J(R"({"gone": {"$set": 0}})")), nullptr);
  tovra::CollectionHandle collection = database.lookup("c");
  tovra::Collection::ReadGuard guard(*collection);
  const char* last = reinterpret_cast<const char*>(guard.documents().back().find("keep"));
  CHECK(std::any_of(hinted.begin(), hinted.end(), [&](const auto& chunk) {
    return last >= chunk.first && last < chunk.first + chunk.second;
  }));
  Arena::set_large_chunk_hint(nullptr);
}

// The inverse of an odd number modulo 2^64 (Newton's iteration).
uint64_t inverse(uint64_t odd) {
  uint64_t x = odd;
  for (int i = 0; i < 5; ++i) x *= 2 - odd * x;
  return x;
}

// `count` 14-byte keys that all hash alike under the shape hash without a seed: the last six
// bytes count, the first eight are solved for so that the mixed words stay one value.
std::vector<JsonValue> colliding_keys(size_t count) {
  std::vector<JsonValue> keys;
  const uint64_t target = 0x0123456789abcdefull;
  for (size_t i = 0; i < count; ++i) {
    char text[14];
    uint64_t tail = 0x0000414141414141ull + i;  // bytes 8..13, then the length and the tag
    std::memcpy(text + 8, &tail, 6);
    const uint64_t high = (tail & 0xffffffffffffull) | uint64_t{14} << 48 |
                          uint64_t{static_cast<uint8_t>(tovra::JsonType::kString)} << 56;
    const uint64_t low = (target ^ (high * tovra::hash::kMix)) * inverse(tovra::hash::kGolden);
    std::memcpy(text, &low, 8);
    keys.push_back(JsonValue::string(std::string_view(text, 14)));
  }
  return keys;
}

std::vector<JsonValue> random_keys(size_t count) {
  std::vector<JsonValue> keys;
  uint64_t state = 0x9e3779b97f4a7c15ull;
  for (size_t i = 0; i < count; ++i) {
    char text[14];
    for (char& c : text) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      c = static_cast<char>(' ' + (state >> 59) * 3);
    }
    keys.push_back(JsonValue::string(std::string_view(text, 14)));
  }
  return keys;
}

// Probes of interning one one-key shape per key.
uint64_t probes_of(const std::vector<JsonValue>& keys) {
  Arena arena;
  for (const JsonValue& key : keys) Shape::intern(arena, std::span<const JsonValue>(&key, 1));
  CHECK(arena.shapes().size() == keys.size());
  return arena.shapes().probes();
}

// Keys crafted to share one hash without the seed cost a seeded table no more than random
// keys do; without the seed they would make interning quadratic.
void test_crafted_keys_stay_linear() {
  const uint64_t kept = tovra::hash::seed;
  tovra::hash::set_hash_seed(0);
  const std::vector<JsonValue> few = colliding_keys(2000);
  CHECK(probes_of(few) > 100 * probes_of(random_keys(2000)));  // the keys do collide

  tovra::hash::set_hash_seed(0x5eed5eed12345679ull);
  const uint64_t crafted = probes_of(colliding_keys(100000));
  const uint64_t random = probes_of(random_keys(100000));
  CHECK_MSG(crafted <= 3 * random,
            std::to_string(crafted) + " probes against " + std::to_string(random));
  tovra::hash::set_hash_seed(kept);
}

}  // namespace

int main() {
  char dir_template[] = "/tmp/test_memory_XXXXXX";
  std::string dir = mkdtemp(dir_template);

  test_whole_document_or_nothing(dir);
  test_indexes_stay_true(dir);
  test_unapplied_operands_take_nothing(dir);
  test_crafted_keys_stay_linear();
  test_compaction_keeps_large_pages(dir);

  std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) std::printf("could not remove %s\n", dir.c_str());
  return test_support::summary();
}
