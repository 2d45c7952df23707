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
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "json/error.h"
#include "json/invariant.h"
#include "json/json_value.h"

namespace tovra {

class Collection {
 public:
  Collection() = default;
  explicit Collection(std::vector<JsonValue> documents) : documents_(std::move(documents)) {}
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

   private:
    Collection& c_;
  };

 private:
  std::vector<JsonValue> documents_;
  mutable uint32_t readers_ = 0;
  uint32_t writers_ = 0;
};

using CollectionHandle = std::shared_ptr<Collection>;

}  // namespace tovra
