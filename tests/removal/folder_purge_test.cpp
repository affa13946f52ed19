// The modem software folder purge on the simulated file system: complete
// removal of nested trees, what stays when files are refused (with one
// report per folder left), the guarded folders however they are written,
// links, folders that cannot be entered, and the 128-character limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "sim/win32/files.h"
#include "sim/win32/machine.h"
#include "sim/win32/profile.h"
#include "sim/win32/resources.h"
#include "uninstaller/netpurge.h"
#include "uninstaller/resource.h"

// Every ReportError call of the logic is counted (the link wraps it).
static int g_reports = 0;
extern "C" void __real_ReportError(LPCSTR context);
extern "C" void __wrap_ReportError(LPCSTR context) {
  ++g_reports;
  __real_ReportError(context);
}

namespace {

using namespace sim::win32;

const char* kProgramsKey =
    "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders]\n";

void set_up(const std::string& platform, nlohmann::json files, const std::string& reg = "",
            const std::string& current = "") {
  nlohmann::json profile{{"platform", platform}, {"files", files}};
  if (!current.empty()) profile["current_folder"] = current;
  apply_profile(parse_profile(profile.dump(), "<test>", {}));
  if (!reg.empty()) machine().registry.import_reg("REGEDIT4\n\n" + reg, "<test>");
  removal_test::fresh_resources(true, true);
  g_reports = 0;
}

std::vector<std::string> tree() {
  std::vector<std::string> out;
  for (const auto& e : export_files(machine().files()))
    out.push_back(e.is_string() ? e.get<std::string>() : e["path"].get<std::string>());
  return out;
}

bool has(const std::string& path) {
  auto t = tree();
  return std::find(t.begin(), t.end(), path) != t.end();
}

std::string current() { return machine().files().current_folder; }

const nlohmann::json kTavix = {
    "C:\\TAVIX\\M32A\\M32A.EXE",
    {{"path", "C:\\TAVIX\\M32A\\HELP.TXT"}, {"attributes", {"hidden", "system"}}},
    "C:\\TAVIX\\M32A\\DATA\\PROFILES\\DEFAULT.INI",
    "C:\\TAVIX\\M32A\\DATA\\LOG.TXT",
    "C:\\TAVIX\\M32A\\EMPTY\\",
    "C:\\TAVIX\\M32AAPPS\\FAX\\FAX.EXE",
    "C:\\TAVIX\\M32AAPPS\\FAX\\INBOX\\",
    "C:\\TAVIX\\README.TXT",
    "C:\\Tools\\netpurge.exe",
};

TEST(FolderPurge, NestedInstallFoldersGoCompletelyOnBothFamilies) {
  for (const char* platform : {"win98", "nt4"}) {
    SCOPED_TRACE(platform);
    set_up(platform, kTavix, std::string(kProgramsKey) + "\"Programs\"=\"C:\\\\WINNT\\\\Profiles\\\\Menu\"\n",
           "C:\\TAVIX");
    PurgeSoftwareFolders();
    EXPECT_FALSE(has("C:\\TAVIX\\M32A\\"));
    EXPECT_FALSE(has("C:\\TAVIX\\M32AAPPS\\"));
    EXPECT_TRUE(has("C:\\TAVIX\\README.TXT"));
    EXPECT_EQ(current(), "C:\\TAVIX");
    EXPECT_EQ(g_reports, 0);
    EXPECT_EQ(machine().files().deleted_files.size(), 5u);
    const auto& removed = machine().files().removed_folders;
    ASSERT_EQ(removed.size(), 7u);
    EXPECT_EQ(removed[3], "C:\\TAVIX\\M32A");  // each folder after its content
    EXPECT_EQ(removed.back(), "C:\\TAVIX\\M32AAPPS");
    EXPECT_EQ(machine().files().open_find_handles(), 0u);
  }
}

TEST(FolderPurge, RefusedFilesKeepTheirFoldersWithOneReportPerLevel) {
  for (const char* platform : {"win98", "nt4"}) {
    SCOPED_TRACE(platform);
    set_up(platform,
           {"C:\\TAVIX\\M32A\\A.EXE",
            {{"path", "C:\\TAVIX\\M32A\\SUB\\RO.TXT"}, {"attributes", {"readonly"}}},
            "C:\\TAVIX\\M32A\\SUB\\GONE.TXT",
            "C:\\TAVIX\\M32A\\OTHER\\GONE.TXT",
            {{"path", "C:\\TAVIX\\M32AAPPS\\LOCK.DLL"}, {"in_use", true}},
            "C:\\TAVIX\\M32AAPPS\\GONE.TXT"},
           std::string(kProgramsKey) + "\"Programs\"=\"C:\\\\MENU\"\n");
    PurgeSoftwareFolders();
    EXPECT_EQ(tree(),
              (std::vector<std::string>{"C:\\TAVIX\\", "C:\\TAVIX\\M32A\\", "C:\\TAVIX\\M32A\\SUB\\",
                                        "C:\\TAVIX\\M32A\\SUB\\RO.TXT", "C:\\TAVIX\\M32AAPPS\\",
                                        "C:\\TAVIX\\M32AAPPS\\LOCK.DLL", "C:\\Tools\\", "C:\\Tools\\netpurge.exe"}));
    // SUB and M32A cannot be removed, nor M32AAPPS: three reports.
    EXPECT_EQ(g_reports, 3);
    EXPECT_EQ(current(), "C:\\Tools");
  }
}

TEST(FolderPurge, MissingTargetsAndMissingValues) {
  // Folders that are not there: done, nothing reported.
  set_up("win98", {"C:\\Tools\\netpurge.exe", "C:\\WINDOWS\\WIN.INI"});
  EXPECT_EQ(DeleteFolderTree("C:\\TAVIX\\M32A"), 1);
  EXPECT_EQ(DeleteFolderTree("C:\\Tools\\netpurge.exe"), 1);  // a file: nothing to delete
  PurgeSoftwareFolders();
  EXPECT_EQ(g_reports, 0);
  EXPECT_TRUE(machine().files().deleted_files.empty());

  // NT 4 whose shell folders have no "Programs": nothing at all is purged.
  set_up("nt4", kTavix, std::string(kProgramsKey) + "\"Desktop\"=\"C:\\\\WINNT\\\\Profiles\\\\Desktop\"\n");
  PurgeSoftwareFolders();
  EXPECT_TRUE(has("C:\\TAVIX\\M32A\\M32A.EXE"));
  EXPECT_TRUE(machine().files().deleted_files.empty());
  EXPECT_TRUE(machine().files().removed_folders.empty());
}

TEST(FolderPurge, BlankGroupLeavesWindowsFolderAndProgramMenuAlone) {
  const nlohmann::json win98_files = {"C:\\WINDOWS\\WIN.INI", "C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL",
                                      "C:\\WINDOWS\\Start Menu\\Programs\\Tavix\\Dialer.lnk",
                                      "C:\\Tools\\netpurge.exe"};
  set_up("win98", win98_files);
  const auto before = tree();
  PurgeSoftwareFolders();
  EXPECT_EQ(tree(), before);

  const nlohmann::json nt4_files = {
      "C:\\WINNT\\win.ini", "C:\\WINNT\\Profiles\\Admin\\Start Menu\\Programs\\Tavix\\Dialer.lnk",
      "C:\\WINNT\\Profiles\\Admin\\Start Menu\\Programs\\Notepad.lnk", "C:\\Tools\\netpurge.exe"};
  set_up("nt4", nt4_files,
         std::string(kProgramsKey) + "\"Programs\"=\"C:\\\\WINNT\\\\Profiles\\\\Admin\\\\Start Menu\\\\Programs\"\n");
  const auto nt_before = tree();
  PurgeSoftwareFolders();
  EXPECT_EQ(tree(), nt_before);
  EXPECT_EQ(g_reports, 0);

  // A real group name is purged below the program menu, and only it.
  machine().resources().replaced_strings[IDS_GROUP_NT] = "Tavix";
  PurgeSoftwareFolders();
  EXPECT_FALSE(has("C:\\WINNT\\Profiles\\Admin\\Start Menu\\Programs\\Tavix\\"));
  EXPECT_TRUE(has("C:\\WINNT\\Profiles\\Admin\\Start Menu\\Programs\\Notepad.lnk"));
}

TEST(FolderPurge, GuardedFoldersHoweverWritten) {
  set_up(
      "nt4",
      {"C:\\WINNT\\win.ini", "C:\\WINNT\\system32\\kernel32.dll",
       "C:\\WINNT\\Profiles\\Admin\\Start Menu\\Programs\\x.lnk", "C:\\boot.ini", "D:\\DATA\\keep.txt",
       "C:\\Tools\\netpurge.exe"},
      std::string(kProgramsKey) + "\"Programs\"=\"c:\\\\winnt\\\\profiles\\\\admin\\\\start menu\\\\programs\\\\\"\n");
  const auto before = tree();
  for (const char* path : {"C:\\WINNT\\  ", "c:\\winnt\\.", "C:\\WINNT\\system32\\..", "C:/WINNT/system32/", "C:\\",
                           "C:\\.", "D:\\", "C:\\WINNT\\..\\WINNT\\Profiles", "C:\\WINNT\\Profiles\\Admin\\Start Menu",
                           "C:\\WINNT\\Profiles\\Admin\\Start Menu\\Programs. . ", "\\WINNT"}) {
    SCOPED_TRACE(path);
    g_reports = 0;
    EXPECT_EQ(DeleteFolderTree(path), 0);
    EXPECT_EQ(g_reports, 1);
    EXPECT_EQ(current(), "C:\\Tools");
  }
  EXPECT_EQ(tree(), before);
}

// Windows 95/98 open no folders, so the guard has only the paths to go by:
// what GetFullPathNameA and GetLongPathNameA leave of a trailing separator
// or a relative step is brought to one form before the comparison.
TEST(FolderPurge, GuardedFoldersHoweverWrittenWithoutFolderIdentities) {
  for (const char* platform : {"win95", "win98"}) {
    set_up(platform, {"C:\\WINDOWS\\WIN.INI", "C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL", "C:\\Tools\\netpurge.exe"});
    const auto before = tree();
    for (const char* path : {"C:\\WINDOWS\\", "C:\\WINDOWS\\SYSTEM\\", "c:\\windows\\system\\..\\", "C:\\WINDOWS\\.\\",
                             "C:\\WINDOWS\\SYSTEM\\\\", "C:\\Tools\\..\\WINDOWS\\"}) {
      SCOPED_TRACE(std::string(platform) + " " + path);
      g_reports = 0;
      EXPECT_EQ(DeleteFolderTree(path), 0);
      EXPECT_EQ(g_reports, 1);
    }
    EXPECT_EQ(tree(), before);
  }
}

TEST(FolderPurge, LinksAreRemovedNotFollowed) {
  set_up("win2000", {"C:\\WINNT\\win.ini",
                     "C:\\WINNT\\system32\\kernel32.dll",
                     "C:\\TAVIX\\M32A\\A.EXE",
                     {{"path", "C:\\TAVIX\\M32A\\WIN\\"}, {"target", "C:\\WINNT"}},
                     {{"path", "C:\\TAVIX\\M32AAPPS\\"}, {"target", "C:\\WINNT\\system32"}},
                     "C:\\Tools\\netpurge.exe"});
  EXPECT_EQ(DeleteFolderTree("C:\\TAVIX\\M32A"), 1);
  EXPECT_EQ(DeleteFolderTree("C:\\TAVIX\\M32AAPPS"), 1);
  EXPECT_EQ(tree(), (std::vector<std::string>{"C:\\TAVIX\\", "C:\\Tools\\", "C:\\Tools\\netpurge.exe", "C:\\WINNT\\",
                                              "C:\\WINNT\\system32\\", "C:\\WINNT\\system32\\kernel32.dll",
                                              "C:\\WINNT\\win.ini"}));
}

TEST(FolderPurge, FoldersThatCannotBeEnteredAreReported) {
  set_up("nt4", {{{"path", "C:\\TAVIX\\M32A\\"}, {"access_denied", true}},
                 "C:\\TAVIX\\M32AAPPS\\A.TXT",
                 {{"path", "C:\\TAVIX\\M32AAPPS\\LOCKED\\"}, {"access_denied", true}},
                 "C:\\Tools\\netpurge.exe"});
  EXPECT_EQ(DeleteFolderTree("C:\\TAVIX\\M32A"), 0);
  EXPECT_EQ(g_reports, 1);
  g_reports = 0;
  EXPECT_EQ(DeleteFolderTree("C:\\TAVIX\\M32AAPPS"), 0);
  EXPECT_EQ(g_reports, 2);  // LOCKED, then M32AAPPS which still holds it
  EXPECT_TRUE(has("C:\\TAVIX\\M32AAPPS\\LOCKED\\"));
  EXPECT_FALSE(has("C:\\TAVIX\\M32AAPPS\\A.TXT"));
}

TEST(FolderPurge, PathLimitsSkipWithoutCutting) {
  // An entry whose path passes 127 characters is left with its content.
  const std::string deep = "C:\\TAVIX\\M32A\\" + std::string(114, 'D');  // 128 characters
  const std::string fits = "C:\\TAVIX\\M32A\\" + std::string(113, 'F');  // 127 characters
  set_up("win98", {deep + "\\X.TXT", fits + "\\", "C:\\TAVIX\\M32A\\A.TXT", "C:\\Tools\\netpurge.exe"});
  EXPECT_EQ(DeleteFolderTree("C:\\TAVIX\\M32A"), 0);
  EXPECT_TRUE(has(deep + "\\X.TXT"));
  EXPECT_FALSE(has(fits + "\\"));
  EXPECT_FALSE(has("C:\\TAVIX\\M32A\\A.TXT"));
  EXPECT_EQ(g_reports, 2);  // the skipped folder, then M32A
  EXPECT_EQ(current(), "C:\\Tools");

  // A current folder that does not fit 128 characters: nothing is touched.
  const std::string long_current = "C:\\" + std::string(130, 'C');
  set_up("win98", {"C:\\TAVIX\\M32A\\A.TXT", long_current + "\\", "C:\\Tools\\netpurge.exe"}, "", long_current);
  PurgeSoftwareFolders();
  EXPECT_TRUE(has("C:\\TAVIX\\M32A\\A.TXT"));
  EXPECT_EQ(current(), long_current);
}

TEST(FolderPurge, RelativePathAndCurrentFolderInside) {
  // Relative to the current folder, at every depth.
  set_up("win98", {"C:\\TAVIX\\M32A\\SUB\\DEEP\\F.TXT", "C:\\Tools\\netpurge.exe"}, "", "C:\\TAVIX");
  EXPECT_EQ(DeleteFolderTree("M32A"), 1);
  EXPECT_FALSE(has("C:\\TAVIX\\M32A\\"));
  EXPECT_EQ(current(), "C:\\TAVIX");

  // A tree that holds the current folder is emptied around it; the current
  // folder and the folders above it stay, since the purge comes back to it.
  set_up(
      "nt4",
      {"C:\\TAVIX\\M32A\\SUB\\F.TXT", "C:\\TAVIX\\M32A\\G.TXT", "C:\\TAVIX\\M32A\\H\\I.TXT", "C:\\Tools\\netpurge.exe"},
      "", "C:\\TAVIX\\M32A\\SUB");
  EXPECT_EQ(DeleteFolderTree("C:\\TAVIX\\M32A"), 0);
  EXPECT_EQ(current(), "C:\\TAVIX\\M32A\\SUB");
  EXPECT_EQ(tree(), (std::vector<std::string>{"C:\\TAVIX\\", "C:\\TAVIX\\M32A\\", "C:\\TAVIX\\M32A\\SUB\\",
                                              "C:\\Tools\\", "C:\\Tools\\netpurge.exe"}));
  EXPECT_EQ(g_reports, 2);  // SUB and M32A stay
}

// The hostile trees of real disks, on Windows 98 (FAT order) and NT 4
// (sorted order).
const char* kFamilies[] = {"win98", "nt4"};

TEST(FolderPurge, TrimmedNamesAreLeftAndNothingOutsideTheTargetsChanges) {
  // Names the platform trims at a path's end: the join would name M32A
  // itself ("...", blanks), its parent (".. ") or a namesake ("a. ").
  for (const char* platform : kFamilies) {
    SCOPED_TRACE(platform);
    set_up(platform,
           {"C:\\TAVIX\\AAA_KEEP.DAT", "C:\\TAVIX\\NEIGHBOUR\\KEEP.TXT", "C:\\TAVIX\\M32A\\...\\X.TXT",
            "C:\\TAVIX\\M32A\\  \\Y.TXT", "C:\\TAVIX\\M32A\\.. \\Z.TXT", "C:\\TAVIX\\M32A\\a. \\W.TXT",
            "C:\\TAVIX\\M32A\\a\\KEEP_TOO.TXT", "C:\\TAVIX\\M32A\\b. ", "C:\\TAVIX\\M32A\\GONE.TXT",
            "C:\\TAVIX\\M32A\\SUB\\...\\V.TXT", "C:\\TAVIX\\M32A\\SUB\\GONE.TXT", "C:\\TAVIX\\M32AAPPS\\.\x20.\\U.TXT",
            "C:\\TAVIX\\M32AAPPS\\GONE.TXT", "C:\\Tools\\netpurge.exe"},
           std::string(kProgramsKey) + "\"Programs\"=\"C:\\\\MENU\"\n", "C:\\Tools");
    PurgeSoftwareFolders();
    for (const char* kept :
         {"C:\\TAVIX\\AAA_KEEP.DAT", "C:\\TAVIX\\NEIGHBOUR\\KEEP.TXT", "C:\\TAVIX\\M32A\\...\\X.TXT",
          "C:\\TAVIX\\M32A\\  \\Y.TXT", "C:\\TAVIX\\M32A\\.. \\Z.TXT", "C:\\TAVIX\\M32A\\a. \\W.TXT",
          "C:\\TAVIX\\M32A\\b. ", "C:\\TAVIX\\M32A\\SUB\\...\\V.TXT", "C:\\TAVIX\\M32AAPPS\\. .\\U.TXT"})
      EXPECT_TRUE(has(kept)) << kept;
    for (const char* gone : {"C:\\TAVIX\\M32A\\a\\", "C:\\TAVIX\\M32A\\GONE.TXT", "C:\\TAVIX\\M32A\\SUB\\GONE.TXT",
                             "C:\\TAVIX\\M32AAPPS\\GONE.TXT"})
      EXPECT_FALSE(has(gone)) << gone;
    for (const auto& f : machine().files().deleted_files) EXPECT_EQ(f.rfind("C:\\TAVIX\\M32A", 0), 0u) << f;
    EXPECT_EQ(current(), "C:\\Tools");
    EXPECT_EQ(machine().files().open_find_handles(), 0u);
  }
}

TEST(FolderPurge, StartedInsideTheInstallFolderDeletesAllButTheRunningProgram) {
  // A double-click on Hushline.exe in M32A: M32A is the current folder and
  // the program in it is in use. Everything else goes; M32A stays, not
  // empty and current.
  for (const char* platform : kFamilies) {
    SCOPED_TRACE(platform);
    nlohmann::json profile{{"platform", platform},
                           {"command_line", "\"C:\\TAVIX\\M32A\\Hushline.exe\""},
                           {"files",
                            {"C:\\TAVIX\\M32A\\Hushline.exe", "C:\\TAVIX\\M32A\\M32A.HLP",
                             "C:\\TAVIX\\M32A\\DATA\\LOG.TXT", "C:\\TAVIX\\M32AAPPS\\FAX.EXE", "C:\\TAVIX\\KEEP.DAT"}}};
    apply_profile(parse_profile(profile.dump(), "<test>", {}));
    machine().registry.import_reg(std::string("REGEDIT4\n\n") + kProgramsKey + "\"Programs\"=\"C:\\\\MENU\"\n",
                                  "<test>");
    removal_test::fresh_resources(true, true);
    ASSERT_EQ(current(), "C:\\TAVIX\\M32A");
    PurgeSoftwareFolders();
    auto left = tree();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"C:\\TAVIX\\", "C:\\TAVIX\\KEEP.DAT", "C:\\TAVIX\\M32A\\",
                                              "C:\\TAVIX\\M32A\\Hushline.exe"}));
    EXPECT_EQ(current(), "C:\\TAVIX\\M32A");
    // The platform itself refuses both, whoever asks.
    EXPECT_FALSE(DeleteFileA("C:\\TAVIX\\M32A\\Hushline.exe"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    machine().files().add("C:\\EMPTY\\", true);
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\EMPTY"));
    EXPECT_FALSE(RemoveDirectoryA("C:\\EMPTY"));
    EXPECT_EQ(GetLastError(),
              static_cast<DWORD>(std::string(platform) == "nt4" ? ERROR_SHARING_VIOLATION : ERROR_CURRENT_DIRECTORY));
  }
}

