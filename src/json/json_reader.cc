#include "json/json_reader.h"

#include <cstring>
#include <string>
#include <vector>

#include "json/byte_scan.h"
#include "json/error.h"
#include "json/json_syntax_error.h"
#include "json/number_text.h"
#include "json/powers_of_ten.h"
#include "json/reader_failure.h"
#include "json/reader_layout.h"
#include "json/reader_source.h"
#include "json/utf8.h"

namespace tovra {

namespace {

using reader::Failure;
using reader::Layout;
using reader::Layouts;
using reader::StreamSource;
using reader::TextSource;

// Where the parse stopped, and why: thrown by the parser, turned into a JsonSyntaxError by
// parse_source with the parser's state. The fault lies `back` bytes before the byte at hand
// (before the end of the input when the parser is there); `in_memory` when that byte is in the
// chunk at hand.
struct ParseFailure {
  Failure failure;
  uint32_t back;
  uint32_t code;
  bool in_memory;
};
using reader::number_from_text;
using reader::scan_number;

// A recursive-descent parser of one JSON text (RFC 8259) that builds the tree as it reads.
// Finished elements of open arrays wait on `elements_`, members of open objects on `members_`;
// a container is assembled from the tail of its scratch vector when it closes (objects sorted
// once, the last of duplicate keys kept), or, for an object that follows its layout, from the
// values on `values_`. Any violation throws JsonSyntaxError, which says which rule the text broke
// and where; the words are made only then.
template <typename Source>
class Parser {
 public:
  Parser(Source& source, Arena* arena) : source_(source), arena_(arena) {}

  JsonValue parse_document() {
    skip_whitespace();
    JsonValue value = parse_value(&top_layout_);
    skip_whitespace();
    if (peek() != kEnd) fail(Failure::kTextAfterValue);
    return value;
  }

 private:
  static constexpr int kEnd = -1;

  // Refusals are thrown by static functions that read nothing of the parser, so that the paths
  // which may fail keep their registers; the handler in parse_source makes the error from the
  // parser's state (which the throw leaves in memory).
  //
  // Refuses the text at the byte at hand (p_ is null at the end of the input).
  [[noreturn]] [[gnu::cold]] [[gnu::noinline]] static void fail(Failure failure, uint32_t code = 0) {
    throw ParseFailure{failure, 0, code, true};
  }
  // At the byte take() just returned (or at the end of the input, when it returned kEnd).
  [[noreturn]] [[gnu::cold]] [[gnu::noinline]] static void fail_taken(Failure failure) {
    throw ParseFailure{failure, 1, 0, true};
  }
  // At `back` bytes before the byte at hand (or before the end of the input), which may no
  // longer be in memory.
  [[noreturn]] [[gnu::cold]] [[gnu::noinline]] static void fail_back(Failure failure,
                                                                   uint32_t back, uint32_t code) {
    throw ParseFailure{failure, back, code, false};
  }

 public:
  // The error for `failure`, thrown where the parse stopped.
  [[gnu::cold]] [[gnu::noinline]] JsonSyntaxError syntax_error(const ParseFailure& failure) const {
    reader::FailurePlace place;
    place.depth = depth_;
    place.code = failure.code;
    place.begin = source_.chunk_begin();
    place.end = end_;
    place.before_begin = source_.byte_before_chunk();
    if (!failure.in_memory) {
      place.offset = source_.offset_of(p_) - failure.back;
    } else {
      const char* at = failure.failure == Failure::kInvalidUtf8 ? utf8_cut_
                       : p_ == nullptr                          ? nullptr
                                                                : p_ - failure.back;
      place.at = at;
      place.at_end = at == nullptr;
      place.offset = source_.offset_of(at);
    }
    return JsonSyntaxError(place.offset, reader::describe_failure(failure.failure, place));
  }

