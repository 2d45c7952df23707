#include "core/json_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <rapidjson/reader.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "core/error.h"

namespace tovra {

namespace {

constexpr size_t kReadBufferSize = 8192;

const char kDeserializeError[] = "Error deserializing JSON";

// The tokenizer marks the end of its input by a NUL character; both streams below deliver one
// there. A real NUL byte in the text is never valid JSON outside a string (where the tokenizer
// refuses it as a raw control character), but the tokenizer would take one right after the
// value for the end, so each stream also says whether the input was really used up.

// A stream over a file descriptor through a fixed 8 KiB buffer, in the shape the tokenizer
// expects. A read error ends the stream and is remembered, so that a truncated text that
// happens to be valid is not accepted.
class FdInputStream {
 public:
  using Ch = char;

  explicit FdInputStream(int fd) : fd_(fd) { refill(); }
  FdInputStream(const FdInputStream&) = delete;
  FdInputStream& operator=(const FdInputStream&) = delete;

  Ch Peek() const { return *current_; }
  Ch Take() {
    Ch c = *current_;
    if (current_ < last_) {
      ++current_;
    } else if (!eof_) {
      refill();
    }
    return c;
  }
  size_t Tell() const { return consumed_ + static_cast<size_t>(current_ - buffer_); }

  // Output side of the stream concept; the tokenizer never calls it without kParseInsituFlag.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

  // True when every byte was read and nothing failed.
  bool used_up() const { return eof_ && read_errno_ == 0; }

 private:
  void refill() {
    consumed_ += valid_;
    ssize_t n;
    do {
      n = ::read(fd_, buffer_, kReadBufferSize);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      if (n < 0) read_errno_ = errno;
      eof_ = true;
      valid_ = 0;
      buffer_[0] = '\0';
      current_ = last_ = buffer_;
      return;
    }
    // Only a read of zero bytes is the end: a short read is not (pipes, FIFOs).
    valid_ = static_cast<size_t>(n);
    current_ = buffer_;
    last_ = buffer_ + n - 1;
  }

  int fd_;
  char buffer_[kReadBufferSize];
  char* current_ = buffer_;
  char* last_ = buffer_;  // the last valid byte; the NUL end marker once eof_ is set
  size_t valid_ = 0;
  size_t consumed_ = 0;
  bool eof_ = false;
  int read_errno_ = 0;
};

// A stream over text in memory, which may hold NUL bytes.
class TextInputStream {
 public:
  using Ch = char;

  explicit TextInputStream(std::string_view text)
      : begin_(text.data()), current_(text.data()), end_(text.data() + text.size()) {}

  Ch Peek() const { return current_ < end_ ? *current_ : '\0'; }
  Ch Take() { return current_ < end_ ? *current_++ : '\0'; }
  size_t Tell() const { return static_cast<size_t>(current_ - begin_); }

  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

  bool used_up() const { return current_ == end_; }

