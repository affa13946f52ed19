// The simulated file system against the platform's documented behaviour:
// enumeration order per family, path rules, refusals and their errors per
// family, the bare-name search of OpenFile and WinExec, and profiles (bad
// entries refused, export read back unchanged).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "sim/win32/files.h"
#include "sim/win32/machine.h"
#include "sim/win32/profile.h"

namespace {

using namespace sim::win32;

void set_up(const std::string& platform, const nlohmann::json& files, nlohmann::json extra = nlohmann::json::object()) {
  extra["platform"] = platform;
  extra["files"] = files;
  apply_profile(parse_profile(extra.dump(), "<test>", {}));
}

std::vector<std::string> list(const char* pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern, &data);
  if (h == INVALID_HANDLE_VALUE) return {"error " + std::to_string(GetLastError())};
  do names.push_back(data.cFileName);
  while (FindNextFileA(h, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(h));
  return names;
}

const nlohmann::json kUnsorted = {"C:\\D\\zeta.txt", "C:\\D\\Alpha\\", "C:\\D\\beta.TXT", "C:\\D\\_x"};

TEST(SimFiles, EnumerationOrderPerFamily) {
  // FAT: directory-slot order; a deleted entry's slot is taken by the next
  // new one. "." and ".." first, but not in a drive's root.
  set_up("win98", kUnsorted);
  EXPECT_EQ(list("C:\\D\\*.*"), (std::vector<std::string>{".", "..", "zeta.txt", "Alpha", "beta.TXT", "_x"}));
  EXPECT_TRUE(DeleteFileA("C:\\D\\zeta.txt"));
  machine().files().add("C:\\D\\new.txt", false);
  EXPECT_EQ(list("C:\\D\\*"), (std::vector<std::string>{".", "..", "new.txt", "Alpha", "beta.TXT", "_x"}));
  EXPECT_EQ(list("C:\\*.*"), (std::vector<std::string>{"D", "Tools"}));
  // NTFS: sorted by upper-case name ('_' sorts after the letters).
  set_up("nt4", kUnsorted);
  EXPECT_EQ(list("C:\\D\\*.*"), (std::vector<std::string>{".", "..", "Alpha", "beta.TXT", "zeta.txt", "_x"}));
  EXPECT_EQ(list("C:\\D\\*.txt"), (std::vector<std::string>{"beta.TXT", "zeta.txt"}));
  EXPECT_EQ(list("C:\\D\\nothing*"), std::vector<std::string>{"error 2"});
  EXPECT_EQ(list("C:\\NONE\\*.*"), std::vector<std::string>{"error 3"});
}

TEST(SimFiles, PathRules) {
  set_up("win98", {"C:\\WINDOWS\\SYSTEM\\K.DLL", "C:\\Tools\\netpurge.exe"});
  char buffer[64];
  // Trailing blanks and dots leave the last component: "C:\WINDOWS\  "
  // is the Windows folder.
  for (const char* path :
       {"C:\\WINDOWS\\  ", "c:\\windows\\.", "C:/WINDOWS/SYSTEM/..", "C:\\WINDOWS. .", "..\\WINDOWS"}) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\Tools"));
    ASSERT_TRUE(SetCurrentDirectoryA(path));
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), 10u);
    EXPECT_EQ(std::string(buffer).size(), 10u);
    EXPECT_EQ(GetFileAttributesA("SYSTEM\\k.dll"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  }
  // A short buffer gets nothing and the size it needs.
  EXPECT_EQ(GetCurrentDirectoryA(5, buffer), 11u);
  // Errors: a file, a missing folder, a missing parent.
  EXPECT_FALSE(SetCurrentDirectoryA("C:\\WINDOWS\\SYSTEM\\K.DLL"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(SetCurrentDirectoryA("C:\\NONE"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileA("C:\\NONE\\X"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetWindowsDirectoryA(buffer, 4), 11u);
  EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 17u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS\\SYSTEM");
}

TEST(SimFiles, RefusalsPerFamily) {
  struct Case {
    const char* platform;
    DWORD not_empty, current;
  } cases[] = {{"win98", ERROR_ACCESS_DENIED, ERROR_CURRENT_DIRECTORY},
               {"nt4", ERROR_DIR_NOT_EMPTY, ERROR_SHARING_VIOLATION}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.platform);
    set_up(c.platform, {"C:\\A\\F.TXT",
                        {{"path", "C:\\A\\RO.TXT"}, {"attributes", {"readonly"}}},
                        {{"path", "C:\\A\\USED.DLL"}, {"in_use", true}},
                        "C:\\B\\",
                        "C:\\Tools\\netpurge.exe"});
    EXPECT_FALSE(RemoveDirectoryA("C:\\A"));
    EXPECT_EQ(GetLastError(), c.not_empty);
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\B"));
    EXPECT_FALSE(RemoveDirectoryA("C:\\B"));
    EXPECT_EQ(GetLastError(), c.current);
    EXPECT_FALSE(DeleteFileA("C:\\A\\RO.TXT"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileA("C:\\A\\USED.DLL"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileA("C:\\A"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(RemoveDirectoryA("C:\\A\\F.TXT"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(DeleteFileA("C:\\Tools\\netpurge.exe"));  // the running program
    EXPECT_TRUE(DeleteFileA("..\\A\\f.txt"));
    EXPECT_EQ(machine().files().deleted_files, std::vector<std::string>{"C:\\A\\F.TXT"});
  }
}

TEST(SimFiles, BareNameSearchOrderOfOpenFileAndWinExec) {
  // Program folder, current folder, system folder(s), Windows folder, PATH.
  const nlohmann::json files = {"C:\\Tools\\netpurge.exe",
                                "C:\\Tools\\a.inf",
                                "C:\\CUR\\a.inf",
                                "C:\\CUR\\b.inf",
                                "C:\\WINNT\\system32\\b.inf",
                                "C:\\WINNT\\system32\\c.inf",
                                "C:\\WINNT\\system\\c.inf",
                                "C:\\WINNT\\system\\d.inf",
                                "C:\\WINNT\\d.inf",
                                "C:\\WINNT\\e.inf",
                                "D:\\P\\e.inf",
                                "D:\\P\\f.inf",
                                "C:\\WINNT\\f.inf\\"};
  set_up("nt4", files, {{"current_folder", "C:\\CUR"}, {"path", "D:\\P"}});
  OFSTRUCT of;
  const std::pair<const char*, const char*> expected[] = {
      {"a.inf", "C:\\Tools\\a.inf"},         {"b.inf", "C:\\CUR\\b.inf"},   {"c.inf", "C:\\WINNT\\system32\\c.inf"},
      {"d.inf", "C:\\WINNT\\system\\d.inf"}, {"e.inf", "C:\\WINNT\\e.inf"}, {"f.inf", "D:\\P\\f.inf"}};
  for (const auto& [name, where] : expected) {
    SCOPED_TRACE(name);
    ASSERT_NE(OpenFile(name, &of, OF_EXIST), HFILE_ERROR);
    EXPECT_STREQ(of.szPathName, where);
  }
  EXPECT_EQ(OpenFile("  ", &of, OF_EXIST), HFILE_ERROR);  // names the folder, no file
  EXPECT_EQ(of.nErrCode, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenFile("C:\\WINNT\\f.inf", &of, OF_EXIST), HFILE_ERROR);  // a folder

  // WinExec: the NT family tries each blank as the end of an unquoted name;
  // Windows 95/98 take the first word.
  set_up("nt4", {"C:\\Program Files\\Tool.exe", "C:\\Program.exe", "C:\\Tools\\netpurge.exe"});
  EXPECT_GT(WinExec("C:\\Program Files\\Tool.exe /x", SW_SHOW), 31u);
  EXPECT_EQ(machine().started.back().program, "C:\\Program.exe");
  EXPECT_GT(WinExec("\"C:\\Program Files\\Tool\" /x", SW_SHOW), 31u);
  EXPECT_EQ(machine().started.back().program, "C:\\Program Files\\Tool.exe");
  set_up("win98", {"C:\\Program Files\\Tool.exe", "C:\\Tools\\netpurge.exe"});
  EXPECT_EQ(WinExec("C:\\Program Files\\Tool.exe", SW_SHOW), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(machine().started.back().program, "");
  EXPECT_GT(WinExec("netpurge /nogui", SW_SHOW), 31u);
  EXPECT_EQ(machine().started.back().program, "C:\\Tools\\netpurge.exe");
}

TEST(SimFiles, ProfilesRefuseBadEntriesAndExportReadsBack) {
  const std::pair<const char*, const char*> bad[] = {
      {R"({"files": ["WINDOWS\\X"]})", "full path"},
      {R"({"files": ["C:\\A\\B", "C:\\A\\B\\C"]})", "both as a file and as a folder"},
      {R"({"files": ["C:\\A\\..\\B"]})", "name or character"},
      {R"({"files": ["C:\\A\\B?"]})", "character"},
      {R"({"files": [{"path": "C:\\A", "colour": 1}]})", "unknown field"},
      {R"({"files": [{"path": "C:\\A", "attributes": ["shiny"]}]})", "unknown attribute"},
      {R"({"files": 3})", "files must be a list"},
      {R"({"windows_folder": "WINDOWS"})", "windows_folder"},
      {R"({"path": 7})", "path must be"},
  };
  for (const auto& [profile, message] : bad) {
    SCOPED_TRACE(profile);
    try {
      parse_profile(profile, "bad.json", {});
      ADD_FAILURE() << "accepted";
    } catch (const InputError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("bad.json"), std::string::npos) << e.what();
    }
  }
  // Links only where NTFS has them; a current folder that is not there.
  EXPECT_THROW(apply_profile(parse_profile(R"({"platform": "nt4", "files": [{"path": "C:\\L\\", "target": "C:\\"}]})",
                                           "<t>", {})),
               InputError);
  EXPECT_THROW(apply_profile(parse_profile(R"({"platform": "win98", "current_folder": "C:\\NOWHERE"})", "<t>", {})),
               InputError);

  // The default machines, exported and read back, are the same trees.
  for (const char* platform : {"win98", "nt4", "win2000"}) {
    SCOPED_TRACE(platform);
    apply_profile(parse_profile(std::string("{\"platform\": \"") + platform + "\"}", "<t>", {}));
    const nlohmann::json first = export_files(machine().files());
    EXPECT_GT(first.size(), 20u);
    set_up(platform, first);
    EXPECT_EQ(export_files(machine().files()), first);
  }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SIM_FILES_INSTRUMENTED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(NDEBUG)
#define SIM_FILES_INSTRUMENTED 1
#endif

TEST(SimFiles, FortyThousandEntriesInOneFolderLoadInLogLinearTime) {
  // A folder of 40,000 entries, half of them needing an 8.3 alias: loading,
  // listing and deleting take O(N log N) (once 74 s to load, O(N^2)).
#ifdef SIM_FILES_INSTRUMENTED
  GTEST_SKIP() << "timed in optimised builds without sanitizers only";
#endif
  nlohmann::json files = nlohmann::json::array();
  for (int i = 0; i < 40000; ++i)
    files.push_back("C:\\BIG\\" +
                    (i % 2 ? "F" + std::to_string(i) + ".DAT" : "Long name " + std::to_string(i) + ".text"));
  for (const char* platform : {"win98", "nt4"}) {
    SCOPED_TRACE(platform);
    const auto start = std::chrono::steady_clock::now();
    set_up(platform, files);
    EXPECT_EQ(list("C:\\BIG\\*.*").size(), 40002u);
    EXPECT_TRUE(DeleteFileA("C:\\BIG\\F1.DAT"));
    EXPECT_TRUE(DeleteFileA("C:\\BIG\\LONGNA~1.TEX"));  // an alias names its entry
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 10.0);
  }
}

TEST(SimFiles, TrimmedNamesAliasesAndSpellingsPerFamily) {
  const nlohmann::json tree = {"C:\\TAVIX\\M32A\\...\\X.TXT", "C:\\TAVIX\\M32A\\  \\Y.TXT", "C:\\TAVIX\\M32A\\a. ",
                               "C:\\Program Files\\Tavix Modem\\M.EXE", "C:\\Tools\\netpurge.exe"};
  char buffer[MAX_PATH];
  for (const char* platform : {"win95", "win98", "nt4", "win2000"}) {
    SCOPED_TRACE(platform);
    const bool nt = platform[0] != 'w' || std::string(platform) == "win2000";
    const bool has_long = std::string(platform) == "win98" || std::string(platform) == "win2000";
    set_up(platform, tree);
    // Listed as they are; a path ending in them is trimmed, so the folder
    // itself or its parent is named; only "\\?\" names the entry.
    auto names = list("C:\\TAVIX\\M32A\\*.*");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"  ", ".", "..", "...", "a. "}));
    struct Spelling {
      const char* path;
      const char* full;  // GetFullPathNameA; empty: refused
      bool nt_only;
    } spellings[] = {
        {"C:\\TAVIX\\M32A\\...", "C:\\TAVIX\\M32A", false},
        {"C:\\TAVIX\\M32A\\.. ", "C:\\TAVIX", false},
        {"..\\TAVIX\\M32A", "C:\\TAVIX\\M32A", false},
        {"C:..\\TAVIX", "C:\\TAVIX", false},
        {"\\\\?\\C:\\TAVIX\\M32A\\...", "\\\\?\\C:\\TAVIX\\M32A\\...", true},
        {"\\\\.\\C:\\TAVIX\\M32A\\..", "\\\\.\\C:\\TAVIX", true},
        {"\\\\localhost\\C$\\TAVIX\\.\\M32A", "\\\\localhost\\C$\\TAVIX\\M32A", true},
        // A trailing separator stays (Wine: "C:\\windows\\system32\\" for itself).
        {"C:\\TAVIX\\M32A\\", "C:\\TAVIX\\M32A\\", false},
    };
    for (const auto& sp : spellings) {
      SCOPED_TRACE(sp.path);
      const DWORD n = GetFullPathNameA(sp.path, sizeof buffer, buffer, nullptr);
      if (sp.nt_only && !nt) {
        EXPECT_EQ(n, 0u);
        EXPECT_FALSE(SetCurrentDirectoryA(sp.path));
        continue;
      }
      EXPECT_STREQ(buffer, sp.full);
      EXPECT_EQ(n, std::strlen(sp.full));
      EXPECT_TRUE(SetCurrentDirectoryA(sp.path));
      EXPECT_TRUE(SetCurrentDirectoryA("C:\\Tools"));
    }
    if (nt) {
      EXPECT_EQ(GetFileAttributesA("\\\\?\\C:\\TAVIX\\M32A\\...\\X.TXT"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    }
    // 8.3 aliases name their entries on both families; long names come back
    // where the platform has GetLongPathNameA.
    EXPECT_EQ(GetFileAttributesA("C:\\PROGRA~1\\TAVIXM~1\\M.EXE"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    SetLastError(0);
    const DWORD n = GetLongPathNameA("C:\\PROGRA~1\\TAVIXM~1", buffer, sizeof buffer);
    if (has_long) {
      EXPECT_STREQ(buffer, "C:\\Program Files\\Tavix Modem");
      EXPECT_EQ(n, 28u);
      // Relative steps and a trailing separator stay as written; only names
      // are replaced (Wine: "C:\\windows\\system32\\.." for itself).
      GetLongPathNameA("C:\\PROGRA~1\\TAVIXM~1\\..\\TAVIXM~1\\.\\", buffer, sizeof buffer);
      EXPECT_STREQ(buffer, "C:\\Program Files\\Tavix Modem\\..\\Tavix Modem\\.\\");
    } else {
      EXPECT_EQ(n, 0u);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    }
    // Folder identity: the NT family opens folders for backup semantics;
    // every spelling of one folder gives the same volume and index.
    auto identity = [](const char* path, DWORD flags) -> std::string {
      HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
      if (h == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
      BY_HANDLE_FILE_INFORMATION info;
      EXPECT_TRUE(GetFileInformationByHandle(h, &info));
      EXPECT_TRUE(CloseHandle(h));
      return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexLow);
    };
    const std::string id = identity("C:\\Program Files", FILE_FLAG_BACKUP_SEMANTICS);
    if (nt) {
      EXPECT_EQ(identity("C:\\PROGRA~1", FILE_FLAG_BACKUP_SEMANTICS), id);
      EXPECT_EQ(identity("\\\\localhost\\C$\\program files\\", FILE_FLAG_BACKUP_SEMANTICS), id);
      EXPECT_NE(identity("C:\\TAVIX", FILE_FLAG_BACKUP_SEMANTICS), id);
      EXPECT_EQ(identity("C:\\Program Files", 0), "error 5");
    } else {
      EXPECT_EQ(id, "error 5");
    }
    EXPECT_EQ(machine().files().open_file_handles(), 0u);
  }
}

}  // namespace