TEST(FolderPurge, ProgramMenuInsideAnInstallFolderHoweverSpelled) {
  // The program menu lies in M32A, written in the spellings the platform
  // accepts; M32A is above it, so it is never entered.
  struct Case {
    const char* platform;
    const char* programs;
  } cases[] = {
      {"nt4", "\\\\\\\\?\\\\C:\\\\TAVIX\\\\M32A\\\\Menu"},
      {"nt4", "\\\\\\\\.\\\\C:\\\\TAVIX\\\\M32A\\\\Menu"},
      {"nt4", "\\\\\\\\localhost\\\\C$\\\\TAVIX\\\\M32A\\\\Menu"},
      {"win2000", "\\\\\\\\LOCALHOST\\\\c$\\\\tavix\\\\m32a\\\\menu\\\\"},
      {"nt4", "..\\\\TAVIX\\\\M32A\\\\Menu"},
      {"win98", "C:..\\\\TAVIX\\\\M32A\\\\Menu"},
      {"win98", "\\\\TAVIX\\\\M32A\\\\Menu"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.platform) + " " + c.programs);
    set_up(c.platform, {"C:\\TAVIX\\M32A\\Menu\\Dialer.lnk", "C:\\TAVIX\\M32A\\M32A.EXE", "C:\\Tools\\netpurge.exe"},
           std::string(kProgramsKey) + "\"Programs\"=\"" + c.programs + "\"\n", "C:\\Tools");
    PurgeSoftwareFolders();
    EXPECT_TRUE(has("C:\\TAVIX\\M32A\\Menu\\Dialer.lnk"));
    EXPECT_TRUE(has("C:\\TAVIX\\M32A\\M32A.EXE"));
  }
  // Guarded folders named through 8.3 aliases and other spellings.
  struct Named {
    const char* platform;
    const char* path;
  } named[] = {
      {"win98", "C:\\WINDOWS\\STARTM~1"},
      {"nt4", "C:\\WINNT\\Profiles\\ADMINI~1\\STARTM~1"},
      {"win2000", "C:\\DOCUME~1\\ADMINI~1"},
      {"nt4", "\\\\localhost\\C$\\WINNT\\Profiles"},
      {"win2000", "\\\\?\\C:\\Documents and Settings"},
      {"win2000", "\\\\.\\C:\\WINNT\\system32\\.."},
  };
  for (const auto& n : named) {
    SCOPED_TRACE(std::string(n.platform) + " " + n.path);
    const bool nt = std::string(n.platform) != "win98";
    const std::string menu = std::string(n.platform) == "win98" ? "C:\\WINDOWS\\Start Menu\\Programs"
                             : std::string(n.platform) == "nt4"
                                 ? "C:\\WINNT\\Profiles\\Administrator\\Start Menu\\Programs"
                                 : "C:\\Documents and Settings\\Administrator\\Start Menu\\Programs";
    std::string escaped;
    for (char ch : menu) escaped += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
    set_up(n.platform,
           {menu + "\\Notepad.lnk", nt ? "C:\\WINNT\\system32\\kernel32.dll" : "C:\\WINDOWS\\SYSTEM\\K.DLL",
            "C:\\Tools\\netpurge.exe"},
           std::string(kProgramsKey) + "\"Programs\"=\"" + escaped + "\"\n");
    const auto before = tree();
    EXPECT_EQ(DeleteFolderTree(n.path), 0);
    EXPECT_EQ(tree(), before);
  }
}