 private:
  // The current byte, or kEnd when the input is used up.
  int peek() {
    if (p_ == end_ && !refill()) return kEnd;
    return static_cast<unsigned char>(*p_);
  }
  bool refill() {
    if (utf8_cut_ != nullptr) fail(Failure::kInvalidUtf8);
    if (!source_.next(p_, end_)) {
      p_ = end_ = nullptr;
      return false;
    }
    // Text outside strings is ASCII by the grammar, and no chunk ends inside a UTF-8 sequence:
    // checking each chunk whole checks every string, in long runs instead of string by string.
    // A chunk that is not valid UTF-8 is read up to its first bad sequence only, so that the
    // parse fails at the first fault of the text, whichever it is.
    if (!is_valid_utf8({p_, static_cast<size_t>(end_ - p_)})) {
      end_ = utf8_cut_ = reader::first_invalid_utf8(p_, end_);
    }
    return p_ != end_ || refill();
  }
  int take() {
    int c = peek();
    if (c != kEnd) ++p_;
    return c;
  }
  void expect(char c, Failure failure) {
    int got = take();
    if (got != static_cast<unsigned char>(c)) fail_taken(failure);
  }

  void skip_whitespace() {
    // Compact text has no whitespace: the common case is one comparison.
    if (p_ != end_ && static_cast<unsigned char>(*p_) > ' ') return;
    skip_whitespace_slow();
  }
  void skip_whitespace_slow() {
    for (;;) {
      while (p_ != end_) {
        char c = *p_;
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return;
        ++p_;
      }
      if (!refill()) return;
    }
  }

  // `layout` is where the layout expected of an object here is kept, or null where none is.
  JsonValue parse_value(Layout** layout = nullptr) {
    switch (peek()) {
      case '{':
        return parse_object(layout);
      case '[':
        return parse_array(layout);
      case '"':
        return parse_string_value();
      case 't':
        expect_word("true");
        return JsonValue::boolean(true);
      case 'f':
        expect_word("false");
        return JsonValue::boolean(false);
      case 'n':
        expect_word("null");
        return JsonValue::null();
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return parse_number();
      default:
        fail(Failure::kValueExpected);
    }
  }

  void expect_word(const char* word) {
    for (const char* c = word; *c != '\0'; ++c) expect(*c, Failure::kLiteral);
  }

  // Also bounds the recursion, and so the stack.
  void open_container() {
    if (depth_ == kMaxJsonDepth) fail(Failure::kTooDeep);
    ++depth_;
    ++p_;  // the bracket or brace that peek() saw
  }

  JsonValue parse_array(Layout** layout) {
    open_container();
    size_t first = elements_.size();
    skip_whitespace();
    if (peek() == ']') {
      ++p_;
    } else {
      for (;;) {
        skip_whitespace();
        JsonValue element = parse_value(layout);
        elements_.push_back(std::move(element));
        skip_whitespace();
        int c = take();
        if (c == ']') break;
        if (c != ',') fail_taken(Failure::kArraySeparator);
      }
    }
    --depth_;
    JsonValue array = JsonValue::array_from(
        std::span<JsonValue>(elements_.data() + first, elements_.size() - first), block_arena());
    elements_.resize(first);
    return array;
  }

