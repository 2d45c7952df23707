// Arena: memory for the blocks of many values that live and die together, such as the
// documents of a collection.
//
// Blocks are carved in order from chunks that the arena owns, so the values built one after
// another lie one after another in memory, and a block costs a pointer bump instead of an
// allocation. Blocks are never freed one by one: the chunks go when the arena goes. A value
// whose block lives in an arena is marked as such and frees nothing; whoever holds the arena
// keeps it alive for as long as such values can be reached (a collection holds the arenas of
// its documents). Not thread-safe: the interpreter lock serialises every use.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

#include "json/shape_table.h"

namespace tovra {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // `bytes` of memory aligned to 8, valid until the arena goes. Throws std::bad_alloc.
  void* allocate(size_t bytes) {
    bytes = (bytes + 7) & ~size_t{7};
    if (static_cast<size_t>(limit_ - cursor_) < bytes) return allocate_slow(bytes);
    void* block = cursor_;
    cursor_ += bytes;
    used_ += bytes;
    return block;
  }

  // A point to go back to: rewind(mark) gives back every block allocated since mark() was
  // taken (values in them must be gone or never read again). Chunks added since are freed.
  struct Mark {
    size_t chunks;
    char* cursor;
    char* limit;
    size_t next_chunk;
    size_t used;
    size_t reserved;
  };
  Mark mark() const noexcept {
    return Mark{chunks_.size(), cursor_, limit_, next_chunk_, used_, reserved_};
  }
  void rewind(const Mark& mark) noexcept {
    while (chunks_.size() > mark.chunks) chunks_.pop_back();
    cursor_ = mark.cursor;
    limit_ = mark.limit;
    next_chunk_ = mark.next_chunk;
    used_ = mark.used;
    reserved_ = mark.reserved;
  }

  // The shapes of the objects whose blocks are in this arena (see shape_table.h), and the
  // arena of their own that holds them and their keys, made on first use (throws
  // std::bad_alloc): rewind() leaves both alone, so a shape made for a value that was rewound
  // away stays valid, merely unused.
  ShapeTable& shapes() noexcept { return shapes_; }
  Arena& shape_storage() {
    if (!shape_storage_) shape_storage_ = std::make_unique<Arena>();
    return *shape_storage_;
  }

  // Bytes handed out, and bytes held in chunks.
  size_t bytes_used() const noexcept { return used_; }
  size_t bytes_reserved() const noexcept { return reserved_; }

  // The chunks that an arena grows by reach kLargePage bytes and more; those are aligned to
  // kLargePage. Those of an arena that asked for large pages and holds kLargeArena bytes
  // already are passed, once made, to the hint installed here (none by default), which may ask
  // the system to back them with large pages: scans of a big collection then miss the address
  // cache far less, and it takes a page fault per 2 MiB instead of per 4 KiB, while the large
  // page that an arena fills only in part stays a small share of it. Where the kernel must
  // compact memory to make a large page, the first touch of each costs milliseconds, so only
  // arenas that a file is read into ask (an arena of converted Python values would pay that
  // for every insert). A block that gets a chunk of its own is neither aligned nor hinted. The
  // json layer makes no system calls itself; whoever embeds it installs the hint.
  static constexpr size_t kLargePage = size_t{2} << 20;
  static constexpr size_t kLargeArena = kLargePage;
  using LargeChunkHint = void (*)(void* chunk, size_t bytes) noexcept;
  static void set_large_chunk_hint(LargeChunkHint hint) noexcept;
  // From now on, the arena's large chunks go to the hint.
  void ask_for_large_pages() noexcept { large_pages_ = true; }
  bool asks_for_large_pages() const noexcept { return large_pages_; }

  // For tests of memory exhaustion: a chunk that the check installed here (none by default)
  // answers false for is not allocated, as if the C library had no memory for it.
  using ChunkCheck = bool (*)() noexcept;
  static void set_chunk_check(ChunkCheck check) noexcept;

 private:
  static constexpr size_t kFirstChunk = 4096;
  static constexpr size_t kLargestChunk = 2 * kLargePage;

  void* allocate_slow(size_t bytes);
  // A chunk of `bytes` from the C library: one the arena grows by (`growing`), or one for a
  // single large block.
  char* new_chunk(size_t bytes, bool growing);

  struct FreeChunk {
    void operator()(char* chunk) const noexcept { std::free(chunk); }
  };
  std::vector<std::unique_ptr<char, FreeChunk>> chunks_;
  ShapeTable shapes_;
  std::unique_ptr<Arena> shape_storage_;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
  size_t next_chunk_ = kFirstChunk;
  size_t used_ = 0;
  size_t reserved_ = 0;
  bool large_pages_ = false;
};

}  // namespace tovra
