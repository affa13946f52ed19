// .reg import, export and diff of the simulated registry.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/win32/registry.h"

namespace {

using sim::win32::InputError;
using sim::win32::RegFamily;
using sim::win32::RegFormat;
using sim::win32::Registry;
using sim::win32::RegValue;

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

RegValue value(const Registry& reg, const std::string& key, const std::string& name) {
  RegValue v;
  EXPECT_TRUE(reg.get_value(key, name, &v)) << key << " " << name;
  return v;
}

// ANSI (Latin-1 range) text as UTF-16LE with a byte order mark.
std::string utf16(const std::string& text) {
  std::string out = "\xFF\xFE";
  for (char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

TEST(RegImport, UnderstandsEveryConstruct) {
  Registry reg;
  reg.import_reg(
      "REGEDIT4\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n"
      "@=\"default\"\r\n"
      "\"Str\"=\"q\\\"uote\\\\back\"\r\n"
      "\"Dw\"=dword:0000002A\r\n"
      "\"Bin\"=hex:de,ad,\\\r\n"
      "    be,ef\r\n"
      "\"None\"=hex(0):\r\n"
      "\"Exp\"=hex(2):25,57,00\r\n"
      "\"Multi\"=hex(7):61,00,62,00,00\r\n"
      "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\"Odd\"=hex(100):ff\r\n"
      "\"Gone\"=\"x\"\r\n"
      "\"Gone\"=-\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\Sub\\Deep]\r\n"
      "[-HKEY_LOCAL_MACHINE\\A\\Sub]\r\n"
      "[HKEY_CLASSES_ROOT\\.txt]\r\n"
      "@=\"txtfile\"\r\n",
      "t.reg");
  const std::string a = "HKEY_LOCAL_MACHINE\\A";
  EXPECT_EQ(value(reg, a, "").data, bytes(std::string("default", 8)));
  EXPECT_EQ(value(reg, a, "str").data, bytes(std::string("q\"uote\\back", 12)));
  EXPECT_EQ(value(reg, a, "Dw").data, (std::vector<std::uint8_t>{0x2a, 0, 0, 0}));
  EXPECT_EQ(value(reg, a, "Bin").data, (std::vector<std::uint8_t>{0xde, 0xad, 0xbe, 0xef}));
  EXPECT_EQ(value(reg, a, "None").type, static_cast<DWORD>(REG_NONE));
  EXPECT_TRUE(value(reg, a, "None").data.empty());
  EXPECT_EQ(value(reg, a, "Exp").type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(value(reg, a, "Multi").data, bytes(std::string("a\0b\0", 5)));
  EXPECT_EQ(value(reg, a, "Q").type, static_cast<DWORD>(REG_QWORD));
  EXPECT_EQ(value(reg, a, "Odd").type, 0x100u);
  EXPECT_FALSE(reg.get_value(a, "Gone", nullptr));
  EXPECT_FALSE(reg.key_exists(a + "\\Sub"));
  EXPECT_EQ(value(reg, "HKLM\\SOFTWARE\\Classes\\.TXT", "").data, bytes(std::string("txtfile", 8)));
}

TEST(RegImport, ReadsVersion5Utf16AndConvertsStringDataToAnsi) {
  Registry reg;
  reg.import_reg(utf16("Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_CURRENT_USER\\Uni]\r\n"
                       "\"Name\"=\"caf\xE9\"\r\n"
                       "\"Exp\"=hex(2):25,00,e9,00,00,00\r\n"
                       "\"Raw\"=hex:25,00\r\n"),
                 "u.reg");
  EXPECT_EQ(value(reg, "HKCU\\Uni", "Name").data, bytes(std::string("caf\xE9", 5)));
  EXPECT_EQ(value(reg, "HKCU\\Uni", "Exp").data, bytes(std::string("%\xE9", 3)));
  EXPECT_EQ(value(reg, "HKCU\\Uni", "Raw").data, bytes(std::string("%", 2)));
  reg.import_reg("\xEF\xBB\xBFREGEDIT4\n[HKEY_USERS\\U8]\n\"N\"=\"caf\xC3\xA9 \xE2\x82\xAC \xE4\xB8\x80\"\n", "u8.reg");
  EXPECT_EQ(value(reg, "HKU\\U8", "N").data, bytes(std::string("caf\xE9 \x80 ?", 9)));
}

TEST(RegImport, MalformedInputNamesFileAndLine) {
  const std::string key = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n";
  struct Case {
    std::string text;
    int line;
    std::string what;
  };
  const std::vector<Case> cases = {
      {"REGEDIT5\n", 1, "first line"},
      {"REGEDIT4\n\n[HKEY_NOWHERE\\x]\n", 3, "unknown root key 'HKEY_NOWHERE'"},
      {"REGEDIT4\n\"a\"=\"b\"\n", 2, "before any"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\x\n", 2, "missing ']'"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\x\\\\y]\n", 2, "empty key name"},
      {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", 2, "root key cannot be deleted"},
      {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"b\"\n", 3, "deleted key"},
      {key + "\"a\"=dword:xyz\n", 3, "dword"},
      {key + "\n\"a\"=hex:01,\\\n  zz\n", 4, "bad byte 'zz'"},
      {key + "\"a\"=\"open\n", 3, "missing closing"},
      {key + "\"a\"=\"bad\\q\"\n", 3, "unknown escape"},
      {key + "\"a\"=str\n", 3, "unrecognised value data"},
      {key + "junk\n", 3, "expected '[key]'"},
      {"Windows Registry Editor Version 5.00\n[HKEY_USERS\\x]\n\"s\"=hex(1):41\n", 3, "odd length"},
      {utf16("REGEDIT4\n[HKEY_USERS\\x]\n") + "A", 3, "half a character"},
  };
  for (const auto& c : cases) {
    Registry reg;
    try {
      reg.import_reg(c.text, "in.reg");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const InputError& e) {
      std::string msg = e.what();
      EXPECT_EQ(msg.rfind("in.reg:" + std::to_string(c.line) + ": ", 0), 0u) << msg;
      EXPECT_NE(msg.find(c.what), std::string::npos) << msg;
    }
  }

  const auto file = std::filesystem::path(::testing::TempDir()) / "registry_bad.reg";
  std::ofstream(file, std::ios::binary) << "REGEDIT4\n[HKEY_WHAT]\n";
  Registry reg;
  EXPECT_THROW(
      try { reg.import_reg_file(file); } catch (const InputError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(file.string() + ":2: ", 0), 0u) << e.what();
        throw;
      },
      InputError);
  std::filesystem::remove(file);
  EXPECT_THROW(reg.import_reg_file(file), InputError);
}

TEST(RegExport, WritesRegeditTextWithWrappedHex) {
  Registry reg;
  reg.set_value("HKLM\\Soft", RegValue{"", REG_SZ, bytes(std::string("d", 2))});
  reg.set_value("HKLM\\Soft", RegValue{"Path", REG_SZ, bytes(std::string("C:\\Win \"x\"", 11))});
  reg.set_value("HKLM\\Soft", RegValue{"Count", REG_DWORD, {0x2a, 0, 0, 0}});
  std::vector<std::uint8_t> bin;
  for (int i = 0; i < 60; ++i) bin.push_back(static_cast<std::uint8_t>(i));
  reg.set_value("HKLM\\Soft", RegValue{"Bin", REG_BINARY, bin});
  reg.set_value("HKCU\\Empty", RegValue{"m", REG_MULTI_SZ, bytes(std::string("a\0\0", 3))});
  const std::string expected =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Soft]\r\n"
      "@=\"d\"\r\n"
      "\"Path\"=\"C:\\\\Win \\\"x\\\"\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
      "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\\r\n"
      "  30,31,32,33,34,35,36,37,38,39,3a,3b\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Empty]\r\n"
      "\"m\"=hex(7):61,00,00\r\n"
      "\r\n";
  EXPECT_EQ(reg.export_reg(), expected);

  const std::string v5 = reg.export_reg(RegFormat::Version5);
  EXPECT_EQ(v5.substr(0, 4), std::string("\xFF\xFE"
                                         "W\0",
                                         4));
  EXPECT_NE(v5.find(utf16("\"m\"=hex(7):61,00,00,00,00,00\r\n").substr(2)), std::string::npos);
}

TEST(RegExport, KeysFollowTheFamilyOrder) {
  Registry reg;
  reg.import_reg("REGEDIT4\n[HKEY_USERS\\b]\n[HKEY_USERS\\A]\n", "o.reg");
  EXPECT_LT(reg.export_reg().find("\\b]"), reg.export_reg().find("\\A]"));
  reg.set_family(RegFamily::NT);
  EXPECT_LT(reg.export_reg().find("\\A]"), reg.export_reg().find("\\b]"));
}

TEST(RegExport, RoundTripKeepsEveryValueInBothFormats) {
  std::vector<std::uint8_t> binary;
  for (int i = 0; i < 256; ++i) binary.push_back(static_cast<std::uint8_t>(i));
  const std::vector<RegValue> values = {
      {"", REG_SZ, bytes(std::string("default", 8))},
      {"plain \"q\" \\ \xE9", REG_SZ, bytes(std::string("C:\\x \"y\" \x81\x9d\xff", 13))},
      {"inner zero", REG_SZ, bytes(std::string("a\0b", 4))},
      {"no zero", REG_SZ, bytes("abc")},
      {"empty", REG_SZ, {}},
      {"lines", REG_SZ, bytes(std::string("l1\r\nl2", 7))},
      {"expand", REG_EXPAND_SZ, bytes(std::string("%SystemRoot%\\\x80", 15))},
      {"multi", REG_MULTI_SZ, bytes(std::string("a\0b\xe9\0\0", 6))},
      {"binary", REG_BINARY, binary},
      {"dword", REG_DWORD, {1, 2, 3, 4}},
      {"short dword", REG_DWORD, {1, 2, 3}},
      {"big endian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}},
      {"link", REG_LINK, {1, 0}},
      {"resources", REG_RESOURCE_LIST, {9, 8, 7}},
      {"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"none", REG_NONE, {}},
      {"custom", 0x12345, {0xff}},
  };
  for (RegFamily family : {RegFamily::Win9x, RegFamily::NT}) {
    for (RegFormat format : {RegFormat::Regedit4, RegFormat::Version5}) {
      Registry reg;
      reg.set_family(family);
      for (const auto& v : values) reg.set_value("HKEY_LOCAL_MACHINE\\Key With Space\\\xC4nd", v);
      reg.set_value("HKEY_DYN_DATA\\Z", values[0]);
      reg.set_value("HKEY_CURRENT_CONFIG\\Y\\Empty\\Leaf", values[3]);
      reg.set_value("HKEY_USERS", values[9]);
      const std::string text = reg.export_reg(format);
      Registry back;
      back.set_family(family);
      back.import_reg(text, "round.reg");
      for (const auto& v : values) {
        RegValue got = value(back, "HKLM\\key with space\\\xE4nd", v.name);
        EXPECT_EQ(got.type, v.type) << v.name;
        EXPECT_EQ(got.data, v.data) << v.name;
      }
      EXPECT_TRUE(back == reg);
      EXPECT_EQ(back.export_reg(format), text);
    }
  }
}

TEST(RegDiff, DescribesTheChangeAsImportableText) {
  Registry before;
  before.import_reg(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"z\"=\"3\"\n"
      "[HKEY_LOCAL_MACHINE\\B\\C\\D]\n\"v\"=\"d\"\n"
      "[HKEY_LOCAL_MACHINE\\E]\n\"same\"=dword:00000001\n",
      "before.reg");
  Registry after = before;
  EXPECT_EQ(after.diff_from(before), "");
  after.import_reg(
      "REGEDIT4\n"
      "[-HKEY_LOCAL_MACHINE\\B]\n"
      "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"9\"\n\"y\"=-\n\"w\"=dword:00000001\n"
      "[HKEY_LOCAL_MACHINE\\F\\G]\n\"v\"=\"new\"\n"
      "[HKEY_LOCAL_MACHINE\\E]\n\"same\"=dword:00000001\n",
      "change.reg");
  const std::string diff = after.diff_from(before);
  EXPECT_EQ(diff,
            "REGEDIT4\n\n"
            "[-HKEY_LOCAL_MACHINE\\B]\n\n"
            "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"9\"\n\"w\"=dword:00000001\n\"y\"=-\n\n"
            "[HKEY_LOCAL_MACHINE\\F]\n\n"
            "[HKEY_LOCAL_MACHINE\\F\\G]\n\"v\"=\"new\"\n\n");
  Registry replay = before;
  replay.import_reg(diff, "diff.reg");
  EXPECT_TRUE(replay == after);
  EXPECT_EQ(before.diff_from(after).find("[-HKEY_LOCAL_MACHINE\\F]\n"), 10u);
}

}  // namespace
