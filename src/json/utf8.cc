#include "json/utf8.h"

#include <cstdint>

#include "json/byte_scan.h"

namespace tovra {

bool is_valid_utf8(std::string_view text) noexcept {
  const char* p = text.data();
  const char* end = p + text.size();
  while (true) {
    // Runs of ASCII, the bulk of most text, a word at a time.
    p = find_non_ascii(p, end);
    if (p == end) return true;
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    unsigned char c = s[0];
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[k] & 0x3F);
    }
    static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += len;
  }
}

}  // namespace tovra
