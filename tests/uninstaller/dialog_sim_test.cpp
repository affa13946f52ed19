// The simulated user interface, checked against Windows' documented dialog
// behaviour with a dialog procedure of the test's own.
#include <gtest/gtest.h>

#include <vector>

#include "sim/win32/machine.h"
#include "sim/win32/resources.h"
#include "sim/win32/ui.h"

extern const unsigned char netpurge_res[];
extern const unsigned long netpurge_res_size;

namespace {

using namespace sim::win32;

struct Seen {
  UINT msg;
  WPARAM wp;
  LPARAM lp;
};
std::vector<Seen> g_seen;
bool g_handle_close = true;

INT_PTR CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  g_seen.push_back({msg, wp, lp});
  if (msg == WM_COMMAND) {
    PostQuitMessage(static_cast<int>(wp));
    return TRUE;
  }
  if (msg == WM_CLOSE && g_handle_close) {
    DestroyWindow(hwnd);
    return TRUE;
  }
  if (msg == WM_DESTROY) PostQuitMessage(99);
  return msg == WM_INITDIALOG;
}

class DialogSim : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_machine();
    machine().resources().load_res(netpurge_res, netpurge_res_size);
    g_seen.clear();
    g_handle_close = true;
  }
  HWND create() {
    HWND h = CreateDialogParamA(program_instance(), MAKEINTRESOURCEA(103), nullptr, RecordingProc, 42);
    ShowWindow(h, SW_SHOW);
    return h;
  }
  // Runs a message loop like a program's and returns the quit code.
  int loop(HWND dialog) {
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
      if (!IsDialogMessageA(dialog, &m)) DispatchMessageA(&m);
    }
    return static_cast<int>(m.wParam);
  }
  std::vector<Seen> commands() const {
    std::vector<Seen> c;
    for (const Seen& s : g_seen)
      if (s.msg == WM_COMMAND) c.push_back(s);
    return c;
  }
};

TEST_F(DialogSim, InitDialogGetsTheFirstTabStopAndTheInitValue) {
  HWND h = create();
  ASSERT_FALSE(g_seen.empty());
  EXPECT_EQ(g_seen[0].msg, static_cast<UINT>(WM_INITDIALOG));
  EXPECT_EQ(g_seen[0].wp, reinterpret_cast<WPARAM>(GetDlgItem(h, IDOK)));
  EXPECT_EQ(g_seen[0].lp, 42);
}

TEST_F(DialogSim, ClickSendsTheButtonIdWithClickedNotification) {
  HWND h = create();
  machine().ui().answers = {Answer::Cancel};
  EXPECT_EQ(loop(h), IDCANCEL);
  auto c = commands();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].wp, MAKEWPARAM(IDCANCEL, BN_CLICKED));
  EXPECT_EQ(c[0].lp, reinterpret_cast<LPARAM>(GetDlgItem(h, IDCANCEL)));
}

TEST_F(DialogSim, EnterPressesTheFocusedPushButton) {
  HWND h = create();
  machine().ui().find(h)->focus = GetDlgItem(h, IDCANCEL);
  machine().ui().answers = {Answer::Enter};
  EXPECT_EQ(loop(h), IDCANCEL);
}

TEST_F(DialogSim, EnterWithoutAFocusedButtonPressesTheDefaultButton) {
  HWND h = create();
  machine().ui().find(h)->focus = nullptr;
  machine().ui().answers = {Answer::Enter};
  EXPECT_EQ(loop(h), IDOK);
}

TEST_F(DialogSim, EscapeSendsCancelAndADisabledCancelIgnoresIt) {
  HWND h = create();
  machine().ui().answers = {Answer::Escape};
  EXPECT_EQ(loop(h), IDCANCEL);

  SetUp();
  h = create();
  machine().ui().child(h, IDCANCEL)->style |= WS_DISABLED;
  machine().ui().answers = {Answer::Escape, Answer::Ok};
  EXPECT_EQ(loop(h), IDOK);  // the Escape did nothing, the next answer pressed OK
  EXPECT_EQ(commands().size(), 1u);
}

