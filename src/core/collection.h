// CollectionHandle: a shared, reference-counted, reader/writer-locked ordered list of documents.
//
// The registry holds one handle per collection; each cached find result is a handle of its own.
// Every call runs with the interpreter lock held and never releases it, so a lock is never
// contended by another thread: the guards below record the state instead of blocking (blocking
// while holding the interpreter lock could only deadlock). A conflicting acquisition means an
// internal invariant broke and is reported as a panic. A writer that leaves by an exception
// other than tovra::Error marks the collection poisoned: its documents may be half-changed, so
// later readers get "lock poison error while serializing".
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "core/error.h"
#include "core/json_value.h"

namespace tovra {

class Collection {
 public:
  Collection() = default;
  explicit Collection(std::vector<JsonValue> documents) : documents_(std::move(documents)) {}
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  bool poisoned() const noexcept { return poisoned_; }

  // Shared access for reading, converting and writing the documents.
  class ReadGuard {
   public:
    explicit ReadGuard(const Collection& c) : c_(c) {
      if (c_.poisoned_) throw Error::exception("lock poison error while serializing");
      if (c_.writers_ != 0) throw Error::panic("collection lock already held for writing");
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
    explicit WriteGuard(Collection& c) : c_(c), exceptions_(std::uncaught_exceptions()) {
      if (c_.poisoned_) throw Error::exception("lock poison error while serializing");
      if (c_.writers_ != 0 || c_.readers_ != 0) {
        throw Error::panic("collection lock already held");
      }
      c_.writers_ = 1;
    }
    ~WriteGuard() {
      c_.writers_ = 0;
      if (changing_ && std::uncaught_exceptions() > exceptions_) c_.poisoned_ = true;
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    std::vector<JsonValue>& documents() noexcept { return c_.documents_; }
    // Brackets a change that an exception could leave half done; leaving by an exception
    // between the two calls poisons the collection.
    void begin_change() noexcept { changing_ = true; }
    void end_change() noexcept { changing_ = false; }

   private:
    Collection& c_;
    int exceptions_;
    bool changing_ = false;
  };

 private:
  std::vector<JsonValue> documents_;
  mutable uint32_t readers_ = 0;
  uint32_t writers_ = 0;
  bool poisoned_ = false;
};

using CollectionHandle = std::shared_ptr<Collection>;

}  // namespace tovra
