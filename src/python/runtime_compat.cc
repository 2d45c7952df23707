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
