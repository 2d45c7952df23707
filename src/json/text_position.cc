#include "json/text_position.h"

#include <cstring>

namespace tovra {

namespace {

// The characters that start in [p, end): every byte but a UTF-8 continuation byte starts one.
uint64_t characters_in(const char* p, const char* end) noexcept {
  uint64_t count = 0;
  for (; p != end; ++p) count += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
  return count;
}

}  // namespace

void TextPosition::advance(std::string_view piece) noexcept {
  const char* p = piece.data();
  const char* end = p + piece.size();
  while (p != end) {
    const void* found = std::memchr(p, '\n', static_cast<size_t>(end - p));
    if (found == nullptr) {
      column_ += characters_in(p, end);
      return;
    }
    ++line_;
    column_ = 1;
    p = static_cast<const char*>(found) + 1;
  }
}

std::string TextPosition::describe() const {
  return "line " + std::to_string(line_) + ", column " + std::to_string(column_);
}

}  // namespace tovra
