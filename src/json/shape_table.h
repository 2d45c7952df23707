// ShapeTable: the shapes (sorted key lists) of the objects in one arena, each held once.
//
// Documents of a collection mostly share a few layouts, so interning their key lists makes a
// member cost 16 bytes (its value) instead of 32. Each Arena owns one table (Arena::shapes),
// and Shape::intern (json_value.h) looks shapes up in it and makes the missing ones: the table
// holds the shapes by their hash and knows nothing of keys, which is why it needs no more than
// a declaration of Shape. Lookup is open addressing over the hash; the caller's `matches` tells
// whether a shape is the one sought. Not thread-safe, as the arena is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tovra {

class Shape;

class ShapeTable {
 public:
  ShapeTable() = default;
  ShapeTable(const ShapeTable&) = delete;
  ShapeTable& operator=(const ShapeTable&) = delete;

  // Objects built one after another mostly repeat a few shapes (a document and the objects
  // nested in it): the shape among the last few interned that `matches(shape)` accepts, or
  // null. Those are compared first, without hashing the keys.
  template <typename Matches>
  const Shape* recent(Matches&& matches) const {
    for (const Shape* shape : recent_) {
      if (shape != nullptr && matches(*shape)) return shape;
    }
    return nullptr;
  }
  void remember(const Shape* shape) noexcept { recent_[next_recent_++ % kRecent] = shape; }

  // The shape of hash `hash` that `matches(shape)` accepts, or null.
  template <typename Matches>
  const Shape* find(uint32_t hash, Matches&& matches) {
    if (slots_.empty()) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask; slots_[i].shape != nullptr; i = (i + 1) & mask) {
      ++probes_;
      if (slots_[i].hash == hash && matches(*slots_[i].shape)) return slots_[i].shape;
    }
    return nullptr;
  }
  // Room for one more shape, so that add() cannot fail. Throws std::bad_alloc.
  void reserve_one();
  // Adds `shape`, which find() did not have, after reserve_one().
  void add(const Shape* shape, uint32_t hash) noexcept;

  size_t size() const noexcept { return count_; }
  // Slots looked at by lookups so far: what crafted keys would inflate.
  uint64_t probes() const noexcept { return probes_; }

 private:
  struct Slot {
    const Shape* shape = nullptr;
    uint32_t hash = 0;
  };
  std::vector<Slot> slots_;  // a power of two in size, at most half full
  size_t count_ = 0;
  uint64_t probes_ = 0;
  static constexpr size_t kRecent = 4;
  const Shape* recent_[kRecent] = {};
  size_t next_recent_ = 0;
};

}  // namespace tovra
