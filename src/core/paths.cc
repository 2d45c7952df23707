#include "core/paths.h"

#include <cstdint>
#include <cstring>

#include "core/error.h"

namespace tovra {

void check_collection_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    throw Error::value("Invalid collection name: '" + std::string(name) + "'");
  }
}

std::string join_path(std::string_view directory, std::string_view entry_name) {
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  path += entry_name;
  return path;
}

std::string collection_file_path(std::string_view directory, std::string_view name) {
  std::string path = join_path(directory, name);
  path += ".json";
  return path;
}

std::optional<std::string_view> collection_name_of_entry(std::string_view entry_name) {
  size_t dot = entry_name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  if (entry_name.substr(dot + 1) != "json") return std::nullopt;
  if (!is_valid_utf8(entry_name)) return std::nullopt;
  std::string_view name = entry_name.substr(0, dot);
  // "..json" and "...json" would name the directory itself or its parent.
  if (name == "." || name == "..") return std::nullopt;
  return name;
}

void check_no_nul(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    throw Error::file("file name contained an unexpected NUL byte");
  }
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      // Runs of ASCII, the bulk of most text, eight bytes at a time.
      ++i;
      while (i + 8 <= n) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & 0x8080808080808080ull) break;
        i += 8;
      }
      continue;
    }
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
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace tovra
