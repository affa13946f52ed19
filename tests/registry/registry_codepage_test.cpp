// The machine's ANSI code page: its tables against characters of Windows'
// own (Microsoft's published code page tables, unicode.org
// MAPPINGS/VENDORS/MICSFT/WINDOWS), the A functions, and REGEDIT4 files read
// and written in it, single-byte and double-byte pages alike.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/win32/codepage.h"
#include "sim/win32/machine.h"
#include "sim/win32/registry.h"

namespace {

using sim::win32::CodePage;
using sim::win32::RegFamily;
using sim::win32::RegFormat;
using sim::win32::Registry;

struct Mapping {
  unsigned page;
  std::string ansi;
  char32_t unicode;
};

// One character each, from the vendor's tables; 0x5C of 932 stays the
// backslash, the holes of 1252 are C1 controls.
const Mapping kWindowsTables[] = {
    {1250, "\x8A", 0x0160},    {1250, "\xEC", 0x011B},    {1251, "\xC0", 0x0410},    {1251, "\xA8", 0x0401},
    {1252, "\x80", 0x20AC},    {1252, "\x9F", 0x0178},    {1252, "\x81", 0x0081},    {1253, "\xC1", 0x0391},
    {1254, "\xD0", 0x011E},    {1254, "\xFD", 0x0131},    {1255, "\xE0", 0x05D0},    {1255, "\xA4", 0x20AA},
    {1256, "\xC7", 0x0627},    {1256, "\x81", 0x067E},    {1257, "\xC0", 0x0104},    {1257, "\xE8", 0x010D},
    {1258, "\xCC", 0x0300},    {1258, "\xD0", 0x0110},    {932, "\x82\xA0", 0x3042}, {932, "\x81\x5F", 0xFF3C},
    {932, "\x81\x60", 0xFF5E}, {932, "\xB1", 0xFF71},     {932, "\x95\x5C", 0x8868}, {932, "\x5C", 0x005C},
    {932, "\x87\x90", 0x2252}, {936, "\xB0\xA1", 0x554A}, {936, "\x80", 0x20AC},     {936, "\xA1\xA4", 0x00B7},
    {949, "\xB0\xA1", 0xAC00}, {949, "\xA4\xA1", 0x3131}, {950, "\xA4\x40", 0x4E00}, {950, "\xA1\x40", 0x3000},
    {950, "\xA3\xE1", 0x20AC},
};

TEST(CodePage, MapsAsWindowsTablesDo) {
  for (const auto& m : kWindowsTables) {
    SCOPED_TRACE(std::to_string(m.page) + " " + std::to_string(m.unicode));
    const CodePage* page = CodePage::find(m.page);
    ASSERT_NE(page, nullptr);
    std::size_t bad = 0;
    EXPECT_EQ(page->decode(m.ansi, &bad), std::u32string(1, m.unicode));
    EXPECT_EQ(bad, std::string::npos);
    // Back again: the code Windows' own table gives, except where two codes
    // share a character (932's 0x8790 and 0x81E0 are both U+2252).
    bool lost = false;
    const std::string back = page->encode(std::u32string(1, m.unicode), '?', &lost);
    EXPECT_FALSE(lost);
    if (m.page == 932 && m.unicode == 0x2252)
      EXPECT_EQ(back, "\x81\xE0");
    else
      EXPECT_EQ(back, m.ansi);
  }
}

// The built-in 1252 against the C library's converter: every byte it
// defines gives the same character.
TEST(CodePage, BuiltIn1252AgreesWithTheCLibrary) {
  iconv_t cd = iconv_open("UTF-32LE", "CP1252");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  const CodePage& page = CodePage::standard();
  int compared = 0;
  for (unsigned b = 1; b < 256; ++b) {
    char in = static_cast<char>(b);
    char out[8] = {};
    char* in_at = &in;
    char* out_at = out;
    std::size_t in_left = 1, out_left = sizeof out;
    if (iconv(cd, &in_at, &in_left, &out_at, &out_left) == static_cast<std::size_t>(-1)) continue;
    const char32_t u = static_cast<unsigned char>(out[0]) | static_cast<unsigned char>(out[1]) << 8;
    EXPECT_EQ(page.decode(std::string(1, in)), std::u32string(1, u)) << "byte " << b;
    ++compared;
  }
  iconv_close(cd);
  EXPECT_GE(compared, 250);
}

TEST(CodePage, UndefinedBytesAndMissingCharactersAreReported) {
  struct Case {
    unsigned page;
    std::string ansi;
    std::size_t bad;  // where decoding meets no character
  } cases[] = {
      {932, "A\x85\x40", 1},                  // row 0x85 is empty
      {932, "AB\x82", 2},                     // a lead byte without its trail
      {1253, "\xAA", 0},                      // a hole above 0x9F
      {949, "\xFF", 0},                       // not a character
      {1252, "\x81\x8D", std::string::npos},  // C1 controls, as Windows maps them
  };
  for (const auto& c : cases) {
    std::size_t bad = 0;
    CodePage::find(c.page)->decode(c.ansi, &bad);
    EXPECT_EQ(bad, c.bad) << c.page;
  }
  bool lost = false;
  EXPECT_EQ(CodePage::find(1251)->encode(U"A\u03A9", '?', &lost), "A?");
  EXPECT_TRUE(lost);
  EXPECT_EQ(CodePage::find(1252)->encode(U"\u0100", '#', &lost), "#");  // no best fit to 'A'
  EXPECT_EQ(CodePage::find(1), nullptr);
}

// A REGEDIT4 file in the machine's page: the A functions see the bytes of
// the file, and an export writes them back unchanged, on both families.
struct PageCase {
  unsigned page;
  std::string name;        // a key name in the page
  std::string data;        // a string in the page
  std::u32string foreign;  // a name the page cannot hold
};

const PageCase kPages[] = {
    {1252, "Caf\xE9", "\x80 5", U"\u03A9"},
    {1251, "\xCF\xF0\xE8", "\xC0\xE1", U"\u00E9"},
    {1253, "\xC1\xE2", "\xE3", U"\u0416"},
    {932, "\x95\x5C\x8E\xA6", "\x83\x41\x95\x5C", U"\uAC00"},  // 0x5C trail bytes inside name and data
    {936, "\xB0\xA1", "\x80", U"\u0E01"},
    {949, "\xB0\xA1", "\xA4\xA1", U"\u0E01"},
    {950, "\xA4\x40", "\xA3\xE1", U"\uAC00"},
};

TEST(RegCodePage, ReadsAndWritesRegedit4InTheMachinesPage) {
  for (const auto& c : kPages) {
    for (RegFamily family : {RegFamily::Win9x, RegFamily::NT}) {
      SCOPED_TRACE(std::to_string(c.page) + (family == RegFamily::NT ? " NT" : " 9x"));
      sim::win32::reset_machine();
      Registry& reg = sim::win32::machine().registry;
      reg.set_family(family);
      reg.set_code_page(c.page);
      const std::string file = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\" +
                               c.name + "]\r\n\"" + c.name + "\"=\"" + c.data + "\"\r\n\r\n";
      reg.import_reg(file, "page.reg");

      HKEY software = nullptr, key = nullptr;
      ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software), ERROR_SUCCESS);
      char name[64] = {};
      DWORD name_size = sizeof name;
      ASSERT_EQ(RegEnumKeyExA(software, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
      EXPECT_EQ(std::string(name, name_size), c.name);
      ASSERT_EQ(RegOpenKeyExA(software, c.name.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
      char data[64] = {};
      DWORD size = sizeof data, type = 0;
      ASSERT_EQ(RegQueryValueExA(key, c.name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
                ERROR_SUCCESS);
      EXPECT_EQ(std::string(data), c.data);
      RegCloseKey(key);
      RegCloseKey(software);

      EXPECT_EQ(reg.export_reg(RegFormat::Regedit4), file);

      // A character outside the page: refused, naming the key, never '?'.
      const std::string foreign = sim::win32::utf8_from_utf32(c.foreign);
      reg.import_reg(
          std::string("\xFF\xFE", 2) +
              [&] {
                std::string v5 =
                    "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"V\"=\"";
                std::string out;
                for (char ch : v5) out += std::string{ch, '\0'};
                for (char32_t u : c.foreign) out += std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
                out += std::string{'"', '\0', '\r', '\0', '\n', '\0'};
                return out;
              }(),
          "foreign.reg");
      if (family == RegFamily::Win9x) {
        // A 9x store holds ANSI only: the character is already '?' there.
        EXPECT_NO_THROW(reg.export_reg(RegFormat::Regedit4));
        continue;
      }
      try {
        reg.export_reg(RegFormat::Regedit4);
        ADD_FAILURE() << "written with a character the page lacks";
      } catch (const sim::win32::UnrepresentableText& e) {
        EXPECT_NE(std::string(e.what()).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\X] value \"V\": its data"),
                  std::string::npos)
            << e.what();
      }
      EXPECT_NE(reg.export_reg(RegFormat::Version5).size(), 0u);
    }
  }
}

TEST(RegCodePage, Regedit4BytesThePageDoesNotDefineAreRefusedWithTheLine) {
  struct Case {
    unsigned page;
    std::string body;
    std::string error;
  } cases[] = {
      {932, "[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=\"\x85\x40\"\r\n", "bad.reg:4: byte 0x85 and the byte after it"},
      {1253, "\r\n[HKEY_LOCAL_MACHINE\\\xAA]\r\n", "bad.reg:4: byte 0xAA stand"},
      {1252, "[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=hex(2):85,40,00\r\n", ""},  // every byte is a character here
      {932, "[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=hex(2):85,40,00\r\n", "bad.reg:4: string data"},
  };
  for (const auto& c : cases) {
    Registry reg;
    reg.set_code_page(c.page);
    std::string error;
    try {
      reg.import_reg("REGEDIT4\r\n\r\n" + c.body, "bad.reg");
    } catch (const sim::InputError& e) {
      error = e.what();
    }
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.page << ": " << error;
    EXPECT_EQ(error.empty(), c.error.empty()) << error;
  }
  Registry reg;
  EXPECT_THROW(reg.set_code_page(437), std::invalid_argument);
}

TEST(Kernel32CodePage, ConvertsInTheMachinesPage) {
  struct Case {
    unsigned page;
    std::u16string wide;
    std::string ansi;
    bool lost;
  } cases[] = {
      {1252, u"Caf\u00E9\u20AC", "Caf\xE9\x80", false},
      {1251, u"\u0416\u00E9", "\xC6?", true},
      {932, u"\u8868\u3042A",
       "\x95\x5C\x82\xA0"
       "A",
       false},
      {949, u"\uAC00\u0E01", "\xB0\xA1?", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.page);
    sim::win32::reset_machine();
    sim::win32::machine().registry.set_code_page(c.page);
    std::vector<WCHAR> wide(c.wide.begin(), c.wide.end());
    const int wide_chars = static_cast<int>(wide.size());
    char out[32] = {};
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.data(), wide_chars, nullptr, 0, nullptr, nullptr),
              static_cast<int>(c.ansi.size()));
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.data(), wide_chars, out, sizeof out, nullptr, &used),
              static_cast<int>(c.ansi.size()));
    EXPECT_EQ(std::string(out, c.ansi.size()), c.ansi);
    EXPECT_EQ(used != FALSE, c.lost);
    if (c.lost) continue;
    WCHAR back[32] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, c.ansi.data(), static_cast<int>(c.ansi.size()), back, 32), wide_chars);
    EXPECT_EQ(std::u16string(back, back + wide_chars), c.wide);
  }
  // A byte pair with no character: U+FFFD, or a failure when asked.
  WCHAR wide[4] = {};
  EXPECT_EQ(MultiByteToWideChar(932, 0, "\x85\x40", 2, wide, 4), 2);
  EXPECT_EQ(wide[0], 0xFFFD);
  EXPECT_EQ(MultiByteToWideChar(932, 8 /* MB_ERR_INVALID_CHARS */, "\x85\x40", 2, wide, 4), 0);
  EXPECT_EQ(MultiByteToWideChar(65000, 0, "A", 1, wide, 4), 0);  // UTF-7: not modelled
}

}  // namespace
