// CollectionHandle: a shared, reference-counted, reader/writer-locked ordered list of documents.
//
// The registry holds one handle per collection; each cached find result is a handle of its own.
// Every call runs with the interpreter lock held and never releases it, so a lock is never
// contended by another thread: the guards below record the state instead of blocking (blocking
// while holding the interpreter lock could only deadlock). A conflicting acquisition means an
// internal invariant broke: debug builds stop at it, release builds report it as a panic.
//
// No operation leaves a document list half-changed: an insert makes room before it moves
// anything in, and an update changes each document completely or not at all. So a failure
// while a lock is held never makes a collection unusable.
//
// The blocks of the documents live in arenas that the collection holds (json/arena.h): the
// documents of a file or of one large insert lie together, in collection order, and new blocks
// (small inserts, values set by updates) go to the last arena. A value an update replaces
// leaves dead space behind; when dead space passes half of what the arenas hold, the documents
// are copied into one fresh arena and the old ones dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "json/arena.h"
#include "json/error.h"
#include "json/invariant.h"
#include "json/json_value.h"
#include "store/indexes.h"

namespace tovra {

class Collection {
 public:
  Collection() = default;
  // Documents whose blocks may live in `arena`, which the collection keeps.
  explicit Collection(std::vector<JsonValue> documents, std::shared_ptr<Arena> arena = nullptr)
      : documents_(std::move(documents)) {
    if (arena != nullptr) arenas_.push_back(std::move(arena));
  }
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  // Shared access for reading, converting and writing the documents.
  class ReadGuard {
   public:
    explicit ReadGuard(const Collection& c) : c_(c) {
      if (NEVER(c_.writers_ != 0)) throw Error::panic("collection lock already held for writing");
      ++c_.readers_;
    }
    ~ReadGuard() { --c_.readers_; }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    const std::vector<JsonValue>& documents() const noexcept { return c_.documents_; }
    // Choosing documents through an index may build one: the indexes change under a read lock.
    IndexSet& indexes() const noexcept { return c_.indexes_; }

   private:
    const Collection& c_;
  };

  // Exclusive access for changing the documents.
  class WriteGuard {
   public:
    explicit WriteGuard(Collection& c) : c_(c) {
      if (NEVER(c_.writers_ != 0 || c_.readers_ != 0)) {
        throw Error::panic("collection lock already held");
      }
      c_.writers_ = 1;
    }
    ~WriteGuard() {
      TOVRA_ASSERT(c_.writers_ == 1 && c_.readers_ == 0);
      c_.writers_ = 0;
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    std::vector<JsonValue>& documents() noexcept { return c_.documents_; }
    IndexSet& indexes() noexcept { return c_.indexes_; }

    // The arena for new blocks of this collection's documents, made on first use.
    Arena& arena() {
      if (c_.arenas_.empty()) c_.arenas_.push_back(std::make_shared<Arena>());
      return *c_.arenas_.back();
    }
    // Keeps `arena`, whose blocks documents moved in use, alive with the collection. Call it
    // before moving them in (it may fail; the moves cannot).
    void adopt(std::shared_ptr<Arena> arena) {
      if (arena != nullptr && (c_.arenas_.empty() || c_.arenas_.back() != arena)) {
        c_.arenas_.push_back(std::move(arena));
      }
    }
    // Records arena bytes that no document reaches any more, and copies the documents into
    // one fresh arena when they pass half of the arenas' size. Without the memory for the
    // copy, everything stays as it was.
    void release_bytes(size_t bytes) noexcept;

   private:
    Collection& c_;
  };

 private:
  // Declared before the documents, so that it goes after them.
  std::vector<std::shared_ptr<Arena>> arenas_;
  std::vector<JsonValue> documents_;
  // Indexes over documents_ by position, which neither compaction nor appending changes.
  mutable IndexSet indexes_;
  size_t dead_bytes_ = 0;
  mutable uint32_t readers_ = 0;
  uint32_t writers_ = 0;
};

inline void Collection::WriteGuard::release_bytes(size_t bytes) noexcept {
  c_.dead_bytes_ += bytes;
  size_t held = 0;
  for (const std::shared_ptr<Arena>& arena : c_.arenas_) held += arena->bytes_used();
  // Small collections are not worth the copy.
  constexpr size_t kMinimumDead = size_t{1} << 20;
  if (c_.dead_bytes_ < kMinimumDead || c_.dead_bytes_ * 2 < held) return;
  try {
    auto fresh = std::make_shared<Arena>();
    std::vector<JsonValue> copies;
    copies.reserve(c_.documents_.size());
    for (const JsonValue& document : c_.documents_) copies.push_back(document.copy_into(fresh.get()));
    std::vector<std::shared_ptr<Arena>> arenas{std::move(fresh)};
    // Nothing below can fail: the old documents go first, then the arenas they lived in.
    c_.documents_.swap(copies);
    copies.clear();
    c_.arenas_.swap(arenas);
    c_.dead_bytes_ = 0;
  } catch (const std::bad_alloc&) {
    // No memory for the copy: the dead space stays until a later attempt.
  }
}

using CollectionHandle = std::shared_ptr<Collection>;

}  // namespace tovra
