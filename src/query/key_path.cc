#include "query/key_path.h"

namespace tovra::query {

KeyPath::KeyPath(const std::vector<std::string>& fields) {
  steps_.reserve(fields.size());
  for (const std::string& field : fields) steps_.push_back(Step{JsonValue::string(field)});
}

const JsonValue* KeyPath::resolve(const JsonValue& document) const noexcept {
  const JsonValue* current = &document;
  for (const Step& step : steps_) {
    if (!current->is_object()) return nullptr;
    current = current->find(step.key, step.hint);
    if (current == nullptr) return nullptr;
  }
  return current;
}

JsonValue* KeyPath::parent(JsonValue& document) const noexcept {
  JsonValue* current = &document;
  for (size_t i = 0; i + 1 < steps_.size(); ++i) {
    current = current->find(steps_[i].key, steps_[i].hint);
    if (current == nullptr || !current->is_object()) return nullptr;
  }
  return current;
}

void KeyPath::prefetch(const JsonValue& document, size_t level) const noexcept {
  if (level >= steps_.size()) return;
  const JsonValue* current = &document;
  for (size_t i = 0; i < level; ++i) {
    current = current->find(steps_[i].key, steps_[i].hint);
    if (current == nullptr) return;
  }
  current->prefetch_member(steps_[level].hint);
}

JsonValue* KeyPath::last(JsonValue& parent) const noexcept {
  if (steps_.empty()) return nullptr;
  const Step& step = steps_.back();
  return parent.find(step.key, step.hint);
}

}  // namespace tovra::query
