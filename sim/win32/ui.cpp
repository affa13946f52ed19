#include "ui.h"

#include <algorithm>

#include "machine.h"

namespace sim::win32 {

namespace {

constexpr DWORD kButtonTypeMask = 0x0F;
constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorControlIdNotFound = 1421;

// MulDiv rounds half away from zero; dialog units are converted with it.
int mul_div(int value, int numerator, int denominator) {
  long long p = static_cast<long long>(value) * numerator;
  return static_cast<int>(p >= 0 ? (p + denominator / 2) / denominator : (p - denominator / 2) / denominator);
}

std::string class_name_of(const ResId& cls) {
  if (!cls.is_ordinal()) return cls.name;
  switch (cls.ordinal) {
    case 0x80: return "Button";
    case 0x81: return "Edit";
    case 0x82: return "Static";
    case 0x83: return "ListBox";
    case 0x84: return "ScrollBar";
    case 0x85: return "ComboBox";
    default: return "#" + std::to_string(cls.ordinal);
  }
}

bool is_push_button(const Window& w) {
  DWORD type = w.style & kButtonTypeMask;
  return w.class_name == "Button" && (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
}

}  // namespace

std::optional<Answer> parse_answer(const std::string& word) {
  if (word == "ok") return Answer::Ok;
  if (word == "cancel") return Answer::Cancel;
  if (word == "enter") return Answer::Enter;
  if (word == "escape") return Answer::Escape;
  if (word == "close") return Answer::Close;
  return std::nullopt;
}

std::string to_string(Answer answer) {
  switch (answer) {
    case Answer::Ok: return "ok";
    case Answer::Cancel: return "cancel";
    case Answer::Enter: return "enter";
    case Answer::Escape: return "escape";
    case Answer::Close: return "close";
  }
  return "?";
}

Ui::Ui() : desktop_(new_handle()) {}

HWND Ui::new_handle() {
  HWND h = reinterpret_cast<HWND>(next_handle_);
  next_handle_ += 4;
  return h;
}

Window* Ui::find(HWND hwnd) {
  auto it = windows.find(hwnd);
  return it == windows.end() || it->second.destroyed ? nullptr : &it->second;
}

Window* Ui::child(HWND dialog, int id) {
  Window* d = find(dialog);
  if (!d) return nullptr;
  for (HWND c : d->children) {
    Window* w = find(c);
    if (w && w->id == id) return w;
  }
  return nullptr;
}

std::size_t Ui::live_windows() const {
  return static_cast<std::size_t>(
      std::count_if(windows.begin(), windows.end(), [](const auto& kv) { return !kv.second.destroyed; }));
}

HWND Ui::create_dialog(const DialogTemplate& tpl, DLGPROC proc, LPARAM init) {
  Window dlg;
  dlg.hwnd = new_handle();
  dlg.class_name = "#32770";
  dlg.text = tpl.caption;
  dlg.style = tpl.style;
  dlg.proc = proc;
  // Window size: the client area in pixels plus the frame and caption.
  int frame = (tpl.style & (DS_MODALFRAME | WS_DLGFRAME | WS_CAPTION)) ? dialog_frame : 0;
  int caption = (tpl.style & WS_CAPTION) == WS_CAPTION ? caption_height : 0;
  dlg.rect.left = mul_div(tpl.x, base_x, 4);
  dlg.rect.top = mul_div(tpl.y, base_y, 8);
  dlg.rect.right = dlg.rect.left + mul_div(tpl.cx, base_x, 4) + 2 * frame;
  dlg.rect.bottom = dlg.rect.top + mul_div(tpl.cy, base_y, 8) + 2 * frame + caption;
  HWND hwnd = dlg.hwnd;
  windows[hwnd] = dlg;
  for (const DialogItem& item : tpl.items) {
    Window c;
    c.hwnd = new_handle();
    c.parent = hwnd;
    c.id = item.id;
    c.class_name = class_name_of(item.window_class);
    c.text = item.text.is_ordinal() ? "#" + std::to_string(item.text.ordinal) : item.text.name;
    c.style = item.style;
    c.visible = (item.style & WS_VISIBLE) != 0;
    c.rect = {mul_div(item.x, base_x, 4), mul_div(item.y, base_y, 8), mul_div(item.x + item.cx, base_x, 4),
              mul_div(item.y + item.cy, base_y, 8)};
    windows[c.hwnd] = c;
    windows[hwnd].children.push_back(c.hwnd);
  }
  // The focus starts on the first visible, enabled tab stop; WM_INITDIALOG
  // is told which.
  Window& d = windows[hwnd];
  for (HWND c : d.children) {
    const Window& w = windows[c];
    if ((w.style & WS_TABSTOP) && w.visible && !(w.style & WS_DISABLED)) {
      d.focus = c;
      break;
    }
  }
  SendMessageA(hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(d.focus), init);
  if (Window* w = find(hwnd); w && (tpl.style & WS_VISIBLE)) show(*w, true);
  return hwnd;
}

RECT Ui::window_rect(const Window& w) const {
  if (!w.parent) return w.rect;
  const Window& p = windows.at(w.parent);
  int frame = (p.style & (DS_MODALFRAME | WS_DLGFRAME | WS_CAPTION)) ? dialog_frame : 0;
  int caption = (p.style & WS_CAPTION) == WS_CAPTION ? caption_height : 0;
  LONG x = p.rect.left + frame, y = p.rect.top + frame + caption;
  return {w.rect.left + x, w.rect.top + y, w.rect.right + x, w.rect.bottom + y};
}

void Ui::record_shown(const Window& w) {
  Shown s;
  s.kind = "dialog";
  s.caption = w.text;
  s.rect = w.rect;
  for (HWND c : w.children) {
    const Window& cw = windows[c];
    if (!cw.visible) continue;
    if (cw.class_name == "Static" && (cw.style & 0x1F) != SS_ICON && s.text.empty()) s.text = cw.text;
    if (is_push_button(cw)) s.buttons.push_back(cw.text);
  }
  shown.push_back(s);
}

void Ui::show(Window& w, bool visible) {
  bool was = w.visible;
  w.visible = visible;
  if (visible && !was && !w.parent) record_shown(w);
}

LRESULT Ui::window_proc(Window& w, UINT msg, WPARAM wp, LPARAM lp) {
  if (w.class_name == "#32770") return dialog_proc(w, msg, wp, lp);
  if (w.class_name == "Button") return button_proc(w, msg, wp, lp);
  return 0;
}

// The dialog's window procedure: the application's dialog procedure first,
// then what the default dialog procedure does with what it left unhandled.
LRESULT Ui::dialog_proc(Window& w, UINT msg, WPARAM wp, LPARAM lp) {
  HWND hwnd = w.hwnd;
  INT_PTR handled = w.proc ? w.proc(hwnd, msg, wp, lp) : FALSE;
  if (handled) return handled;
  switch (msg) {
    case WM_SYSCOMMAND:
      if ((wp & 0xFFF0) == SC_CLOSE) SendMessageA(hwnd, WM_CLOSE, 0, 0);
      return 0;
    case WM_CLOSE: {
      Window* cancel = child(hwnd, IDCANCEL);
      PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(cancel ? cancel->hwnd : nullptr));
      return 0;
    }
    default: return 0;
  }
}

// A push button reports a click (button released over it) to its parent.
LRESULT Ui::button_proc(Window& w, UINT msg, WPARAM, LPARAM) {
  if (msg == WM_LBUTTONUP && w.visible && !(w.style & WS_DISABLED) && is_push_button(w))
    SendMessageA(w.parent, WM_COMMAND, MAKEWPARAM(w.id, BN_CLICKED), reinterpret_cast<LPARAM>(w.hwnd));
  return 0;
}

bool Ui::belongs_to(HWND hwnd, HWND dialog) {
  for (Window* w = find(hwnd); w; w = w->parent ? find(w->parent) : nullptr)
    if (w->hwnd == dialog) return true;
  return false;
}

Answer Ui::next_answer(const std::string& target) {
  Answer a;
  if (!answers.empty()) {
    a = answers.front();
    answers.pop_front();
  } else if (endless_ok) {
    a = Answer::Ok;
  } else {
    throw SimulationError("the scripted user has no answer left, but the program waits for one at \"" + target + "\"");
  }
  actions.push_back({a, target});
  return a;
}

void Ui::wait_for_user() {
  Window* target = nullptr;
  for (auto& [h, w] : windows)
    if (!w.destroyed && !w.parent && w.visible) target = &w;
  if (!target) throw SimulationError("the program waits for input, but no window is visible: it would wait forever");
  HWND hwnd = target->hwnd;
  Answer a = next_answer(target->text);
  switch (a) {
    case Answer::Ok:
    case Answer::Cancel: {
      Window* button = child(hwnd, a == Answer::Ok ? IDOK : IDCANCEL);
      if (!button || !button->visible)
        throw SimulationError("the scripted user cannot press " + to_string(a) + ": the window has no such button");
      PostMessageA(button->hwnd, WM_LBUTTONDOWN, 0, 0);
      PostMessageA(button->hwnd, WM_LBUTTONUP, 0, 0);
      break;
    }
    case Answer::Enter:
    case Answer::Escape: {
      HWND focus = find(target->focus) ? target->focus : hwnd;
      PostMessageA(focus, WM_KEYDOWN, a == Answer::Enter ? VK_RETURN : VK_ESCAPE, 0);
      PostMessageA(focus, WM_KEYUP, a == Answer::Enter ? VK_RETURN : VK_ESCAPE, 0);
      break;
    }
    case Answer::Close:
      if (!(target->style & WS_SYSMENU))
        throw SimulationError("the scripted user cannot close a window without a system menu");
      PostMessageA(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
      break;
  }
}

}  // namespace sim::win32

// ---- the Win32 functions

using sim::win32::Answer;
using sim::win32::is_push_button;
using sim::win32::kButtonTypeMask;
using sim::win32::kErrorInvalidWindowHandle;
using sim::win32::machine;
using sim::win32::Shown;
using sim::win32::Window;

HWND WINAPI CreateDialogParamA(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC proc, LPARAM init) {
  auto& m = machine();
  (void)owner;
  auto id = reinterpret_cast<std::uintptr_t>(template_name);
  if (instance != sim::win32::program_instance() || id > 0xFFFF) {
    m.last_error = ERROR_RESOURCE_NAME_NOT_FOUND;
    return nullptr;
  }
  if (m.ui().dialog_fails) {
    m.last_error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  auto tpl = m.resources().dialog(static_cast<std::uint16_t>(id));
  if (!tpl) {
    m.last_error = ERROR_RESOURCE_NAME_NOT_FOUND;
    return nullptr;
  }
  return m.ui().create_dialog(*tpl, proc, init);
}

BOOL WINAPI ShowWindow(HWND wnd, int show) {
  auto* w = machine().ui().find(wnd);
  if (!w) return FALSE;
  BOOL was = w->visible;
  machine().ui().show(*w, show != SW_HIDE);
  return was;
}

BOOL WINAPI SetWindowPos(HWND wnd, HWND, int x, int y, int cx, int cy, UINT flags) {
  auto& ui = machine().ui();
  auto* w = ui.find(wnd);
  if (!w) {
    machine().last_error = 1400;
    return FALSE;
  }
  RECT r = w->rect;
  if (!(flags & SWP_NOMOVE)) {
    r.right += x - r.left, r.bottom += y - r.top;
    r.left = x, r.top = y;
  }
  if (!(flags & SWP_NOSIZE)) r.right = r.left + cx, r.bottom = r.top + cy;
  w->rect = r;
  if (flags & SWP_HIDEWINDOW) ui.show(*w, false);
  if (flags & SWP_SHOWWINDOW) ui.show(*w, true);
  return TRUE;
}

BOOL WINAPI GetWindowRect(HWND wnd, LPRECT rect) {
  auto& ui = machine().ui();
  if (ui.window_rect_fails || rect == nullptr) return FALSE;
  if (wnd == ui.desktop() && wnd != nullptr) {
    *rect = {0, 0, ui.screen_width, ui.screen_height};
    return TRUE;
  }
  auto* w = ui.find(wnd);
  if (!w) {
    machine().last_error = 1400;
    return FALSE;
  }
  *rect = ui.window_rect(*w);
  return TRUE;
}

HWND WINAPI GetDesktopWindow(void) {
  auto& ui = machine().ui();
  return ui.no_desktop ? nullptr : ui.desktop();
}

BOOL WINAPI SetWindowTextA(HWND wnd, LPCSTR text) {
  auto* w = machine().ui().find(wnd);
  if (!w) {
    machine().last_error = 1400;
    return FALSE;
  }
  w->text = text ? text : "";
  return TRUE;
}

HWND WINAPI GetDlgItem(HWND dlg, int id) {
  auto* w = machine().ui().child(dlg, id);
  if (!w) machine().last_error = sim::win32::kErrorControlIdNotFound;
  return w ? w->hwnd : nullptr;
}

BOOL WINAPI SetDlgItemTextA(HWND dlg, int id, LPCSTR text) {
  HWND item = GetDlgItem(dlg, id);
  return item ? SetWindowTextA(item, text) : FALSE;
}

BOOL WINAPI PostMessageA(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto& ui = machine().ui();
  if (wnd != nullptr && !ui.find(wnd)) {
    machine().last_error = kErrorInvalidWindowHandle;
    return FALSE;
  }
  ui.queue.push_back(MSG{wnd, msg, wparam, lparam, 0, {0, 0}});
  return TRUE;
}

LRESULT WINAPI SendMessageA(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto& ui = machine().ui();
  Window* w = ui.find(wnd);
  return w ? ui.window_proc(*w, msg, wparam, lparam) : 0;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND, UINT, UINT) {
  if (!msg) return -1;
  auto& ui = machine().ui();
  for (;;) {
    if (!ui.queue.empty()) {
      MSG m = ui.queue.front();
      ui.queue.pop_front();
      if (m.hwnd != nullptr && !ui.find(m.hwnd)) continue;  // its window is gone
      *msg = m;
      return TRUE;
    }
    if (ui.quit_code) {
      *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(*ui.quit_code), 0, 0, {0, 0}};
      ui.quit_code.reset();
      return FALSE;
    }
    ui.wait_for_user();
  }
}

BOOL WINAPI IsDialogMessageA(HWND dlg, LPMSG msg) {
  auto& ui = machine().ui();
  Window* d = ui.find(dlg);
  if (!d || !msg || !ui.belongs_to(msg->hwnd, dlg)) return FALSE;
  if (msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE)) {
    Window* target = nullptr;
    int id = IDCANCEL;
    if (msg->wParam == VK_RETURN) {
      // Enter presses the focused push button, otherwise the default one.
      Window* focused = ui.find(d->focus);
      if (focused && is_push_button(*focused)) {
        target = focused;
      } else {
        for (HWND c : d->children) {
          Window* cw = ui.find(c);
          if (cw && cw->class_name == "Button" && (cw->style & kButtonTypeMask) == BS_DEFPUSHBUTTON) target = cw;
        }
        if (!target) target = ui.child(dlg, IDOK);
      }
      id = target ? target->id : IDOK;
    } else {
      target = ui.child(dlg, IDCANCEL);
    }
    if (target && (target->style & WS_DISABLED)) return TRUE;
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(target ? target->hwnd : nullptr));
    return TRUE;
  }
  DispatchMessageA(msg);
  return TRUE;
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  return SendMessageA(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void WINAPI PostQuitMessage(int code) { machine().ui().quit_code = code; }

BOOL WINAPI DestroyWindow(HWND wnd) {
  auto& ui = machine().ui();
  Window* w = ui.find(wnd);
  if (!w) {
    machine().last_error = kErrorInvalidWindowHandle;
    return FALSE;
  }
  w->visible = false;
  SendMessageA(wnd, WM_DESTROY, 0, 0);
  std::vector<HWND> gone{wnd};
  gone.insert(gone.end(), ui.windows[wnd].children.begin(), ui.windows[wnd].children.end());
  for (HWND h : gone) ui.windows[h].destroyed = true;
  return TRUE;
}

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
  auto& ui = machine().ui();
  Shown s;
  s.kind = "message_box";
  s.caption = caption ? caption : "Error";
  s.text = text ? text : "";
  s.type = type;
  ui.shown.push_back(s);
  Answer a = ui.next_answer(s.caption);
  bool positive = a == Answer::Ok || a == Answer::Enter;
  switch (type & 0x0F) {
    case MB_OKCANCEL: return positive ? IDOK : IDCANCEL;
    case MB_YESNO: return positive ? 6 /* IDYES */ : 7 /* IDNO */;
    default: return IDOK;  // a lone OK button: Escape and closing also answer OK
  }
}
