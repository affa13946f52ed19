// C99's printf conversions over a C runtime that lacks them (print_format.h).
#include "tools/nicdiag/print_format.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace nicdiag {

namespace {

// Widths and precisions above this are refused rather than written.
constexpr int kMaxField = 65536;

// Where the text goes: the first size - 1 bytes are kept, all are counted.
struct Sink {
  char *out;
  size_t size;
  size_t length = 0;
  void Put(char c) {
    if (length + 1 < size) out[length] = c;
    length++;
  }
  void Put(const char *s, size_t n) {
    for (size_t i = 0; i < n; i++) Put(s[i]);
  }
  void Pad(char c, int n) {
    for (; n > 0; n--) Put(c);
  }
};

struct Directive {
  bool left = false, plus = false, space = false, alternate = false, zero = false;
  int width = 0;
  int precision = -1;  // none
};

void PutPadded(Sink &sink, const Directive &directive, const char *text, size_t n) {
  const int pad = directive.width > static_cast<int>(n) ? directive.width - static_cast<int>(n) : 0;
  if (!directive.left) sink.Pad(' ', pad);
  sink.Put(text, n);
  if (directive.left) sink.Pad(' ', pad);
}

// d, i, o, u, x, X: the digits of magnitude with the sign or prefix, the
// precision's zeros and the width's padding C99 gives them.
void PutInteger(Sink &sink, const Directive &directive, uint64_t magnitude, bool negative, char conversion) {
  const unsigned base = conversion == 'o' ? 8u : (conversion == 'x' || conversion == 'X') ? 16u : 10u;
  const char *digit = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];
  int n = 0;
  for (uint64_t v = magnitude; v != 0; v /= base) digits[n++] = digit[v % base];
  int zeros = (directive.precision < 0 ? 1 : directive.precision) - n;
  if (zeros < 0) zeros = 0;
  // "#" makes an octal number's first digit a 0.
  if (conversion == 'o' && directive.alternate && zeros == 0 && (n == 0 || digits[n - 1] != '0')) zeros = 1;
  char prefix[2];
  int p = 0;
  if (conversion == 'd' || conversion == 'i') {
    if (negative)
      prefix[p++] = '-';
    else if (directive.plus)
      prefix[p++] = '+';
    else if (directive.space)
      prefix[p++] = ' ';
  } else if ((conversion == 'x' || conversion == 'X') && directive.alternate && magnitude != 0) {
    prefix[p++] = '0';
    prefix[p++] = conversion;
  }
  int pad = directive.width - (p + zeros + n);
  if (pad < 0) pad = 0;
  if (directive.zero && !directive.left && directive.precision < 0) {
    zeros += pad;
    pad = 0;
  }
  if (!directive.left) sink.Pad(' ', pad);
  sink.Put(prefix, p);
  sink.Pad('0', zeros);
  while (n > 0) sink.Put(digits[--n]);
  if (directive.left) sink.Pad(' ', pad);
}

void AppendNumber(char *text, int &at, int value) {
  char digits[12];
  int n = 0;
  do digits[n++] = static_cast<char>('0' + value % 10);
  while ((value /= 10) != 0);
  while (n > 0) text[at++] = digits[--n];
}

// A floating-point conversion, rebuilt alone with its flags, width and
// precision for the runtime's own formatting.
bool PutFloat(Sink &sink, const Directive &directive, char conversion, double value) {
  char format[32];
  int f = 0;
  format[f++] = '%';
  if (directive.left) format[f++] = '-';
  if (directive.plus) format[f++] = '+';
  if (directive.space) format[f++] = ' ';
  if (directive.alternate) format[f++] = '#';
  if (directive.zero) format[f++] = '0';
  AppendNumber(format, f, directive.width);
  if (directive.precision >= 0) {
    format[f++] = '.';
    AppendNumber(format, f, directive.precision);
  }
  format[f++] = conversion == 'F' ? 'f' : conversion;
  format[f] = 0;
  // The longest finite %f is DBL_MAX's 309 digits, then the precision.
  const size_t room = 320 + static_cast<size_t>(directive.width) +
                      static_cast<size_t>(directive.precision < 0 ? 6 : directive.precision);
  char *text = static_cast<char *>(std::malloc(room));
  if (text == nullptr) return false;
#ifdef _WIN32
  const int n = _snprintf(text, room, format, value);
#else
  const int n = std::snprintf(text, room, format, value);
#endif
  const bool fits = n >= 0 && static_cast<size_t>(n) < room;
  if (fits) sink.Put(text, static_cast<size_t>(n));
  std::free(text);
  return fits;
}

// A field's number: digits, or '*' taking an int from the arguments.
bool ParseField(const char *&f, va_list &args, int &value, bool &from_argument) {
  from_argument = *f == '*';
  if (from_argument) {
    f++;
    value = va_arg(args, int);
    return true;
  }
  value = 0;
  for (; *f >= '0' && *f <= '9'; f++) {
    value = value * 10 + (*f - '0');
    if (value > kMaxField) return false;
  }
  return true;
}

