// Start-up of the uninstaller: the platform and rights gate with its
// outcomes, the dialog, the keyboard and mouse answers, the command line.
#include <gtest/gtest.h>

#include "platform/program_entry.h"
#include "run_helpers.h"
#include "uninstaller/netpurge.h"

namespace {

const std::string kTitle = "QOR 10/100 Ethernet Adapters and Software Uninstaller";
const std::string kTitleModem = "QOR Modems and Software Uninstaller";
const std::string kQuestion =
    "Uninstaller will remove the associated drivers and software of all QOR 10/100 network adapters.\n\n"
    "Do you want to continue?";
const std::string kQuestionModem =
    "Uninstaller will remove the associated drivers and software of all QOR modems.\n\nDo you want to continue?";
const std::string kWrongPlatform =
    "QOR 10/100 Ethernet Adapters and Software Uninstaller is designed to run in\nMicrosoft(R) Windows 95 and "
    "Windows 98.\n\nThe program will exit!";
const std::string kNeedAdmin =
    "ERROR: You need administrative rights to run this program.\nPlease consult your system administrators.";

// What the program must do, from the table of outcomes per platform class.
struct Expected {
  int exit_code;
  bool removal;
  std::string kind;  // "", "dialog" or "message_box"
  std::string caption;
  std::string text;
};

struct GateCase {
  std::string platform;
  bool modem_name;
  bool silent;
  bool admin;
};

void PrintTo(const GateCase& c, std::ostream* os) {
  *os << c.platform << (c.modem_name ? " modem" : " adapter") << (c.silent ? " silent" : " interactive")
      << (c.admin ? " admin" : " user");
}

Expected expected_for(const GateCase& c) {
  bool nine_x = c.platform == "win95" || c.platform == "win98";
  bool w2k = c.platform == "win2000" || c.platform == "winxp";
  bool nt4 = c.platform == "nt4";
  bool modem = c.modem_name && !w2k;
  std::string title = modem ? kTitleModem : kTitle;
  std::string question = modem ? kQuestionModem : kQuestion;
  Expected dialog_or_silent = c.silent ? Expected{0, true, "", "", ""} : Expected{0, true, "dialog", title, question};
  if (nine_x) return dialog_or_silent;
  if (w2k) return c.admin ? dialog_or_silent : Expected{2, false, "message_box", kTitle, kNeedAdmin};
  if (c.silent) return {0, false, "", "", ""};
  if (nt4 && modem) return c.admin ? dialog_or_silent : Expected{2, false, "message_box", title, kNeedAdmin};
  return {2, false, "message_box", title, kWrongPlatform};
}

class Gate : public ::testing::TestWithParam<GateCase> {};

TEST_P(Gate, OutcomeMatchesThePlatformTable) {
  const GateCase& c = GetParam();
  std::string program = c.modem_name ? "Hushline.exe" : "netpurge.exe";
  auto report =
      run_machine(machine_on(c.platform, c.admin, "\"C:\\Tools\\" + program + "\"" + (c.silent ? " /nogui" : "")));
  Expected e = expected_for(c);
  ASSERT_TRUE(report.completed) << report.error;
  EXPECT_EQ(report.exit_code, e.exit_code);
  EXPECT_EQ(report.removal_ran, e.removal);
  if (e.kind.empty()) {
    EXPECT_TRUE(report.shown.empty());
  } else {
    ASSERT_EQ(report.shown.size(), 1u);
    EXPECT_EQ(report.shown[0].kind, e.kind);
    EXPECT_EQ(report.shown[0].caption, e.caption);
    EXPECT_EQ(report.shown[0].text, e.text);
    if (e.kind == "message_box") {
      EXPECT_EQ(report.shown[0].type, static_cast<UINT>(MB_ICONWARNING | MB_OK));
    }
  }
  EXPECT_EQ(report.scm_handles_left, 0);
}

std::vector<GateCase> all_gate_cases() {
  std::vector<GateCase> cases;
  for (const char* p : {"win95", "win98", "nt351", "nt4", "win2000", "winxp", "vista"})
    for (bool modem : {false, true})
      for (bool silent : {false, true})
        for (bool admin : {true, false}) cases.push_back({p, modem, silent, admin});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryPlatformModeAndRight, Gate, ::testing::ValuesIn(all_gate_cases()), [](const auto& info) {
  const GateCase& c = info.param;
  return c.platform + (c.modem_name ? "_modem" : "_adapter") + (c.silent ? "_silent" : "_interactive") +
         (c.admin ? "_admin" : "_user");
});

TEST(GateFailures, MissingModemProgramNameEndsQuietly) {
  auto m = machine_on("win98");
  m["faults"] = {{"missing_strings", {1008}}};
  auto r = run_machine(m);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.shown.empty());
  EXPECT_FALSE(r.removal_ran);
}

