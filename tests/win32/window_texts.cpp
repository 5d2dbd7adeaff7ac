// Prints what the visible windows of the Wine session show, one line per
// top-level window: its caption, then the text of each visible child, split
// by "|"; line breaks inside a text are written "\n". The tests that drive
// the program under Wine read its labels and message boxes with it. (Edit
// controls keep their text to themselves: another process reads none.)
// With --focus it prints the text of the control that has the keyboard
// focus in the active window instead, or nothing.
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

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--focus") {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(0, &info) && info.hwndFocus) std::printf("%s\n", Text(info.hwndFocus).c_str());
    return 0;
  }
  EnumWindows(PrintWindow, 0);
  return 0;
}
