// The failure of a parse: Error::value("Error deserializing JSON") that also says where the text
// broke a rule (a byte offset from its start) and which rule, in a few words ("trailing comma in
// an array"). Whoever knows where the text came from (a file's path, its lines) makes the note
// from these; until then the note gives the offset and the reason alone.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "json/error.h"
#include "json/json_reader.h"

namespace tovra {

class JsonSyntaxError : public Error {
 public:
  JsonSyntaxError(uint64_t offset, std::string reason)
      : Error(ErrorKind::kValue, kDeserializeError),
        offset_(offset),
        reason_(std::move(reason)) {
    set_note("byte offset " + std::to_string(offset_) + ": " + reason_);
  }

  uint64_t offset() const noexcept { return offset_; }
  const std::string& reason() const noexcept { return reason_; }

 private:
  uint64_t offset_;
  std::string reason_;
};

}  // namespace tovra
