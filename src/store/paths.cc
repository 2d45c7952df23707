#include "store/paths.h"

#include "json/error.h"
#include "json/utf8.h"

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

std::string parent_directory(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  path = path.substr(0, slash);
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path.empty() ? std::string("/") : std::string(path);
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

}  // namespace tovra
