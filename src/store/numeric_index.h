// NumericIndex: for one field path of a collection, the documents holding a number there,
// ordered by that number, to answer the ordering records ($gt, $gte, $lt, $lte).
//
// What is kept: 12 bytes per document holding a number (the number as the filter compares it,
// a double, and the position), in one array sorted by (number, position), plus the entries
// added since the last merge in a second, unsorted array of at most a sixteenth of the first
// (merged into it when it grows past that); entries removed from the sorted array are flagged
// and dropped at the next merge. And a count of the documents holding something else there:
// an ordering record raises on those, so while there are any, the index cannot stand in for a
// scan (the caller checks non_numbers()). Positions are below 2^31.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "json/json_value.h"
#include "query/query.h"

namespace tovra {

class NumericIndex {
 public:
  // Records the value at the path of the document at `position` (nullptr: the path is missing
  // there). Throws std::bad_alloc with the index unchanged.
  void add(uint32_t position, const JsonValue* value) {
    if (value == nullptr) return;
    if (value->is_number()) {
      add_key(position, key_of(*value));
    } else {
      add_non_number();
    }
  }
  // The same, by parts: a number's key (key_of), or a value that is not a number.
  void add_key(uint32_t position, double key);
  void add_non_number() noexcept { ++non_numbers_; }
  // Removes what add_key(position, key) or add_non_number() recorded; false when it is not
  // there (the index unchanged).
  bool remove_key(uint32_t position, double key) noexcept;
  bool remove_non_number() noexcept {
    if (non_numbers_ == 0) return false;
    --non_numbers_;
    return true;
  }
  // Sorts what was added, once a build has added everything.
  void finish_build();

  size_t non_numbers() const noexcept { return non_numbers_; }
  // Appends to `out`, in no particular order, the positions of the documents holding a number
  // for which `op` against `bound` holds.
  void candidates(query::FilterOperator op, double bound, std::vector<uint32_t>& out) const;

  size_t memory_bytes() const noexcept {
    return (sorted_.capacity() + pending_.capacity()) * sizeof(Entry);
  }

  // The key of a number: the double the filter compares, with -0.0 as 0.0 (they compare equal,
  // so either order between them is sorted; one bit pattern keeps (key, position) exact).
  static double key_of(const JsonValue& number) noexcept { return number.to_double() + 0.0; }

 private:
  static constexpr uint32_t kRemoved = 0x80000000u;
#pragma pack(push, 4)
  struct Entry {
    double key;
    uint32_t position;  // kRemoved set: removed since the last merge
  };
#pragma pack(pop)
  static_assert(sizeof(Entry) == 12);

  static bool before(const Entry& a, const Entry& b) noexcept {
    if (a.key != b.key) return a.key < b.key;
    return (a.position & ~kRemoved) < (b.position & ~kRemoved);
  }
  // Sorts pending_ into sorted_, dropping removed entries. Throws std::bad_alloc with the index
  // unchanged.
  void merge();

  std::vector<Entry> sorted_;
  std::vector<Entry> pending_;
  bool building_ = true;  // until finish_build(): everything stays pending
  size_t removed_ = 0;
  size_t non_numbers_ = 0;
};

}  // namespace tovra
