// The two windows as the form designer laid them out: places, sizes, texts,
// fonts and tab order, written once for every front end (app/qt, app/win32)
// so that they cannot drift apart. Plain data, no toolkit.
//
// Places are in pixels of the window's client area (left, top, width,
// height); font heights are in pixels ("MS Sans Serif" 8 pt is 11 pixels).
#pragma once

#include <array>

namespace fwdl::form {

struct Place {
  int left, top, width, height;
};

struct Control {
  const char* name;  // the component's name, such as "Button1"
  const char* text;  // its caption; empty for a label set at run time
  Place place;
};

inline constexpr char kFontFace[] = "MS Sans Serif";

// Form1: the main window.
namespace main {
inline constexpr char kCaption[] = "Firmware Downloader";
inline constexpr char kApplicationTitle[] = "Firmware DL";  // the task-bar name
inline constexpr int kClientWidth = 303;
inline constexpr int kClientHeight = 145;
inline constexpr int kFontHeight = 11;
inline constexpr int kProgressFontHeight = 24;  // Label1

inline constexpr Control Label2{"Label2", "", {72, 16, 153, 13}};
inline constexpr Control Label1{"Label1", "", {72, 32, 153, 29}};
inline constexpr Control Button1{"Button1", "Send Vardelo Firmware", {72, 40, 161, 25}};
inline constexpr Control Button2{"Button2", "Abort Search...", {112, 40, 81, 25}};
inline constexpr Control Button3{"Button3", "Send DVB Firmware", {72, 72, 161, 25}};
// The receive log lies wholly right of the laid-out client area: only a
// window widened by the user shows it.
inline constexpr Control Memo1{"Memo1", "Memo1", {336, 8, 505, 641}};
inline constexpr std::array<const Control*, 4> kTabOrder = {&Button1, &Button2, &Button3, &Memo1};

inline constexpr char kSelectPort[] = "Select Port...";  // Label2 at start

// The menu bar, left to right; the port menu holds "COM &1" .. "COM &8".
inline constexpr char kPortMenu[] = "&Port";
inline constexpr char kPortItem[] = "COM &";  // followed by the digit
inline constexpr int kPorts = 8;
inline constexpr char kAboutMenu[] = "&About";
inline constexpr char kExitMenu[] = "&Exit";

// The firmware file dialogs.
inline constexpr char kDialogTitle[] = "Open Firmware file";
inline constexpr char kDialogDirectory[] = ".";
struct Filter {
  const char* description;
  const char* pattern;
};
inline constexpr Filter kHexFilter{"Firmware file (*.hex)", "*.hex"};  // OpenDialog1
inline constexpr Filter kBinFilter{"Firmware file (*.bin)", "*.bin"};  // OpenDialog2
}  // namespace main

// Form2: the About window, borderless, on a raised panel.
namespace about {
inline constexpr int kClientWidth = 264;
inline constexpr int kClientHeight = 166;
inline constexpr int kFontHeight = 13;
inline constexpr int kBevelWidth = 3;
struct Colour {
  int red, green, blue;
};
inline constexpr Colour kPanelColour{128, 128, 255};

inline constexpr Control StaticText1{"StaticText1", "Firmware Downloader V1.1", {48, 16, 164, 20}};
inline constexpr Control StaticText2{"StaticText2", "Is used to transfer firmware to ",
                                     {48, 40, 178, 20}};
inline constexpr Control StaticText3{"StaticText3", "VARDELO", {48, 56, 169, 20}};
inline constexpr Control StaticText5{"StaticText5", "With support for DVB firmware upgrade",
                                     {16, 80, 234, 20}};
inline constexpr Control Button1{"Button1", "Ok", {96, 112, 75, 25}};
// The maker's line, in bold.
inline constexpr Control StaticText4{"StaticText4", "Vardelo service", {168, 144, 85, 20}};
inline constexpr std::array<const Control*, 6> kTabOrder = {
    &StaticText1, &StaticText2, &StaticText3, &Button1, &StaticText4, &StaticText5};
}  // namespace about

}  // namespace fwdl::form
