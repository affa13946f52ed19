// The ANSI code pages of the simulated machine: what the A functions, the
// Windows 9x registry and REGEDIT4 files hold, converted to and from the
// Unicode the store keeps (UTF-8 here, UTF-16 in the W functions).
//
// 1252 is built in; the others (1250-1258, and the double-byte pages 932,
// 936, 949 and 950) are read once, byte by byte, from the C library's
// converters (iconv's CP125x and CP93x/CP949/CP950). Byte by byte: glibc's
// CP1255 and CP1258 join a letter and its combining mark into one
// character, where Windows' own tables (MultiByteToWideChar) map each byte
// to one character and join nothing. Where the C library defines no
// character for a byte in 0x80-0x9F that is not a lead byte (the holes of
// 1250-1258, 0x80 of 932 and 949), the byte stands for the C1 control of
// the same number, as Windows' tables give it (bestfit1252.txt: 0x81 ->
// U+0081). Other undefined bytes and byte pairs have no character.
//
// From Unicode only the table's own characters convert, as Windows does
// with WC_NO_BEST_FIT_CHARS: no "best fit" (Windows turns U+0100 into 'A'
// on 1252 without that flag). Where two byte pairs of 932 give one
// character, the lower code wins, except that NEC's copies of IBM's
// characters (0xED40-0xEEFC) lose to IBM's own (0xFA40-0xFC4B), as in
// Windows' WCTABLE of 932.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim::win32 {

inline constexpr unsigned kDefaultCodePage = 1252;

class CodePage {
 public:
  // The code page numbered `id`, made on first use; nullptr for a page the
  // simulator does not know. Throws std::runtime_error when the C
  // library's converter for a known page cannot be opened.
  static const CodePage* find(unsigned id);
  static const CodePage& standard();  // 1252
  // The pages find() knows, in ascending order.
  static const std::vector<unsigned>& known();

  unsigned id() const { return id_; }
  bool double_byte() const { return !pairs_.empty(); }
  bool is_lead(unsigned char b) const { return lead_[b]; }

  // ANSI bytes into Unicode code points: a byte or byte pair without a
  // character gives U+FFFD, a lead byte at the end too. `bad` (when given)
  // receives the offset of the first such byte, or npos.
  std::u32string decode(std::string_view ansi, std::size_t* bad = nullptr) const;
  // Unicode into ANSI: a character the page lacks becomes `fallback`;
  // `lost` (when given) is set when one did.
  std::string encode(std::u32string_view text, char fallback = '?', bool* lost = nullptr) const;

  // The same between ANSI and UTF-8 (malformed UTF-8 counts as U+FFFD).
  std::string to_utf8(std::string_view ansi, std::size_t* bad = nullptr) const;
  std::string from_utf8(std::string_view utf8, bool* lost = nullptr) const;
  // Whether every character of the UTF-8 text has a form in this page.
  bool holds(std::string_view utf8) const;

  explicit CodePage(unsigned id);

 private:
  unsigned id_;
  std::vector<char32_t> single_ = std::vector<char32_t>(256, 0xFFFF);  // 0xFFFF: no character
  std::vector<bool> lead_ = std::vector<bool>(256, false);
  std::vector<char32_t> pairs_;      // lead << 8 | trail -> character (0xFFFF: none); empty for a single-byte page
  std::vector<std::uint16_t> back_;  // character (below U+10000) -> code; 0 for none (U+0000 is byte 0)
};

// UTF-8 to code points and back (malformed input gives U+FFFD).
std::u32string utf32_from_utf8(std::string_view s);
std::string utf8_from_utf32(std::u32string_view s);
void append_utf8(std::string& out, char32_t u);

}  // namespace sim::win32
