// Version, process, module and string services of the simulated machine.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "codepage.h"
#include "machine.h"
#include "resources.h"

using sim::win32::machine;

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  auto& m = machine();
  // The record's size field must name OSVERSIONINFOA (148) or the extended
  // record (156); anything else is refused as on Windows.
  if (info == nullptr || (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156)) {
    m.last_error = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  if (m.version.query_fails) {
    m.last_error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  info->dwMajorVersion = m.version.major;
  info->dwMinorVersion = m.version.minor;
  info->dwBuildNumber = m.version.build;
  info->dwPlatformId = m.version.platform_id;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  std::strncpy(info->szCSDVersion, m.version.csd.c_str(), sizeof info->szCSDVersion - 1);
  return TRUE;
}

LPSTR WINAPI GetCommandLineA(void) { return machine().command_line.data(); }

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  if (name == nullptr) return sim::win32::program_instance();
  machine().last_error = ERROR_FILE_NOT_FOUND;
  return nullptr;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  auto& m = machine();
  if (module != nullptr && module != sim::win32::program_instance()) {
    m.last_error = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (size == 0) return 0;
  // A short buffer receives the truncated path and the full size is returned,
  // as Windows 95 to 2000 do.
  DWORD n = static_cast<DWORD>(std::min<std::size_t>(m.module_path.size(), size - 1));
  std::memcpy(buffer, m.module_path.data(), n);
  buffer[n] = '\0';
  if (m.module_path.size() >= size) {
    m.last_error = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  return n;
}

// ---- lstr* (kernel32's string functions; NULL pointers are tolerated the
// way kernel32 tolerates them: as empty strings)

namespace {
int fold(unsigned char c) { return std::tolower(c); }
}  // namespace

int WINAPI lstrlenA(LPCSTR s) { return s ? static_cast<int>(std::strlen(s)) : 0; }

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
  int r = std::strcmp(a ? a : "", b ? b : "");
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// Case-insensitive comparison: letters A to Z equal a to z.
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(a ? a : "");
  const unsigned char* q = reinterpret_cast<const unsigned char*>(b ? b : "");
  while (*p && fold(*p) == fold(*q)) ++p, ++q;
  int d = fold(*p) - fold(*q);
  return d < 0 ? -1 : d > 0 ? 1 : 0;
}

LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src) {
  if (!dst || !src) return nullptr;
  return std::strcpy(dst, src);
}

// Copies at most max-1 characters and always terminates (max > 0).
LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int max) {
  if (!dst || !src) return nullptr;
  if (max <= 0) return dst;
  int i = 0;
  for (; i < max - 1 && src[i]; ++i) dst[i] = src[i];
  dst[i] = '\0';
  return dst;
}

LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src) {
  if (!dst || !src) return nullptr;
  return std::strcat(dst, src);
}

// wsprintfA: %[-][0][width][.precision][l|h]{c,d,i,u,x,X,s,%}; output is
// limited to 1024 characters, as user32's is.
int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  constexpr std::size_t kLimit = 1024;
  std::string out;
  va_list args;
  va_start(args, format);
  for (const char* f = format; *f && out.size() < kLimit; ++f) {
    if (*f != '%') {
      out.push_back(*f);
      continue;
    }
    ++f;
    bool left = false, zero = false;
    for (; *f == '-' || *f == '0'; ++f) (*f == '-' ? left : zero) = true;
    int width = 0, precision = -1;
    for (; std::isdigit(static_cast<unsigned char>(*f)); ++f) width = width * 10 + (*f - '0');
    if (*f == '.') {
      precision = 0;
      for (++f; std::isdigit(static_cast<unsigned char>(*f)); ++f) precision = precision * 10 + (*f - '0');
    }
    if (*f == 'l' || *f == 'h') ++f;
    std::string field;
    switch (*f) {
      case 'c': field.push_back(static_cast<char>(va_arg(args, int))); break;
      case 'd':
      case 'i': field = std::to_string(va_arg(args, int)); break;
      case 'u': field = std::to_string(va_arg(args, unsigned)); break;
      case 'x':
      case 'X': {
        char tmp[16];
        std::snprintf(tmp, sizeof tmp, *f == 'x' ? "%x" : "%X", va_arg(args, unsigned));
        field = tmp;
        break;
      }
      case 's': {
        const char* s = va_arg(args, const char*);
        field = s ? s : "(null)";
        if (precision >= 0 && field.size() > static_cast<std::size_t>(precision)) field.resize(precision);
        break;
      }
      case '\0': --f; continue;
      default: field.push_back(*f); break;
    }
    if (static_cast<int>(field.size()) < width) {
      std::string pad(width - field.size(), zero && !left ? '0' : ' ');
      field = left ? field + std::string(width - field.size(), ' ') : pad + field;
    }
    out += field;
  }
  va_end(args);
  if (out.size() > kLimit - 1) out.resize(kLimit - 1);
  std::memcpy(buffer, out.c_str(), out.size() + 1);
  return static_cast<int>(out.size());
}

