// Runtime compatibility: keeps a module that links the C++ runtime statically loadable on C
// libraries older than the one it was built on.
//
// glibc 2.38 gave the strtol family C23 semantics (a "0b" prefix is read in base 0 and 2) under
// new symbol names, and its headers rename every call, so a C++ runtime built on a newer glibc
// calls __isoc23_strtoul (to read its tunables from the environment). Linked into the module,
// that one reference would make the module need glibc 2.38. It is defined here, hidden in the
// module, on the strtoul every glibc has; the two differ only in the "0b" prefix, which the
// runtime never passes. Built on an older glibc, nothing refers to it and it costs nothing.

// No C library header here: its declarations would rename strtoul to the symbol defined below.
extern "C" unsigned long strtoul(const char* text, char** end, int base) noexcept;

extern "C" __attribute__((visibility("hidden"))) unsigned long __isoc23_strtoul(
    const char* text, char** end, int base) noexcept {
  return strtoul(text, end, base);
}

// The C++ runtime keeps, per thread, the exceptions being handled (std::uncaught_exceptions and
// the like). Linked in statically, its object would use the general model of thread-local
// storage: a thread's block is allocated on its first exception, and when that allocation fails
// (no memory left, exactly when a MemoryError is to be raised) the C library aborts the process.
// Defined here with the initial-exec model instead, as the shared C++ runtime does, the block is
// in every thread's static storage, made with the thread, and the runtime's own object is not
// linked in. The runtime only takes the address: the storage is as large as its record (a
// pointer and a count), and larger.
namespace {
struct alignas(16) ExceptionGlobals {
  void* words[4];
};
__attribute__((tls_model("initial-exec"))) thread_local ExceptionGlobals exception_globals{};
}  // namespace

extern "C" __attribute__((visibility("hidden"))) void* __cxa_get_globals_fast() noexcept {
  return &exception_globals;
}

extern "C" __attribute__((visibility("hidden"))) void* __cxa_get_globals() noexcept {
  return &exception_globals;
}
