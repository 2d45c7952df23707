// What the C++ unit tests share: checks that print each failure and count them, the error a
// call throws, and small file helpers over a scratch directory.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.h"
#include "json/json_reader.h"

namespace test_support {

inline int passed = 0;
inline int failed = 0;

inline void check(bool ok, const char* what, const char* file, int line,
                  const std::string& context) {
  if (ok) {
    ++passed;
    return;
  }
  ++failed;
  std::printf("FAIL %s:%d: %s %s\n", file, line, what, context.c_str());
}

// The prints the summary line and gives main's exit status.
inline int summary() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

// The error thrown by `fn`, or a kPanic error saying that nothing was thrown.
inline tovra::Error error_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const tovra::Error& e) {
    return e;
  }
  return tovra::Error::panic("nothing thrown");
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::string> directory_entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

// Text handed to the reader `piece` bytes at a time, so that tokens are cut by a chunk's end.
class Pieces : public tovra::ByteSource {
 public:
  Pieces(std::string_view text, size_t piece) : rest_(text), piece_(piece) {}
  size_t read(char* buffer, size_t capacity) override {
    size_t n = std::min({capacity, piece_, rest_.size()});
    std::memcpy(buffer, rest_.data(), n);
    rest_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view rest_;
  size_t piece_;
};

}  // namespace test_support

#define CHECK(cond) ::test_support::check((cond), #cond, __FILE__, __LINE__, "")
#define CHECK_MSG(cond, context) ::test_support::check((cond), #cond, __FILE__, __LINE__, (context))
