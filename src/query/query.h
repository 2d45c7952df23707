// The query language's parsed form: a query object (filter or update) becomes an ordered list of
// records, one per top-level key, each naming a document field by its path, an operand and an
// operator. Parsing copies each operand once; the records own everything they hold.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_value.h"

namespace tovra::query {

enum class FilterOperator {
  kEqual,
  kNotEqual,
  kGreaterThan,
  kGreaterThanEqual,
  kLessThan,
  kLessThanEqual
};

enum class UpdateOperator { kSet, kAdd, kSubstract, kIncrement, kDecrement, kDelete };

// The names that error messages and diagnostics print ("GreaterThan", "Substract", ...).
std::string_view display_name(FilterOperator op) noexcept;
std::string_view display_name(UpdateOperator op) noexcept;

// The operator a `$` word stands for in that kind's table; nothing for any other text. Words
// match exactly: case-sensitive, whole word.
std::optional<FilterOperator> filter_operator_from_word(std::string_view word) noexcept;
std::optional<UpdateOperator> update_operator_from_word(std::string_view word) noexcept;

template <typename Op>
struct Query {
  std::vector<std::string> fields;  // path from the document's top level, one key per element
  JsonValue value;                  // the operand
  Op op;
};

// Appends the path that `key` and `value` spell to `fields` and returns a copy of the operand.
// A key is split at every full stop, empty segments kept. Of a nested object only the entry
// with the smallest key counts; a `$` key there ends the path (appended whole, never split) and
// its value, of any kind, is the operand. Throws Error::panic "Not Valid query" for a null or
// array reached before a `$` key, "Error while parsing query" for an empty nested object.
JsonValue parse_query(const JsonValue& value, std::string_view key,
                      std::vector<std::string>& fields);

// One record from one top-level entry of a query object. A trailing `$` word is taken off the
// path and looked up in Op's table (Error::panic "Unknown query operator found: <word>" or
// "Unknown update query operator found: <word>" when it is not there); without one the
// operator is Equal or Set. A record left without any path (a top-level key that is itself
// one of the kind's words, with a plain operand) is rejected as "Not Valid query".
template <typename Op>
Query<Op> parse_record(std::string_view key, const JsonValue& value);

extern template Query<FilterOperator> parse_record(std::string_view, const JsonValue&);
extern template Query<UpdateOperator> parse_record(std::string_view, const JsonValue&);

}  // namespace tovra::query
