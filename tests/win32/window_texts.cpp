// Prints what the visible windows of the Wine session show, one line per
// top-level window: its caption, then the text of each visible child, split
// by "|"; line breaks inside a text are written "\n". The tests that drive
// the program under Wine read its labels and message boxes with it. (Edit
// controls keep their text to themselves: another process reads none.)
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Text(HWND hwnd) {
  char text[4096] = "";
  GetWindowTextA(hwnd, text, sizeof text);
  std::string shown;
  for (const char* c = text; *c; ++c) {
    if (*c == '\n') shown += '\\';
    if (*c != '\r') shown += *c == '\n' ? 'n' : *c;
  }
  return shown;
}

BOOL CALLBACK AddChild(HWND child, LPARAM line) {
  if (IsWindowVisible(child)) {
    auto& shown = *reinterpret_cast<std::string*>(line);
    shown += '|';
    shown += Text(child);
  }
  return TRUE;
}

BOOL CALLBACK PrintWindow(HWND hwnd, LPARAM) {
  if (!IsWindowVisible(hwnd)) return TRUE;
  std::string line = Text(hwnd);
  EnumChildWindows(hwnd, AddChild, reinterpret_cast<LPARAM>(&line));
  std::printf("%s\n", line.c_str());
  return TRUE;
}

}  // namespace

int main() {
  EnumWindows(PrintWindow, 0);
  return 0;
}
