// The kernel's formatter behind sprintf, _snprintf and DbgPrint, with the
// target's sizes: "%ld"/"%lx" take 32-bit values, "%I64x"/"%llx" 64-bit,
// "%ws"/"%S"/"%ls" WCHAR strings, "%Z" an ANSI_STRING*, "%wZ" a
// UNICODE_STRING*, "%p" a pointer printed as eight hex digits when it fits.
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/kernel/state.h"

namespace sim::kernel {

namespace {

std::string wide_to_narrow(const WCHAR* s, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out.push_back(s[i] < 0x100 ? static_cast<char>(s[i]) : '?');
  return out;
}

std::string wide_z(const WCHAR* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return wide_to_narrow(s, n);
}

template <typename T>
void append_formatted(std::string& out, const std::string& pattern, T value) {
  char small[128];
  const int n = std::snprintf(small, sizeof small, pattern.c_str(), value);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof small) {
    out.append(small, static_cast<std::size_t>(n));
    return;
  }
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), pattern.c_str(), value);
  out.append(big.data(), static_cast<std::size_t>(n));
}

}  // namespace

std::string format_nt(const char* format, va_list args) {
  std::string out;
  if (format == nullptr) return out;
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out.push_back(*p);
      continue;
    }
    const char* start = p++;
    std::string flags;
    while (*p != 0 && std::strchr("-+ #0", *p) != nullptr) flags.push_back(*p++);
    std::string width;
    if (*p == '*') {
      width = std::to_string(va_arg(args, int));
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') width.push_back(*p++);
    }
    std::string precision;
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        precision = "." + std::to_string(va_arg(args, int));
        ++p;
      } else {
        precision = ".";
        while (*p >= '0' && *p <= '9') precision.push_back(*p++);
      }
    }
    enum class Size { Default, Short, Long, LongLong, Pointer, Wide } size = Size::Default;
    if (*p == 'h') {
      size = Size::Short;
      ++p;
    } else if (*p == 'l') {
      ++p;
      if (*p == 'l') {
        size = Size::LongLong;
        ++p;
      } else {
        size = Size::Long;
      }
    } else if (*p == 'L') {
      size = Size::LongLong;
      ++p;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      size = Size::LongLong;
      p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
      size = Size::Long;
      p += 3;
    } else if (*p == 'I') {
      size = Size::Pointer;
      ++p;
    } else if (*p == 'w') {
      size = Size::Wide;
      ++p;
    }
    const char conversion = *p;
    if (conversion == 0) {
      out.append(start);
      break;
    }
    const std::string head = "%" + flags + width + precision;
    switch (conversion) {
      case 'd':
      case 'i':
        if (size == Size::LongLong || size == Size::Pointer) {
          append_formatted(
              out, head + "lld",
              static_cast<long long>(size == Size::Pointer ? va_arg(args, LONG_PTR) : va_arg(args, long long)));
        } else {
          int v = va_arg(args, int);
          if (size == Size::Short) v = static_cast<short>(v);
          append_formatted(out, head + "d", v);
        }
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (size == Size::LongLong || size == Size::Pointer) {
          append_formatted(out, head + "ll" + conversion,
                           static_cast<unsigned long long>(size == Size::Pointer ? va_arg(args, ULONG_PTR)
                                                                                 : va_arg(args, unsigned long long)));
        } else {
          unsigned v = va_arg(args, unsigned);
          if (size == Size::Short) v = static_cast<unsigned short>(v);
          append_formatted(out, head + conversion, v);
        }
        break;
      case 'c':
      case 'C': {
        const int v = va_arg(args, int);
        const bool is_wide = conversion == 'C' || size == Size::Wide || size == Size::Long;
        const char c = is_wide ? (static_cast<WCHAR>(v) < 0x100 ? static_cast<char>(v) : '?') : static_cast<char>(v);
        append_formatted(out, head + "c", c);
        break;
      }
      case 's':
      case 'S': {
        const bool is_wide = conversion == 'S' || size == Size::Wide || size == Size::Long;
        std::string text;
        if (is_wide) {
          const WCHAR* w = va_arg(args, const WCHAR*);
          text = w == nullptr ? "(null)" : wide_z(w);
        } else {
          const char* a = va_arg(args, const char*);
          text = a == nullptr ? "(null)" : a;
        }
        append_formatted(out, head + "s", text.c_str());
        break;
      }
      case 'Z': {
        std::string text = "(null)";
        if (size == Size::Wide) {
          const UNICODE_STRING* u = va_arg(args, const UNICODE_STRING*);
          if (u != nullptr && u->Buffer != nullptr) text = wide_to_narrow(u->Buffer, u->Length / 2);
        } else {
          const ANSI_STRING* a = va_arg(args, const ANSI_STRING*);
          if (a != nullptr && a->Buffer != nullptr) text.assign(a->Buffer, a->Length);
        }
        append_formatted(out, head + "s", text.c_str());
        break;
      }
      case 'p': {
        const auto v = reinterpret_cast<std::uintptr_t>(va_arg(args, void*));
        append_formatted(out, v <= 0xFFFFFFFFu ? std::string("%08llX") : std::string("%016llX"),
                         static_cast<unsigned long long>(v));
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G': append_formatted(out, head + conversion, va_arg(args, double)); break;
      case 'n':
        (void)va_arg(args, void*);  // not supported by the kernel's formatter
        break;
      case '%': out.push_back('%'); break;
      default: out.append(start, p + 1); break;
    }
  }
  return out;
}

}  // namespace sim::kernel

extern "C" {

int NtSprintf(char* Buffer, const char* Format, ...) {
  va_list args;
  va_start(args, Format);
  const std::string text = sim::kernel::format_nt(Format, args);
  va_end(args);
  std::memcpy(Buffer, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

int NtSnprintf(char* Buffer, SIZE_T Count, const char* Format, ...) {
  va_list args;
  va_start(args, Format);
  const std::string text = sim::kernel::format_nt(Format, args);
  va_end(args);
  if (text.size() < Count) {
    std::memcpy(Buffer, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
  }
  std::memcpy(Buffer, text.data(), Count);  // no terminating null, as the platform's _snprintf
  return text.size() == Count ? static_cast<int>(Count) : -1;
}

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  std::string text = sim::kernel::format_nt(Format, args);
  va_end(args);
  if (text.size() > 511) text.resize(511);  // the kernel formats into a 512-byte buffer
  auto& s = sim::kernel::current_state();
  std::function<void(std::string_view)> echo;
  {
    std::lock_guard lock(s.mutex);
    s.log.push_back(text);
    echo = s.echo;
  }
  if (echo) echo(text);
  return STATUS_SUCCESS;
}

}  // extern "C"