// ---- service control manager: only an administrator gets full access on
// the NT family; Windows 95/98 have no service control manager.

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine_name, LPCSTR database, DWORD access) {
  auto& m = machine();
  (void)database;
  if (!m.is_nt()) {
    m.last_error = 120;  // ERROR_CALL_NOT_IMPLEMENTED
    return nullptr;
  }
  if (machine_name != nullptr && machine_name[0] != '\0') {
    m.last_error = 1722;  // RPC_S_SERVER_UNAVAILABLE: no other machine on this network
    return nullptr;
  }
  constexpr DWORD kReadRights = SC_MANAGER_CONNECT | 0x0004 /* ENUMERATE_SERVICE */ | 0x0010 /* QUERY_LOCK_STATUS */;
  if (!m.admin && (access & ~(kReadRights | GENERIC_READ | READ_CONTROL)) != 0) {
    m.last_error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  ++m.scm_open_handles;
  return reinterpret_cast<SC_HANDLE>(static_cast<std::uintptr_t>(0x5C000000 + m.scm_open_handles));
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  auto& m = machine();
  if (handle == nullptr || m.scm_open_handles <= 0) {
    m.last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  --m.scm_open_handles;
  return TRUE;
}

namespace {

constexpr DWORD kMbErrInvalidChars = 0x08;          // MB_ERR_INVALID_CHARS
constexpr DWORD kErrorNoUnicodeTranslation = 1113;  // ERROR_NO_UNICODE_TRANSLATION
constexpr UINT kThreadAcp = 3;                      // CP_THREAD_ACP

// The page a conversion names: CP_ACP and CP_THREAD_ACP are the machine's
// ANSI code page, a number one the simulator knows. Others (the OEM page,
// UTF-7, UTF-8) are not modelled and refused with ERROR_INVALID_PARAMETER.
const sim::win32::CodePage* page_of(UINT code_page) {
  if (code_page == CP_ACP || code_page == kThreadAcp) return sim::win32::CodePage::find(machine().registry.code_page());
  return sim::win32::CodePage::find(code_page);
}

}  // namespace

// WideCharToMultiByte converts with the page's own table only, as with
// WC_NO_BEST_FIT_CHARS: a character the page lacks becomes the default
// character ('?' unless given), and *used_default says so. Windows without
// that flag maps some characters to a look-alike first (U+0100 to 'A' on
// 1252); the simulator never does (learn.microsoft.com, WideCharToMultiByte).
int WINAPI WideCharToMultiByte(UINT code_page, DWORD, const WCHAR* wide, int wide_chars, LPSTR multi, int multi_bytes,
                               LPCSTR default_char, LPBOOL used_default) {
  const sim::win32::CodePage* page = page_of(code_page);
  if (page == nullptr || wide == nullptr || wide_chars == 0 || multi_bytes < 0 ||
      (multi_bytes > 0 && multi == nullptr)) {
    machine().last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  int length = wide_chars;
  if (length < 0) {
    length = 0;
    while (wide[length]) ++length;
    ++length;  // the terminator is converted too
  }
  std::u32string text;
  text.reserve(static_cast<std::size_t>(length));
  for (int i = 0; i < length; ++i) {
    const char32_t u = wide[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      text.push_back(0x10000 + ((u - 0xD800) << 10) + (wide[i + 1] - 0xDC00u));
      ++i;
    } else {
      text.push_back(u >= 0xD800 && u <= 0xDFFF ? 0xFFFF : u);  // a lone surrogate has no form
    }
  }
  bool lost = false;
  const std::string bytes = page->encode(text, default_char ? *default_char : '?', &lost);
  if (used_default) *used_default = lost ? TRUE : FALSE;
  const int needed = static_cast<int>(bytes.size());
  if (multi_bytes == 0) return needed;
  if (multi_bytes < needed) {
    machine().last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(multi, bytes.data(), bytes.size());
  return needed;
}

// MultiByteToWideChar: a byte (or byte pair) the page does not define gives
// U+FFFD, or with MB_ERR_INVALID_CHARS fails with
// ERROR_NO_UNICODE_TRANSLATION (learn.microsoft.com, MultiByteToWideChar).
// Windows gives the page's own default character (U+30FB on 932) where the
// simulator gives U+FFFD.
int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi, int multi_bytes, WCHAR* wide,
                               int wide_chars) {
  const sim::win32::CodePage* page = page_of(code_page);
  if (page == nullptr || multi == nullptr || multi_bytes == 0 || wide_chars < 0 ||
      (wide_chars > 0 && wide == nullptr)) {
    machine().last_error = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const std::size_t size = multi_bytes < 0 ? std::strlen(multi) + 1 : static_cast<std::size_t>(multi_bytes);
  std::size_t bad = std::string_view::npos;
  const std::u32string text = page->decode(std::string_view(multi, size), &bad);
  if (bad != std::string_view::npos && (flags & kMbErrInvalidChars)) {
    machine().last_error = kErrorNoUnicodeTranslation;
    return 0;
  }
  std::u16string units;
  for (char32_t u : text) {
    if (u >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(u));
    }
  }
  const int needed = static_cast<int>(units.size());
  if (wide_chars == 0) return needed;
  if (wide_chars < needed) {
    machine().last_error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  for (std::size_t i = 0; i < units.size(); ++i) wide[i] = units[i];
  return needed;
}
