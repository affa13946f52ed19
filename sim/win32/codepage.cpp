#include "codepage.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <mutex>
#include <stdexcept>

namespace sim::win32 {

namespace {

constexpr char32_t kNone = 0xFFFF;
constexpr char32_t kReplacement = 0xFFFD;

// Unicode of the bytes 0x80..0x9F of 1252; the five holes map to the C1
// controls (bestfit1252.txt), so every byte survives a round trip.
constexpr std::array<char16_t, 32> kCp1252High = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

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

namespace {

// The character at s[i] (i advances past it); a malformed sequence gives
// U+FFFD and advances one byte.
char32_t next_utf8(std::string_view s, std::size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size() + (extra == 0 ? 1 : 0)) {
    ++i;
    return kReplacement;
  }
  char32_t u = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
  for (int k = 1; k <= extra; ++k) {
    const unsigned char cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    u = (u << 6) | (cc & 0x3F);
  }
  i += static_cast<std::size_t>(extra) + 1;
  return u;
}

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// One conversion of `bytes` with the C library: the code points, or
// EINVAL (a lead byte wanting its trail) or EILSEQ (no character).
struct Converted {
  int error = 0;
  std::u32string text;
};

class Converter {
 public:
  explicit Converter(unsigned id) : name_("CP" + std::to_string(id)) {
    cd_ = iconv_open("UTF-32LE", name_.c_str());
    if (cd_ == reinterpret_cast<iconv_t>(-1))
      throw std::runtime_error("code page " + std::to_string(id) + ": the C library has no converter " + name_);
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  Converted run(std::string_view bytes) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::array<char, 64> out{};
    std::string in(bytes);
    char* in_at = in.data();
    std::size_t in_left = in.size();
    char* out_at = out.data();
    std::size_t out_left = out.size();
    Converted c;
    if (iconv(cd_, &in_at, &in_left, &out_at, &out_left) == static_cast<std::size_t>(-1)) {
      c.error = errno;
      return c;
    }
    // A stateful converter (1255, 1258) may hold a letter back for a mark.
    if (iconv(cd_, nullptr, nullptr, &out_at, &out_left) == static_cast<std::size_t>(-1)) {
      c.error = errno;
      return c;
    }
    for (const char* p = out.data(); p + 4 <= out_at; p += 4)
      c.text.push_back(static_cast<char32_t>(static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[1]) << 8 |
                                             static_cast<unsigned char>(p[2]) << 16 |
                                             static_cast<unsigned char>(p[3]) << 24));
    return c;
  }

 private:
  std::string name_;
  iconv_t cd_;
};

// Whether `code` should take character u's way back over `was`.
bool preferred(unsigned page, std::uint16_t code, std::uint16_t was) {
  if (was == 0) return true;
  auto nec_copy = [](std::uint16_t c) { return c >= 0xED40 && c <= 0xEEFC; };
  if (page == 932 && nec_copy(was) != nec_copy(code)) return nec_copy(was);
  return code < was;
}

}  // namespace

std::u32string utf32_from_utf8(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) out.push_back(next_utf8(s, i));
  return out;
}

std::string utf8_from_utf32(std::u32string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t u : s) append_utf8(out, u);
  return out;
}

