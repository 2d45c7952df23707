#include "json/shape_table.h"

namespace tovra {

void ShapeTable::reserve_one() {
  if (2 * (count_ + 1) <= slots_.size()) return;
  std::vector<Slot> grown(slots_.empty() ? 16 : 2 * slots_.size());
  const size_t mask = grown.size() - 1;
  for (const Slot& slot : slots_) {
    if (slot.shape == nullptr) continue;
    size_t i = slot.hash & mask;
    while (grown[i].shape != nullptr) i = (i + 1) & mask;
    grown[i] = slot;
  }
  slots_.swap(grown);
}

void ShapeTable::add(const Shape* shape, uint32_t hash) noexcept {
  const size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  while (slots_[i].shape != nullptr) i = (i + 1) & mask;
  slots_[i] = Slot{shape, hash};
  ++count_;
}

}  // namespace tovra
