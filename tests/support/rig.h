// The program's core owned by a scripted window, on fake ports and a fake
// clock, as a front end owns it.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "download/core.h"
#include "fake_ports.h"
#include "scripted_window.h"

namespace fwdl::testing {

struct LinkRig {
  // The bytes held since the count was last reset.
  std::string Held() const {
    return std::string(link.received().held());
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

  // After a lost port: no port, no download buttons, the port menu and Exit
  // usable, and the program still running.
  bool InNoPortState() const {
    return !link.PortOpen() && window.label2 == "Select Port..." && window.label1.empty() &&
           !window.visible[0] && !window.visible[2] && window.port1_enabled &&
           window.exit1_enabled && !window.closed;
  }

  FakeClock clock;
  FakePorts ports{clock};
  ScriptedWindow window{clock, ports};
  Core& core = window.core;
  SerialLink& link = core.link();
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
