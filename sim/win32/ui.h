// Windows, dialogs, the message queue, message boxes and the scripted user.
//
// Dialogs are built from the program's dialog template; their geometry is
// converted from dialog units with the base units of the dialog font. The
// message queue, IsDialogMessageA and the default dialog procedure follow
// Windows' documented behaviour (Enter presses the focused or default push
// button, Escape sends IDCANCEL, closing through the system menu sends
// WM_CLOSE). When the program waits for input, the scripted user answers
// with its next answer; a wait with no answer left, or with no visible
// window to answer, ends the run with SimulationError instead of a hang.
#pragma once
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "resources.h"

namespace sim::win32 {

// The simulated run cannot go on (the real program would wait forever).
class SimulationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Answer { Ok, Cancel, Enter, Escape, Close };
std::optional<Answer> parse_answer(const std::string& word);
std::string to_string(Answer answer);

// A window or message box that became visible.
struct Shown {
  std::string kind;  // "dialog" or "message_box"
  std::string caption;
  std::string text;                  // dialog: its static text; message box: the message
  std::vector<std::string> buttons;  // dialog: visible push buttons' texts
  UINT type = 0;                     // message box: MB_* flags
  RECT rect{};                       // dialog: window rectangle when shown
};

struct UserAction {
  Answer answer;
  std::string target;  // caption of the window answered
};

struct Window {
  HWND hwnd = nullptr;
  HWND parent = nullptr;
  int id = 0;
  std::string class_name;  // "#32770" for dialogs, "Button", "Static", ...
  std::string text;
  DWORD style = 0;
  RECT rect{};  // top-level: screen coordinates; child: parent's client coordinates
  bool visible = false;
  bool destroyed = false;
  DLGPROC proc = nullptr;
  std::vector<HWND> children;
  HWND focus = nullptr;
};

class Ui {
 public:
  Ui();

  // Machine configuration.
  int screen_width = 800;
  int screen_height = 600;
  int base_x = 6;  // dialog base units of an 8-point MS Sans Serif at 96 dpi
  int base_y = 13;
  int caption_height = 18;  // SM_CYCAPTION
  int dialog_frame = 3;     // SM_CXDLGFRAME / SM_CYDLGFRAME
  std::deque<Answer> answers;
  bool endless_ok = true;  // no script given: the user presses OK whenever asked
  bool dialog_fails = false;
  bool no_desktop = false;
  bool window_rect_fails = false;

  // What happened.
  std::vector<Shown> shown;
  std::vector<UserAction> actions;

  // The window manager's state. The Win32 functions (ui.cpp) work on it
  // directly; the window procedures below are what they dispatch to.
  std::map<HWND, Window> windows;
  std::deque<MSG> queue;
  std::optional<int> quit_code;

  HWND create_dialog(const DialogTemplate& tpl, DLGPROC proc, LPARAM init);
  Window* find(HWND hwnd);  // a live window, or null
  Window* child(HWND dialog, int id);
  bool belongs_to(HWND hwnd, HWND dialog);
  HWND desktop() const { return desktop_; }
  RECT window_rect(const Window& w) const;
  void show(Window& w, bool visible);
  LRESULT window_proc(Window& w, UINT msg, WPARAM wp, LPARAM lp);
  // The program waits for input: the scripted user acts on the visible
  // top-level window shown last, or the run ends with SimulationError.
  void wait_for_user();
  Answer next_answer(const std::string& target);
  std::size_t live_windows() const;

 private:
  HWND new_handle();
  LRESULT dialog_proc(Window& w, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT button_proc(Window& w, UINT msg, WPARAM wp, LPARAM lp);
  void record_shown(const Window& w);

  std::uintptr_t next_handle_ = 0x10020;
  HWND desktop_;
};

}  // namespace sim::win32
