// Names and string data the ANSI code page cannot represent: kept as the NT
// registry keeps them (distinct, exported whole in Version 5 files), shown
// as '?' through the ANSI functions, and passed through the code page on a
// Windows 9x registry, which holds ANSI only.
#include <gtest/gtest.h>

#include <string>

#include "sim/win32/machine.h"
#include "sim/win32/registry.h"

namespace {

using sim::win32::RegFamily;
using sim::win32::RegFormat;
using sim::win32::Registry;
using sim::win32::RegValue;

// UTF-8 text as a Version 5 file: UTF-16LE with a byte order mark.
std::string v5_file(const std::u16string& text) {
  std::string out = "\xFF\xFE";
  for (char16_t u : text) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

// Omega, Cyrillic Zhe and a question mark: one ANSI form ("?1"), three keys.
const std::u16string kThreeKeys =
    u"Windows Registry Editor Version 5.00\r\n\r\n"
    u"[HKEY_LOCAL_MACHINE\\Names\\\u03A91]\r\n\"V\"=\"omega \u03A9\"\r\n\r\n"
    u"[HKEY_LOCAL_MACHINE\\Names\\\u04161]\r\n\"V\"=\"zhe\"\r\n\r\n"
    u"[HKEY_LOCAL_MACHINE\\Names\\?1]\r\n\"V\"=\"question\"\r\n\r\n"
    u"[HKEY_LOCAL_MACHINE\\Names\\\u03C91]\r\n\"Lower\"=\"same key as capital omega\"\r\n\r\n";

TEST(RegUnicode, NamesOutsideTheCodePageStayDistinctOnNt) {
  sim::win32::reset_machine();
  Registry& reg = sim::win32::machine().registry;
  reg.set_family(RegFamily::NT);
  reg.import_reg(v5_file(kThreeKeys), "names.reg");
  // Three keys (small omega folds onto capital omega), all "?1" to ANSI callers.
  EXPECT_EQ(reg.subkey_names("HKLM\\Names"), (std::vector<std::string>{"?1", "?1", "?1"}));

  // The ANSI name "?1" opens the key really called "?1".
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Names\\?1", 0, KEY_READ, &h), ERROR_SUCCESS);
  char data[32] = {};
  DWORD size = sizeof data, type = 0;
  ASSERT_EQ(RegQueryValueExA(h, "V", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
  EXPECT_STREQ(data, "question");
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);

  // A Version 5 export keeps every character: importing it gives the same tree.
  Registry back;
  back.set_family(RegFamily::NT);
  back.import_reg(reg.export_reg(RegFormat::Version5), "export.reg");
  EXPECT_TRUE(back == reg);
  // REGEDIT4 is ANSI: the names would collapse into one "?1", so the
  // export is refused, naming the first key it cannot hold.
  try {
    reg.export_reg(RegFormat::Regedit4);
    ADD_FAILURE() << "a REGEDIT4 export of names outside code page 1252 was written";
  } catch (const sim::win32::UnrepresentableText& e) {
    EXPECT_NE(std::string(e.what()).find("[HKEY_LOCAL_MACHINE\\Names\\"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("1252"), std::string::npos) << e.what();
  }
}

TEST(RegUnicode, StringDataKeepsEveryCharacterAndReadsAsAnsi) {
  Registry reg;
  reg.set_family(RegFamily::NT);
  reg.import_reg(v5_file(kThreeKeys), "names.reg");
  RegValue v;
  ASSERT_TRUE(reg.get_value("HKLM\\Names\\?1", "V", &v));
  EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("question", 9));
  // Through a V5 export and back the omega survives in the data too.
  const std::string v5 = reg.export_reg(RegFormat::Version5);
  EXPECT_NE(v5.find(std::string("\xA9\x03", 2)), std::string::npos);  // U+03A9 in UTF-16LE
}

TEST(RegUnicode, Windows9xRegistryHoldsAnsiNamesAsThePlatformDoes) {
  Registry reg;
  reg.set_family(RegFamily::Win9x);
  reg.import_reg(v5_file(kThreeKeys), "names.reg");
  EXPECT_EQ(reg.subkey_names("HKLM\\Names"), (std::vector<std::string>{"?1"}));
}

}  // namespace
