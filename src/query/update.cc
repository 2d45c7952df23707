#include "query/update.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "core/error.h"

namespace tovra::query {

namespace {

// Levels that `value` adds where it is stored: 0 for a scalar, one per array or object level.
// Iterative, so a deep operand costs no stack.
size_t nesting_depth(const JsonValue& value) {
  size_t deepest = 0;
  std::vector<std::pair<const JsonValue*, size_t>> pending{{&value, 1}};
  while (!pending.empty()) {
    auto [current, level] = pending.back();
    pending.pop_back();
    if (current->is_array()) {
      deepest = std::max(deepest, level);
      for (const JsonValue& element : current->elements()) {
        if (element.is_array() || element.is_object()) pending.emplace_back(&element, level + 1);
      }
    } else if (current->is_object()) {
      deepest = std::max(deepest, level);
      for (const JsonMember& member : current->members()) {
        const JsonValue& v = member.value;
        if (v.is_array() || v.is_object()) pending.emplace_back(&v, level + 1);
      }
    }
  }
  return deepest;
}

// Writes straight to the descriptor, bypassing any buffered stream, so the lines keep their
// place relative to whatever else the process writes. A failure to write a diagnostic is not
// a failure of the update, so it is dropped.
void write_to_stdout(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

std::string format_fields(const std::vector<std::string>& fields) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "[";
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ", ";
    out += '"';
    for (char c : fields[i]) {
      unsigned char byte = static_cast<unsigned char>(c);
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (byte < 0x20 || byte == 0x7f) {
            out += "\\u{";
            if (byte >= 0x10) out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
            out += '}';
          } else {
            out += c;
          }
      }
    }
    out += '"';
  }
  out += ']';
  return out;
}

UpdateEngine::UpdateEngine(const JsonValue& update_object) {
  if (!update_object.is_object()) throw Error::panic("Not Valid query");
  std::span<const JsonMember> members = update_object.members();
  records_.reserve(members.size());
  for (const JsonMember& member : members) {
    Query<UpdateOperator> query = parse_record<UpdateOperator>(member.key_view(), member.value);
    std::string lines = "Update operator found ";
    lines += display_name(query.op);
    lines += "\nFields: ";
    lines += format_fields(query.fields);
    lines += '\n';
    write_to_stdout(lines);
    // The target sits in the object at level fields.size().
    bool set_fits = query.op != UpdateOperator::kSet ||
                    query.fields.size() + nesting_depth(query.value) <= kMaxDocumentDepth;
    KeyPath path(query.fields);
    records_.push_back(Record{std::move(query), set_fits, std::move(path)});
  }
}

void UpdateEngine::apply(JsonValue& document) const {
  if (!document.is_object()) return;
  for (const Record& record : records_) {
    const Query<UpdateOperator>& query = record.query;
    JsonValue* parent = record.path.parent(document);
    if (parent == nullptr) continue;
    if (query.op == UpdateOperator::kDelete) {
      parent->erase(query.fields.back());
      continue;
    }
    JsonValue* target = record.path.last(*parent);
    if (target == nullptr) continue;
    double result;
    switch (query.op) {
      case UpdateOperator::kSet:
        if (record.set_fits) *target = query.value;
        continue;
      case UpdateOperator::kAdd:
      case UpdateOperator::kSubstract:
        if (!target->is_number() || !query.value.is_number()) continue;
        result = query.op == UpdateOperator::kAdd
                     ? target->to_double() + query.value.to_double()
                     : target->to_double() - query.value.to_double();
        break;
      case UpdateOperator::kIncrement:
      case UpdateOperator::kDecrement:
        if (!target->is_number()) continue;
        result = target->to_double() + (query.op == UpdateOperator::kIncrement ? 1.0 : -1.0);
        break;
      default:
        continue;
    }
    // An overflow to infinity stores null: JsonValue::number never holds a non-finite value.
    *target = JsonValue::number(result);
  }
}

}  // namespace tovra::query
