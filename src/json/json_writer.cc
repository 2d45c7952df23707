#include "json/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "json/byte_scan.h"
#include "json/hash.h"
#include "json/powers_of_ten.h"

namespace tovra {

namespace {

// Room reserved for any one number: a double takes at most 24 bytes ("-1.2345678901234567e-308"
// and "-0.00001234567890123456" both fit), an integer at most 20 digits and a sign.
constexpr size_t kNumberRoom = 32;

// Each sink says how large a buffer the emitter fills before handing bytes over: text in
// memory takes small steps, a stream large ones, so that a file costs few system calls.
struct StringSink {
  static constexpr size_t kBufferSize = size_t{8} << 10;
  static constexpr bool kKeyPrefixes = false;  // small texts: a cache would not pay for itself
  std::string& out;
  void consume(const char* bytes, size_t n) { out.append(bytes, n); }
};

struct StreamSink {
  static constexpr size_t kBufferSize = size_t{256} << 10;
  static constexpr bool kKeyPrefixes = true;  // collections: many objects share each shape
  ByteSink& stream;
  void consume(const char* bytes, size_t n) { stream.write(bytes, n); }
};

// Serialises into a buffer that is handed to the sink whenever it fills up.
template <typename Sink>
class JsonEmitter {
 public:
  explicit JsonEmitter(Sink& sink) : sink_(sink) {}
  JsonEmitter(const JsonEmitter&) = delete;
  JsonEmitter& operator=(const JsonEmitter&) = delete;

  void value(const JsonValue& v) {
    switch (v.type()) {
      case JsonType::kNull:
        put("null", 4);
        break;
      case JsonType::kBool:
        if (v.as_bool()) {
          put("true", 4);
        } else {
          put("false", 5);
        }
        break;
      case JsonType::kUInt:
        make_room(kNumberRoom);
        pos_ = std::to_chars(pos_, pos_ + kNumberRoom, v.as_uint()).ptr;
        break;
      case JsonType::kInt:
        make_room(kNumberRoom);
        pos_ = std::to_chars(pos_, pos_ + kNumberRoom, v.as_int()).ptr;
        break;
      case JsonType::kDouble:
        // A tree never holds a non-finite double; should one appear, it is written as null.
        if (!std::isfinite(v.as_double())) {
          put("null", 4);
          break;
        }
        make_room(kNumberRoom);
        pos_ = write_double(pos_, v.as_double());
        break;
      case JsonType::kString:
        string(v);
        break;
      case JsonType::kArray: {
        put('[');
        bool first = true;
        for (const JsonValue& element : v.elements()) {
          if (!first) put(',');
          first = false;
          value(element);
        }
        put(']');
        break;
      }
      case JsonType::kObject:
        object(v);
        break;
    }
  }

  void object(const JsonValue& v) {
    if constexpr (Sink::kKeyPrefixes) {
      if (KeyPrefixes* prefixes = key_prefixes(v.shape())) {
        ++prefixes->in_use;
        std::span<const JsonValue> values = v.values();
        uint32_t start = 0;
        for (size_t i = 0; i < values.size(); ++i) {
          uint32_t end = prefixes->ends[i];
          put_padded(prefixes->bytes.data() + start, end - start);
          start = end;
          value(values[i]);
        }
        --prefixes->in_use;
        put('}');
        return;
      }
    }
    put('{');
    bool first = true;
    for (auto member : v.members()) {
      if (!first) put(',');
      first = false;
      string(member.key);
      put(':');
      value(member.value);
    }
    put('}');
  }

  void array(std::span<const JsonValue> values) {
    put('[');
    for (size_t i = 0; i < values.size(); ++i) {
      if (i != 0) put(',');
      value(values[i]);
    }
    put(']');
  }

  // Room a short string takes in the buffer: the opening quote, the 16 bytes it is stored in,
  // written whole, and the closing quote, which lands among them or right after.
  static constexpr size_t kShortStringRoom = 18;

