// Platform classes, the adapter acceptance rule, the hexadecimal field
// parser and the hardware-id patterns.
#include <gtest/gtest.h>

#include "sim/win32/machine.h"
#include "sim/win32/resources.h"
#include "uninstaller/netpurge.h"

extern const unsigned char netpurge_res[];
extern const unsigned long netpurge_res_size;

namespace {

using sim::win32::machine;

void boot(DWORD id, DWORD major, DWORD minor, bool modem = false) {
  sim::win32::reset_machine();
  machine().version.platform_id = id;
  machine().version.major = major;
  machine().version.minor = minor;
  machine().resources().load_res(netpurge_res, netpurge_res_size);
  g_program = ProgramState{};
  g_program.instance = sim::win32::program_instance();
  g_program.modemMode = modem;
}

struct PlatformCase {
  const char* name;
  DWORD id, major, minor;
  int nine_x, nt4, w2k;
  int accepts_1000;  // devices 0x1000 and 0x5201: NT family only
};

TEST(Platform, ClassesAndNtOnlyDevices) {
  for (const PlatformCase& c :
       {PlatformCase{"95", 1, 4, 0, 1, 0, 0, 0}, PlatformCase{"98", 1, 4, 10, 1, 0, 0, 0},
        PlatformCase{"NT 3.51", 2, 3, 51, 0, 0, 0, 1}, PlatformCase{"NT 4", 2, 4, 0, 0, 1, 0, 1},
        PlatformCase{"2000", 2, 5, 0, 0, 0, 1, 1}, PlatformCase{"XP", 2, 5, 1, 0, 0, 1, 1},
        PlatformCase{"Vista", 2, 6, 0, 0, 0, 0, 1}, PlatformCase{"Win32s", 0, 3, 10, 0, 0, 0, 0}}) {
    boot(c.id, c.major, c.minor);
    EXPECT_EQ(IsWindows9x(), c.nine_x) << c.name;
    EXPECT_EQ(IsWindowsNT4(), c.nt4) << c.name;
    EXPECT_EQ(IsWindows2000(), c.w2k) << c.name;
    EXPECT_EQ(IsSupportedAdapterId(0x8086, 0x1229), 1) << c.name;
    EXPECT_EQ(IsSupportedAdapterId(0x8086, 0x1000), c.accepts_1000) << c.name;
    EXPECT_EQ(IsSupportedAdapterId(0x8086, 0x5201), c.accepts_1000) << c.name;
    EXPECT_EQ(IsSupportedAdapterId(0x8087, 0x1229), 0) << c.name;
    EXPECT_EQ(IsSupportedAdapterId(0x10EC, 0x1229), 0) << c.name;
    EXPECT_EQ(IsSupportedAdapterId(0x8086, 0x1209), 0) << c.name;
  }
}

TEST(Platform, FailedVersionQueryBelongsToNoClass) {
  boot(2, 5, 0);
  machine().version.query_fails = true;
  EXPECT_EQ(IsWindows2000(), 0);
  EXPECT_EQ(IsWindowsNT4(), 0);
  EXPECT_EQ(IsWindows9x(), 0);
  EXPECT_EQ(IsSupportedAdapterId(0x8086, 0x1229), 1);
  EXPECT_EQ(IsSupportedAdapterId(0x8086, 0x1000), 0);
}

TEST(ParseHexField, DigitsCaseCountAndStops) {
  EXPECT_EQ(ParseHexField("1229", 4), 0x1229);
  EXPECT_EQ(ParseHexField("abCD", 4), ParseHexField("ABcd", 4));
  EXPECT_EQ(ParseHexField("abCD", 4), 0xABCD);
  EXPECT_EQ(ParseHexField("12g9", 4), 0);
  EXPECT_EQ(ParseHexField("12", 4), 0);  // the terminating zero is no digit
  EXPECT_EQ(ParseHexField("1229", 0), 0);
  EXPECT_EQ(ParseHexField("1229", -3), 0);
  EXPECT_EQ(ParseHexField("8086&DEV", 4), 0x8086);  // only count characters are read
  EXPECT_EQ(ParseHexField("12 9", 4), 0);
  EXPECT_EQ(ParseHexField("\xC1"
                          "229",
                          4),
            0);
  EXPECT_EQ(ParseHexField("FFFFFFFF", 8), -1);
  EXPECT_EQ(ParseHexField("123456789", 9), 0x23456789);  // leading digits shift out
}

TEST(HardwareIdPattern, AdapterModeNeedsThePatternAsPrefix) {
  boot(1, 4, 10);
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_8086&DEV_1229&SUBSYS_00018086&REV_08"), 1);
  EXPECT_EQ(MatchesHardwareIdPattern("ven_8086&dev_1229&subsys_00018086"), 1);
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_8086&DEV_1229"), 1);
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_8086&DEV_122"), 0);
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_8086&DEV_1209&SUBSYS_00018086"), 0);
  EXPECT_EQ(MatchesHardwareIdPattern(""), 0);
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_FFFF"), 0);
}

TEST(HardwareIdPattern, ModemModeComparesOverTheShorterText) {
  boot(1, 4, 10, true);
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_FFFF&DEV_FFFF&SUBSYS_FFFFFFFF&REV_01"), 1);
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_FFFF"), 1);  // the beginning of the pattern
  EXPECT_EQ(MatchesHardwareIdPattern("ven_ffff&dev"), 1);
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_8086&DEV_1229&SUBSYS_00018086"), 0);
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_FFFF&DEV_FFFE"), 0);
}

TEST(HardwareIdPattern, MissingPatternsAndOverlongNames) {
  boot(1, 4, 10);
  std::string overlong = "VEN_8086&DEV_1229" + std::string(600, 'x');
  EXPECT_EQ(MatchesHardwareIdPattern(overlong.c_str()), 0);
  EXPECT_EQ(MatchesHardwareIdPattern(overlong.substr(0, 511).c_str()), 1);
  machine().resources().missing_strings = {50};
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_8086&DEV_1229&SUBSYS_00018086"), 0);

  // In modem mode a missing first pattern ends the test before the second.
  boot(1, 4, 10, true);
  machine().resources().missing_strings = {51};
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_FFFF&DEV_FFFF"), 0);
  machine().resources().missing_strings = {52};
  EXPECT_EQ(MatchesHardwareIdPattern("VEN_FFFF&DEV_FFFF"), 1);
}

}  // namespace