  JsonValue parse_object(Layout** layout) {
    Arena* arena = block_arena();  // the object's own place, taken before it counts as open
    if (arena == nullptr) layout = nullptr;  // shapes are interned only in an arena
    open_container();
    size_t first = members_.size();
    skip_whitespace();
    bool more = true;  // whether members are left to read
    if (peek() == '}') {
      ++p_;
      more = false;
    } else if (layout != nullptr && *layout != nullptr) {
      // Read along the expected layout for as long as the text follows it.
      const Layout& expected = **layout;
      const uint32_t size = expected.shape->size();
      size_t first_value = values_.size();
      uint32_t read = 0;
      while (read < size && take_key(expected.keys[read])) {
        // take_key leaves at least one byte in the chunk: compact text's colon is one compare.
        if (*p_ == ':') {
          ++p_;
        } else {
          skip_whitespace();
          expect(':', Failure::kColonExpected);
        }
        skip_whitespace();
        JsonValue value = parse_value(&expected.keys[read].child);
        values_.push_back(std::move(value));
        ++read;
        skip_whitespace();
        int c = take();
        if (c == '}') {
          more = false;
          break;
        }
        if (c != ',') fail_taken(Failure::kObjectSeparator);
        skip_whitespace();
      }
      if (!more && read == size) {
        --depth_;
        return object_of_layout(expected, first_value, arena);
      }
      // The text left the layout: what was read joins the members of the general path.
      for (uint32_t k = 0; k < read; ++k) {
        const Layout::Key& key = expected.keys[k];
        members_.push_back(JsonMember{JsonValue::string({key.text, key.length}),
                                      std::move(values_[first_value + k])});
      }
      values_.resize(first_value);
    }
    while (more) {
      skip_whitespace();
      if (peek() != '"') fail(Failure::kKeyExpected);
      // A key is kept by the shape of its object, so the scratch copy of a long one is not
      // made in the arena.
      members_.push_back(JsonMember{JsonValue::string(parse_string()), JsonValue()});
      size_t index = members_.size() - 1;
      skip_whitespace();
      expect(':', Failure::kColonExpected);
      skip_whitespace();
      JsonValue value = parse_value();
      members_[index].value = std::move(value);
      skip_whitespace();
      int c = take();
      if (c == '}') break;
      if (c != ',') fail_taken(Failure::kObjectSeparator);
    }
    --depth_;
    std::span<JsonMember> members(members_.data() + first, members_.size() - first);
    JsonValue object = JsonValue::object(members, arena);
    if (layout != nullptr) layouts_.learn(*layout, members, object);
    members_.resize(first);
    return object;
  }

  // Takes the key `key` when the text at hand spells it (quotes included), as a key that
  // needs no escapes must be spelt; otherwise reads nothing.
  bool take_key(const Layout::Key& key) {
    // The key, its quotes and the byte after them must lie in the chunk; near its end the
    // general path reads them. The 16-byte load may reach past the chunk, into its slack.
    if (static_cast<size_t>(end_ - p_) < key.length + 3 || *p_ != '"') return false;
#if defined(__SSE2__)
    if (key.length < 16) {
      __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_ + 1));
      __m128i quoted = _mm_load_si128(reinterpret_cast<const __m128i*>(key.quoted));
      __m128i same = _mm_cmpeq_epi8(text, quoted);
      unsigned wanted = (2u << key.length) - 1;  // the key's bytes and its closing quote
      if ((static_cast<unsigned>(_mm_movemask_epi8(same)) & wanted) != wanted) return false;
      p_ += key.length + 2;
      return true;
    }
#endif
    if (std::memcmp(p_ + 1, key.text, key.length) != 0 || p_[key.length + 1] != '"') return false;
    p_ += key.length + 2;
    return true;
  }

  // The object of `layout`'s shape whose values, in text order, are on `values_` from
  // `first_value`.
  JsonValue object_of_layout(const Layout& layout, size_t first_value, Arena* arena) {
    JsonValue object = JsonValue::object_of_shape(layout.shape, arena);
    std::span<JsonValue> values = object.values();
    for (size_t k = 0; k < values.size(); ++k) {
      values[layout.keys[k].slot] = std::move(values_[first_value + k]);
    }
    values_.resize(first_value);
    return object;
  }

  // A string value: a short one that lies whole in the chunk is built in one store, from a
  // 16-byte load that the chunk's slack keeps readable.
  JsonValue parse_string_value() {
    std::string_view text = parse_string();
    static_assert(reader::kSlack >= 16);
    if (text.size() <= JsonValue::kInlineCapacity && text.data() != text_.data()) {
      return JsonValue::short_string_of_padded(text.data(), text.size());
    }
    return JsonValue::string(text, block_arena());
  }