 private:
  const char* begin_;
  const char* current_;
  const char* end_;
};

// An escape of a lone low surrogate (\udc00) passes the tokenizer and reaches the handler
// encoded as ED B0..BF xx. Raw surrogate bytes in the input are already refused as invalid
// UTF-8, so any ED followed by a byte of A0 or above came from such an escape.
bool holds_surrogate(const char* text, size_t length) {
  if (length < 64) {
    // Calling memchr costs more than it saves on the short strings that dominate documents.
    for (size_t i = 0; i + 1 < length; ++i) {
      if (static_cast<unsigned char>(text[i]) == 0xED &&
          static_cast<unsigned char>(text[i + 1]) >= 0xA0) {
        return true;
      }
    }
    return false;
  }
  const char* end = text + length;
  const char* p = text;
  while ((p = static_cast<const char*>(std::memchr(p, '\xED', static_cast<size_t>(end - p))))) {
    ++p;
    if (p < end && static_cast<unsigned char>(*p) >= 0xA0) return true;
  }
  return false;
}

// The decimal exponent K of a number's first significant digit, so that the magnitude lies in
// [10^(K-1), 10^K). Only called for text that from_chars found out of range, so it has a
// nonzero digit. Saturates far beyond the range of a double.
long decimal_magnitude(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  long integer_digits = 0;
  long first_significant = -1;  // index among all mantissa digits
  long digit_index = 0;
  bool in_fraction = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.') {
      in_fraction = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    if (first_significant < 0 && c != '0') first_significant = digit_index;
    ++digit_index;
    if (!in_fraction) ++integer_digits;
  }
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (exponent < 1000000000L) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (first_significant < 0) return std::numeric_limits<long>::min();
  return integer_digits - first_significant + exponent;
}

// Decides a number's kind from its literal text (already checked against the JSON grammar).
// "-0" has neither fraction nor exponent and is not negative in value, so it is the unsigned
// integer 0, as a non-negative integer always is; "-0.0" is the double negative zero.
bool number_from_text(std::string_view text, JsonValue& out) {
  const char* first = text.data();
  const char* last = first + text.size();
  bool integer_literal = text.find_first_of(".eE") == std::string_view::npos;
  if (integer_literal) {
    if (text[0] == '-') {
      int64_t i;
      auto [ptr, ec] = std::from_chars(first, last, i);
      if (ec == std::errc() && ptr == last) {
        out = JsonValue::integer(i);
        return true;
      }
    } else {
      uint64_t u;
      auto [ptr, ec] = std::from_chars(first, last, u);
      if (ec == std::errc() && ptr == last) {
        out = JsonValue::uint(u);
        return true;
      }
    }
    // Too large for 64 bits: falls through to a double.
  }
  double d;
  auto [ptr, ec] = std::from_chars(first, last, d);
  if (ptr != last) return false;
  if (ec == std::errc()) {
    out = JsonValue::number(d);
    return true;
  }
  if (ec != std::errc::result_out_of_range) return false;
  // Out of range is both overflow and underflow to zero (a value that rounds to the smallest
  // subnormal is converted normally); only the first is invalid.
  if (decimal_magnitude(text) > 0) return false;
  out = JsonValue::number(text[0] == '-' ? -0.0 : 0.0);
  return true;
}

// Builds the tree while the tokenizer reports events. Scalars finished inside an array wait on
// `elements_`, members of open objects on `members_`; a container is assembled from the tail
// of its scratch vector when it closes (objects sorted once, last duplicate kept).
class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
 public:
  bool Null() { return emit(JsonValue::null()); }
  bool Bool(bool b) { return emit(JsonValue::boolean(b)); }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    JsonValue number;
    if (length == 0 || !number_from_text({text, length}, number)) return false;
    return emit(std::move(number));
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    if (holds_surrogate(text, length)) return false;
    return emit(JsonValue::string({text, length}));
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    if (holds_surrogate(text, length)) return false;
    members_.push_back(JsonMember{JsonValue::string({text, length}), JsonValue()});
    return true;
  }
  bool StartObject() { return open(kObject); }
  bool EndObject(rapidjson::SizeType member_count) {
    std::span<JsonMember> members(members_.data() + members_.size() - member_count, member_count);
    JsonValue object = JsonValue::object(members);
    members_.resize(members_.size() - member_count);
    --depth_;
    return emit(std::move(object));
  }
  bool StartArray() { return open(kArray); }
  bool EndArray(rapidjson::SizeType element_count) {
    JsonValue array = JsonValue::array(element_count);
    std::span<JsonValue> target = array.elements();
    JsonValue* source = elements_.data() + elements_.size() - element_count;
    for (size_t i = 0; i < element_count; ++i) target[i] = std::move(source[i]);
    elements_.resize(elements_.size() - element_count);
    --depth_;
    return emit(std::move(array));
  }

  JsonValue take_root() { return std::move(root_); }

 private:
  enum Container : uint8_t { kArray, kObject };

  bool open(Container kind) {
    // Refusing here also bounds the tokenizer's recursion.
    if (depth_ == kMaxJsonDepth) return false;
    open_[depth_++] = kind;
    return true;
  }
  bool emit(JsonValue&& value) {
    if (depth_ == 0) {
      root_ = std::move(value);
    } else if (open_[depth_ - 1] == kArray) {
      elements_.push_back(std::move(value));
    } else {
      members_.back().value = std::move(value);
    }
    return true;
  }

  Container open_[kMaxJsonDepth];
  int depth_ = 0;
  std::vector<JsonValue> elements_;
  std::vector<JsonMember> members_;
  JsonValue root_;
};

constexpr unsigned kParseFlags =
    rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;

template <typename Stream>
JsonValue parse_stream(Stream& stream) {
  TreeBuilder builder;
  rapidjson::Reader reader;
  rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, builder);
  if (result.IsError() || !stream.used_up()) throw Error::value(kDeserializeError);
  return builder.take_root();
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

JsonValue read_document(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw Error::file("Error opening document file name contained an unexpected NUL byte");
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    throw Error::file("Error opening document " + Error::os_text(err));
  }
  FileDescriptor file(fd);
  FdInputStream stream(file.get());
  return parse_stream(stream);
}

JsonValue parse_json(std::string_view text) {
  TextInputStream stream(text);
  return parse_stream(stream);
}

}  // namespace tovra
