#include "main_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <mmsystem.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Aboutunit.h"
#include "app/form.h"
#include "look.h"
#include "platform/serial_devices.h"

using fwdl::Button;
using fwdl::FileDialog;
using fwdl::MenuItem;

namespace {

namespace form = fwdl::form::main;

constexpr char kClassName[] = "TForm1";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_THICKFRAME | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// Command identifiers. The controls keep clear of IDOK and IDCANCEL, which
// the keyboard navigation sends for Enter and Escape.
enum : WORD {
  kComItem = 100,  // + n for "COM &n"
  kAboutItem = 110,
  kExitItem = 111,
  kButton1 = 1001,
  kButton2 = 1002,
  kButton3 = 1003,
  kMemo1 = 1004,
};

// The one Win32 timer that wakes the core when its next timer is due.
constexpr UINT_PTR kWakeTimer = 1;

HWND Child(HWND parent, const char* cls, const fwdl::form::Control& c, DWORD style, WORD id,
           HFONT font) {
  HWND h = CreateWindowExA(0, cls, c.text, WS_CHILD | WS_CLIPSIBLINGS | style, c.place.left,
                           c.place.top, c.place.width, c.place.height, parent,
                           reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                           GetModuleHandleA(nullptr), nullptr);
  SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return h;
}

// The program's 8-bit texts for the wide-character task dialog.
std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// What MB_TASKMODAL does for a message box: the thread's windows take no
// input while a box that has no owner is open.
class ThreadWindowsDisabled {
 public:
  ThreadWindowsDisabled() {
    EnumThreadWindows(GetCurrentThreadId(), Disable, reinterpret_cast<LPARAM>(&disabled_));
  }
  ~ThreadWindowsDisabled() {
    for (HWND hwnd : disabled_) EnableWindow(hwnd, TRUE);
  }
  ThreadWindowsDisabled(const ThreadWindowsDisabled&) = delete;
  ThreadWindowsDisabled& operator=(const ThreadWindowsDisabled&) = delete;

 private:
  static BOOL CALLBACK Disable(HWND hwnd, LPARAM list) {
    if (IsWindowEnabled(hwnd) && IsWindowVisible(hwnd)) {
      EnableWindow(hwnd, FALSE);
      reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
    }
    return TRUE;
  }
  std::vector<HWND> disabled_;
};

}  // namespace

// A box with the fixed text and, behind "Show Details...", the reason: the
// task dialog of the common controls 6 (the manifest asks for them). The
// button pressed, or nothing where the system has no task dialog.
std::optional<int> ShowTaskDialog(const std::string& text, const std::string& caption,
                                  bool ok_cancel, const std::string& details) {
  using TaskDialogIndirectProc = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
  static const auto task_dialog = reinterpret_cast<TaskDialogIndirectProc>(reinterpret_cast<void*>(
      GetProcAddress(LoadLibraryA("comctl32.dll"), "TaskDialogIndirect")));
  if (!task_dialog) return std::nullopt;
  std::wstring content = Wide(text);
  for (std::size_t at = 0; (at = content.find(L"\r\n", at)) != std::wstring::npos;) {
    content.erase(at, 1);  // the dialog breaks lines at line feeds
  }
  const std::wstring title = Wide(caption), expanded = Wide(details);
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_SIZE_TO_CONTENT;
  config.dwCommonButtons = TDCBF_OK_BUTTON | (ok_cancel ? TDCBF_CANCEL_BUTTON : 0);
  // A blank title, where the caption is empty: the dialog would put the
  // program's file name there.
  config.pszWindowTitle = title.empty() ? L" " : title.c_str();
  config.pszContent = content.c_str();
  config.pszExpandedInformation = expanded.c_str();
  config.pszCollapsedControlText = L"Show Details...";
  config.pszExpandedControlText = L"Hide Details...";
  int pressed = IDCANCEL;
  ThreadWindowsDisabled modal;
  if (FAILED(task_dialog(&config, &pressed, nullptr, nullptr))) return std::nullopt;
  return pressed;
}