TEST(FolderPurge, WindowsFolderBelowTheRootGuardsTheFoldersAboveIt) {
  // Windows in C:\OS\WINNT: C:\OS is above it and must stay, whether given
  // directly or as an install folder.
  for (const char* platform : {"win98", "nt4", "win2000"}) {
    SCOPED_TRACE(platform);
    nlohmann::json profile{
        {"platform", platform},
        {"windows_folder", "C:\\OS\\WINNT"},
        {"files", {"C:\\OS\\WINNT\\win.ini", "C:\\OS\\BOOT.LOG", "C:\\OS\\OTHER\\X.TXT", "C:\\Tools\\netpurge.exe"}}};
    apply_profile(parse_profile(profile.dump(), "<test>", {}));
    machine().registry.import_reg(std::string("REGEDIT4\n\n") + kProgramsKey + "\"Programs\"=\"C:\\\\MENU\"\n",
                                  "<test>");
    removal_test::fresh_resources(true, true);
    const auto before = tree();
    EXPECT_EQ(DeleteFolderTree("C:\\OS"), 0);
    EXPECT_EQ(DeleteFolderTree("C:\\OS\\OTHER\\.."), 0);
    machine().resources().replaced_strings[IDS_MODEM_FOLDER_1] = "C:\\OS";
    machine().resources().replaced_strings[IDS_MODEM_FOLDER_2] = "c:\\os\\.";
    PurgeSoftwareFolders();
    EXPECT_EQ(tree(), before);
  }
}

}  // namespace
