// KeyPath: the path of a query record, resolved through nested objects one key at a time.
//
// Documents of one collection mostly share their layout, so each step remembers the position
// where it found its key last and tries it first (JsonValue::find with a hint); a miss falls
// back to a binary search. The remembered positions are the only state, private to the engine
// of one call; a KeyPath is not shared between threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json/json_value.h"

namespace tovra::query {

class KeyPath {
 public:
  explicit KeyPath(const std::vector<std::string>& fields);

  // The value at the end of the path, or nullptr when a key is missing or a step meets a value
  // that is not an object (arrays are never entered).
  const JsonValue* resolve(const JsonValue& document) const noexcept;
  // The object that holds (or would hold) the last key, or nullptr.
  JsonValue* parent(JsonValue& document) const noexcept;
  // The last key, looked up in `parent`.
  JsonValue* last(JsonValue& parent) const noexcept;
  // Asks for the memory of the member where the key of step `level` was found last, looking up
  // the keys before it (a scan asks for level 0 some documents ahead, then for the next level
  // a few documents later, when the memory of the level before has arrived).
  void prefetch(const JsonValue& document, size_t level = 0) const noexcept;
  size_t levels() const noexcept { return steps_.size(); }

 private:
  struct Step {
    JsonValue key;
    mutable uint32_t hint = 0;
  };
  std::vector<Step> steps_;
};

// Inline: scans and updates call these once or twice for every document.
inline const JsonValue* KeyPath::resolve(const JsonValue& document) const noexcept {
  const JsonValue* current = &document;
  for (const Step& step : steps_) {
    if (!current->is_object()) return nullptr;
    current = current->find(step.key, step.hint);
    if (current == nullptr) return nullptr;
  }
  return current;
}

inline JsonValue* KeyPath::parent(JsonValue& document) const noexcept {
  JsonValue* current = &document;
  for (size_t i = 0; i + 1 < steps_.size(); ++i) {
    current = current->find(steps_[i].key, steps_[i].hint);
    if (current == nullptr || !current->is_object()) return nullptr;
  }
  return current;
}

inline void KeyPath::prefetch(const JsonValue& document, size_t level) const noexcept {
  if (level >= steps_.size()) return;
  const JsonValue* current = &document;
  for (size_t i = 0; i < level; ++i) {
    current = current->find(steps_[i].key, steps_[i].hint);
    if (current == nullptr) return;
  }
  current->prefetch_member(steps_[level].hint);
}

inline JsonValue* KeyPath::last(JsonValue& parent) const noexcept {
  if (steps_.empty()) return nullptr;
  const Step& step = steps_.back();
  return parent.find(step.key, step.hint);
}

}  // namespace tovra::query
