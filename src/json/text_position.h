// Where a byte offset lies in a text, in the terms of a person reading it: a 1-based line, and a
// 1-based column counted in characters (UTF-8 sequences) of that line. It is fed the text from
// its start, in pieces, up to the offset; it is only used once something has gone wrong, so
// nothing counts lines while a text is read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovra {

class TextPosition {
 public:
  // The next bytes of the text.
  void advance(std::string_view piece) noexcept;

  uint64_t line() const noexcept { return line_; }
  uint64_t column() const noexcept { return column_; }
  // "line L, column C".
  std::string describe() const;

 private:
  uint64_t line_ = 1;
  uint64_t column_ = 1;
};

}  // namespace tovra
