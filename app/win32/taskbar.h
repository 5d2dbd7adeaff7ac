// How the program shows itself to the Windows shell. The main window's
// caption is "Firmware Downloader"; the program itself is "Firmware DL",
// the name under which the task bar knows its button: in the button's Jump
// List, when the button is pinned, and in the Start menu.
//
// The task bar names a button after the program, not after a window, once
// it knows which program the window belongs to. It learns that from an
// explicit application ID that the process, the main window and the
// installer's Start-menu shortcut ("Firmware DL") all carry; when the
// program runs from the zip, with no shortcut, from the main window's
// relaunch properties (command, icon, the name "Firmware DL"). Explorer and
// Task Manager read the same name from the version record's
// FileDescription (app/firmware-downloader.rc).
//
// No window is added for it: an owner window that carries the task-bar
// button has to be "visible" to do so, and other window managers (X11
// under Wine) show it as a stray window of its own.
#pragma once

#include <windows.h>

namespace fwdl::win32 {

// Gives the process the program's application ID. Called before any
// window exists, so that every window of the program, the ownerless
// message boxes included, joins the one task-bar button.
void JoinTaskbarButton();

// Gives the main window the program's icon (title bar, task bar, Alt+Tab)
// and the properties that name its button "Firmware DL"; they are taken
// off again when the window is destroyed, as the shell asks. Before the
// window is shown.
void PresentMainWindow(HWND window);

}  // namespace fwdl::win32
