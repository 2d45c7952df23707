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
// (small inserts, values set by updates) go to the last arena that is the collection's own. A
// value an update replaces leaves dead space behind; compact() copies the documents into one
// fresh arena, and drops the old ones, once dead space passes half of what the documents hold.
//
// The collections of one loaded document share its arena (SharedArena). Each counts only its
// own documents' bytes in it, never puts new blocks there, and counts as dead space of its own
// whatever the others let go of (by compacting or going away), which it alone now keeps alive:
// so its compaction lets go of that memory.
#pragma once

#include <algorithm>
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

// An arena that the documents of several collections live in, and the bytes of the documents
// whose collections let go of it (memory that only the remaining holders keep alive).
struct SharedArena {
  explicit SharedArena(std::shared_ptr<Arena> shared) : arena(std::move(shared)) {}
  std::shared_ptr<Arena> arena;
  size_t released = 0;
};

class Collection {
 public:
  Collection() = default;
  // Documents whose blocks may live in `arena`, which the collection keeps.
  explicit Collection(std::vector<JsonValue> documents, std::shared_ptr<Arena> arena = nullptr)
      : documents_(std::move(documents)) {
    if (arena != nullptr) arenas_.push_back(HeldArena{std::move(arena), nullptr, 0});
  }
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;
  ~Collection() { let_go_of_shared(); }

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

    // The arena for new blocks of this collection's documents, made on first use: always one
    // of the collection's own.
    Arena& arena() {
      if (c_.arenas_.empty() || c_.arenas_.back().shared != nullptr) {
        c_.arenas_.reserve(c_.arenas_.size() + 1);
        c_.arenas_.push_back(HeldArena{std::make_shared<Arena>(), nullptr, 0});
      }
      return *c_.arenas_.back().arena;
    }
    // Keeps `arena`, whose blocks documents moved in use, alive with the collection. Call it
    // before moving them in (it may fail; the moves cannot).
    void adopt(std::shared_ptr<Arena> arena) {
      if (arena != nullptr && (c_.arenas_.empty() || c_.arenas_.back().arena != arena)) {
        c_.arenas_.push_back(HeldArena{std::move(arena), nullptr, 0});
      }
    }
    // The same for a shared arena, in which the documents moved in take `bytes`.
    void adopt_shared(const std::shared_ptr<SharedArena>& shared, size_t bytes) {
      for (HeldArena& held : c_.arenas_) {
        if (held.shared == shared) {
          held.share += bytes;
          return;
        }
      }
      c_.arenas_.push_back(HeldArena{shared->arena, shared, bytes});
    }
    // Arena bytes that no document reaches any more, for the caller to add to (compact()
    // reclaims them).
    size_t& dead_bytes() noexcept { return c_.dead_bytes_; }
   private:
    friend class Collection;
    Collection& c_;
  };

 // Copies the documents into one fresh arena, dropping the arenas they lived in, when their
  // dead space is at least 1 MiB and half of what they hold; without the memory for the copy,
  // everything stays as it was. True when it let go of a shared arena, whose other holders
  // then have more to reclaim. `guard` is the caller's write lock on this collection.
  bool compact(const WriteGuard& guard) noexcept;

  // Whether some documents live in an arena shared with other collections.
  bool shares_arenas() const noexcept {
    for (const HeldArena& held : arenas_) {
      if (held.shared != nullptr) return true;
    }
    return false;
  }

 private:
  struct HeldArena {
    std::shared_ptr<Arena> arena;
    std::shared_ptr<SharedArena> shared;  // null for an arena of the collection's own
    size_t share;                         // of a shared arena: the bytes of our documents
  };
  // Tells the shared arenas that this collection's documents in them are gone.
  void let_go_of_shared() noexcept {
    for (HeldArena& held : arenas_) {
      if (held.shared != nullptr) held.shared->released += held.share;
    }
  }

  // Declared before the documents, so that it goes after them.
  std::vector<HeldArena> arenas_;
  std::vector<JsonValue> documents_;
  // Indexes over documents_ by position, which neither compaction nor appending changes.
  mutable IndexSet indexes_;
  size_t dead_bytes_ = 0;
  mutable uint32_t readers_ = 0;
  uint32_t writers_ = 0;
};

inline bool Collection::compact([[maybe_unused]] const WriteGuard& guard) noexcept {
  TOVRA_ASSERT(&guard.c_ == this);
  size_t held = 0;
  size_t dead = dead_bytes_;
  bool shared = false;
  for (const HeldArena& arena : arenas_) {
    if (arena.shared == nullptr) {
      held += arena.arena->bytes_used();
    } else {
      // What the other holders let go of (counted once they are gone) stays for us alone.
      held += arena.share;
      dead += arena.shared->released;
      shared = true;
    }
  }
  // Small collections are not worth the copy.
  constexpr size_t kMinimumDead = size_t{1} << 20;
  if (dead < kMinimumDead || dead * 2 < held) return false;
  try {
    auto fresh = std::make_shared<Arena>();
    // Documents read from a file keep the large pages they were read into.
    if (std::any_of(arenas_.begin(), arenas_.end(), [](const HeldArena& kept) {
          return kept.arena->asks_for_large_pages();
        })) {
      fresh->ask_for_large_pages();
    }
    std::vector<JsonValue> copies;
    copies.reserve(documents_.size());
    for (const JsonValue& document : documents_) copies.push_back(document.copy_into(fresh.get()));
    std::vector<HeldArena> arenas;
    arenas.push_back(HeldArena{std::move(fresh), nullptr, 0});
    // Nothing below can fail: the old documents go first, then the arenas they lived in.
    documents_.swap(copies);
    copies.clear();
    let_go_of_shared();
    arenas_.swap(arenas);
    dead_bytes_ = 0;
    return shared;
  } catch (const std::bad_alloc&) {
    // No memory for the copy: the dead space stays until a later attempt.
    return false;
  }
}

using CollectionHandle = std::shared_ptr<Collection>;

}  // namespace tovra