enum class Length { kNone, kChar, kShort, kLong, kLongLong, kSize, kPtrdiff, kMax, kLongDouble };

int64_t SignedArgument(va_list &args, Length length) {
  switch (length) {
    case Length::kChar: return static_cast<signed char>(va_arg(args, int));
    case Length::kShort: return static_cast<short>(va_arg(args, int));
    case Length::kLong: return va_arg(args, long);
    case Length::kLongLong: return va_arg(args, long long);
    case Length::kMax: return va_arg(args, intmax_t);
    case Length::kSize: return va_arg(args, std::make_signed_t<size_t>);
    case Length::kPtrdiff: return va_arg(args, ptrdiff_t);
    default: return va_arg(args, int);
  }
}

uint64_t UnsignedArgument(va_list &args, Length length) {
  switch (length) {
    case Length::kChar: return static_cast<unsigned char>(va_arg(args, unsigned));
    case Length::kShort: return static_cast<unsigned short>(va_arg(args, unsigned));
    case Length::kLong: return va_arg(args, unsigned long);
    case Length::kLongLong: return va_arg(args, unsigned long long);
    case Length::kMax: return va_arg(args, uintmax_t);
    case Length::kSize: return va_arg(args, size_t);
    case Length::kPtrdiff: return static_cast<std::make_unsigned_t<ptrdiff_t>>(va_arg(args, ptrdiff_t));
    default: return va_arg(args, unsigned);
  }
}

Length ParseLength(const char *&f) {
  switch (*f) {
    case 'h':
      if (*++f != 'h') return Length::kShort;
      f++;
      return Length::kChar;
    case 'l':
      if (*++f != 'l') return Length::kLong;
      f++;
      return Length::kLongLong;
    case 'j': f++; return Length::kMax;
    case 'z': f++; return Length::kSize;
    case 't': f++; return Length::kPtrdiff;
    case 'L': f++; return Length::kLongDouble;
    default: return Length::kNone;
  }
}

// One conversion after its '%'; false for one C99 does not define here.
bool Convert(Sink &sink, const char *&f, va_list &args) {
  Directive directive;
  for (;; f++) {
    if (*f == '-')
      directive.left = true;
    else if (*f == '+')
      directive.plus = true;
    else if (*f == ' ')
      directive.space = true;
    else if (*f == '#')
      directive.alternate = true;
    else if (*f == '0')
      directive.zero = true;
    else
      break;
  }
  bool from_argument = false;
  if (!ParseField(f, args, directive.width, from_argument)) return false;
  if (directive.width < 0) {  // a negative width from '*' is the '-' flag
    if (directive.width < -kMaxField) return false;
    directive.left = true;
    directive.width = -directive.width;
  }
  if (directive.width > kMaxField) return false;
  if (*f == '.') {
    f++;
    if (!ParseField(f, args, directive.precision, from_argument)) return false;
    if (directive.precision < 0) directive.precision = -1;  // a negative one from '*' is none
    if (directive.precision > kMaxField) return false;
  }
  const Length length = ParseLength(f);
  const char conversion = *f;
  if (conversion == 0) return false;
  f++;
  switch (conversion) {
    case '%': sink.Put('%'); return true;
    case 'd':
    case 'i': {
      const int64_t value = SignedArgument(args, length);
      const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
      PutInteger(sink, directive, magnitude, value < 0, conversion);
      return true;
    }
    case 'o':
    case 'u':
    case 'x':
    case 'X': PutInteger(sink, directive, UnsignedArgument(args, length), false, conversion); return true;
    case 'c': {
      const char c = static_cast<char>(va_arg(args, int));
      PutPadded(sink, directive, &c, 1);
      return true;
    }
    case 's': {
      const char *s = va_arg(args, const char *);
      if (s == nullptr) s = "(null)";
      size_t n = 0;
      while ((directive.precision < 0 || n < static_cast<size_t>(directive.precision)) && s[n] != 0) n++;
      PutPadded(sink, directive, s, n);
      return true;
    }
    case 'p': {
      const uintptr_t value = reinterpret_cast<uintptr_t>(va_arg(args, void *));
      if (value == 0) {
        PutPadded(sink, directive, "(nil)", 5);
      } else {
        directive.alternate = true;
        PutInteger(sink, directive, value, false, 'x');
      }
      return true;
    }
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G': {
      const double value =
          length == Length::kLongDouble ? static_cast<double>(va_arg(args, long double)) : va_arg(args, double);
      return PutFloat(sink, directive, conversion, value);
    }
    default: return false;  // %n, %a and anything unknown
  }
}

}  // namespace

int FormatV(char *out, size_t size, const char *format, va_list args) {
  Sink sink{out, size};
  va_list walk;
  va_copy(walk, args);
  bool ok = true;
  for (const char *f = format; *f != 0 && ok;) {
    if (*f != '%') {
      sink.Put(*f++);
      continue;
    }
    f++;
    ok = Convert(sink, f, walk);
  }
  va_end(walk);
  if (size > 0) out[sink.length < size ? sink.length : size - 1] = 0;
  return ok ? static_cast<int>(sink.length) : -1;
}

}  // namespace nicdiag