TEST_F(DialogSim, CloseThroughTheSystemMenu) {
  HWND h = create();
  machine().ui().answers = {Answer::Close};
  EXPECT_EQ(loop(h), 99);  // WM_CLOSE destroyed the dialog, WM_DESTROY posted the quit
  EXPECT_EQ(machine().ui().find(h), nullptr);
  EXPECT_TRUE(commands().empty());

  // A dialog procedure that leaves WM_CLOSE alone gets IDCANCEL instead.
  SetUp();
  g_handle_close = false;
  h = create();
  machine().ui().answers = {Answer::Close};
  EXPECT_EQ(loop(h), IDCANCEL);
}

TEST_F(DialogSim, MessagesToADestroyedWindowAreDropped) {
  HWND h = create();
  PostMessageA(h, WM_COMMAND, IDOK, 0);
  DestroyWindow(h);
  EXPECT_FALSE(PostMessageA(h, WM_COMMAND, IDOK, 0));
  MSG m;
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), FALSE);  // only the quit from WM_DESTROY is left
  EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(m.wParam, 99u);
}

TEST_F(DialogSim, PostedMessagesComeBeforeTheQuitMessage) {
  HWND h = create();
  PostQuitMessage(7);
  PostMessageA(h, WM_NULL, 1, 2);
  MSG m;
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), TRUE);
  EXPECT_EQ(m.message, static_cast<UINT>(WM_NULL));
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), FALSE);
  EXPECT_EQ(m.wParam, 7u);
}

TEST_F(DialogSim, WaitingWithNothingVisibleIsReportedNotHung) {
  HWND h = CreateDialogParamA(program_instance(), MAKEINTRESOURCEA(103), nullptr, RecordingProc, 0);
  ASSERT_NE(h, nullptr);
  MSG m;
  EXPECT_THROW(GetMessageA(&m, nullptr, 0, 0), SimulationError);
}

TEST_F(DialogSim, MessageBoxAnswers) {
  machine().ui().answers = {Answer::Escape, Answer::Ok, Answer::Escape, Answer::Close};
  EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OK), IDOK);  // a lone OK also answers Escape
  EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(MessageBoxA(nullptr, "t", nullptr, MB_OKCANCEL), IDCANCEL);
  ASSERT_EQ(machine().ui().shown.size(), 4u);
  EXPECT_EQ(machine().ui().shown[3].caption, "Error");  // no caption given
}

TEST_F(DialogSim, UnknownTemplateOrModuleIsNotFound) {
  EXPECT_EQ(CreateDialogParamA(program_instance(), MAKEINTRESOURCEA(999), nullptr, RecordingProc, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(CreateDialogParamA(nullptr, MAKEINTRESOURCEA(103), nullptr, RecordingProc, 0), nullptr);
  EXPECT_EQ(SetDlgItemTextA(nullptr, 1001, "x"), FALSE);
}

TEST(Strings, LoadStringTruncatesAndTerminates) {
  reset_machine();
  machine().resources().load_res(netpurge_res, netpurge_res_size);
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(LoadStringA(program_instance(), 1008, buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "Hushlin");
  EXPECT_EQ(LoadStringA(program_instance(), 571, buffer, sizeof buffer), 0);  // present but empty
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(LoadStringA(program_instance(), 3, buffer, sizeof buffer), 0);  // absent
}

TEST(Strings, WsprintfFormatsLikeUser32) {
  char out[1100];
  EXPECT_EQ(wsprintfA(out, "%s\\%s\\%s", "Enum\\Network", "MSTCP\\0000", "Bindings"), 32);
  EXPECT_STREQ(out, "Enum\\Network\\MSTCP\\0000\\Bindings");
  wsprintfA(out, "[%5d|%-4x|%04X|%c|%%|%.3s]", -12, 255u, 0xABu, 'q', "abcdef");
  EXPECT_STREQ(out, "[  -12|ff  |00AB|q|%|abc]");
  std::string longer(2000, 'a');
  EXPECT_EQ(wsprintfA(out, "%s", longer.c_str()), 1023);  // user32 stops at 1024 characters
}

}  // namespace
