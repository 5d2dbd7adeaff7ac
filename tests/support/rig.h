// The serial link and the download procedures wired to a scripted window
// and fake ports on a fake clock, as the main window wires them.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "download/dvb_download.h"
#include <algorithm>
#include <memory>
#include <vector>

#include "download/hex_download.h"
#include "fake_ports.h"
#include "scripted_window.h"
#include "serial/serial_link.h"

namespace fwdl::testing {

struct LinkRig {
  LinkRig() {
    window.on_tick[0] = [this] { link.Timer1Timer(); };
    window.on_tick[1] = [this] { link.Timer2Timer(); };
    window.on_tick[2] = [this] { hex.Timer3Timer(); };
  }
  // The bytes held since the count was last reset.
  std::string Held() const {
    return std::string(reinterpret_cast<const char*>(link.ComBuf.data()), link.ComBufPointer);
  }
  // COM1, where the tests' instrument sits.
  FakeDevice& dev() { return ports.device("COM1"); }
  const std::string& Written() { return dev().written; }
  // Puts a simulated instrument on COM1.
  void UseInstrument(const sim::Options& options) {
    instrument = std::make_unique<sim::Instrument>(options);
    dev().instrument = instrument.get();
  }
  // The window's last four events are the restore sequence.
  bool EndsWithRestore() const {
    static const std::vector<std::string> restore = {"Button1 shown", "Button3 shown",
                                                     "Exit1 enabled", "Port1 enabled"};
    return window.events.size() >= restore.size() &&
           std::equal(restore.begin(), restore.end(), window.events.end() - 4);
  }

  FakeClock clock;
  ScriptedWindow window{clock};
  FakePorts ports{clock};
  SerialLink link{window, ports};
  Progress progress;
  HexDownload hex{link, progress};
  DvbDownload dvb{link, progress};
  std::unique_ptr<sim::Instrument> instrument;
};

// A file in a fresh temporary folder, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::string& content, const std::string& name = "firmware") {
    static int counter = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("fwdl-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(dir_);
    path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
  }
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  std::string path;

 private:
  std::filesystem::path dir_;
};

// Every byte value, then a repeating pattern, `size` bytes in all.
inline std::string EveryByteImage(std::size_t size) {
  std::string image(size, '\0');
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
  for (std::size_t i = 0; i < size && i < 256; ++i) image[i] = static_cast<char>(i);
  return image;
}

}  // namespace fwdl::testing
