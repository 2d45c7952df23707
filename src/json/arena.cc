#include "json/arena.h"

#include <new>

namespace tovra {

void* Arena::allocate_slow(size_t bytes) {
  chunks_.reserve(chunks_.size() + 1);  // so that the push below cannot fail after allocating
  if (bytes > next_chunk_ / 4) {
    // A large block gets a chunk of its own; the current chunk stays open for small ones.
    char* chunk = static_cast<char*>(::operator new(bytes));
    chunks_.emplace_back(chunk);
    used_ += bytes;
    reserved_ += bytes;
    return chunk;
  }
  char* chunk = static_cast<char*>(::operator new(next_chunk_));
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