TEST(GateFailures, MissingPlatformRefusalLetsTheProgramGoOn) {
  auto m = machine_on("nt4", false);
  m["faults"] = {{"missing_strings", {150}}};
  auto r = run_machine(m);
  // Without string 150 there is no platform refusal; NT 4 in adapter mode
  // has no rights test, so the dialog follows.
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_EQ(r.shown.size(), 1u);
  EXPECT_EQ(r.shown[0].kind, "dialog");
  EXPECT_TRUE(r.removal_ran);
}

TEST(GateFailures, DialogThatCannotBeCreatedEndsWithZero) {
  auto m = machine_on("win98");
  m["faults"] = {{"dialog_fails", true}};
  auto r = run_machine(m);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.shown.empty());
  EXPECT_FALSE(r.removal_ran);
}

TEST(GateFailures, RightsRefusalWithoutItsTextStillRefuses) {
  auto m = machine_on("win2000", false);
  m["faults"] = {{"missing_strings", {568}}};
  auto r = run_machine(m);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(r.shown.empty());
  EXPECT_FALSE(r.removal_ran);
}

// ---- the user's answers

struct AnswerCase {
  std::string answer;
  bool removal;
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.answer; }

class Answers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Answers, OnlyOkAndEnterRemove) {
  auto m = machine_on("win98");
  m["user"] = {GetParam().answer};
  auto r = run_machine(m);
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.removal_ran, GetParam().removal);
  ASSERT_EQ(r.actions.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Dialog, Answers,
                         ::testing::Values(AnswerCase{"ok", true}, AnswerCase{"enter", true},
                                           AnswerCase{"cancel", false}, AnswerCase{"escape", false},
                                           AnswerCase{"close", false}),
                         [](const auto& info) { return info.param.answer; });

TEST(Answers, ARunWithNoAnswerLeftStopsInsteadOfHanging) {
  auto m = machine_on("win98");
  m["user"] = nlohmann::json::array();
  auto r = run_machine(m);
  EXPECT_FALSE(r.completed);
  EXPECT_NE(r.error.find("no answer left"), std::string::npos);
  EXPECT_FALSE(r.removal_ran);
}

TEST(Answers, RefusalMessageConsumesOneAnswer) {
  auto m = machine_on("nt4");
  m["user"] = {"escape"};
  auto r = run_machine(m);
  EXPECT_TRUE(r.completed);
  EXPECT_EQ(r.exit_code, 2);
  ASSERT_EQ(r.actions.size(), 1u);
}

// ---- the dialog

TEST(Dialog, InteractiveTextsReplaceTheTemplateTexts) {
  auto r = run_machine(machine_on("win98"));
  HWND dialog = g_program.mainDialog;
  auto& ui = sim::win32::machine().ui();
  ASSERT_NE(ui.find(dialog), nullptr);  // not destroyed on the OK path
  EXPECT_EQ(ui.find(dialog)->text, kTitle);
  EXPECT_EQ(ui.child(dialog, 1001)->text, kQuestion);
  EXPECT_EQ(ui.child(dialog, IDOK)->text, "&OK");
  EXPECT_EQ(ui.child(dialog, IDCANCEL)->text, "&Cancel");
  EXPECT_EQ(std::string(g_program.title), kTitle);
}

TEST(Dialog, SilentModeKeepsTheTemplateTextsAndNeverShowsTheDialog) {
  auto r = run_machine(machine_on("win98", true, "\"C:\\Tools\\netpurge.exe\" /nogui"));
  HWND dialog = g_program.mainDialog;
  auto& ui = sim::win32::machine().ui();
  ASSERT_NE(ui.find(dialog), nullptr);
  EXPECT_FALSE(ui.find(dialog)->visible);
  EXPECT_EQ(ui.find(dialog)->text, "<Tavix(R) PRO Adapters and Software Uninstaller>");
  EXPECT_EQ(ui.child(dialog, IDOK)->text, "OK");
  EXPECT_EQ(ui.child(dialog, IDCANCEL)->text, "Cancel");
  EXPECT_TRUE(r.shown.empty());
  EXPECT_TRUE(r.removal_ran);
  EXPECT_TRUE(r.actions.empty());  // the program confirmed by itself
}

TEST(Dialog, CentredWithTruncatingDivisionAndNoDesktopOffset) {
  // 221 x 90 dialog units at base units 6 x 13 give a 332 x 146 client area;
  // with a 3-pixel dialog frame and an 18-pixel caption the window is 338 x 170.
  struct Screen {
    int w, h;
    LONG x, y;
  };
  for (Screen s : {Screen{800, 600, 231, 215}, Screen{641, 481, 151, 155}, Screen{201, 101, -68, -34}}) {
    auto m = machine_on("win98");
    m["screen"] = {s.w, s.h};
    auto r = run_machine(m);
    ASSERT_EQ(r.shown.size(), 1u);
    EXPECT_EQ(r.shown[0].rect.left, s.x) << s.w << "x" << s.h;
    EXPECT_EQ(r.shown[0].rect.top, s.y) << s.w << "x" << s.h;
    EXPECT_EQ(r.shown[0].rect.right - r.shown[0].rect.left, 338);
    EXPECT_EQ(r.shown[0].rect.bottom - r.shown[0].rect.top, 170);
  }
}

