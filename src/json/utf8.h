// UTF-8 as the system accepts it: the shortest form of each scalar value, no surrogates
// (U+D800 to U+DFFF), nothing beyond U+10FFFF.
#pragma once

#include <string_view>

namespace tovra {

bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace tovra
