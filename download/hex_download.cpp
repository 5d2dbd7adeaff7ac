#include "hex_download.h"

#include <cstring>

#include "download/firmware_file.h"
#include "download/procedure.h"

namespace fwdl {
namespace {

constexpr char kSelectPort[] = "Select the comport that the\r\nInstrument is connected to...";
constexpr char kInstructions[] =
    "1. Remove power and switch off Instrument.\r\n2. Klick OK\r\n3. Connect charger to "
    "Instrument...\r\n\r\nOBS! You have to use external powersupply (charger).\r\n          And "
    "the powerswitch has to be OFF.";
constexpr char kNotHex[] = "Not a valid Instrument-firmware file.";
constexpr char kLostContact[] =
    "Lost contact with Instrument.\r\nYou have to use the external powersupply...";
constexpr char kDownloadError[] = "Error while downloading.\r\nPlease try again...";

constexpr int kPromptAttempts = 20;
constexpr std::uint32_t kContactBytes = 6;  // more than 5 between two ticks
constexpr std::uint32_t kShortestAnswer = 21;

}  // namespace

HexDownload::HexDownload(SerialLink& link, Progress& progress)
    : link_(link), window_(link.window()), progress_(progress) {}

void HexDownload::Timer3Timer() {
  // A ping that the line still holds is not followed by another inside it.
  if (link_.Writing()) return;
  // No port any more: nothing can answer, so the search ends as aborted.
  if (!link_.PortOpen()) {
    window_.SetTimerEnabled(Timer::Timer3, false);
    return;
  }
  if (link_.ComBufPointer >= kContactBytes) {
    window_.SetTimerEnabled(Timer::Timer3, false);
    return;
  }
  link_.ComBufPointer = 0;
  // An instrument that boots or chatters may send a stray XOFF and never
  // the XON; a ping must not be held by it.
  const char ping = 'F';
  link_.WriteToPort(&ping, 1, /*resume_when_held=*/true);
}

void HexDownload::Button2Click() { window_.SetTimerEnabled(Timer::Timer3, false); }

void HexDownload::Button1Click() {
  SerialLink::Procedure running(link_);
  window_.SetMenuEnabled(MenuItem::Exit1, false);
  window_.SetMenuEnabled(MenuItem::Port1, false);
  window_.SetButtonVisible(Button::Button1, false);
  window_.SetButtonVisible(Button::Button3, false);
  progress_.SentBytes = 0;

  if (!StartWithInstructions(link_, kSelectPort, kInstructions)) return;

  // Ping the loader every 50 ms until it answers or the user gives up; no
  // time limit, since the user may take a while with the charger.
  window_.SetStatusText("Searching...");
  window_.SetTimerEnabled(Timer::Timer3, true);
  link_.ComBufPointer = 0;
  window_.SetButtonVisible(Button::Button2, true);
  while (window_.TimerEnabled(Timer::Timer3)) window_.WaitForEvents();
  window_.SetButtonVisible(Button::Button2, false);
  if (link_.ComBufPointer < kContactBytes) {  // aborted before the instrument answered
    window_.SetStatusText("");
    Send('Q');
    RestoreWindow(window_);
    return;
  }

  bool prompt = false;
  for (int attempt = 0; attempt < kPromptAttempts && !prompt; ++attempt) {
    link_.Delay(100);
    prompt = link_.LastByteIs('>');
  }
  if (!prompt) {
    window_.MessageBox(kNoContact, "ERROR", BoxButtons::Ok);
    Send('Q');
    RestoreWindow(window_);
    return;
  }

  window_.SetStatusText("Found Instrument.");
  const auto path = window_.RunOpenDialog(FileDialog::OpenDialog1);
  if (!path) {
    Send('Q');
    ClearLabels(window_);
    RestoreWindow(window_);
    return;
  }
  window_.SetStatusText("");
  HexFile file;  // closed on every way out
  if (!file.Open(*path)) {
    ClearLabels(window_);
    RestoreWindow(window_);
    return;
  }
  if (file.Get() != ':') {  // an empty file fails here too
    window_.MessageBox(kNotHex, "ERROR", BoxButtons::Ok);
    Send('Q');
    RestoreWindow(window_);
    return;
  }

  link_.Delay(500);
  link_.ComBufPointer = 0;
  Send('\r');
  link_.Delay(100);
  if (!link_.LastByteIs('>')) {
    window_.MessageBox(kLostContact, "ERROR", BoxButtons::Ok);
    Send('Q');
    RestoreWindow(window_);
    return;
  }

  // Measuring goes back to the start: the ":" tested above goes out first.
  progress_.TotalBytes = file.Size().value_or(0);
  if (!Send('L')) {
    RestoreWindow(window_);
    return;
  }
  link_.Delay(500);
  if (!Send('Y')) {
    RestoreWindow(window_);
    return;
  }

  window_.SetProgressText("0% done");
  for (int c = file.Get(); c >= 0; c = file.Get()) {
    if (!Send(static_cast<char>(c))) {
      RestoreWindow(window_);
      return;
    }
    window_.PumpEvents();
    link_.ComBufPointer = 0;  // what the loader says meanwhile is not the verdict
    ++progress_.SentBytes;
    window_.SetProgressText(progress_.Text());
  }
  window_.SetProgressText("100% done");
  file.Close();
  link_.Delay(2000);
  ShowVerdict();
}

void HexDownload::ShowVerdict() {
  const std::uint32_t N = link_.ComBufPointer;
  auto& ComBuf = link_.ComBuf;
  if (N < kShortestAnswer) {
    window_.MessageBox(kDownloadError, "ERROR", BoxButtons::Ok);
    ClearLabels(window_);
    RestoreWindow(window_);
    return;
  }
  // The verdict line starts after the last line feed before the answer's
  // last 9 bytes, or at the start of the answer.
  std::uint32_t s = N - 9;
  while (s > 0 && ComBuf[s - 1] != '\n') --s;
  // The line ends 6 bytes before the end of the answer ("?" lines) or 9
  // bytes before it, or earlier at a zero byte.
  auto line = [&](std::uint32_t end) {
    ComBuf[end] = 0;
    const char* start = reinterpret_cast<const char*>(&ComBuf[s]);
    return std::string(start, strnlen(start, end - s));
  };
  if (ComBuf[s] == '?') {
    window_.MessageBox("Error while downloading.\r\n'" + line(N - 6) + "'\r\nPlease try again...",
                       "ERROR", BoxButtons::Ok);
    ClearLabels(window_);
    RestoreWindow(window_);
    return;
  }
  const std::string verdict = line(N - 9);
  Send('Q');
  window_.MessageBox(verdict, "INFO", BoxButtons::Ok);
  link_.Exit1Click();
  ClearLabels(window_);
  RestoreWindow(window_);
}

}  // namespace fwdl
