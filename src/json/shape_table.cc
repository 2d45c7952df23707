#include "json/shape_table.h"

#include <new>

namespace tovra {

Shape* ShapeTable::make(size_t size, uint32_t hash) {
  if (2 * (count_ + 1) > slots_.size()) {
    std::vector<const Shape*> grown(slots_.empty() ? 16 : 2 * slots_.size(), nullptr);
    const size_t mask = grown.size() - 1;
    for (const Shape* shape : slots_) {
      if (shape == nullptr) continue;
      size_t i = shape->hash() & mask;
      while (grown[i] != nullptr) i = (i + 1) & mask;
      grown[i] = shape;
    }
    slots_.swap(grown);
  }
  void* memory = storage_.allocate(sizeof(Shape) + size * sizeof(JsonValue));
  Shape* shape = new (memory) Shape(owner_, static_cast<uint32_t>(size), hash);
  std::uninitialized_default_construct_n(shape->mutable_keys(), size);
  return shape;
}

void ShapeTable::add(const Shape* shape) noexcept {
  const size_t mask = slots_.size() - 1;
  size_t i = shape->hash() & mask;
  while (slots_[i] != nullptr) i = (i + 1) & mask;
  slots_[i] = shape;
  ++count_;
}

void Arena::DropShapes::operator()(ShapeTable* table) const noexcept { delete table; }

ShapeTable& Arena::shapes() {
  if (!shapes_) shapes_.reset(new ShapeTable(this));
  return *shapes_;
}

}  // namespace tovra
