// UpdateEngine: a parsed update query that changes documents in place. Records apply in
// top-level key order, each seeing the changes of those before it. A record that cannot be
// applied to a document (missing path or target, a non-number where arithmetic needs one) is
// skipped for that document; applying never reports an error and never adds a field.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_value.h"
#include "query/key_path.h"
#include "query/query.h"

namespace tovra::query {

// Documents never nest deeper than this many levels (the top-level object is level 1); a Set
// that would go beyond it is skipped.
inline constexpr size_t kMaxDocumentDepth = 126;

// Receives the two diagnostic lines of each record of an update query as soon as the record
// parses ("Update operator found <name>\n" and "Fields: [...]\n"). The query layer does no I/O:
// the caller decides where the lines go.
class DiagnosticSink {
 public:
  virtual ~DiagnosticSink() = default;
  virtual void write(std::string_view lines) = 0;
};

class UpdateEngine {
 public:
  // Parses every top-level entry of `update_object` in key order, handing each record's lines
  // to `diagnostics` (when given) right after it parses, so the lines of the records before a
  // failing entry are out when the error is thrown. Throws Error::panic with the parse
  // messages of query.h; an argument that is not an object is "Not Valid query".
  explicit UpdateEngine(const JsonValue& update_object, DiagnosticSink* diagnostics = nullptr);

  // Applies every record to `document`. A document that is not an object stays unchanged.
  // Either every record is applied or, when memory runs out, the document is left as it was.
  // Set operands are copied into `arena` (the heap when it is null), each only for a document
  // where it is stored. The arena bytes of values that the update replaces or deletes are added
  // to `released` when it is given.
  //
  // With an arena, whatever may fail (an operand's copy, the shape an object has after a
  // $delete) happens record by record, and each change is logged so that a failure puts the
  // document back as it was and gives the arena back what this document took: values replaced
  // in an arena are not freed, so they can be put back. On the heap, the operands are copied
  // before the first change instead (a replaced heap value is freed), and nothing that follows
  // can fail. The log is scratch space of the engine, so an engine applies to one document at
  // a time.
  void apply(JsonValue& document, Arena* arena = nullptr, size_t* released = nullptr) const;

  // Asks for the memory that apply() will read first in `document`, at `level` of the
  // first path (see KeyPath::prefetch).
  void prefetch(const JsonValue& document, size_t level = 0) const noexcept {
    if (!records_.empty()) records_.front().path.prefetch(document, level);
  }

  size_t size() const noexcept { return records_.size(); }
  const Query<UpdateOperator>& query(size_t i) const noexcept { return records_[i].query; }

 private:
  struct Record {
    Query<UpdateOperator> query;
    // False for a Set whose operand would nest the document beyond kMaxDocumentDepth; the
    // target's depth is fixed by the path, so this is known before any document is seen.
    bool set_fits;
    // A Set that fits and whose operand owns memory, so that storing it makes a copy.
    bool copies_operand;
    KeyPath path;  // resolves query.fields
  };
  // A change to a document, as apply() logs it: the value `slot` held before (a replacement),
  // or the member taken from the object `slot` at `index` and the shape it had (`shape` not
  // null).
  struct Change {
    JsonValue* slot;
    JsonValue old;
    const Shape* shape;
    size_t index;
  };
  // The records applied to `document`, every change logged in `log` when it is given.
  void apply_records(JsonValue& document, Arena* arena, JsonValue* operands, size_t& released,
                     std::vector<Change>* log) const;
  // Puts back, latest first, what the logged changes replaced or took.
  static void undo(std::vector<Change>& log) noexcept;

  std::vector<Record> records_;
  size_t copies_per_document_ = 0;
  // Whether a record may fail after an earlier one changed the document (with an arena).
  bool may_fail_ = false;
  mutable std::vector<Change> log_;  // reserved for one change per record
};

// `fields` in list notation: ["a", "b"]. Double quotes and backslashes are escaped with a
// backslash; newline, carriage return and tab print as \n, \r and \t; any other control byte
// (below 0x20, or 0x7f) as \u{h} in lower-case hex without leading zeros, e.g. \u{0}, \u{1b}.
// Other bytes, UTF-8 included, are copied unchanged.
std::string format_fields(const std::vector<std::string>& fields);

}  // namespace tovra::query
