// The serial link and the download procedures wired to a scripted window
// and fake ports on a fake clock, as the main window wires them.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "download/dvb_download.h"
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

  FakeClock clock;
  ScriptedWindow window{clock};
  FakePorts ports{clock};
  SerialLink link{window, ports};
  Progress progress;
  HexDownload hex{link, progress};
  DvbDownload dvb{link, progress};
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
