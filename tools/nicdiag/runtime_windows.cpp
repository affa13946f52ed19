// What nicdiag.exe has in place of the toolchain's C and C++ runtime, which
// are built for the Pentium Pro: the process entry over msvcrt.dll (the C
// runtime every NT 4.0 has), the static constructors' run, the allocation
// operators, the library's error exits, and the printf family the headers
// route to the toolchain's own (here over print_format.cpp). The image is
// linked with none of the toolchain's libraries but libgcc's stack probe and
// 64-bit division (tests/pe/cpu_floor.py checks the whole image).
#include <bits/functexcept.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "tools/nicdiag/nicdiag.h"
#include "tools/nicdiag/print_format.h"

int main(int argc, char **argv);

extern "C" {

// msvcrt.dll's start-up interface, as its own start-up code calls it.
struct MsvcrtStartupInfo {
  int new_mode;
};
int __cdecl __getmainargs(int *argc, char ***argv, char ***envp, int expand_wildcards, MsvcrtStartupInfo *info);
void __cdecl __set_app_type(int type);

// The linker's lists of static constructors and destructors: a count (or
// -1), the entries, then a null.
typedef void (*ListEntry)(void);
extern ListEntry __CTOR_LIST__[];
extern ListEntry __DTOR_LIST__[];

namespace {

void RunDestructors() {
  for (ListEntry *entry = __DTOR_LIST__ + 1; *entry != nullptr; entry++) (*entry)();
}

// A library error that would have thrown: said as the session's outer
// handler says it, with its exit status.
[[noreturn]] void InternalError(const char *what) {
  std::fprintf(stderr, "nicdiag: internal error: %s\n", what);
  std::exit(nicdiag::kExitFailed);
}

}  // namespace

// Called by main() before its body (gcc inserts the call): the static
// constructors, last listed first, and the destructors at exit.
void __main(void) {
  static bool done = false;
  if (done) return;
  done = true;
  size_t count = reinterpret_cast<size_t>(__CTOR_LIST__[0]);
  if (count == static_cast<size_t>(-1))
    for (count = 0; __CTOR_LIST__[count + 1] != nullptr; count++) {
    }
  for (size_t i = count; i >= 1; i--) __CTOR_LIST__[i]();
  std::atexit(RunDestructors);
}

int __cdecl atexit(void (*function)(void)) {
  // msvcrt calls the function as an _onexit_t and ignores what it returns.
  return _onexit(reinterpret_cast<_onexit_t>(function)) == nullptr ? -1 : 0;
}

// The process entry. NT 4 starts a process with its stack aligned to 4
// bytes only; the entry realigns it. The FPU is reset as the toolchain's
// start-up resets it (64-bit precision), so that doubles format alike.
__attribute__((force_align_arg_pointer, noreturn)) void mainCRTStartup(void) {
  __set_app_type(1);  // _CONSOLE_APP: msvcrt's messages go to the console
  __asm__ __volatile__("fninit");
  int argc = 0;
  char **argv = nullptr, **envp = nullptr;
  MsvcrtStartupInfo info = {0};
  __getmainargs(&argc, &argv, &envp, 0, &info);
  if (argv == nullptr) InternalError("no memory for the command line");
  std::exit(main(argc, argv));
}

void __cxa_pure_virtual(void) { InternalError("pure virtual function called"); }

// The headers send printf, fprintf and snprintf here (C99 conversions).
int __mingw_vsnprintf(char *out, size_t size, const char *format, va_list args) {
  return nicdiag::FormatV(out, size, format, args);
}

int __mingw_vsprintf(char *out, const char *format, va_list args) {
  return nicdiag::FormatV(out, static_cast<size_t>(-1) / 2, format, args);
}

int __mingw_vfprintf(FILE *stream, const char *format, va_list args) {
  char small[512];
  va_list again;
  va_copy(again, args);
  int n = nicdiag::FormatV(small, sizeof small, format, args);
  char *text = small;
  if (n >= static_cast<int>(sizeof small)) {
    text = static_cast<char *>(std::malloc(static_cast<size_t>(n) + 1));
    if (text == nullptr) InternalError("std::bad_alloc");
    nicdiag::FormatV(text, static_cast<size_t>(n) + 1, format, again);
  }
  va_end(again);
  if (n > 0 && std::fwrite(text, 1, static_cast<size_t>(n), stream) != static_cast<size_t>(n)) n = -1;
  if (text != small) std::free(text);
  return n;
}

int __mingw_vprintf(const char *format, va_list args) { return __mingw_vfprintf(stdout, format, args); }

}  // extern "C"

// Allocation: a failure ends the run as an uncaught std::bad_alloc would
// have ended it (this build has no exceptions).
void *operator new(size_t size) {
  void *p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) InternalError("std::bad_alloc");
  return p;
}
void *operator new[](size_t size) { return operator new(size); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }

// The library's error exits, which throw in a build with exceptions.
namespace std {
void __throw_bad_alloc() { InternalError("std::bad_alloc"); }
void __throw_bad_array_new_length() { InternalError("std::bad_array_new_length"); }
void __throw_bad_function_call() { InternalError("bad_function_call"); }
void __throw_length_error(const char *what) { InternalError(what); }
void __throw_logic_error(const char *what) { InternalError(what); }
void __throw_out_of_range(const char *what) { InternalError(what); }
void __throw_out_of_range_fmt(const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  nicdiag::FormatV(text, sizeof text, format, args);
  va_end(args);
  InternalError(text);
}
void __throw_invalid_argument(const char *what) { InternalError(what); }
}  // namespace std