  // A string value or key. A short one is tested and copied as the two words it is stored
  // in, without first gathering its bytes (which would stall reading them back); its zero
  // padding (json_value.h) means nothing but the text is escaped or counted.
  void string(const JsonValue& v) {
    const uint8_t* bytes = v.short_string_bytes();
    if (bytes == nullptr || static_cast<size_t>(buffer_end() - pos_) < kShortStringRoom) {
      string(v.as_string());
      return;
    }
    size_t n = bytes[14];
    TOVRA_ASSERT(v.has_zero_padding());
    uint64_t low, high;
    std::memcpy(&low, bytes, 8);
    std::memcpy(&high, bytes + 8, 8);
    // Only the text's bytes count: a flag above them is padding (or follows a true hit).
    uint64_t low_text = n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
    uint64_t high_text = n <= 8 ? 0 : (uint64_t{1} << (8 * (n - 8))) - 1;
    if ((byte_scan::escape_bytes(low) & low_text) != 0 ||
        (byte_scan::escape_bytes(high) & high_text) != 0) {
      string(v.as_string());
      return;
    }
    pos_[0] = '"';
    std::memcpy(pos_ + 1, &low, 8);
    std::memcpy(pos_ + 9, &high, 8);
    pos_[n + 1] = '"';
    pos_ += n + 2;
  }

  // Any other string: long, on the heap, or holding bytes to escape.
  void string(std::string_view text) {
    put('"');
    string_body(text);
    put('"');
  }

  // Copies runs of bytes that need no escape in bulk, eight bytes tested at a time.
  void string_body(std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    const char* run = p;
    while (true) {
      p = find_json_escape(p, end);
      if (p == end) break;
      put(run, static_cast<size_t>(p - run));
      escape(static_cast<unsigned char>(*p));
      run = ++p;
    }
    put(run, static_cast<size_t>(end - run));
  }

  // Hands what is buffered to the sink.
  void flush() {
    if (pos_ != buffer_.get()) {
      size_t n = static_cast<size_t>(pos_ - buffer_.get());
      pos_ = buffer_.get();
      sink_.consume(buffer_.get(), n);
    }
  }

 private:
  void make_room(size_t n) {
    if (static_cast<size_t>(buffer_end() - pos_) < n) flush();
  }
  void put(char c) {
    if (pos_ == buffer_end()) flush();
    *pos_++ = c;
  }
  void put(const char* bytes, size_t n) {
    size_t room = static_cast<size_t>(buffer_end() - pos_);
    if (n <= room) {
      std::memcpy(pos_, bytes, n);
      pos_ += n;
      return;
    }
    while (n > 0) {
      room = static_cast<size_t>(buffer_end() - pos_);
      if (room == 0) {
        flush();
        room = Sink::kBufferSize;
      }
      size_t chunk = n < room ? n : room;
      std::memcpy(pos_, bytes, chunk);
      pos_ += chunk;
      bytes += chunk;
      n -= chunk;
    }
  }

  void escape(unsigned char c) {
    make_room(6);
    *pos_++ = '\\';
    switch (c) {
      case '"':
        *pos_++ = '"';
        return;
      case '\\':
        *pos_++ = '\\';
        return;
      case '\b':
        *pos_++ = 'b';
        return;
      case '\t':
        *pos_++ = 't';
        return;
      case '\n':
        *pos_++ = 'n';
        return;
      case '\f':
        *pos_++ = 'f';
        return;
      case '\r':
        *pos_++ = 'r';
        return;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        pos_[0] = 'u';
        pos_[1] = '0';
        pos_[2] = '0';
        pos_[3] = kHex[c >> 4];
        pos_[4] = kHex[c & 0x0f];
        pos_ += 5;
        return;
      }
    }
  }

