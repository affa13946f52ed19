// The setup-section launcher: where the setup file is found on each
// platform, the command line the runner gets, the missing-file notice, the
// 128-character limits and the registry reader's terminated strings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "sim/win32/files.h"
#include "sim/win32/machine.h"
#include "sim/win32/profile.h"
#include "sim/win32/resources.h"
#include "sim/win32/ui.h"
#include "uninstaller/netpurge.h"
#include "uninstaller/resource.h"

namespace {

using namespace sim::win32;

// A machine of the platform with exactly these files and registry, the
// program at C:\Tools, ready for direct calls.
void set_up(const std::string& platform, const nlohmann::json& files, const std::string& reg = "", bool silent = false,
            bool modem = false) {
  nlohmann::json profile{{"platform", platform}, {"files", files}};
  apply_profile(parse_profile(profile.dump(), "<test>", {}));
  if (!reg.empty()) machine().registry.import_reg("REGEDIT4\n\n" + reg, "<test>");
  removal_test::fresh_resources(silent, modem);
}

std::vector<std::string> started() {
  std::vector<std::string> out;
  for (const auto& s : machine().started) out.push_back(s.command_line);
  return out;
}

const char* kScratch =
    "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup]\n"
    "\"SetupScratchDir\"=\"C:\\\\WINDOWS\\\\OPTIONS\\\\CABS\"\n";

TEST(InfLauncher, FileBesideTheProgramIsUsedOnEveryPlatform) {
  struct Case {
    const char* platform;
    const char* runner;
  } cases[] = {{"win95", "C:\\WINDOWS\\rundll32.exe setupx.dll,InstallHinfSection"},
               {"win98", "C:\\WINDOWS\\rundll32.exe setupx.dll,InstallHinfSection"},
               {"nt4", "C:\\WINNT\\system32\\rundll32.exe setupapi.dll,InstallHinfSection"},
               {"win2000", "C:\\WINNT\\system32\\rundll32.exe setupapi.dll,InstallHinfSection"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.platform);
    // Also present in the setup folder: the copy beside the program wins,
    // and the setup folder is not even looked up.
    set_up(c.platform,
           {"C:\\Tools\\Netqorfe.inf", "C:\\WINDOWS\\OPTIONS\\CABS\\Netqorfe.inf", "C:\\WINNT\\Inf\\Netqorfe.inf"},
           kScratch);
    EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), 1);
    EXPECT_EQ(started(),
              std::vector<std::string>{std::string(c.runner) + " 8255x.Uninstall 132 C:\\Tools\\Netqorfe.inf"});
    EXPECT_EQ(machine().started.at(0).show, static_cast<UINT>(SW_SHOW));
  }
}

TEST(InfLauncher, SetupFolderOfEachFamily) {
  // Windows 2000: only in the Windows folder's Inf folder.
  set_up("win2000", {"C:\\WINNT\\Inf\\Netqorfe.inf", "C:\\WINNT\\system32\\rundll32.exe"});
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), 1);
  EXPECT_EQ(started(), std::vector<std::string>{"C:\\WINNT\\system32\\rundll32.exe setupapi.dll,InstallHinfSection "
                                                "8255x.Uninstall 132 C:\\WINNT\\Inf\\Netqorfe.inf"});
  EXPECT_EQ(machine().started.at(0).program, "C:\\WINNT\\system32\\rundll32.exe");

  // Windows 98: only in the folder "SetupScratchDir" names.
  set_up("win98", {"C:\\WINDOWS\\OPTIONS\\CABS\\NETQORFE.INF", "C:\\WINDOWS\\RUNDLL32.EXE"}, kScratch);
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), 1);
  EXPECT_EQ(started(), std::vector<std::string>{"C:\\WINDOWS\\rundll32.exe setupx.dll,InstallHinfSection "
                                                "8255x.Uninstall 132 C:\\WINDOWS\\OPTIONS\\CABS\\Netqorfe.inf"});
  EXPECT_EQ(machine().started.at(0).program, "C:\\WINDOWS\\RUNDLL32.EXE");

  // Windows 98 without "SetupScratchDir": nothing to look in.
  set_up("win98", {"C:\\WINDOWS\\OPTIONS\\CABS\\Netqorfe.inf"});
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), 0);
  EXPECT_TRUE(started().empty());
}

