#include "Aboutunit.h"

#include <algorithm>
#include <stdexcept>

#include "app/form.h"
#include "look.h"

namespace {

namespace form = fwdl::form::about;

constexpr char kClassName[] = "TForm2";
constexpr WORD kButton1 = 1001;  // clear of IDOK and IDCANCEL

int TextWidth(HWND control, HFONT font, const char* text) {
  const HDC dc = GetDC(control);
  const HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return size.cx;
}

}  // namespace

TForm2::TForm2(HWND owner) {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  panel_brush_ = CreateSolidBrush(
      RGB(form::kPanelColour.red, form::kPanelColour.green, form::kPanelColour.blue));
  font_ = SansSerif(form::kFontHeight, false);
  bold_font_ = SansSerif(form::kFontHeight, true);

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = panel_brush_;
  wc.lpszClassName = kClassName;
  RegisterClassExA(&wc);

  RECT work;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  Form2 = CreateWindowExA(0, kClassName, "Form2", WS_POPUP | WS_CLIPCHILDREN,
                          work.left + (work.right - work.left - form::kClientWidth) / 2,
                          work.top + (work.bottom - work.top - form::kClientHeight) / 2,
                          form::kClientWidth, form::kClientHeight, owner, nullptr, instance, this);
  if (!Form2) throw std::runtime_error("Cannot create the About window.");

  // Created in tab order; only the button is a tab stop.
  for (const fwdl::form::Control* c : form::kTabOrder) {
    const bool is_button = c == &form::Button1;
    HWND h = CreateWindowExA(
        0, is_button ? "BUTTON" : "STATIC", c->text,
        WS_CHILD | WS_VISIBLE | (is_button ? BS_PUSHBUTTON | WS_TABSTOP : SS_LEFTNOWORDWRAP | SS_NOPREFIX),
        c->place.left, c->place.top, c->place.width, c->place.height, Form2,
        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(is_button ? kButton1 : 0)), instance,
        nullptr);
    const HFONT font = c == &form::StaticText4 ? bold_font_ : font_;
    SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    // Static texts grow to their text on one line, as auto-sized texts do,
    // where the system's font runs wider than the designer's; one that would
    // then reach into the bevel moves left instead.
    if (!is_button) {
      const int width = TextWidth(h, font, c->text);
      const int right_edge = form::kClientWidth - form::kBevelWidth - 1;
      if (width > c->place.width) {
        const int left = std::min(c->place.left, right_edge - width);
        SetWindowPos(h, nullptr, left, c->place.top, width, c->place.height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      }
    }
    if (c == &form::StaticText1) StaticText1 = h;
    if (c == &form::StaticText2) StaticText2 = h;
    if (c == &form::StaticText3) StaticText3 = h;
    if (c == &form::StaticText4) StaticText4 = h;
    if (c == &form::StaticText5) StaticText5 = h;
    if (is_button) Button1 = h;
  }
}

TForm2::~TForm2() {
  if (IsWindow(Form2)) DestroyWindow(Form2);
  DeleteObject(font_);
  DeleteObject(bold_font_);
  DeleteObject(panel_brush_);
}

LRESULT CALLBACK TForm2::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<TForm2*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->Form2 = hwnd;
  }
  auto* self = reinterpret_cast<TForm2*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self || message == WM_NCDESTROY) return DefWindowProcA(hwnd, message, wparam, lparam);
  return self->Message(message, wparam, lparam);
}

LRESULT TForm2::Message(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      // The button, or Enter and Escape (the keyboard navigation sends IDOK
      // and IDCANCEL), as in the Qt window.
      if ((LOWORD(wparam) == kButton1 && HIWORD(wparam) == BN_CLICKED) || LOWORD(wparam) == IDOK ||
          LOWORD(wparam) == IDCANCEL) {
        Button1Click();
      }
      return 0;
    case WM_CTLCOLORSTATIC: {
      // The texts stand on the panel's colour.
      const HDC dc = reinterpret_cast<HDC>(wparam);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(panel_brush_);
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      const HDC dc = BeginPaint(Form2, &ps);
      PaintPanel(dc);
      EndPaint(Form2, &ps);
      return 0;
    }
    case WM_CLOSE:  // never destroyed before the program ends
      Hide();
      return 0;
  }
  return DefWindowProcA(Form2, message, wparam, lparam);
}

void TForm2::PaintPanel(HDC dc) const {
  RECT r;
  GetClientRect(Form2, &r);
  FillRect(dc, &r, panel_brush_);
  // Raised: light above and left, dark below and right, one line per pixel
  // of the bevel's width.
  const HBRUSH light = GetSysColorBrush(COLOR_BTNHIGHLIGHT);
  const HBRUSH dark = GetSysColorBrush(COLOR_BTNSHADOW);
  for (int i = 0; i < form::kBevelWidth; ++i) {
    const RECT top{r.left, r.top, r.right - 1, r.top + 1};
    const RECT left{r.left, r.top, r.left + 1, r.bottom - 1};
    const RECT bottom{r.left, r.bottom - 1, r.right, r.bottom};
    const RECT right{r.right - 1, r.top, r.right, r.bottom};
    FillRect(dc, &top, light);
    FillRect(dc, &left, light);
    FillRect(dc, &bottom, dark);
    FillRect(dc, &right, dark);
    InflateRect(&r, -1, -1);
  }
}
