#include "query/query.h"

#include <type_traits>

#include "json/error.h"

namespace tovra::query {

namespace {

bool is_operator_word(std::string_view key) noexcept { return !key.empty() && key[0] == '$'; }

// A path key names one field per full-stop-separated segment; "a..b" names a, "", b.
void append_path_key(std::string_view key, std::vector<std::string>& fields) {
  size_t start = 0;
  for (size_t dot = key.find('.'); dot != std::string_view::npos; dot = key.find('.', start)) {
    fields.emplace_back(key.substr(start, dot - start));
    start = dot + 1;
  }
  fields.emplace_back(key.substr(start));
}

}  // namespace

std::string_view display_name(FilterOperator op) noexcept {
  switch (op) {
    case FilterOperator::kEqual:
      return "Equal";
    case FilterOperator::kNotEqual:
      return "NotEqual";
    case FilterOperator::kGreaterThan:
      return "GreaterThan";
    case FilterOperator::kGreaterThanEqual:
      return "GreaterThanEqual";
    case FilterOperator::kLessThan:
      return "LessThan";
    case FilterOperator::kLessThanEqual:
      return "LessThanEqual";
  }
  return "";
}

std::string_view display_name(UpdateOperator op) noexcept {
  switch (op) {
    case UpdateOperator::kSet:
      return "Set";
    case UpdateOperator::kAdd:
      return "Add";
    case UpdateOperator::kSubstract:
      return "Substract";
    case UpdateOperator::kIncrement:
      return "Increment";
    case UpdateOperator::kDecrement:
      return "Decrement";
    case UpdateOperator::kDelete:
      return "Delete";
  }
  return "";
}

std::optional<FilterOperator> filter_operator_from_word(std::string_view word) noexcept {
  if (word == "$eq") return FilterOperator::kEqual;
  if (word == "$ne") return FilterOperator::kNotEqual;
  if (word == "$gt") return FilterOperator::kGreaterThan;
  if (word == "$gte") return FilterOperator::kGreaterThanEqual;
  if (word == "$lt") return FilterOperator::kLessThan;
  if (word == "$lte") return FilterOperator::kLessThanEqual;
  return std::nullopt;
}

std::optional<UpdateOperator> update_operator_from_word(std::string_view word) noexcept {
  if (word == "$set") return UpdateOperator::kSet;
  if (word == "$add") return UpdateOperator::kAdd;
  if (word == "$substract") return UpdateOperator::kSubstract;
  if (word == "$inc") return UpdateOperator::kIncrement;
  if (word == "$dec") return UpdateOperator::kDecrement;
  if (word == "$delete") return UpdateOperator::kDelete;
  return std::nullopt;
}

// Walks down the smallest-key chain iteratively, so a deeply nested query costs no stack.
JsonValue parse_query(const JsonValue& value, std::string_view key,
                      std::vector<std::string>& fields) {
  append_path_key(key, fields);
  const JsonValue* current = &value;
  for (;;) {
    switch (current->type()) {
      case JsonType::kNull:
      case JsonType::kArray:
        throw Error::panic("Not Valid query");
      case JsonType::kObject: {
        auto members = current->members();
        if (members.empty()) throw Error::panic("Error while parsing query");
        // Members are sorted, so the first is the smallest key; the others are ignored.
        auto smallest = members.front();
        std::string_view smallest_key = smallest.key_view();
        if (is_operator_word(smallest_key)) {
          fields.emplace_back(smallest_key);
          return smallest.value;
        }
        append_path_key(smallest_key, fields);
        current = &smallest.value;
        break;
      }
      default:
        return *current;
    }
  }
}

template <typename Op>
Query<Op> parse_record(std::string_view key, const JsonValue& value) {
  constexpr bool kFilter = std::is_same_v<Op, FilterOperator>;
  static_assert(kFilter || std::is_same_v<Op, UpdateOperator>);

  std::vector<std::string> fields;
  JsonValue operand = parse_query(value, key, fields);
  Op op;
  if (is_operator_word(fields.back())) {
    std::optional<Op> found;
    if constexpr (kFilter) {
      found = filter_operator_from_word(fields.back());
    } else {
      found = update_operator_from_word(fields.back());
    }
    if (!found) {
      throw Error::panic((kFilter ? "Unknown query operator found: "
                                  : "Unknown update query operator found: ") +
                         fields.back());
    }
    fields.pop_back();
    // Only a top-level key that is itself an operator word gets here; such a record would
    // address no field at all.
    if (fields.empty()) throw Error::panic("Not Valid query");
    op = *found;
  } else {
    if constexpr (kFilter) {
      op = FilterOperator::kEqual;
    } else {
      op = UpdateOperator::kSet;
    }
  }
  return Query<Op>{std::move(fields), std::move(operand), op};
}

template Query<FilterOperator> parse_record(std::string_view, const JsonValue&);
template Query<UpdateOperator> parse_record(std::string_view, const JsonValue&);

}  // namespace tovra::query