void ShowStandardError(const char* text) {
  MessageBoxA(nullptr, text, form::kApplicationTitle, MB_OK | MB_ICONERROR);
}

TForm1::TForm1(fwdl::SerialPorts& ports)
    : core_(*this, ports),
      handlers_([](const std::string& text) { ShowStandardError(text.c_str()); },
                [this] { FinishClose(); }) {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassExA(&wc);

  font_ = SansSerif(form::kFontHeight);
  progress_font_ = SansSerif(form::kProgressFontHeight);
  BuildMenu();
  RECT frame{0, 0, form::kClientWidth, form::kClientHeight};
  AdjustWindowRectEx(&frame, kStyle, TRUE, 0);
  Form1 = CreateWindowExA(0, kClassName, form::kCaption, kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                          frame.right - frame.left, frame.bottom - frame.top, nullptr, MainMenu1,
                          instance, this);
  if (!Form1) throw std::runtime_error("Cannot create the main window.");
  BuildControls();
  BuildPortTip();
  core_.FormCreate();
  Form2 = std::make_unique<TForm2>(Form1);

  // A client area of 303 by 145 below the menu bar (which may have wrapped
  // onto a second line), in the centre of the screen.
  RECT client;
  GetClientRect(Form1, &client);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top + form::kClientHeight - client.bottom;
  RECT work;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  SetWindowPos(Form1, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, width, height,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

TForm1::~TForm1() {
  if (woken_) timeEndPeriod(1);
  if (Form1 && !handlers_.closed()) DestroyWindow(Form1);
  DeleteObject(font_);
  DeleteObject(progress_font_);
}

void TForm1::BuildControls() {
  // Children are created in tab order, which is also their stacking order:
  // the buttons lie over Label1, as the form has them.
  Button1 = Child(Form1, "BUTTON", form::Button1, BS_PUSHBUTTON | WS_TABSTOP, kButton1, font_);
  Button2 = Child(Form1, "BUTTON", form::Button2, BS_PUSHBUTTON | WS_TABSTOP, kButton2, font_);
  Button3 = Child(Form1, "BUTTON", form::Button3, BS_PUSHBUTTON | WS_TABSTOP, kButton3, font_);
  Memo1 = Child(Form1, "EDIT", form::Memo1,
                WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                    ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL,
                kMemo1, font_);
  SendMessageA(Memo1, EM_SETLIMITTEXT, 0, 0);  // no 32 KB limit on the log
  Label2 = Child(Form1, "STATIC", form::Label2, WS_VISIBLE | SS_CENTER | SS_NOPREFIX, 0, font_);
  Label1 = Child(Form1, "STATIC", form::Label1, WS_VISIBLE | SS_CENTER | SS_NOPREFIX, 0,
                 progress_font_);
}

void TForm1::BuildMenu() {
  MainMenu1 = CreateMenu();
  Port1 = CreatePopupMenu();
  for (int n = 1; n <= form::kPorts; ++n) {
    const std::string caption = form::kPortItem + std::to_string(n);
    AppendMenuA(Port1, MF_STRING, kComItem + n, caption.c_str());
  }
  AppendMenuA(MainMenu1, MF_POPUP, reinterpret_cast<UINT_PTR>(Port1), form::kPortMenu);
  AppendMenuA(MainMenu1, MF_STRING, kAboutItem, form::kAboutMenu);
  AppendMenuA(MainMenu1, MF_STRING, kExitItem, form::kExitMenu);
}

// A system menu shows no tooltips: a tracking tooltip stands beside the
// highlighted COM item instead, as the Qt window's menu shows them. Its
// window text is the tip as well, for screen readers.
void TForm1::BuildPortTip() {
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_BAR_CLASSES};
  InitCommonControlsEx(&classes);
  PortTip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                            WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, Form1, nullptr, GetModuleHandleA(nullptr),
                            nullptr);
  if (!PortTip) return;
  TOOLINFOA tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
  tool.hwnd = Form1;
  tool.uId = 1;
  tool.lpszText = const_cast<char*>("");
  SendMessageA(PortTip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageA(PortTip, TTM_SETMAXTIPWIDTH, 0, 520);
}

void TForm1::DescribePorts() {
  port_descriptions_.clear();
  for (int n = 1; n <= form::kPorts; ++n) {
    port_descriptions_.push_back(fwdl::DescribePort("COM" + std::to_string(n)));
  }
}

void TForm1::ShowPortTip(HMENU menu, UINT item, UINT flags) {
  if (!PortTip) return;
  TOOLINFOA tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = Form1;
  tool.uId = 1;
  const int n = static_cast<int>(item) - kComItem;
  RECT place;
  const bool com_item = menu == Port1 && flags != 0xFFFF && !(flags & MF_POPUP) && n >= 1 &&
                        n <= static_cast<int>(port_descriptions_.size()) &&
                        GetMenuItemRect(Form1, Port1, static_cast<UINT>(n - 1), &place);
  if (!com_item) {
    SendMessageA(PortTip, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
    return;
  }
  std::string& text = port_descriptions_[static_cast<std::size_t>(n - 1)];
  tool.lpszText = text.data();
  SendMessageA(PortTip, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&tool));
  SetWindowTextA(PortTip, text.c_str());
  SendMessageA(PortTip, TTM_TRACKPOSITION, 0, MAKELPARAM(place.right + 4, place.top));
  SendMessageA(PortTip, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
}

int TForm1::Run() {
  ShowWindow(Form1, SW_SHOWNORMAL);
  UpdateWindow(Form1);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) Dispatch(msg);
  return static_cast<int>(msg.wParam);
}

void TForm1::Dispatch(MSG& msg) {
  // Only keys take part in the navigation; timer ticks go straight through.
  if (msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST) {
    if (Form2 && IsDialogMessageA(Form2->Form2, &msg)) return;
    if (Form1 && IsDialogMessageA(Form1, &msg)) return;
  }
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
}

LRESULT CALLBACK TForm1::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<TForm1*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->Form1 = hwnd;
  }
  auto* self = reinterpret_cast<TForm1*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcA(hwnd, message, wparam, lparam);
  return self->Message(message, wparam, lparam);
}

