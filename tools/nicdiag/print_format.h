// The printf family's formatting with C99's conversions, for nicdiag.exe,
// whose C runtime is the msvcrt.dll of Windows NT 4.0: that one knows no
// ll, hh, j, z or t length modifier and returns -1 from _vsnprintf when the
// text does not fit. Integers, characters, strings and pointers are written
// here; a floating-point conversion is handed, alone and with its double, to
// the C runtime's own snprintf (the same on every runtime for a plain %f,
// %e or %g).
#pragma once
#include <cstdarg>
#include <cstddef>

namespace nicdiag {

// Writes format with args as C99's vsnprintf does: at most size - 1 bytes
// and a terminating NUL (nothing when size is 0); returns the length the
// whole text has, or -1 for a conversion C99 does not define.
int FormatV(char *out, size_t size, const char *format, va_list args);

}  // namespace nicdiag
