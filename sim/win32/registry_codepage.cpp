// The registry's text: conversions between the ANSI code page (1252),
// UTF-8 (the store) and UTF-16LE (Version 5 files), and the case folding
// and order of names.
#include <algorithm>
#include <array>

#include "registry_state.h"

namespace sim::win32 {

namespace {

// Unicode of the bytes 0x80..0x9F; the five holes map to the C1 controls,
// as the system's conversion does, so every byte survives a round trip.
constexpr std::array<char16_t, 32> kCp1252High = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t ansi_to_unicode(unsigned char c) {
  return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : static_cast<char16_t>(c);
}

char unicode_to_ansi(char32_t u) {
  if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
  for (std::size_t i = 0; i < kCp1252High.size(); ++i)
    if (kCp1252High[i] == u) return static_cast<char>(0x80 + i);
  return '?';
}

void append_utf8(std::string& out, char32_t u) {
  if (u < 0x80) {
    out.push_back(static_cast<char>(u));
  } else if (u < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (u >> 6)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else if (u < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (u >> 12)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (u >> 18)));
    out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  }
}

// The character at s[i] (i advances past it); a malformed sequence gives
// U+FFFD and advances one byte.
char32_t next_utf8(std::string_view s, std::size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size() + (extra == 0 ? 1 : 0)) {
    ++i;
    return 0xFFFD;
  }
  char32_t u = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
  for (int k = 1; k <= extra; ++k) {
    const unsigned char cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    u = (u << 6) | (cc & 0x3F);
  }
  i += static_cast<std::size_t>(extra) + 1;
  return u;
}

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::u16string utf16_from_utf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const char32_t u = next_utf8(s, i);
    if (u >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(u));
    }
  }
  return out;
}
// The upper case the registry compares names in: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters.
char32_t upcase(char32_t u) {
  if (u >= 'a' && u <= 'z') return u - 0x20;
  if (u < 0xE0) return u;
  if (u <= 0xFE) return u == 0xF7 ? u : u - 0x20;
  if (u == 0xFF) return 0x178;
  if (u >= 0x100 && u <= 0x137) return u & ~char32_t{1};
  if (u >= 0x139 && u <= 0x148) return (u & 1) ? u : u - 1;
  if (u >= 0x14A && u <= 0x177) return u & ~char32_t{1};
  if (u >= 0x179 && u <= 0x17E) return (u & 1) ? u : u - 1;
  if (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) return u - 0x20;
  if (u == 0x3C2) return 0x3A3;
  if (u >= 0x430 && u <= 0x44F) return u - 0x20;
  if (u >= 0x450 && u <= 0x45F) return u - 0x50;
  return u;
}

std::vector<std::uint8_t> data_to_ansi(DWORD type, const std::vector<std::uint8_t>& data) {
  return is_string_type(type) ? bytes_of(ansi_from_utf8(text_of(data))) : data;
}

}  // namespace

std::string utf8_from_ansi(std::string_view s) {
  if (is_ascii(s)) return std::string(s);  // the common case, unchanged
  std::string out;
  out.reserve(s.size());
  for (char c : s) append_utf8(out, ansi_to_unicode(static_cast<unsigned char>(c)));
  return out;
}

std::string ansi_from_utf8(std::string_view s) {
  if (is_ascii(s)) return std::string(s);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) out.push_back(unicode_to_ansi(next_utf8(s, i)));
  return out;
}

// UTF-16LE bytes (no BOM); a lone surrogate becomes U+FFFD.
std::string utf8_from_utf16le(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](std::size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      const char16_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    append_utf8(out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
  }
  return out;
}

std::string utf16le_from_utf8(std::string_view s) {
  std::string out;
  for (char16_t u : utf16_from_utf8(s)) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::string fold(std::string_view s) {
  if (is_ascii(s)) {
    std::string out(s);
    for (char& c : out)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    return out;
  }
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) append_utf8(out, upcase(next_utf8(s, i)));
  return out;
}

// The NT order of sub-keys: names compared by the UTF-16 units of their
// upper-case forms.
bool nt_less(std::string_view a_folded, std::string_view b_folded) {
  // Below U+10000 the UTF-8 byte order is the UTF-16 order; ASCII names,
  // the common case, compare as bytes.
  if (is_ascii(a_folded) && is_ascii(b_folded)) return a_folded < b_folded;
  return utf16_from_utf8(a_folded) < utf16_from_utf8(b_folded);
}

std::vector<std::uint8_t> data_from_ansi(DWORD type, std::vector<std::uint8_t> data) {
  return is_string_type(type) ? bytes_of(utf8_from_ansi(text_of(data))) : data;
}
RegValue value_to_ansi(const RegValue& v) { return {ansi_from_utf8(v.name), v.type, data_to_ansi(v.type, v.data)}; }

}  // namespace sim::win32
