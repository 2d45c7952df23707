// FilterEngine: a parsed filter query that decides, one document at a time, whether a document
// satisfies every record. Built once per call; evaluation reads the engine and the document and
// copies neither.
#pragma once

#include <cstddef>
#include <vector>

#include "json/json_value.h"
#include "query/key_path.h"
#include "query/query.h"

namespace tovra::query {

class FilterEngine {
 public:
  // Parses every top-level entry of `query_object` in key order. Throws Error::panic with the
  // parse messages of query.h; an argument that is not an object is "Not Valid query".
  explicit FilterEngine(const JsonValue& query_object);

  // True when every record holds for `document`, records tried in order and the first that
  // fails deciding. A missing field or a non-object on the path fails the record. An ordering
  // record that reaches a non-number (as field or operand) throws Error::value "Malformed
  // query, non-numeric value found for operator <name>". A document that is not an object
  // passes only the engine without records.
  bool matches(const JsonValue& document) const;

  // Asks for the memory that matches() will read first in `document`, at `level` of the
  // first path (see KeyPath::prefetch).
  void prefetch(const JsonValue& document, size_t level = 0) const noexcept {
    if (!paths_.empty()) paths_.front().prefetch(document, level);
  }

  size_t size() const noexcept { return queries_.size(); }
  const std::vector<Query<FilterOperator>>& queries() const noexcept { return queries_; }

 private:
  std::vector<Query<FilterOperator>> queries_;
  std::vector<KeyPath> paths_;  // paths_[i] resolves queries_[i].fields
};

}  // namespace tovra::query