TEST(InfLauncher, FileFoundOnlyElsewhereByTheSearchCountsAsNotFound) {
  // A setup file planted in the current folder, in a PATH folder or in the
  // system folder is found by the bare-name search, but only a file beside
  // the program counts: the setup folder decides, in silent mode too.
  struct Case {
    const char* platform;
    const char* planted;
    bool in_setup_folder;
    const char* expected;  // the path the runner gets; empty: nothing started
  } cases[] = {
      {"win98", "C:\\DOWNLOAD\\Netqorfe.inf", true, "C:\\WINDOWS\\OPTIONS\\CABS\\Netqorfe.inf"},
      {"win98", "D:\\SETUP\\Netqorfe.inf", false, "C:\\WINDOWS\\OPTIONS\\CABS\\Netqorfe.inf"},
      {"nt4", "D:\\SETUP\\Netqorfe.inf", true, "C:\\WINNT\\Inf\\Netqorfe.inf"},
      {"nt4", "C:\\WINNT\\system32\\Netqorfe.inf", true, "C:\\WINNT\\Inf\\Netqorfe.inf"},
      {"win2000", "C:\\DOWNLOAD\\Netqorfe.inf", true, "C:\\WINNT\\Inf\\Netqorfe.inf"},
      {"win2000", "C:\\DOWNLOAD\\Netqorfe.inf", false, "C:\\WINNT\\Inf\\Netqorfe.inf"},
  };
  for (const auto& c : cases) {
    for (bool silent : {true, false}) {
      SCOPED_TRACE(std::string(c.platform) + " " + c.planted + (c.in_setup_folder ? " and in the setup folder" : "") +
                   (silent ? ", silent" : ", interactive"));
      const bool nt = std::string(c.platform) != "win98";
      nlohmann::json files = {c.planted, "C:\\Tools\\netpurge.exe", "C:\\DOWNLOAD\\",
                              nt ? "C:\\WINNT\\system32\\rundll32.exe" : "C:\\WINDOWS\\RUNDLL32.EXE",
                              nt ? "C:\\WINNT\\Inf\\" : "C:\\WINDOWS\\OPTIONS\\CABS\\"};
      if (c.in_setup_folder) files.push_back(c.expected);
      nlohmann::json profile{
          {"platform", c.platform}, {"files", files}, {"current_folder", "C:\\DOWNLOAD"}, {"path", "D:\\SETUP"}};
      apply_profile(parse_profile(profile.dump(), "<test>", {}));
      machine().registry.import_reg(std::string("REGEDIT4\n\n") + kScratch, "<test>");
      removal_test::fresh_resources(silent, false);
      char located[128];
      ASSERT_EQ(GetInfFile(nullptr, located, sizeof located, IDS_INF_ADAPTER), c.in_setup_folder || silent ? 1 : 0);
      if (c.in_setup_folder || silent) {
        EXPECT_STREQ(located, c.expected);
      }
    }
  }
}

TEST(InfLauncher, RunnerIsNeverTakenFromTheProgramFolder) {
  // A rundll32.exe placed beside the uninstaller is not what runs.
  set_up("win2000", {"C:\\Tools\\rundll32.exe", "C:\\Tools\\Netqorfe.inf", "C:\\WINNT\\system32\\rundll32.exe"});
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), 1);
  ASSERT_EQ(machine().started.size(), 1u);
  EXPECT_EQ(machine().started[0].program, "C:\\WINNT\\system32\\rundll32.exe");
  // A system folder with a blank is quoted.
  nlohmann::json profile{{"platform", "win2000"},
                         {"system_folder", "C:\\WIN NT\\system32"},
                         {"files", {"C:\\Tools\\Netqorfe.inf", "C:\\WIN NT\\system32\\rundll32.exe"}}};
  apply_profile(parse_profile(profile.dump(), "<test>", {}));
  removal_test::fresh_resources(false, false);
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), 1);
  EXPECT_EQ(started(),
            std::vector<std::string>{"\"C:\\WIN NT\\system32\\rundll32.exe\" setupapi.dll,InstallHinfSection "
                                     "8255x.Uninstall 132 C:\\Tools\\Netqorfe.inf"});
  EXPECT_EQ(machine().started.at(0).program, "C:\\WIN NT\\system32\\rundll32.exe");
}

TEST(InfLauncher, MissingFileInteractiveShowsNoticeSilentLaunches) {
  // Interactive: nothing started, the notice names the path looked at.
  set_up("win2000", {"C:\\WINNT\\system32\\rundll32.exe"});
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), 0);
  EXPECT_TRUE(started().empty());
  ASSERT_EQ(machine().ui().shown.size(), 1u);
  EXPECT_EQ(machine().ui().shown[0].text,
            "Uninstaller cannot open the required setup file: C:\\WINNT\\Inf\\Netqorfe.inf.\n"
            "File uninstallation has been terminated!");
  EXPECT_EQ(machine().ui().shown[0].caption, "QOR 10/100 Ethernet Adapters and Software Uninstaller");
  EXPECT_EQ(machine().ui().shown[0].type, static_cast<UINT>(MB_ICONWARNING | MB_OK));

  // Silent: no notice, the runner is started with the composed path.
  set_up("win2000", {"C:\\WINNT\\system32\\rundll32.exe"}, "", true);
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), 1);
  EXPECT_TRUE(machine().ui().shown.empty());
  EXPECT_EQ(started(), std::vector<std::string>{"C:\\WINNT\\system32\\rundll32.exe setupapi.dll,InstallHinfSection "
                                                "8255x.Uninstall 132 C:\\WINNT\\Inf\\Netqorfe.inf"});
}

