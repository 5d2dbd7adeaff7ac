// The About window: borderless, centred, hidden until the About command
// shows it; "Ok" hides it again. Never modal, never destroyed before the
// program ends.
#pragma once

#include <windows.h>

class TForm2 {
 public:
  // Created hidden, owned by the main window so that it stays above it and
  // out of the task bar.
  explicit TForm2(HWND owner);
  ~TForm2();
  TForm2(const TForm2&) = delete;
  TForm2& operator=(const TForm2&) = delete;

  void Show() { ShowWindow(Form2, SW_SHOW); }
  void Hide() { ShowWindow(Form2, SW_HIDE); }
  void Button1Click() { Hide(); }

  HWND Form2 = nullptr;
  HWND StaticText1 = nullptr;
  HWND StaticText2 = nullptr;
  HWND StaticText3 = nullptr;
  HWND StaticText4 = nullptr;
  HWND StaticText5 = nullptr;
  HWND Button1 = nullptr;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Message(UINT message, WPARAM wparam, LPARAM lparam);
  // Panel1: the panel colour inside a raised bevel.
  void PaintPanel(HDC dc) const;

  HBRUSH panel_brush_ = nullptr;
  HFONT font_ = nullptr;
  HFONT bold_font_ = nullptr;
};