LRESULT TForm1::Message(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wparam) == 0 || HIWORD(wparam) == BN_CLICKED) Command(LOWORD(wparam));
      return 0;
    case WM_TIMER:
      Tick(wparam);
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wparam) != WA_INACTIVE && OnShownButton(pending_focus_)) {
        SetFocus(std::exchange(pending_focus_, nullptr));
        return 0;
      }
      pending_focus_ = nullptr;
      break;
    case WM_CLOSE:
      // Closed by the window manager or Alt+F4: the same as the Exit
      // command, and refused where Exit is (during a HEX download).
      if (handlers_.closed()) {
        DestroyWindow(Form1);
      } else if (exit_enabled_) {
        handlers_.Run([&] { Exit1Click(); });
      }
      return 0;
    case WM_INITMENUPOPUP:
      if (reinterpret_cast<HMENU>(wparam) == Port1) DescribePorts();
      break;
    case WM_MENUSELECT:
      ShowPortTip(reinterpret_cast<HMENU>(lparam), LOWORD(wparam), HIWORD(wparam));
      break;
    case WM_EXITMENULOOP:
      ShowPortTip(nullptr, 0, 0xFFFF);
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrA(Form1, GWLP_USERDATA, 0);
      break;
  }
  return DefWindowProcA(Form1, message, wparam, lparam);
}

