#include "json/arena.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace tovra {

namespace {
std::atomic<Arena::LargeChunkHint> large_chunk_hint{nullptr};
std::atomic<Arena::ChunkCheck> chunk_check{nullptr};
}  // namespace

void Arena::set_chunk_check(ChunkCheck check) noexcept {
  chunk_check.store(check, std::memory_order_relaxed);
}

void Arena::set_large_chunk_hint(LargeChunkHint hint) noexcept {
  large_chunk_hint.store(hint, std::memory_order_relaxed);
}

char* Arena::new_chunk(size_t bytes, bool growing) {
  // The growing chunks of large-page size (2 and 4 MiB, multiples of it, as aligned_alloc
  // wants) are aligned for large pages; a block with a chunk of its own takes just its size.
  const bool large = growing && bytes >= kLargePage;
  ChunkCheck check = chunk_check.load(std::memory_order_relaxed);
  if (check != nullptr && !check()) throw std::bad_alloc();
  void* chunk = large ? std::aligned_alloc(kLargePage, bytes) : std::malloc(bytes);
  if (chunk == nullptr) throw std::bad_alloc();
  LargeChunkHint hint = large_chunk_hint.load(std::memory_order_relaxed);
  if (large && large_pages_ && hint != nullptr && reserved_ >= kLargeArena) hint(chunk, bytes);
  return static_cast<char*>(chunk);
}

void* Arena::allocate_slow(size_t bytes) {
  chunks_.reserve(chunks_.size() + 1);  // so that the push below cannot fail after allocating
  if (bytes > next_chunk_ / 4) {
    // A large block gets a chunk of its own; the current chunk stays open for small ones.
    char* chunk = new_chunk(bytes, /*growing=*/false);
    chunks_.emplace_back(chunk);
    used_ += bytes;
    reserved_ += bytes;
    return chunk;
  }
  char* chunk = new_chunk(next_chunk_, /*growing=*/true);
  chunks_.emplace_back(chunk);
  reserved_ += next_chunk_;
  cursor_ = chunk;
  limit_ = chunk + next_chunk_;
  // Chunks grow with the arena, so a small collection stays small and a large one takes few.
  if (next_chunk_ < kLargestChunk) next_chunk_ *= 2;
  void* block = cursor_;
  cursor_ += bytes;
  used_ += bytes;
  return block;
}

}  // namespace tovra
