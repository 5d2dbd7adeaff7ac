// The main window "Firmware Downloader" on the plain Win32 API: port menu,
// status and progress labels, the download buttons, the hidden receive log
// and the timers. It implements the window operations for the serial link
// and the download procedures, and hands every event to them through one
// guard that shows an escaped error in the standard error box and lets the
// message loop go on.
#pragma once

#include <windows.h>
#undef MessageBox  // the window operations' own MessageBox, not the macro

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/handlers.h"
#include "download/core.h"
#include "platform/serial_port.h"
#include "platform/window_ops.h"

class TForm2;

class TForm1 final : public fwdl::WindowOps {
 public:
  // Lines the receive log keeps.
  static constexpr int kLogLines = 10000;

  explicit TForm1(fwdl::SerialPorts& ports);
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Shows the window and runs the message loop until the window closes;
  // returns the program's exit code.
  int Run();

  // Handlers.
  void SelectPort(int n) { core_.SelectPort("COM" + std::to_string(n)); }  // Com11Click ..
  void About1Click();
  void Exit1Click() { core_.Exit1Click(); }
  void Button1Click() { core_.Button1Click(); }
  void Button2Click() { core_.Button2Click(); }
  void Button3Click() { core_.Button3Click(); }

  // Window operations.
  void SetStatusText(const std::string& text) override;
  void SetProgressText(const std::string& text) override;
  void SetButtonVisible(fwdl::Button button, bool visible) override;
  void SetMenuEnabled(fwdl::MenuItem item, bool enabled) override;
  fwdl::BoxAnswer ShowMessageBox(const std::string& text, const std::string& caption,
                                 fwdl::BoxButtons buttons, const std::string& details) override;
  std::optional<std::string> RunOpenDialog(fwdl::FileDialog dialog) override;
  void AppendLogLine(const std::string& line) override;
  void WakeAt(std::optional<fwdl::Millis> when) override;
  void PumpEvents() override;
  void WaitForEvents() override;
  void CloseMainWindow() override;

  // Components, named as in the form's design.
  HWND Form1 = nullptr;
  HWND Label1 = nullptr;
  HWND Label2 = nullptr;
  HWND Button1 = nullptr;
  HWND Button2 = nullptr;
  HWND Button3 = nullptr;
  HWND Memo1 = nullptr;
  HMENU MainMenu1 = nullptr;
  HMENU Port1 = nullptr;
  HWND PortTip = nullptr;  // what is behind the highlighted item of the Port menu

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Message(UINT message, WPARAM wparam, LPARAM lparam);
  void BuildControls();
  void BuildMenu();
  void BuildPortTip();
  // The Port menu's items told again as it opens: an adapter plugged in
  // meanwhile shows at once.
  void DescribePorts();
  void ShowPortTip(HMENU menu, UINT item, UINT flags);
  void Command(WORD id);
  void Tick(UINT_PTR id);
  // Closes the window for good once no handler runs any more.
  void FinishClose();
  // Hands one message to its window, with keyboard navigation between the
  // controls of either window.
  void Dispatch(MSG& msg);
  HWND button(fwdl::Button button) const;
  // True for one of the download buttons while it is shown.
  bool OnShownButton(HWND focus) const;

  fwdl::Core core_;
  std::unique_ptr<TForm2> Form2;
  HWND pending_focus_ = nullptr;  // takes the focus when the window is active again
  bool woken_ = false;  // the wake-up timer is set, with the system's timer at 1 ms
  // The wake-up timer repeats at its interval from when it was set: its
  // beats. While the next due time falls on one, it is not set again.
  struct Beats {
    fwdl::Millis from;
    fwdl::Millis every;
  };
  std::optional<Beats> beats_;
  HFONT font_ = nullptr;
  HFONT progress_font_ = nullptr;
  bool memo_ends_line_ = false;
  bool exit_enabled_ = true;
  std::vector<std::string> port_descriptions_;  // COM1 first
  fwdl::Handlers handlers_;
};

// The application's standard error box.
void ShowStandardError(const char* text);

// A box with a fixed text and its details behind "Show Details...": the
// button pressed (IDOK, IDCANCEL), or nothing where the system offers no
// such box.
std::optional<int> ShowTaskDialog(const std::string& text, const std::string& caption,
                                  bool ok_cancel, const std::string& details);