  // The text of a string whose opening quote peek() saw. The view stays valid until the next
  // read: it points into the input when the string lies in one chunk without escapes, and
  // into `text_` otherwise. Its UTF-8 was checked with its chunk.
  // Kept inline in the value and key paths whatever the compiler's size estimate says: a call
  // per string costs the reading of a collection file about 3% of its instructions.
  [[gnu::always_inline]] std::string_view parse_string() {
    ++p_;
    const char* run = p_;
    p_ = find_json_escape(p_, end_);
    if (p_ != end_ && *p_ == '"') {
      std::string_view text(run, static_cast<size_t>(p_ - run));
      ++p_;
      return text;
    }
    text_.assign(run, static_cast<size_t>(p_ - run));
    for (;;) {
      run = p_;
      p_ = find_json_escape(p_, end_);
      text_.append(run, static_cast<size_t>(p_ - run));
      int c = take();
      if (c == '"') break;
      if (c == '\\') {
        parse_escape();
      } else if (c == kEnd || c < 0x20) {
        fail_taken(c == kEnd ? Failure::kStringEnd : Failure::kControlCharacter);
      } else {
        --p_;  // the chunk ended at an ordinary byte: take() refilled and read it
      }
    }
    return text_;
  }

  void parse_escape() {
    int c = take();
    switch (c) {
      case '"':
      case '\\':
      case '/':
        text_ += static_cast<char>(c);
        return;
      case 'b':
        text_ += '\b';
        return;
      case 'f':
        text_ += '\f';
        return;
      case 'n':
        text_ += '\n';
        return;
      case 'r':
        text_ += '\r';
        return;
      case 't':
        text_ += '\t';
        return;
      case 'u':
        parse_unicode_escape();
        return;
      default:
        fail_taken(Failure::kInvalidEscape);
    }
  }

  // The rest of an escape "\u" (and of the low surrogate's escape after a high one). A lone
  // surrogate is reported at the start of its escape: so many bytes before the byte at hand.
  void parse_unicode_escape() {
    uint32_t code = parse_hex4();
    if (code >= 0xD800 && code <= 0xDBFF) {
      // A high surrogate must be followed by the escape of a low one.
      int c = take();
      if (c != '\\') fail_back(Failure::kLoneHighSurrogate, c == kEnd ? 6 : 7, code);
      c = take();
      if (c != 'u') fail_back(Failure::kLoneHighSurrogate, c == kEnd ? 7 : 8, code);
      uint32_t low = parse_hex4();
      if (low < 0xDC00 || low > 0xDFFF) fail_back(Failure::kLoneHighSurrogate, 12, code);
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      fail_back(Failure::kLoneLowSurrogate, 6, code);
    }
    append_utf8(code);
  }