  // Writes a finite double laid out from its shortest round-trip digits D (n digits) and the
  // decimal exponent K of its first digit (the value lies in [10^(K-1), 10^K)):
  //   D then zeros then ".0"      when the value is an integer and K <= 16   (100.0)
  //   D with a point after K      when 1 <= K <= 16                          (3.25)
  //   "0." then -K zeros then D   when -4 <= K <= 0                          (0.0001234)
  //   d[.ddd]e(K-1)               otherwise                                  (1e16, 1.5e-7)
  static char* write_double(char* out, double d) {
    if (d == 0) {
      if (std::signbit(d)) *out++ = '-';
      std::memcpy(out, "0.0", 3);
      return out + 3;
    }
    if (d < 0) *out++ = '-';
    double magnitude = std::fabs(d);
    char digits[24];
    int n;
    int k;
    uint64_t decimal;
    int fraction_digits;
    if (short_decimal(magnitude, decimal, fraction_digits)) {
      n = static_cast<int>(std::to_chars(digits, digits + sizeof digits, decimal).ptr - digits);
      k = n - fraction_digits;
      while (n > 1 && digits[n - 1] == '0') --n;
    } else {
      // Shortest round-trip digits, as "d[.ddd]e(+|-)xx".
      char scientific[kNumberRoom];
      char* sci_end = std::to_chars(scientific, scientific + sizeof scientific, magnitude,
                                    std::chars_format::scientific)
                          .ptr;
      const char* p = scientific;
      n = 0;
      digits[n++] = *p++;
      if (*p == '.') {
        for (++p; *p != 'e'; ++p) digits[n++] = *p;
      }
      ++p;  // 'e'
      bool negative_exponent = *p == '-';
      ++p;  // the exponent always has a sign
      int exponent = 0;
      for (; p < sci_end; ++p) exponent = exponent * 10 + (*p - '0');
      k = (negative_exponent ? -exponent : exponent) + 1;
    }
    return lay_out(out, digits, n, k);
  }

  // Most stored doubles are decimals of a few digits (prices, scores, measures): their
  // shortest digits are found without the general search. They are the decimal m / 10^f for
  // the fewest fraction digits f whose m, the product magnitude * 10^f rounded, reads back as
  // the double (m and 10^f are exact in a double, so the division is the correctly rounded
  // reading). While the product stays below 10^15, the double's rounding interval spans under
  // a quarter of 10^-f and the product's own rounding error is under a ninth, so m is the only
  // candidate with f fraction digits: none with fewer digits reads back, and none other with
  // as many does. False when no f up to kMostFractionDigits qualifies.
  static bool short_decimal(double magnitude, uint64_t& decimal, int& fraction_digits) {
    static constexpr int kMostFractionDigits = 9;
    for (int f = 0; f <= kMostFractionDigits; ++f) {
      double product = magnitude * kExactPowersOfTen[f];
      if (!(product < 1e15)) return false;
      // Adding and taking away 2^52 rounds a product below 2^52 to the nearest integer.
      double rounded = (product + 0x1p52) - 0x1p52;
      if (rounded != 0 && rounded / kExactPowersOfTen[f] == magnitude) {
        decimal = static_cast<uint64_t>(rounded);
        fraction_digits = f;
        return true;
      }
    }
    return false;
  }

  // The layout above, for the n digits D and the magnitude K of a nonzero double.
  static char* lay_out(char* out, const char* digits, int n, int k) {
    int zeros_after = k - n;  // E: the power of ten that D is multiplied by
    if (zeros_after >= 0 && k <= 16) {
      std::memcpy(out, digits, static_cast<size_t>(n));
      out += n;
      std::memset(out, '0', static_cast<size_t>(zeros_after));
      out += zeros_after;
      std::memcpy(out, ".0", 2);
      return out + 2;
    }
    if (k >= 1 && k <= 16) {
      std::memcpy(out, digits, static_cast<size_t>(k));
      out += k;
      *out++ = '.';
      std::memcpy(out, digits + k, static_cast<size_t>(n - k));
      return out + (n - k);
    }
    if (k >= -4 && k <= 0) {
      std::memcpy(out, "0.", 2);
      out += 2;
      std::memset(out, '0', static_cast<size_t>(-k));
      out += -k;
      std::memcpy(out, digits, static_cast<size_t>(n));
      return out + n;
    }
    *out++ = digits[0];
    if (n > 1) {
      *out++ = '.';
      std::memcpy(out, digits + 1, static_cast<size_t>(n - 1));
      out += n - 1;
    }
    *out++ = 'e';
    return std::to_chars(out, out + 8, k - 1).ptr;
  }