CodePage::CodePage(unsigned id) : id_(id), back_(0x10000, 0) {
  for (unsigned b = 0; b < 0x80; ++b) single_[b] = b;
  if (id == 1252) {
    for (unsigned b = 0x80; b < 0x100; ++b) single_[b] = b < 0xA0 ? kCp1252High[b - 0x80] : b;
  } else {
    Converter conv(id);
    for (unsigned b = 0x80; b < 0x100; ++b) {
      const char byte = static_cast<char>(b);
      Converted c = conv.run(std::string_view(&byte, 1));
      if (c.error == EINVAL) {
        lead_[b] = true;
      } else if (c.error == 0 && c.text.size() == 1) {
        single_[b] = c.text[0];
      } else if (b < 0xA0) {
        single_[b] = b;  // a hole: the C1 control
      }
    }
    if (std::find(lead_.begin(), lead_.end(), true) != lead_.end()) {
      pairs_.assign(0x10000, kNone);
      for (unsigned lead = 0x80; lead < 0x100; ++lead) {
        if (!lead_[lead]) continue;
        for (unsigned trail = 0x01; trail < 0x100; ++trail) {
          const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
          Converted c = conv.run(std::string_view(pair, 2));
          if (c.error == 0 && c.text.size() == 1) pairs_[lead << 8 | trail] = c.text[0];
        }
      }
    }
  }
  // The way back: single bytes first, then pairs.
  for (unsigned b = 1; b < 0x100; ++b)
    if (!lead_[b] && single_[b] < 0x10000 && back_[single_[b]] == 0) back_[single_[b]] = static_cast<std::uint16_t>(b);
  for (unsigned code = 0; code < pairs_.size(); ++code) {
    const char32_t u = pairs_[code];
    if (u == kNone || u >= 0x10000) continue;
    if (back_[u] >= 0x100 || back_[u] == 0)
      if (preferred(id, static_cast<std::uint16_t>(code), back_[u])) back_[u] = static_cast<std::uint16_t>(code);
  }
}

const std::vector<unsigned>& CodePage::known() {
  static const std::vector<unsigned> pages = {932, 936, 949, 950, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};
  return pages;
}

const CodePage* CodePage::find(unsigned id) {
  const auto& pages = known();
  if (!std::binary_search(pages.begin(), pages.end(), id)) return nullptr;
  static std::mutex lock;
  static std::map<unsigned, std::unique_ptr<CodePage>> made;
  std::lock_guard<std::mutex> hold(lock);
  auto& page = made[id];
  if (!page) page = std::make_unique<CodePage>(id);
  return page.get();
}

const CodePage& CodePage::standard() {
  static const CodePage* page = find(kDefaultCodePage);
  return *page;
}

std::u32string CodePage::decode(std::string_view ansi, std::size_t* bad) const {
  if (bad) *bad = std::string_view::npos;
  std::u32string out;
  out.reserve(ansi.size());
  auto missing = [&](std::size_t at) {
    if (bad && *bad == std::string_view::npos) *bad = at;
    out.push_back(kReplacement);
  };
  for (std::size_t i = 0; i < ansi.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(ansi[i]);
    if (!lead_[b]) {
      if (single_[b] == kNone)
        missing(i);
      else
        out.push_back(single_[b]);
      continue;
    }
    if (i + 1 == ansi.size()) {
      missing(i);
      break;
    }
    const char32_t u = pairs_[static_cast<unsigned>(b) << 8 | static_cast<unsigned char>(ansi[i + 1])];
    if (u == kNone) {
      missing(i);  // the trail byte is read again on its own
      continue;
    }
    out.push_back(u);
    ++i;
  }
  return out;
}

std::string CodePage::encode(std::u32string_view text, char fallback, bool* lost) const {
  std::string out;
  out.reserve(text.size());
  for (char32_t u : text) {
    const std::uint16_t code = u == 0 ? 0 : u < 0x10000 ? back_[u] : 0;
    if (u != 0 && code == 0) {
      out.push_back(fallback);
      if (lost) *lost = true;
    } else if (code >= 0x100) {
      out.push_back(static_cast<char>(code >> 8));
      out.push_back(static_cast<char>(code & 0xFF));
    } else {
      out.push_back(static_cast<char>(code));
    }
  }
  return out;
}

std::string CodePage::to_utf8(std::string_view ansi, std::size_t* bad) const {
  if (is_ascii(ansi)) {
    if (bad) *bad = std::string_view::npos;
    return std::string(ansi);
  }
  return utf8_from_utf32(decode(ansi, bad));
}

std::string CodePage::from_utf8(std::string_view utf8, bool* lost) const {
  if (is_ascii(utf8)) return std::string(utf8);
  return encode(utf32_from_utf8(utf8), '?', lost);
}

bool CodePage::holds(std::string_view utf8) const {
  if (is_ascii(utf8)) return true;
  bool lost = false;
  from_utf8(utf8, &lost);
  return !lost;
}

}  // namespace sim::win32
