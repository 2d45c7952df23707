// ShapeTable: the shapes (sorted key lists) of the objects in one arena, each held once.
//
// Documents of a collection mostly share a few layouts, so interning their key lists makes a
// member cost 16 bytes (its value) instead of 32. Shapes and their long keys live in storage
// of the table's own, which an Arena::rewind of the owning arena does not touch: a shape made
// for a value that was rewound away stays valid, merely unused. Lookup is open addressing
// over the hash of the keys. Not thread-safe, as the arena is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "json/arena.h"
#include "json/json_value.h"

namespace tovra {

class ShapeTable {
 public:
  explicit ShapeTable(Arena* owner) noexcept : owner_(owner) {}
  ShapeTable(const ShapeTable&) = delete;
  ShapeTable& operator=(const ShapeTable&) = delete;

  // The shape of `keys` (ascending and distinct: any sequence with size() and operator[]
  // giving each key), made when the table has none yet. Throws std::bad_alloc.
  template <typename Keys>
  const Shape* intern(const Keys& keys) {
    // Objects built one after another mostly repeat a few shapes (a document and the objects
    // nested in it): those are compared first, without hashing the keys.
    for (const Shape* shape : recent_) {
      if (shape != nullptr && shape->size() == keys.size() && same_keys(*shape, keys)) {
        return shape;
      }
    }
    const Shape* shape = intern(keys, Shape::hash_keys(keys));
    recent_[next_recent_++ % kRecent] = shape;
    return shape;
  }
  template <typename Keys>
  const Shape* intern(const Keys& keys, uint32_t hash) {
    if (!slots_.empty()) {
      const size_t mask = slots_.size() - 1;
      for (size_t i = hash & mask; slots_[i] != nullptr; i = (i + 1) & mask) {
        ++probes_;
        if (same_keys(*slots_[i], keys, hash)) return slots_[i];
      }
    }
    Shape* shape = make(keys.size(), hash);
    JsonValue* target = shape->mutable_keys();
    for (size_t i = 0; i < keys.size(); ++i) target[i] = keys[i].copy_into(&storage_);
    add(shape);
    return shape;
  }

  size_t size() const noexcept { return count_; }
  // Slots looked at by lookups so far: what crafted keys would inflate.
  uint64_t probes() const noexcept { return probes_; }

 private:
  template <typename Keys>
  static bool same_keys(const Shape& shape, const Keys& keys, uint32_t hash) noexcept {
    return shape.hash() == hash && shape.size() == keys.size() && same_keys(shape, keys);
  }
  // Whether `keys` (as many as the shape has) are the shape's.
  template <typename Keys>
  static bool same_keys(const Shape& shape, const Keys& keys) noexcept {
    std::span<const JsonValue> held = shape.keys();
    for (size_t i = 0; i < held.size(); ++i) {
      if (!Shape::same_key(held[i], keys[i])) return false;
    }
    return true;
  }
  // A shape of `size` null keys in the storage, with room made for it in the slots first.
  Shape* make(size_t size, uint32_t hash);
  void add(const Shape* shape) noexcept;

  Arena* owner_;
  Arena storage_;
  std::vector<const Shape*> slots_;  // a power of two in size, at most half full
  size_t count_ = 0;
  uint64_t probes_ = 0;
  static constexpr size_t kRecent = 4;
  const Shape* recent_[kRecent] = {};
  size_t next_recent_ = 0;
};

}  // namespace tovra