void TForm1::Command(WORD id) {
  if (id > kComItem && id <= kComItem + form::kPorts) {
    handlers_.Run([&] { SelectPort(id - kComItem); });
    return;
  }
  switch (id) {
    case kAboutItem: handlers_.Run([&] { About1Click(); }); break;
    case kExitItem: handlers_.Run([&] { Exit1Click(); }); break;
    case kButton1: handlers_.Run([&] { Button1Click(); }); break;
    case kButton2: handlers_.Run([&] { Button2Click(); }); break;
    case kButton3: handlers_.Run([&] { Button3Click(); }); break;
    case IDOK: {
      // Enter presses the button that has the focus, as in the Qt window.
      const HWND focus = GetFocus();
      if (OnShownButton(focus)) SendMessageA(focus, BM_CLICK, 0, 0);
      break;
    }
    default: break;
  }
}

void TForm1::Tick(UINT_PTR id) {
  if (id != kWakeTimer) return;
  bool ran = false;
  handlers_.Run([&] { ran = core_.RunDueTimers(); });
  // A tick already queued when the timers changed, or one a moment early,
  // runs nothing: the timer is set again for what is due next, not left to
  // its next beat.
  if (!ran) beats_.reset();
  WakeAt(core_.timers().NextDue());
}

void TForm1::About1Click() { Form2->Show(); }

void TForm1::CloseMainWindow() { handlers_.RequestClose(); }

void TForm1::FinishClose() {
  Form2->Hide();
  DestroyWindow(Form1);
  PostQuitMessage(0);
}

HWND TForm1::button(Button which) const {
  switch (which) {
    case Button::Button1: return Button1;
    case Button::Button2: return Button2;
    case Button::Button3: return Button3;
  }
  return Button1;
}

void TForm1::SetStatusText(const std::string& text) { SetWindowTextA(Label2, text.c_str()); }

void TForm1::SetProgressText(const std::string& text) { SetWindowTextA(Label1, text.c_str()); }

void TForm1::SetButtonVisible(Button which, bool visible) {
  const HWND shown = button(which);
  ShowWindow(shown, visible ? SW_SHOWNA : SW_HIDE);
  // The keyboard starts at the first button shown, unless a shown button
  // holds the focus already (as in the Qt window); while a box or another
  // program has the activation, once the window gets it back.
  if (!visible || OnShownButton(GetFocus()) || OnShownButton(pending_focus_)) return;
  if (GetActiveWindow() == Form1) {
    SetFocus(shown);
  } else {
    pending_focus_ = shown;
  }
}

bool TForm1::OnShownButton(HWND focus) const {
  return (focus == Button1 || focus == Button2 || focus == Button3) && IsWindowVisible(focus);
}

void TForm1::SetMenuEnabled(MenuItem item, bool enabled) {
  const UINT state = enabled ? MF_ENABLED : MF_GRAYED;
  if (item == MenuItem::Port1) {
    EnableMenuItem(MainMenu1, 0, MF_BYPOSITION | state);
  } else {
    EnableMenuItem(MainMenu1, kExitItem, MF_BYCOMMAND | state);
    exit_enabled_ = enabled;
  }
  DrawMenuBar(Form1);
}

fwdl::BoxAnswer TForm1::ShowMessageBox(const std::string& text, const std::string& caption,
                                       fwdl::BoxButtons buttons, const std::string& details) {
  // No owner window: the box stands on its own, as the program's boxes do,
  // and the program's windows take no input while it is open (as under the
  // Qt front end), so that no port choice can start inside it; timer ticks
  // still come. The fixed text stays as it is; the system's reason, when
  // there is one, is offered behind "Show Details...".
  const bool ok_cancel = buttons == fwdl::BoxButtons::OkCancel;
  if (!details.empty()) {
    if (const auto answer = ShowTaskDialog(text, caption, ok_cancel, details)) {
      return *answer == IDCANCEL ? fwdl::BoxAnswer::Cancel : fwdl::BoxAnswer::Ok;
    }
  }
  // Without a task dialog the fixed text stands alone, and the reason
  // follows in a box of its own.
  const UINT type = (ok_cancel ? MB_OKCANCEL : MB_OK) | MB_TASKMODAL;
  const bool cancelled = MessageBoxA(nullptr, text.c_str(), caption.c_str(), type) == IDCANCEL;
  if (!details.empty()) {
    MessageBoxA(nullptr, details.c_str(), caption.c_str(), MB_OK | MB_TASKMODAL | MB_ICONINFORMATION);
  }
  return cancelled ? fwdl::BoxAnswer::Cancel : fwdl::BoxAnswer::Ok;
}

