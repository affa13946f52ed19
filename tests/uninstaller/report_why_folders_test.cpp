// The run report says why the modem folder purge skipped a target or left
// part of it: a current folder too long for the program, a target that is
// or holds a guarded folder, and what stays inside a target (the running
// program, the current folder, names that end in blanks or dots).
#include <gtest/gtest.h>

#include <string>

#include "run_helpers.h"

namespace {

TEST(ReportWhyFolders, EachSkippedOrRemainingTargetSaysWhy) {
  const std::string long_current = "C:\\" + std::string(130, 'C');
  struct Case {
    const char* name;
    nlohmann::json profile;
    const char* says;  // empty: no folder reason at all
  } cases[] = {
      {"current folder of 133 characters",
       {{"platform", "win98"},
        {"command_line", "\"C:\\Tools\\Hushline.exe\" /nogui"},
        {"files", {"C:\\TAVIX\\M32A\\A.TXT", long_current + "\\"}},
        {"current_folder", long_current}},
       "the folder purge touched nothing: the current folder C:\\CCC"},
      {"started inside M32A",
       {{"platform", "win98"},
        {"command_line", "\"C:\\TAVIX\\M32A\\Hushline.exe\" /nogui"},
        {"files", {"C:\\TAVIX\\M32A\\Hushline.exe", "C:\\TAVIX\\M32A\\A.TXT"}}},
       "C:\\TAVIX\\M32A stays: it holds the current folder C:\\TAVIX\\M32A, which the purge comes back to; "
       "C:\\TAVIX\\M32A\\Hushline.exe is in use"},
      {"trimmed name",
       {{"platform", "win98"},
        {"command_line", "\"C:\\Tools\\Hushline.exe\" /nogui"},
        {"files", {"C:\\TAVIX\\M32AAPPS\\...\\X.TXT"}}},
       "C:\\TAVIX\\M32AAPPS stays: \"C:\\TAVIX\\M32AAPPS\\...\" ends in a blank or a dot"},
      {"Windows folder inside M32A",
       {{"platform", "win98"},
        {"command_line", "\"C:\\Tools\\Hushline.exe\" /nogui"},
        {"windows_folder", "C:\\TAVIX\\M32A\\WINDOWS"},
        {"files", {"C:\\TAVIX\\M32A\\WINDOWS\\WIN.INI"}}},
       "C:\\TAVIX\\M32A was not purged: it is the Windows folder or a folder above it"},
      {"NT 4 without a program menu",
       {{"platform", "nt4"}, {"command_line", "\"C:\\Tools\\Hushline.exe\""}, {"files", {"C:\\TAVIX\\M32A\\A.TXT"}}},
       "the folder purge touched nothing: the user's program menu"},
      {"everything removed",
       {{"platform", "win98"},
        {"command_line", "\"C:\\Tools\\Hushline.exe\" /nogui"},
        {"files", {"C:\\TAVIX\\M32A\\A.TXT", "C:\\TAVIX\\M32AAPPS\\B\\C.TXT"}}},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = run_machine(c.profile);
    ASSERT_TRUE(r.removal_ran);
    ASSERT_TRUE(r.modem_mode);
    std::string folder_lines;
    for (const auto& why : r.why)
      if (why.find("folder purge") != std::string::npos || why.find("C:\\") != std::string::npos)
        folder_lines += why + "\n";
    if (*c.says == 0)
      EXPECT_EQ(folder_lines, "");
    else
      EXPECT_NE(folder_lines.find(c.says), std::string::npos) << folder_lines;
  }
}

}  // namespace