TEST(Dialog, WithoutDesktopOrRectangleTheDialogStaysAtItsTemplatePosition) {
  for (const char* fault : {"no_desktop", "window_rect_fails"}) {
    auto m = machine_on("win98");
    m["faults"] = {{fault, true}};
    auto r = run_machine(m);
    ASSERT_EQ(r.shown.size(), 1u) << fault;
    EXPECT_EQ(r.shown[0].rect.left, 0) << fault;
    EXPECT_EQ(r.shown[0].rect.top, 0) << fault;
    EXPECT_TRUE(r.removal_ran);
  }
}

// ---- the command line

TEST(CommandLine, TailSkipsTheProgramNameAndLeadingBlanks) {
  struct Case {
    std::string line, tail;
  };
  for (const Case& c : std::vector<Case>{{"\"C:\\A B\\x.exe\" /nogui", "/nogui"},
                                         {"C:\\x.exe   \t/nogui ", "/nogui "},
                                         {"\"C:\\x.exe\"/nogui", "/nogui"},
                                         {"x.exe", ""},
                                         {"\"unterminated", ""},
                                         {"\"\" arg", "arg"}}) {
    std::string buffer = c.line;
    EXPECT_EQ(std::string(CommandLineTail(buffer.data())), c.tail) << c.line;
  }
}

struct ModeCase {
  std::string command_line;
  bool modem;
  bool silent;
  std::string folder;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.command_line; }

class Modes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(Modes, FileNameFolderAndSilentSwitch) {
  const ModeCase& c = GetParam();
  auto m = machine_on("win98", true, c.command_line);
  m["module_path"] = "D:\\Setup\\netpurge.exe";
  auto r = run_machine(m);
  EXPECT_EQ(r.modem_mode, c.modem);
  EXPECT_EQ(r.silent_mode, c.silent);
  EXPECT_EQ(std::string(g_program.programFolder), c.folder);
}

INSTANTIATE_TEST_SUITE_P(StartUp, Modes,
                         ::testing::Values(ModeCase{"\"C:\\Tools\\netpurge.exe\"", false, false, "C:\\Tools\\"},
                                           ModeCase{"\"C:\\Tools\\Hushline.exe\" /nogui", true, true, "C:\\Tools\\"},
                                           ModeCase{"\"C:\\Tools\\HUSHLINE.EXE\" /NOGUI", true, true, "C:\\Tools\\"},
                                           ModeCase{"\"C:\\Tools\\Hushline.exe\" /nogui ", true, false, "C:\\Tools\\"},
                                           ModeCase{"\"C:\\Tools\\Hushline.exe\" /nogui x", true, false, "C:\\Tools\\"},
                                           // Unquoted paths: the program path ends at the first blank.
                                           ModeCase{"C:\\Tools\\Hushline.exe /nogui", true, true, "C:\\Tools\\"},
                                           ModeCase{"C:\\Tools\\Hushline.exe", true, false, "C:\\Tools\\"},
                                           // Arguments with backslashes or quotes do not change the mode.
                                           ModeCase{"\"C:\\Tools\\Hushline.exe\" \"x\"", true, false, "C:\\Tools\\"},
                                           ModeCase{"\"C:\\Tools\\netpurge.exe\" C:\\Hushline.exe", false, false,
                                                    "C:\\Tools\\"},
                                           // No backslash: the folder is the running module's.
                                           ModeCase{"Hushline.exe", true, false, "D:\\Setup\\"},
                                           ModeCase{"\"netpurge.exe\" /nogui", false, true, "D:\\Setup\\"}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(CommandLine, NamesAndFoldersBeyondTheirBuffersAreLeftEmpty) {
  std::string long_folder = "C:\\" + std::string(600, 'd') + "\\Hushline.exe";
  auto r = run_machine(machine_on("win98", true, "\"" + long_folder + "\""));
  EXPECT_TRUE(r.modem_mode);  // the name itself fits
  EXPECT_EQ(std::string(g_program.programFolder), "");

  std::string long_name = "C:\\Tools\\" + std::string(140, 'n') + "Hushline.exe";
  r = run_machine(machine_on("win98", true, "\"" + long_name + "\""));
  EXPECT_FALSE(r.modem_mode);
  EXPECT_EQ(std::string(g_program.programFolder), "C:\\Tools\\");
}

TEST(CommandLine, ModemNameOnWindows2000RunsInAdapterMode) {
  auto r = run_machine(machine_on("win2000", true, "\"C:\\Tools\\Hushline.exe\""));
  EXPECT_FALSE(r.modem_mode);
  ASSERT_EQ(r.shown.size(), 1u);
  EXPECT_EQ(r.shown[0].caption, kTitle);
  EXPECT_EQ(r.shown[0].text, kQuestion);
}

}  // namespace
