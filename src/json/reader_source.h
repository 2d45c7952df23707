// The two sources of the reader's text: a stream pulled through one buffer, and text in memory.
// Each hands out chunks of bytes. No chunk ends inside a UTF-8 sequence, and every chunk is
// followed by at least kSlack readable bytes that are not part of it (what they hold is
// unspecified): the parser's fast paths load 16 bytes at a time and read a number's digits
// without testing for the end at each byte, and test only that what they take lies in the
// chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "json/json_reader.h"

namespace tovra::reader {

// Large enough that a file costs few system calls, small enough to stay in the processor's
// caches while it is parsed.
constexpr size_t kReadBufferSize = size_t{256} << 10;

// Readable bytes past the end of every chunk. The parser's widest look past its position is a
// number's 21 characters and the byte after them, or a 16-byte load.
inline constexpr size_t kSlack = 32;

// The length of the longest prefix of [p, p + n) that does not end inside a UTF-8 sequence: a
// byte of the form 11xxxxxx among the last three, whose sequence would need more bytes than
// follow it, starts the rest (the next chunk's check refuses it if it can begin no sequence).
inline size_t whole_sequences(const char* p, size_t n) {
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    auto c = static_cast<unsigned char>(p[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: its lead is further back
    size_t length = c >= 0xF0 ? 4 : (c >= 0xE0 ? 3 : (c >= 0xC0 ? 2 : 1));
    return length > back ? n - back : n;
  }
  return n;
}

// Bytes of a stream, pulled through one buffer. The stream reports its own failures
// by throwing, so a text cut short by an error is never taken for a complete one. A chunk never
// ends inside a UTF-8 sequence: the bytes of one cut by a read begin the next chunk.
class StreamSource {
 public:
  explicit StreamSource(ByteSource& stream) : stream_(stream) {}
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;

  // The next chunk, or false at the end of the input.
  bool next(const char*& begin, const char*& end) {
    char* buffer = buffer_.get();
    for (size_t i = chunk_size_; i > 0; --i) {
      char c = buffer[i - 1];
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
        byte_before_ = static_cast<unsigned char>(c);
        break;
      }
    }
    chunk_offset_ += chunk_size_;
    size_t have = held_;
    std::memcpy(buffer, held_bytes_, held_);
    held_ = 0;
    for (;;) {
      size_t n = stream_.read(buffer + have, kReadBufferSize - have);
      if (n == 0) break;  // the end: bytes of a sequence cut short go out as they are
      have += n;
      size_t whole = whole_sequences(buffer, have);
      if (whole > 0) {
        held_ = have - whole;
        std::memcpy(held_bytes_, buffer + whole, held_);
        have = whole;
        break;
      }
    }
    chunk_size_ = have;
    if (have == 0) return false;
    begin = buffer;
    end = buffer + have;
    return true;
  }

  // The offset from the start of the stream of `p`, a byte of the current chunk, or of the end
  // of the input for null. Only asked once a parse fails.
  uint64_t offset_of(const char* p) const noexcept {
    return chunk_offset_ + (p == nullptr ? chunk_size_ : static_cast<size_t>(p - buffer_.get()));
  }
  const char* chunk_begin() const noexcept { return buffer_.get(); }
  // The last byte before the current chunk that is not whitespace, or 0 when there is none:
  // what a failure at the start of a chunk follows (a comma, say).
  unsigned char byte_before_chunk() const noexcept { return byte_before_; }

 private:
  ByteSource& stream_;
  unsigned char byte_before_ = 0;
  uint64_t chunk_offset_ = 0;  // of the current chunk's first byte
  size_t chunk_size_ = 0;
  std::unique_ptr<char[]> buffer_{new char[kReadBufferSize + kSlack]()};
  char held_bytes_[3];
  size_t held_ = 0;
};

// Text in memory, as one chunk; it may hold NUL bytes. The text is copied into a buffer of its
// own, which has the slack that the caller's memory may lack.
class TextSource {
 public:
  explicit TextSource(std::string_view text)
      : size_(text.size()), copy_(new char[text.size() + kSlack]()) {
    if (!text.empty()) std::memcpy(copy_.get(), text.data(), text.size());
  }
  bool next(const char*& begin, const char*& end) {
    if (done_) return false;
    done_ = true;
    begin = copy_.get();
    end = copy_.get() + size_;
    return true;
  }

  uint64_t offset_of(const char* p) const noexcept {
    return p == nullptr ? size_ : static_cast<uint64_t>(p - copy_.get());
  }
  const char* chunk_begin() const noexcept { return copy_.get(); }
  unsigned char byte_before_chunk() const noexcept { return 0; }

 private:
  size_t size_;
  std::unique_ptr<char[]> copy_;
  bool done_ = false;
};

}  // namespace tovra::reader
