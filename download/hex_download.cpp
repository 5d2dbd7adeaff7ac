#include "hex_download.h"

#include <array>
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
// The file goes out in runs of this many characters, some 11 ms of the
// line: few write calls, a window that stays live, a percentage that climbs.
constexpr std::size_t kRunSize = 64;

}  // namespace

void HexDownload::Timer3Timer() {
  // A ping that the line still holds is not followed by another inside it.
  if (link_.Writing()) return;
  // No port any more: nothing can answer, so the search ends as aborted.
  if (!link_.PortOpen()) {
    link_.timers().SetEnabled(Timer::Timer3, false);
    return;
  }
  if (link_.received().count() >= kContactBytes) {
    link_.timers().SetEnabled(Timer::Timer3, false);
    return;
  }
  link_.StartExchange();
  // An instrument that boots or chatters may send a stray XOFF and never
  // the XON; a ping must not be held by it.
  const char ping = 'F';
  link_.WriteToPort(&ping, 1, /*resume_when_held=*/true);
}

void HexDownload::Button2Click() { link_.timers().SetEnabled(Timer::Timer3, false); }

Outcome HexDownload::Button1Click() {
  SerialLink::Procedure running(link_);
  window_.SetMenuEnabled(MenuItem::Exit1, false);
  window_.SetMenuEnabled(MenuItem::Port1, false);
  window_.SetButtonVisible(Button::Button1, false);
  window_.SetButtonVisible(Button::Button3, false);
  progress_.SentBytes = 0;

  if (const auto end = StartWithInstructions(kSelectPort, kInstructions)) return *end;

  // Ping the loader every 50 ms until it answers or the user gives up; no
  // time limit, since the user may take a while with the charger.
  phase_ = Phase::kWakeUp;
  window_.SetStatusText("Searching...");
  link_.timers().SetEnabled(Timer::Timer3, true);
  link_.StartExchange();
  window_.SetButtonVisible(Button::Button2, true);
  while (link_.timers().Enabled(Timer::Timer3)) window_.WaitForEvents();
  window_.SetButtonVisible(Button::Button2, false);
  if (link_.received().count() < kContactBytes) {  // aborted before the instrument answered
    return End(Outcome::kSearchAborted, [&] {
      window_.SetStatusText("");
      Send('Q');
      RestoreWindow();
    });
  }

  phase_ = Phase::kSearch;
  bool prompt = false;
  for (int attempt = 0; attempt < kPromptAttempts && !prompt; ++attempt) {
    link_.Delay(100);
    prompt = link_.LastByteIs('>');
  }
  if (!prompt) {
    return End(Outcome::kNoContact, [&] {
      window_.MessageBox(kNoContact, "ERROR", BoxButtons::Ok);
      Send('Q');
      RestoreWindow();
    });
  }

  phase_ = Phase::kFileChoice;
  window_.SetStatusText("Found Instrument.");
  const auto path = window_.RunOpenDialog(FileDialog::OpenDialog1);
  if (!path) {
    return End(Outcome::kCancelled, [&] {
      Send('Q');
      ClearLabels();
      RestoreWindow();
    });
  }
  window_.SetStatusText("");
  HexFile file;  // closed on every way out
  if (!OpenChosenFile(file, *path)) {
    return End(Outcome::kFileUnreadable, [&] {
      ClearLabels();
      RestoreWindow();
    });
  }
  if (file.Get() != ':') {  // an empty file fails here too
    return End(Outcome::kFileNotHex, [&] {
      window_.MessageBox(kNotHex, "ERROR", BoxButtons::Ok);
      Send('Q');
      RestoreWindow();
    });
  }

  link_.Delay(500);
  link_.StartExchange();
  Send('\r');
  link_.Delay(100);
  if (!link_.LastByteIs('>')) {
    return End(Outcome::kLostContact, [&] {
      window_.MessageBox(kLostContact, "ERROR", BoxButtons::Ok);
      Send('Q');
      RestoreWindow();
    });
  }

  // Measuring goes back to the start: the ":" tested above goes out first.
  progress_.TotalBytes = file.Size().value_or(0);
  if (!Send('L')) return End(Outcome::kExited, [&] { RestoreWindow(); });
  link_.Delay(500);
  if (!Send('Y')) return End(Outcome::kExited, [&] { RestoreWindow(); });

  phase_ = Phase::kSending;
  window_.SetProgressText("0% done");
  std::array<char, kRunSize> run;
  for (;;) {
    std::uint32_t size = 0;
    for (int c = 0; size < run.size() && (c = file.Get()) >= 0;) run[size++] = static_cast<char>(c);
    if (size == 0) break;
    // A port that closed or went during the write took the rest of the run
    // with it: only what went out is counted, and the transfer ends here.
    const std::uint32_t sent = link_.WriteToPort(run.data(), size);
    progress_.SentBytes += sent;
    if (sent < size || !link_.PortOpen()) return End(Outcome::kExited, [&] { RestoreWindow(); });
    window_.PumpEvents();
    link_.StartExchange();  // what the loader says meanwhile is not the verdict
    window_.SetProgressText(progress_.Text());
  }
  window_.SetProgressText("100% done");
  phase_ = Phase::kResult;
  file.Close();
  link_.Delay(2000);
  return ShowVerdict();
}

Outcome HexDownload::ShowVerdict() {
  const ReceiveBuffer& answer = link_.received();
  if (answer.count() < kShortestAnswer) {
    answer_ = answer.held();
    return End(Outcome::kDownloadFailed, [&] {
      window_.MessageBox(kDownloadError, "ERROR", BoxButtons::Ok);
      ClearLabels();
      RestoreWindow();
    });
  }
  // The verdict line starts after the last line feed before the answer's
  // last 9 bytes, or at the start of the answer. It ends 6 bytes before the
  // end of the answer ("?" lines) or 9 bytes before it, or earlier at a
  // zero byte.
  const std::string_view from = answer.LastLineBefore(9);
  auto line = [&](std::size_t cut) {
    const std::string_view window = from.substr(0, from.size() - cut);
    return std::string(window.substr(0, window.find('\0')));
  };
  // A verdict line was read: it is the outcome, even where the line has
  // gone since it came.
  if (from[0] == '?') {
    answer_ = line(6);
    return End(
        Outcome::kErrorVerdict,
        [&] {
          window_.MessageBox("Error while downloading.\r\n'" + answer_ + "'\r\nPlease try again...",
                             "ERROR", BoxButtons::Ok);
          ClearLabels();
          RestoreWindow();
        },
        /*answered=*/true);
  }
  answer_ = line(9);
  return End(
      Outcome::kSuccess,
      [&] {
        Send('Q');
        window_.MessageBox(answer_, "INFO", BoxButtons::Ok);
        link_.Exit1Click();
        ClearLabels();
        RestoreWindow();
      },
      /*answered=*/true);
}

}  // namespace fwdl