  uint32_t parse_hex4() {
    uint32_t code = 0;
    for (int i = 0; i < 4; ++i) {
      int c = take();
      uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        fail_taken(Failure::kHexDigits);
      }
      code = code << 4 | digit;
    }
    return code;
  }

  void append_utf8(uint32_t code) {
    if (code < 0x80) {
      text_ += static_cast<char>(code);
    } else if (code < 0x800) {
      text_ += static_cast<char>(0xC0 | (code >> 6));
      text_ += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      text_ += static_cast<char>(0xE0 | (code >> 12));
      text_ += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text_ += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      text_ += static_cast<char>(0xF0 | (code >> 18));
      text_ += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      text_ += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text_ += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  // -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?; the kind is decided from the text.
  JsonValue parse_number() {
    // Numbers of up to 19 digits without an exponent, most of a document's, are read as they
    // are checked: integers exactly, and decimals whose digits fit in a double's 53 bits by
    // one division, which is then correctly rounded as both operands are exact. The digits are
    // read without testing for the chunk's end (at most 22 bytes, within its slack), and the
    // number is taken only when the byte that ends it lies in the chunk.
    static_assert(reader::kSlack >= 22);
    const char* p = p_;
    bool negative = *p == '-';
    p += negative;
    const char* digits = p;
    uint64_t mantissa = 0;
    auto is_digit = [](char c) { return static_cast<unsigned>(c - '0') < 10; };
    while (p - digits < 19 && is_digit(*p)) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
    }
    const size_t integer_digits = static_cast<size_t>(p - digits);
    bool well_formed = integer_digits > 0 && !(*digits == '0' && integer_digits > 1);
    size_t fraction_digits = 0;
    if (well_formed && *p == '.') {
      const char* fraction = ++p;
      while (integer_digits + static_cast<size_t>(p - fraction) < 19 && is_digit(*p)) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
      }
      fraction_digits = static_cast<size_t>(p - fraction);
      well_formed = fraction_digits > 0;
    }
    bool ends_here = !is_digit(*p) && *p != '.' && *p != 'e' && *p != 'E';
    if (well_formed && ends_here && p < end_) {
      if (fraction_digits == 0 && !negative) {
        p_ = p;
        return JsonValue::uint(mantissa);
      }
      if (fraction_digits == 0 && mantissa <= uint64_t{1} << 63) {
        p_ = p;
        return JsonValue::integer(static_cast<int64_t>(uint64_t{0} - mantissa));
      }
      if (fraction_digits != 0 && mantissa <= uint64_t{1} << 53) {
        double magnitude = static_cast<double>(mantissa) / kExactPowersOfTen[fraction_digits];
        p_ = p;
        return JsonValue::number(negative ? -magnitude : magnitude);
      }
    }
    return parse_other_number();
  }

  // Numbers the fast path above leaves, the rare ones: kept out of line, so that the fast path
  // inlines where values are read.
  [[gnu::noinline]] JsonValue parse_other_number() {
    // Numbers that lie within the chunk at hand are checked and converted where they stand.
    const char* after = scan_number(p_, end_);
    if (after != nullptr && after != end_) {
      JsonValue number;
      if (!number_from_text({p_, static_cast<size_t>(after - p_)}, number)) {
        fail(Failure::kOutOfRange);
      }
      p_ = after;
      return number;
    }
    number_.clear();
    if (peek() == '-') number_ += static_cast<char>(take());
    int c = peek();
    if (c == '0') {
      number_ += static_cast<char>(take());
    } else if (c >= '1' && c <= '9') {
      take_digits();
    } else {
      fail(Failure::kDigitExpected, '-');
    }
    if (peek() == '.') {
      number_ += static_cast<char>(take());
      if (take_digits() == 0) fail(Failure::kDigitExpected, '.');
    }
    c = peek();
    if (c == 'e' || c == 'E') {
      number_ += static_cast<char>(take());
      c = peek();
      if (c == '+' || c == '-') number_ += static_cast<char>(take());
      if (take_digits() == 0) fail(Failure::kDigitExpected, 'e');
    }
    JsonValue number;
    if (!number_from_text(number_, number)) {
      fail_back(Failure::kOutOfRange, static_cast<uint32_t>(number_.size()), 0);
    }
    return number;
  }

  size_t take_digits() {
    size_t count = 0;
    for (int c = peek(); c >= '0' && c <= '9'; c = peek()) {
      number_ += static_cast<char>(c);
      ++p_;
      ++count;
    }
    return count;
  }

  // Blocks of values inside the top-level value go to the arena (when there is one); the
  // top-level value's own block stays on the heap, so that its elements (the documents of a
  // collection file) can be moved out and the container dropped without leaving dead space.
  Arena* block_arena() const noexcept { return depth_ > 0 ? arena_ : nullptr; }

  Source& source_;
  Arena* arena_;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  // The first byte of the chunk at hand that is not UTF-8, at which end_ was put; null when the
  // chunk is valid.
  const char* utf8_cut_ = nullptr;
  int depth_ = 0;
  std::string text_;
  std::string number_;
  std::vector<JsonValue> elements_;
  std::vector<JsonMember> members_;
  std::vector<JsonValue> values_;
  Layouts layouts_;
  Layout* top_layout_ = nullptr;
};

template <typename Source>
JsonValue parse_source(Source& source, Arena* arena) {
  Parser<Source> parser(source, arena);
  try {
    return parser.parse_document();
  } catch (const ParseFailure& failure) {
    throw parser.syntax_error(failure);
  }
}

}  // namespace

JsonValue parse_json(ByteSource& stream, Arena* arena) {
  StreamSource source(stream);
  return parse_source(source, arena);
}

JsonValue parse_json(std::string_view text, Arena* arena) {
  TextSource source(text);
  return parse_source(source, arena);
}

}  // namespace tovra
