#include "query/update.h"

#include <algorithm>
#include <utility>

#include "json/error.h"
#include "json/invariant.h"

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
      for (auto member : current->members()) {
        const JsonValue& v = member.value;
        if (v.is_array() || v.is_object()) pending.emplace_back(&v, level + 1);
      }
    }
  }
  return deepest;
}

// The arena bytes that `value` holds (none for values on the heap or without blocks).
size_t arena_bytes(const JsonValue& value) noexcept {
  return value.in_arena() ? value.block_bytes() : 0;
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

UpdateEngine::UpdateEngine(const JsonValue& update_object, DiagnosticSink* diagnostics) {
  if (!update_object.is_object()) throw Error::panic("Not Valid query");
  auto members = update_object.members();
  records_.reserve(members.size());
  for (auto member : members) {
    Query<UpdateOperator> query = parse_record<UpdateOperator>(member.key_view(), member.value);
    std::string lines = "Update operator found ";
    lines += display_name(query.op);
    lines += "\nFields: ";
    lines += format_fields(query.fields);
    lines += '\n';
    if (diagnostics != nullptr) diagnostics->write(lines);
    // The target sits in the object at level fields.size().
    bool set_fits = query.op != UpdateOperator::kSet ||
                    query.fields.size() + nesting_depth(query.value) <= kMaxDocumentDepth;
    bool copies_operand = query.op == UpdateOperator::kSet && set_fits && query.value.has_block();
    if (copies_operand) ++copies_per_document_;
    if (copies_operand || query.op == UpdateOperator::kDelete) may_fail_ = true;
    KeyPath path(query.fields);
    records_.push_back(Record{std::move(query), set_fits, copies_operand, std::move(path)});
  }
  if (may_fail_) log_.reserve(records_.size());
}

void UpdateEngine::apply(JsonValue& document, Arena* arena, size_t* released) const {
  if (!document.is_object()) return;
  size_t freed = 0;
  if (arena == nullptr) {
    // On the heap, copies of the Set operands that own memory are made before anything
    // changes; the records then only move them in.
    std::vector<JsonValue> operands;
    if (copies_per_document_ != 0) {
      operands.reserve(copies_per_document_);
      for (const Record& record : records_) {
        if (record.copies_operand) operands.push_back(record.query.value.copy_into(nullptr));
      }
    }
    apply_records(document, nullptr, operands.data(), freed, nullptr);
  } else if (!may_fail_) {
    apply_records(document, arena, nullptr, freed, nullptr);
  } else {
    const Arena::Mark mark = arena->mark();
    log_.clear();
    try {
      apply_records(document, arena, nullptr, freed, &log_);
    } catch (...) {
      undo(log_);
      // What the copies took is unreachable again.
      arena->rewind(mark);
      throw;
    }
    log_.clear();  // the replaced values go (arena values free nothing)
  }
  if (released != nullptr) *released += freed;
}

void UpdateEngine::undo(std::vector<Change>& log) noexcept {
  while (!log.empty()) {
    Change& change = log.back();
    if (change.shape != nullptr) {
      change.slot->restore_member(change.index, change.shape, std::move(change.old));
    } else {
      *change.slot = std::move(change.old);
    }
    log.pop_back();
  }
}

void UpdateEngine::apply_records(JsonValue& document, Arena* arena, JsonValue* operands,
                                 size_t& released, std::vector<Change>* log) const {
  // Replaces the value at `target`, keeping the old one in the log.
  auto replace = [&](JsonValue* target, JsonValue value) {
    released += arena_bytes(*target);
    if (log != nullptr) {
      TOVRA_ASSERT(log->size() < log->capacity());  // never allocates
      log->push_back(Change{target, std::move(*target), nullptr, 0});
    }
    *target = std::move(value);
  };
  size_t next_operand = 0;
  for (const Record& record : records_) {
    const Query<UpdateOperator>& query = record.query;
    const bool heap_operand = record.copies_operand && operands != nullptr;
    JsonValue* parent = record.path.parent(document);
    JsonValue* target = parent != nullptr ? record.path.last(*parent) : nullptr;
    if (target == nullptr) {
      if (heap_operand) ++next_operand;
      continue;
    }
    double result;
    switch (query.op) {
      case UpdateOperator::kDelete: {
        const size_t index = static_cast<size_t>(target - parent->values().data());
        const Shape* before = parent->shape();
        const Shape* after = parent->shape_without(index);  // may fail; nothing changed yet
        released += arena_bytes(*target);
        JsonValue taken = parent->take_member(index, after);
        // The objects of documents in an arena live in an arena, so their removals can be
        // undone.
        if (log != nullptr && ALWAYS(before->owner() != nullptr)) {
          TOVRA_ASSERT(log->size() < log->capacity());
          log->push_back(Change{parent, std::move(taken), before, index});
        }
        continue;
      }
      case UpdateOperator::kSet:
        if (!record.set_fits) continue;  // such a Set copies nothing
        if (heap_operand) {
          replace(target, std::move(operands[next_operand++]));
        } else if (record.copies_operand) {
          replace(target, query.value.copy_into(arena));
        } else {
          replace(target, query.value);  // a scalar or short string: no memory to fail on
        }
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
    replace(target, JsonValue::number(result));
  }
  TOVRA_ASSERT(operands == nullptr || next_operand == copies_per_document_);
}

}  // namespace tovra::query
