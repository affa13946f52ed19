// The registry's text: conversions between the machine's ANSI code page
// (codepage.h), UTF-8 (the store) and UTF-16LE (Version 5 files), and the
// case folding and order of names.
#include <algorithm>
#include <array>

#include "registry_state.h"

namespace sim::win32 {

namespace {

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::u16string utf16_from_utf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (const char32_t u : utf32_from_utf8(s)) {
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

std::vector<std::uint8_t> data_to_ansi(DWORD type, const std::vector<std::uint8_t>& data, const CodePage& cp) {
  return is_string_type(type) ? bytes_of(cp.from_utf8(text_of(data))) : data;
}

}  // namespace

std::string utf8_from_ansi(std::string_view s, const CodePage& cp) { return cp.to_utf8(s); }
std::string ansi_from_utf8(std::string_view s, const CodePage& cp) { return cp.from_utf8(s); }

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
  std::u32string text = utf32_from_utf8(s);
  for (char32_t& u : text) u = upcase(u);
  return utf8_from_utf32(text);
}

// The NT order of sub-keys: names compared by the UTF-16 units of their
// upper-case forms.
bool nt_less(std::string_view a_folded, std::string_view b_folded) {
  // Below U+10000 the UTF-8 byte order is the UTF-16 order; ASCII names,
  // the common case, compare as bytes.
  if (is_ascii(a_folded) && is_ascii(b_folded)) return a_folded < b_folded;
  return utf16_from_utf8(a_folded) < utf16_from_utf8(b_folded);
}

std::vector<std::uint8_t> data_from_ansi(DWORD type, std::vector<std::uint8_t> data, const CodePage& cp) {
  return is_string_type(type) ? bytes_of(cp.to_utf8(text_of(data))) : data;
}
RegValue value_to_ansi(const RegValue& v, const CodePage& cp) {
  return {cp.from_utf8(v.name), v.type, data_to_ansi(v.type, v.data, cp)};
}

}  // namespace sim::win32
