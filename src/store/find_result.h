// FindResult: the documents of one collection that passed a filter, shared with the collection
// instead of copied.
//
// A result holds the collection's handle and the positions of the passing documents: a sorted
// list of positions, or a bitmap over the documents scanned when that is smaller (a result of
// half of 50,000 documents costs 6 KiB, not 25,000 copies). The positions stay valid for as
// long as the result can be reached: documents never move within a collection or leave it
// (inserts only append), and update empties the cache, the only long-lived holder of results,
// before it changes any document. So a cached result shows exactly the documents it was made
// from, as a deep copy would, without paying for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "json/invariant.h"
#include "json/json_value.h"
#include "store/collection.h"

namespace tovra {

class FindResult {
 public:
  // Collects the positions of passing documents among `scanned` documents, in ascending
  // order. They go into a list until the list would outgrow a bitmap of all `scanned`, then
  // into that bitmap, so no result needs more memory on the way than it keeps.
  class Builder {
   public:
    explicit Builder(size_t scanned) : bitmap_words_((scanned + 63) / 64) {}
    void add(size_t position) {
      TOVRA_ASSERT(position / 64 < bitmap_words_);
      if (!bitmap_.empty()) {
        set_bit(position);
      } else {
        positions_.push_back(static_cast<uint32_t>(position));
        if (positions_.size() * sizeof(uint32_t) > bitmap_words_ * sizeof(uint64_t)) {
          to_bitmap();
        }
      }
      ++count_;
    }
    // The result over the `scanned` documents of `source`.
    std::shared_ptr<const FindResult> finish(CollectionHandle source) &&;

   private:
    void set_bit(size_t position) { bitmap_[position / 64] |= uint64_t{1} << (position % 64); }
    void to_bitmap();

    size_t bitmap_words_;
    size_t count_ = 0;
    std::vector<uint32_t> positions_;
    std::vector<uint64_t> bitmap_;
  };

  const CollectionHandle& source() const noexcept { return source_; }
  // A result that shows the same documents, copied into a collection of their own (in one
  // fresh arena): what a result that outlives its collection keeps, rather than the whole
  // collection. Throws std::bad_alloc.
  std::shared_ptr<const FindResult> detached() const;
  size_t size() const noexcept { return count_; }

  // Calls visit(document) for each passing document of `documents` (the source's documents,
  // read under its lock), in collection order.
  template <typename Visit>
  void for_each(const std::vector<JsonValue>& documents, Visit&& visit) const {
    if (bitmap_.empty()) {
      for (uint32_t position : positions_) {
        if (ALWAYS(position < documents.size())) visit(documents[position]);
      }
      return;
    }
    for (size_t word = 0; word < bitmap_.size(); ++word) {
      for (uint64_t bits = bitmap_[word]; bits != 0; bits &= bits - 1) {
        size_t position = word * 64 + static_cast<size_t>(__builtin_ctzll(bits));
        if (ALWAYS(position < documents.size())) visit(documents[position]);
      }
    }
  }

 private:
  FindResult(CollectionHandle source, size_t count, std::vector<uint32_t> positions,
             std::vector<uint64_t> bitmap)
      : source_(std::move(source)),
        count_(count),
        positions_(std::move(positions)),
        bitmap_(std::move(bitmap)) {}

  CollectionHandle source_;
  size_t count_;
  std::vector<uint32_t> positions_;  // used when bitmap_ is empty
  std::vector<uint64_t> bitmap_;     // bit i of word w: position 64 w + i passed
};

using FindResultHandle = std::shared_ptr<const FindResult>;

inline void FindResult::Builder::to_bitmap() {
  bitmap_.assign(bitmap_words_, 0);
  for (uint32_t position : positions_) set_bit(position);
  std::vector<uint32_t>().swap(positions_);  // release the capacity, not just the items
}

inline FindResultHandle FindResult::Builder::finish(CollectionHandle source) && {
  if (bitmap_.empty()) positions_.shrink_to_fit();
  return FindResultHandle(
      new FindResult(std::move(source), count_, std::move(positions_), std::move(bitmap_)));
}

inline FindResultHandle FindResult::detached() const {
  auto arena = std::make_shared<Arena>();
  std::vector<JsonValue> copies;
  copies.reserve(count_);
  {
    Collection::ReadGuard guard(*source_);
    for_each(guard.documents(),
             [&](const JsonValue& document) { copies.push_back(document.copy_into(arena.get())); });
  }
  const size_t count = copies.size();
  auto alone = std::make_shared<Collection>(std::move(copies), std::move(arena));
  Builder builder(count);
  for (size_t i = 0; i < count; ++i) builder.add(i);
  return std::move(builder).finish(std::move(alone));
}

}  // namespace tovra
