// UpdateEngine: a parsed update query that changes documents in place. Records apply in
// top-level key order, each seeing the changes of those before it. A record that cannot be
// applied to a document (missing path or target, a non-number where arithmetic needs one) is
// skipped for that document; applying never reports an error and never adds a field.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/json_value.h"
#include "query/key_path.h"
#include "query/query.h"

namespace tovra::query {

// Documents never nest deeper than this many levels (the top-level object is level 1); a Set
// that would go beyond it is skipped.
inline constexpr size_t kMaxDocumentDepth = 126;

class UpdateEngine {
 public:
  // Parses every top-level entry of `update_object` in key order. After each record it writes
  // "Update operator found <name>\n" and "Fields: [...]\n" to file descriptor 1, so the lines
  // of the records before a failing entry are out when the error is thrown. Throws Error::panic
  // with the parse messages of query.h; an argument that is not an object is "Not Valid query".
  explicit UpdateEngine(const JsonValue& update_object);

  // Applies every record to `document`. A document that is not an object stays unchanged.
  void apply(JsonValue& document) const;

  // Asks for the memory that apply() will read first in `document`.
  void prefetch(const JsonValue& document) const noexcept {
    if (!records_.empty()) records_.front().path.prefetch(document);
  }

  size_t size() const noexcept { return records_.size(); }
  const Query<UpdateOperator>& query(size_t i) const noexcept { return records_[i].query; }

 private:
  struct Record {
    Query<UpdateOperator> query;
    // False for a Set whose operand would nest the document beyond kMaxDocumentDepth; the
    // target's depth is fixed by the path, so this is known before any document is seen.
    bool set_fits;
    KeyPath path;  // resolves query.fields
  };
  std::vector<Record> records_;
};

// `fields` in list notation: ["a", "b"]. Double quotes and backslashes are escaped with a
// backslash; newline, carriage return and tab print as \n, \r and \t; any other control byte
// (below 0x20, or 0x7f) as \u{h} in lower-case hex without leading zeros, e.g. \u{0}, \u{1b}.
// Other bytes, UTF-8 included, are copied unchanged.
std::string format_fields(const std::vector<std::string>& fields);

}  // namespace tovra::query
