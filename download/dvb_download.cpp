#include "dvb_download.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "download/dvb_header.h"
#include "download/escape.h"
#include "download/firmware_file.h"

namespace fwdl {
namespace {

constexpr char kSelectPort[] = "Select the comport that the\r\ninstrument is connected to...";
constexpr char kInstructions[] =
    "1. Turn on the instrument.\r\n2. Wait for instrument to startup completely.\r\n3. Klick "
    "OK.\r\n";
constexpr char kEmptyFile[] = "The firmware file is empty.";
constexpr char kFileTooLarge[] = "The firmware file is too large.";
constexpr std::string_view kSuccess = "Flashed successfully...";

constexpr int kPromptAttempts = 20;
constexpr int kGoAheadAttempts = 20;
constexpr int kResultAttempts = 60;
constexpr std::size_t kChunkSize = 1024;
constexpr std::size_t kAnswerKept = 256;  // of what came after the image, for the record

}  // namespace

bool DvbDownload::SendEscaped(const std::uint8_t* data, std::uint32_t count,
                              std::uint32_t& consumed) {
  consumed = 0;
  if (!link_.PortOpen()) return false;
  // The whole encoded run in one write: where every write call costs a USB
  // frame, a call per byte would hold the line to a sixth of its speed.
  std::vector<std::uint8_t> line;
  line.reserve(std::size_t{count} * 3);
  for (std::uint32_t i = 0; i < count; ++i) {
    const LineBytes encoded = Escape(data[i]);
    line.insert(line.end(), encoded.bytes.begin(), encoded.bytes.begin() + encoded.size);
  }
  const std::uint32_t written = link_.WriteToPort(line.data(), static_cast<std::uint32_t>(line.size()));
  // Consumed: the bytes whose encoding went out whole.
  for (std::size_t end = 0; consumed < count; ++consumed) {
    end += Escape(data[consumed]).size;
    if (end > written) break;
  }
  return consumed == count;
}

bool DvbDownload::FlashedSuccessfully() const {
  // Anywhere among the held bytes: a short report, or one followed by a
  // prompt and more, is still a success. Zero bytes do not end the search.
  return link_.received().Contains(kSuccess);
}

Outcome DvbDownload::Button3Click() {
  SerialLink::Procedure running(link_);
  window_.SetMenuEnabled(MenuItem::Port1, false);
  window_.SetButtonVisible(Button::Button1, false);
  window_.SetButtonVisible(Button::Button3, false);
  progress_.SentBytes = 0;

  if (const auto end = StartWithInstructions(kSelectPort, kInstructions)) return *end;

  phase_ = Phase::kSearch;
  window_.SetStatusText("Searching...");
  link_.StartExchange();  // once: the prompt must be the newest byte of all
  bool prompt = false;
  for (int attempt = 0; attempt < kPromptAttempts && !prompt; ++attempt) {
    link_.SendBytes("\r", 1);
    link_.Delay(100);
    prompt = link_.LastByteIs('>');
  }
  if (!prompt) {
    return End(Outcome::kNoContact, [&] {
      window_.MessageBox(kNoContact, "ERROR", BoxButtons::Ok);
      RestoreWindow();
    });
  }

  phase_ = Phase::kFileChoice;
  window_.SetStatusText("Found Instrument.");
  const auto path = window_.RunOpenDialog(FileDialog::OpenDialog2);
  if (!path) {
    return End(Outcome::kCancelled, [&] {
      ClearLabels();
      RestoreWindow();
    });
  }
  window_.SetStatusText("Preparing for download.");
  FirmwareFile file;  // closed on every way out
  if (!OpenChosenFile(file, *path)) {
    return End(Outcome::kFileUnreadable, [&] {
      ClearLabels();
      RestoreWindow();
    });
  }
  link_.StartExchange();
  // The header states the size in 32 bits; a file that cannot be measured
  // or stated there, or an empty one that holds no image, is refused
  // before the instrument hears of it.
  const auto size = file.Size();
  if (!size || !DvbImageSizeFits(*size)) {
    const Outcome refused = !size        ? Outcome::kFileUnreadable
                            : *size == 0 ? Outcome::kFileEmpty
                                         : Outcome::kFileTooLarge;
    return End(refused, [&] {
      if (refused != Outcome::kFileUnreadable) {
        window_.MessageBox(refused == Outcome::kFileEmpty ? kEmptyFile : kFileTooLarge, "ERROR",
                           BoxButtons::Ok);
      }
      file.Close();
      ClearLabels();
      RestoreWindow();
    });
  }
  progress_.TotalBytes = *size;
  window_.PumpEvents();

  if (!link_.SendBytes("SX\r", 3)) return End(Outcome::kExited, [&] { RestoreWindow(); });
  bool go_ahead = false;
  for (int attempt = 0; attempt < kGoAheadAttempts && !go_ahead; ++attempt) {
    link_.Delay(1000);
    go_ahead = link_.LastByteIs('#');
    if (!go_ahead) window_.PumpEvents();
  }
  if (!go_ahead) {
    return End(Outcome::kNoContact, [&] {
      window_.MessageBox(kNoContact, "ERROR", BoxButtons::Ok);
      RestoreWindow();
    });
  }

  phase_ = Phase::kSending;
  window_.SetProgressText("0% done");
  link_.Delay(200);
  // The header goes out as it stands, never escaped, in four writes: the
  // two constant bytes, the marker, the length.
  const auto header = DvbHeader(static_cast<std::uint32_t>(*size));
  link_.SendBytes(&header[0], 1);
  link_.SendBytes(&header[1], 1);
  link_.SendBytes(&header[2], 4);
  link_.SendBytes(&header[6], 4);
  window_.SetStatusText("Downloading.");

  // Exactly the announced length goes out: a file that grows meanwhile
  // sends no more, and one that shrinks or fails to read ends the transfer
  // as a failure, since the instrument would wait for the rest.
  std::array<std::uint8_t, kChunkSize> chunk;
  std::uint64_t left = *size;
  while (left > 0 && link_.PortOpen()) {
    const std::size_t got = file.Read(chunk.data(), std::min<std::uint64_t>(left, chunk.size()));
    if (got == 0) break;
    left -= got;
    window_.PumpEvents();
    link_.StartExchange();
    std::uint32_t consumed = 0;
    SendEscaped(chunk.data(), static_cast<std::uint32_t>(got), consumed);
    progress_.SentBytes += consumed;
    window_.SetProgressText(progress_.Text());
    window_.PumpEvents();
  }
  bool flashed = false;
  if (left > 0 || !link_.PortOpen()) {
    file.Close();  // the image is incomplete: no minute of waiting for it
  } else {
    phase_ = Phase::kResult;
    window_.SetProgressText("FLASHING");
    window_.SetStatusText("This takes 1 minute.");
    file.Close();
    for (int attempt = 0; attempt < kResultAttempts && !flashed; ++attempt) {
      link_.Delay(1000);
      flashed = FlashedSuccessfully();
      if (!flashed) window_.PumpEvents();
    }
  }
  // What the instrument said after the image: its report, or whatever else.
  const std::string_view held = link_.received().held();
  answer_ = held.substr(held.size() - std::min(held.size(), kAnswerKept));
  // A report found is the outcome, even where the line has gone since it came.
  return End(
      flashed ? Outcome::kSuccess : Outcome::kDownloadFailed,
      [&] {
        if (flashed) {
          window_.MessageBox("Download comleted.\r\n\r\nPower off instrument.", "Info",
                             BoxButtons::Ok);
        } else {
          window_.MessageBox("Download failed.\r\n\r\nPlease try again.", "Info", BoxButtons::Ok);
        }
        link_.Exit1Click();
        ClearLabels();
        RestoreWindow();
      },
      /*answered=*/flashed);
}

}  // namespace fwdl