  // What comes before each value of an object of one shape, rendered once for all its objects:
  // "{" or ",", the key quoted and escaped, ":". `ends` holds where each key's part ends in
  // `bytes`, which goes on for kPrefixPadding more bytes, so that short parts copy as one
  // fixed-size block.
  struct KeyPrefixes {
    const Shape* shape = nullptr;
    const Shape* seen = nullptr;  // met once: rendered when it comes again
    uint32_t in_use = 0;          // objects of this shape being written, one inside another
    std::string bytes;
    std::vector<uint32_t> ends;
  };
  static constexpr size_t kPrefixPadding = 32;
  static constexpr size_t kPrefixSlots = 64;

  // The prefixes of `shape`, or null for a shape met only once so far (or an empty one), or
  // whose slot an enclosing object is being written with (in_use), which is never taken over.
  // The tree does not change while it is written, so no two shapes met share an address.
  KeyPrefixes* key_prefixes(const Shape* shape) {
    if (shape == nullptr || shape->size() == 0) return nullptr;
    if (!prefixes_) prefixes_ = std::make_unique<KeyPrefixes[]>(kPrefixSlots);
    KeyPrefixes& slot = prefixes_[hash::pointer(shape) % kPrefixSlots];
    if (slot.shape == shape) return &slot;
    if (slot.in_use != 0) return nullptr;  // an enclosing object is being written with it
    if (slot.seen != shape) {
      slot.seen = shape;
      return nullptr;
    }
    slot.shape = nullptr;
    slot.bytes.clear();
    slot.ends.clear();
    char separator = '{';
    for (const JsonValue& key : shape->keys()) {
      slot.bytes += separator;
      separator = ',';
      slot.bytes += to_json(key);
      slot.bytes += ':';
      slot.ends.push_back(static_cast<uint32_t>(slot.bytes.size()));
    }
    slot.bytes.append(kPrefixPadding, '\0');
    slot.shape = shape;
    return &slot;
  }

  // Puts n bytes from `bytes`, after which kPrefixPadding - n more are readable.
  void put_padded(const char* bytes, size_t n) {
    if (n <= kPrefixPadding && static_cast<size_t>(buffer_end() - pos_) >= kPrefixPadding) {
      std::memcpy(pos_, bytes, kPrefixPadding);
      pos_ += n;
      return;
    }
    put(bytes, n);
  }

  char* buffer_end() { return buffer_.get() + Sink::kBufferSize; }

  Sink& sink_;
  std::unique_ptr<char[]> buffer_{new char[Sink::kBufferSize]};
  char* pos_ = buffer_.get();
  std::unique_ptr<KeyPrefixes[]> prefixes_;  // made at the first object
};

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  StringSink sink{out};
  JsonEmitter<StringSink> emitter(sink);
  emitter.string_body(text);
  emitter.flush();
}

std::string to_json(const JsonValue& value) {
  std::string out;
  StringSink sink{out};
  JsonEmitter<StringSink> emitter(sink);
  emitter.value(value);
  emitter.flush();
  return out;
}

void write_json_array(ByteSink& stream, std::span<const JsonValue> values) {
  StreamSink sink{stream};
  JsonEmitter<StreamSink> emitter(sink);
  emitter.array(values);
  emitter.flush();
}

}  // namespace tovra
