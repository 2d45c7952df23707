// What the store's tests of the indexes share: a collection of keyed documents, and the check
// that finds answered through the indexes give exactly what a scan of the documents gives.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "json/json_reader.h"
#include "json/json_value.h"
#include "query/filter.h"
#include "store/database.h"

namespace index_support {

// Documents {"id": i, "age": i % 90} for i in [from, to), as one JSON array; ids that end in 3
// are written as doubles (3.0 is not the same id as 3).
inline tovra::JsonValue keyed_documents(int from, int to) {
  std::string text = "[";
  for (int i = from; i < to; ++i) {
    text += (i > from ? "," : "") + std::string("{\"id\":") + std::to_string(i) +
            (i % 10 == 3 ? ".0" : "") + ",\"age\":" + std::to_string(i % 90) + "}";
  }
  return tovra::parse_json(text + "]");
}

// Whether finds by id (integers and doubles) and by age range in collection `name` give exactly
// the documents that the filter passes in a scan, in order. The cache is cleared before each, so
// every find is evaluated (from an index, or by the scan it falls back to).
inline bool finds_agree_with_documents(tovra::Database& database, std::string_view name) {
  bool agree = true;
  for (const char* filter :
       {"{\"id\": -1}", "{\"id\": 0}", "{\"id\": 1}", "{\"id\": 1.0}", "{\"id\": 3}",
        "{\"id\": 3.0}", "{\"id\": 7}", "{\"id\": 7.0}", "{\"id\": 30}", "{\"id\": 30.0}",
        "{\"id\": 499}", "{\"id\": 500}", "{\"id\": 650}", "{\"id\": 699}", "{\"id\": 19999}",
        "{\"id\": 20000}", "{\"id\": 20003.0}", "{\"id\": 39999}", "{\"id\": 40000}",
        R"({"age": {"$gte": 80}})", R"({"age": {"$lt": 2}})", R"({"age": {"$gt": 44.5}})"}) {
    const tovra::JsonValue query = tovra::parse_json(filter);
    database.clear_cache();
    tovra::FindResultHandle result = database.find(name, query);
    tovra::query::FilterEngine engine(query);
    tovra::Collection::ReadGuard guard(*database.lookup(name));
    const std::vector<tovra::JsonValue>& documents = guard.documents();
    std::vector<size_t> found, scanned;
    result->for_each(documents, [&](const tovra::JsonValue& d) {
      found.push_back(static_cast<size_t>(&d - documents.data()));
    });
    for (size_t i = 0; i < documents.size(); ++i) {
      if (engine.matches(documents[i])) scanned.push_back(i);
    }
    agree = agree && found == scanned;
  }
  return agree;
}

}  // namespace index_support
