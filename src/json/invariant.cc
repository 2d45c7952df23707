#include "json/invariant.h"

#if defined(TOVRA_DEBUG_ASSERTIONS)

#include <cstdio>
#include <cstdlib>

namespace tovra {

void assertion_failed(const char* condition, const char* file, int line) noexcept {
  std::fprintf(stderr, "tovra: invariant broken at %s:%d: %s\n", file, line, condition);
  std::abort();
}

}  // namespace tovra

#endif
