#include "query/filter.h"

#include <string>

#include "json/error.h"

namespace tovra::query {

namespace {

bool holds(const Query<FilterOperator>& query, const JsonValue& field) {
  switch (query.op) {
    case FilterOperator::kEqual:
      return field == query.value;
    case FilterOperator::kNotEqual:
      return !(field == query.value);
    default:
      break;
  }
  if (!field.is_number() || !query.value.is_number()) {
    throw Error::value("Malformed query, non-numeric value found for operator " +
                       std::string(display_name(query.op)));
  }
  // Integers beyond 2^53 round to the nearest double here, so 2^53 and 2^53 + 1 order equal.
  double lhs = field.to_double();
  double rhs = query.value.to_double();
  switch (query.op) {
    case FilterOperator::kGreaterThan:
      return lhs > rhs;
    case FilterOperator::kGreaterThanEqual:
      return lhs >= rhs;
    case FilterOperator::kLessThan:
      return lhs < rhs;
    case FilterOperator::kLessThanEqual:
      return lhs <= rhs;
    default:
      return false;
  }
}

}  // namespace

FilterEngine::FilterEngine(const JsonValue& query_object) {
  if (!query_object.is_object()) throw Error::panic("Not Valid query");
  auto members = query_object.members();
  queries_.reserve(members.size());
  for (auto member : members) {
    queries_.push_back(parse_record<FilterOperator>(member.key_view(), member.value));
    paths_.emplace_back(queries_.back().fields);
  }
}

bool FilterEngine::matches(const JsonValue& document) const {
  if (queries_.empty()) return true;
  if (!document.is_object()) return false;
  for (size_t i = 0; i < queries_.size(); ++i) {
    const JsonValue* field = paths_[i].resolve(document);
    if (field == nullptr || !holds(queries_[i], *field)) return false;
  }
  return true;
}

}  // namespace tovra::query
