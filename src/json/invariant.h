// Invariants of the code, stated where they must hold.
//
// TOVRA_ASSERT(cond) aborts with the failed condition when it is false; ALWAYS(cond) and
// NEVER(cond) do the same for a condition the code still handles gracefully, and yield its value
// so that release builds keep the handling:
//     if (NEVER(index >= size)) return nullptr;
// The checks are on when TOVRA_DEBUG_ASSERTIONS is defined and compile to nothing otherwise.
// CMake defines it when the option TOVRA_ASSERTIONS is on, which by default it is only for
// Debug builds and sanitizer builds (TOVRA_SANITIZE); Release, RelWithDebInfo and MinSizeRel
// builds run without the checks unless asked. A failed check is a bug in tovra, never a
// consequence of input.
#pragma once

#if defined(TOVRA_DEBUG_ASSERTIONS)

namespace tovra {
[[noreturn]] void assertion_failed(const char* condition, const char* file, int line) noexcept;
}  // namespace tovra

#define TOVRA_ASSERT(cond) \
  ((cond) ? static_cast<void>(0) : ::tovra::assertion_failed(#cond, __FILE__, __LINE__))
#define ALWAYS(cond) ((cond) ? true : (::tovra::assertion_failed(#cond, __FILE__, __LINE__), false))
#define NEVER(cond) ((cond) ? (::tovra::assertion_failed(#cond, __FILE__, __LINE__), true) : false)

#else

#define TOVRA_ASSERT(cond) static_cast<void>(0)
#define ALWAYS(cond) static_cast<bool>(cond)
#define NEVER(cond) static_cast<bool>(cond)

#endif