TEST(InfLauncher, ModemModeBlankFileName) {
  // Two blanks are never found and never worth a notice.
  set_up("win98", {"C:\\WINDOWS\\RUNDLL32.EXE", "C:\\WINDOWS\\OPTIONS\\CABS\\"}, kScratch, false, true);
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_MODEM, IDS_SECTION_MODEM), 0);
  EXPECT_TRUE(started().empty());
  EXPECT_TRUE(machine().ui().shown.empty());

  set_up("win98", {"C:\\WINDOWS\\RUNDLL32.EXE", "C:\\WINDOWS\\OPTIONS\\CABS\\"}, kScratch, true, true);
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_MODEM, IDS_SECTION_MODEM), 1);
  EXPECT_EQ(started(), std::vector<std::string>{"C:\\WINDOWS\\rundll32.exe setupx.dll,InstallHinfSection "
                                                "Modem.Uninstall 132 C:\\WINDOWS\\OPTIONS\\CABS\\  "});
}

TEST(InfLauncher, EmptyStringsAndLimitsStartNothing) {
  // The extra Windows 2000 launches: strings 571 and 572 are empty.
  set_up("win2000", {"C:\\WINNT\\Inf\\Netqorfe.inf", "C:\\WINNT\\system32\\rundll32.exe"});
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_SECOND, IDS_SECTION_SECOND), 0);
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_THIRD, IDS_SECTION_THIRD), 0);
  EXPECT_TRUE(started().empty());

  // A setup folder that with "\" and the name reaches 128 characters: 0.
  // 115 + 1 + 12 = 128 does not fit; 114 + 1 + 12 = 127 does.
  for (std::size_t length : {114u, 115u, 127u, 140u}) {
    SCOPED_TRACE(length);
    std::string folder = "C:\\" + std::string(length - 3, 'S');
    std::string escaped;
    for (char c : folder) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    set_up("win98", {"C:\\WINDOWS\\RUNDLL32.EXE"},
           "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup]\n\"SetupScratchDir\"=\"" +
               escaped + "\"\n",
           true);
    EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), length == 114 ? 1 : 0);
    EXPECT_EQ(started().size(), length == 114 ? 1u : 0u);
  }
  // Windows folder so long that it and "\Inf" pass 127 characters.
  nlohmann::json profile{
      {"platform", "win2000"}, {"windows_folder", "C:\\" + std::string(122, 'W')}, {"files", {"C:\\X\\"}}};
  apply_profile(parse_profile(profile.dump(), "<test>", {}));
  removal_test::fresh_resources(true, false);
  EXPECT_EQ(LaunchInfSection(nullptr, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER), 0);
  EXPECT_TRUE(started().empty());
}

TEST(ReadRegistryStringValue, AlwaysLeavesATerminatedString) {
  set_up("win2000", {"C:\\X\\"},
         "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders]\n"
         "\"Programs\"=hex:41,42,43\n");
  BYTE buffer[4];
  std::memset(buffer, 'x', sizeof buffer);
  // Three bytes without a terminator: terminated within the buffer.
  EXPECT_EQ(ReadRegistryStringValue(HKEY_CURRENT_USER, IDS_SHELL_FOLDERS, IDS_PROGRAMS, buffer, 4), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "ABC");
  // Filling the buffer without a terminator: too long.
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(ReadRegistryStringValue(HKEY_CURRENT_USER, IDS_SHELL_FOLDERS, IDS_PROGRAMS, buffer, 3), 0);
  EXPECT_EQ(buffer[0], 0);
  // Larger than the buffer, and a missing value: 0.
  EXPECT_EQ(ReadRegistryStringValue(HKEY_CURRENT_USER, IDS_SHELL_FOLDERS, IDS_PROGRAMS, buffer, 2), 0);
  EXPECT_EQ(ReadRegistryStringValue(HKEY_LOCAL_MACHINE, IDS_SETUP_KEY, IDS_SETUP_SCRATCH, buffer, 4), 0);
  EXPECT_EQ(machine().registry.open_handle_count(), 0u);
}

}  // namespace
