// Fuzz target for the query language and the cache digest. The input is a query and a
// document as JSON text, separated by the first NUL byte (without one, the text serves as
// both). Only tovra::Error may leave the engines; every other exception, crash or broken
// invariant is a finding. When the document is an array, its elements also make a collection,
// on which a filter answered from an index must show what the scan shows, before and after
// the query, read as an update, changes them.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.h"
#include "json/json_reader.h"
#include "store/indexes.h"
#include "store/query_cache.h"
#include "query/filter.h"
#include "query/update.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// Keys strictly ascending at every level, and the nesting depth (scalar 0).
size_t check_tree(const tovra::JsonValue& value) {
  size_t deepest = 0;
  if (value.is_array()) {
    for (const tovra::JsonValue& element : value.elements()) {
      deepest = std::max(deepest, check_tree(element));
    }
    return deepest + 1;
  }
  if (value.is_object()) {
    auto members = value.members();
    for (size_t i = 0; i < members.size(); ++i) {
      require(members[i].key.is_string());
      if (i > 0) require(members[i - 1].key_view() < members[i].key_view());
      deepest = std::max(deepest, check_tree(members[i].value));
    }
    return deepest + 1;
  }
  return 0;
}

// What evaluating `filter` on `documents` shows: the passing positions, then the error and the
// position it was raised at. From the candidates when given, from every document otherwise.
std::string outcome(const tovra::query::FilterEngine& filter,
                    const std::vector<tovra::JsonValue>& documents,
                    const std::vector<uint32_t>* candidates) {
  std::string shown;
  size_t count = candidates != nullptr ? candidates->size() : documents.size();
  for (size_t k = 0; k < count; ++k) {
    size_t i = candidates != nullptr ? (*candidates)[k] : k;
    try {
      if (filter.matches(documents[i])) shown += std::to_string(i) + ",";
    } catch (const tovra::Error& error) {
      return shown + " error at " + std::to_string(i) + ": " + error.message();
    }
  }
  return shown;
}

// An index chooses documents only where the scan's outcome is kept, before and after the
// update of the same query changed them. The second select names the path a second time, so
// it builds the index.
void check_indexes(const tovra::query::FilterEngine& filter, std::vector<tovra::JsonValue>& documents,
                   tovra::Arena& arena, const tovra::JsonValue& query) {
  tovra::IndexSet indexes;
  std::vector<uint32_t> candidates;
  for (int round = 0; round < 2; ++round) {
    if (indexes.select(filter, documents, candidates)) {
      require(outcome(filter, documents, &candidates) == outcome(filter, documents, nullptr));
      for (const tovra::JsonValue& document : documents) require(document.is_object());
    }
  }
  std::optional<tovra::query::UpdateEngine> update;
  try {
    update.emplace(query);
  } catch (const tovra::Error&) {
    return;
  }
  tovra::IndexSet::Change change = indexes.begin_change(*update, documents.size(), documents.size());
  for (size_t i = 0; i < documents.size(); ++i) {
    change.before(i, documents[i]);
    update->apply(documents[i], &arena);
    change.after(i, documents[i]);
  }
  if (indexes.select(filter, documents, candidates)) {
    require(outcome(filter, documents, &candidates) == outcome(filter, documents, nullptr));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The update engine's diagnostic lines would drown the fuzzer's own output.
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  std::string_view query_text = input.substr(0, split);
  std::string_view document_text =
      split == std::string_view::npos ? query_text : input.substr(split + 1);

  // The document lives in an arena, as a collection's documents do; the query on the heap.
  tovra::Arena arena;
  tovra::JsonValue query, document;
  try {
    query = tovra::parse_json(query_text);
    document = tovra::parse_json(document_text, &arena);
  } catch (const tovra::Error&) {
    return 0;
  }

  // Equal pairs must find each other in the cache.
  tovra::QueryCache cache;
  tovra::JsonValue query_copy = query;
  require(tovra::query_digest("c", query) == tovra::query_digest("c", query_copy));
  cache.put("c", query, tovra::FindResult::Builder(0).finish(std::make_shared<tovra::Collection>()));
  require(cache.get("c", query_copy) != nullptr);

  try {
    tovra::query::FilterEngine filter(query);
    filter.matches(document);
    // The elements of an array document make a collection.
    std::vector<tovra::JsonValue> documents;
    for (const tovra::JsonValue& element : document.elements()) documents.push_back(element);
    check_indexes(filter, documents, arena, query);
  } catch (const tovra::Error&) {
  }

  try {
    tovra::query::UpdateEngine update(query);
    size_t depth_before = check_tree(document);
    tovra::JsonValue original = document;
    require(original == document);
    update.apply(document, &arena);
    size_t depth_after = check_tree(document);
    // A copy into another arena, or onto the heap, is equal to what it was made from.
    tovra::Arena other;
    require(document.copy_into(&other) == document);
    require(tovra::JsonValue(document) == document);
    require(depth_after <= std::max(depth_before, tovra::query::kMaxDocumentDepth));
    // Updates never add a field, so a non-object document or an empty update changes nothing.
    if (!original.is_object() || update.size() == 0) require(document == original);
  } catch (const tovra::Error&) {
  }
  return 0;
}