std::optional<std::string> TForm1::RunOpenDialog(FileDialog dialog) {
  const form::Filter& filter =
      dialog == FileDialog::OpenDialog1 ? form::kHexFilter : form::kBinFilter;
  std::string filters = filter.description;
  filters += '\0';
  filters += filter.pattern;
  filters += '\0';
  char path[MAX_PATH] = "";
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = Form1;
  ofn.lpstrFilter = filters.c_str();  // ends in two zeros with the string's own
  ofn.lpstrFile = path;
  ofn.nMaxFile = sizeof path;
  ofn.lpstrInitialDir = form::kDialogDirectory;
  ofn.lpstrTitle = form::kDialogTitle;
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_FILEMUSTEXIST |
              OFN_PATHMUSTEXIST;
  if (!GetOpenFileNameA(&ofn)) return std::nullopt;
  return std::string(path);
}

void TForm1::AppendLogLine(const std::string& line) {
  // Each line ends in CR LF; the first one also ends the initial "Memo1".
  const std::string added = (memo_ends_line_ ? "" : "\r\n") + line + "\r\n";
  memo_ends_line_ = true;
  const LRESULT length = GetWindowTextLengthA(Memo1);
  SendMessageA(Memo1, EM_SETSEL, length, length);
  SendMessageA(Memo1, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
  // The log keeps the newest lines only: an instrument that floods the line
  // must not grow the program without bound. (The count includes the empty
  // line after the last CR LF.)
  const LRESULT excess = SendMessageA(Memo1, EM_GETLINECOUNT, 0, 0) - 1 - kLogLines;
  if (excess > 0) {
    SendMessageA(Memo1, EM_SETSEL, 0, SendMessageA(Memo1, EM_LINEINDEX, excess, 0));
    SendMessageA(Memo1, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
  }
}

void TForm1::WakeAt(std::optional<fwdl::Millis> when) {
  // While the core has timers (the 10 ms poll runs exactly while a port is
  // open), the system's timer runs at 1 ms: its default of about 16 ms
  // would stretch the poll.
  if (when.has_value() != woken_) {
    if (when) {
      timeBeginPeriod(1);
    } else {
      timeEndPeriod(1);
    }
    woken_ = when.has_value();
  }
  if (!when) {
    KillTimer(Form1, kWakeTimer);
    beats_.reset();
    return;
  }
  // Setting the timer is a call to the system (under Wine, to its server)
  // that would otherwise come twice a tick, a hundred times a second while
  // the poll runs: a timer that will beat at the due time anyway is left be.
  const fwdl::Millis now = core_.timers().clock().Now();
  if (beats_ && *when > now && (*when - beats_->from) % beats_->every == 0) return;
  const fwdl::Millis left = std::max<fwdl::Millis>(*when - now, 1);
  SetTimer(Form1, kWakeTimer, static_cast<UINT>(left), nullptr);
  beats_ = Beats{now, std::max<fwdl::Millis>(left, USER_TIMER_MINIMUM)};  // the system's shortest
}

void TForm1::PumpEvents() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {  // for the main loop, which ends on it
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    Dispatch(msg);
  }
}

void TForm1::WaitForEvents() {
  // Sleeps until input, a timer tick or a repaint is waiting.
  MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  PumpEvents();
}
