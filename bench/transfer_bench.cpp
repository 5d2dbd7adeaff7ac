// Measures a whole download by the real main window (offscreen) against
// instrument-sim on a pseudo-terminal reading as fast as it can: the
// transfer rate, the CPU time of the search, the transfer and the waits,
// and the peak memory of the program.
//
//   build/transfer_bench hex examples/demo.hex
//   build/transfer_bench dvb examples/demo.bin
//   build/transfer_bench hex FILE --charger-ms 5000     (a five-second search)
//   build/transfer_bench dvb FILE --flood 50 --baud 57600 (50 MB from the instrument meanwhile)
//   build/transfer_bench dvb FILE --usb-frame --flow program --baud 57600
//       (every write call costs a USB frame, as through an adapter on Windows;
//        the program keeps XON/XOFF)
#include <sys/resource.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/port_options.h"
#include "app/qt/main_window.h"
#include "platform/raw_port.h"
#include "support/sim_process.h"

namespace {

// A USB serial adapter as Windows drives it: each write call becomes its
// own USB transfer and returns a frame (1 ms) later, whatever its size; the
// bytes reach the adapter at the end of the frame.
class UsbFrameModel final : public fwdl::RawPort {
 public:
  explicit UsbFrameModel(fwdl::RawPort& native) : native_(native) {}
  fwdl::PortResult Waiting() override { return native_.Waiting(); }
  fwdl::PortResult Read(void* data, std::uint32_t count) override {
    return native_.Read(data, count);
  }
  fwdl::PortResult Write(const void* data, std::uint32_t count, Clock::time_point until) override {
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return native_.Write(data, count, until);
  }
  std::uint32_t OutputQueued() override { return native_.OutputQueued(); }
  fwdl::PortError WaitForInput(Clock::time_point until) override {
    return native_.WaitForInput(until);
  }
  static inline std::atomic<long> calls{0};

 private:
  fwdl::RawPort& native_;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long PeakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

struct Mark {
  std::string label;
  double wall, cpu;
};

// The main window, noting the moment each label changes.
class MeasuredForm : public TForm1 {
 public:
  using TForm1::TForm1;
  void SetStatusText(const std::string& text) override {
    Note("status " + text);
    TForm1::SetStatusText(text);
  }
  void SetProgressText(const std::string& text) override {
    if (text != last_progress_) Note("progress " + text);
    last_progress_ = text;
    TForm1::SetProgressText(text);
  }
  // The first mark `label` after mark number `after`; its index.
  std::size_t Find(const std::string& label, std::size_t after = 0) const {
    for (std::size_t i = after; i < marks.size(); ++i) {
      if (marks[i].label == label) return i;
    }
    return marks.size();
  }
  std::vector<Mark> marks;

 private:
  void Note(const std::string& label) {
    marks.push_back({label, std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                          start_).count(),
                     CpuSeconds()});
  }
  std::string last_progress_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: transfer_bench hex|dvb FILE [instrument-sim options]\n");
    return 2;
  }
  const bool hex = std::string(argv[1]) == "hex";
  const std::string file = std::filesystem::absolute(argv[2]).string();
  std::vector<std::string> sim_options(argv + 3, argv + argc);
  // The bench's own options come first, the rest goes to the instrument.
  // --flood MB: the instrument floods the line with this many megabytes
  // while the file goes out, a megabyte every 100 ms. --usb-frame: the
  // model of a USB adapter. --flow kernel|program: who keeps XON/XOFF.
  int flood_mb = 0;
  fwdl::PortOptions port_options = fwdl::PortOptionsFromEnvironment();  // FWDL_FLOW, as the program
  bool usb_frame = false;
  for (bool ours = true; ours && !sim_options.empty();) {
    const std::string option = sim_options[0];
    const bool valued = sim_options.size() >= 2 && (option == "--flood" || option == "--flow");
    if (option == "--flood" && valued) flood_mb = std::stoi(sim_options[1]);
    if (option == "--flow" && valued) {
      port_options.flow = sim_options[1] == "program" ? fwdl::FlowMode::kProgram : fwdl::FlowMode::kKernel;
    }
    usb_frame = usb_frame || option == "--usb-frame";
    ours = valued || option == "--usb-frame";
    if (ours) sim_options.erase(sim_options.begin(), sim_options.begin() + (valued ? 2 : 1));
  }
  if (usb_frame) {
    port_options.model = [](fwdl::RawPort& native) { return std::make_unique<UsbFrameModel>(native); };
  }
  if (sim_options.empty()) sim_options = {"--charger-ms", "0", "--flash-ms", "0"};

  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  const auto dir = std::filesystem::temp_directory_path() / "fwdl-bench";
  std::filesystem::create_directories(dir);
  fwdl::testing::SimProcess sim(dir.string(), sim_options, /*keep_errors=*/true);
  port_options.places.com[1] = sim.path;

  fwdl::SystemSerialPorts ports(port_options);
  MeasuredForm form(ports, port_options.places);
  form.show();
  form.COM[0]->trigger();
  const long rss_before = PeakKiB();

  // Answers every box with OK and the dialog with the file.
  QTimer user;
  user.setInterval(50);
  QObject::connect(&user, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      std::printf("box: %s\n", box->text().replace('\n', ' ').toStdString().c_str());
      box->button(QMessageBox::Ok)->click();
    } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
      if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        name->setText(QString::fromStdString(file));
        QMetaObject::invokeMethod(dialog, "accept");
      }
    }
  });
  user.start();
  // How far the instrument has read, every 10 ms: its own view of the
  // transfer, which ends later than the program's by what the system
  // still buffers.
  std::vector<std::pair<double, std::uintmax_t>> instrument_read;
  const auto t0 = std::chrono::steady_clock::now();
  QTimer reader;
  reader.setInterval(10);
  QObject::connect(&reader, &QTimer::timeout, [&] {
    std::error_code ignored;
    const auto size = std::filesystem::file_size(sim.log_path, ignored);
    const double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (instrument_read.empty() || instrument_read.back().second != size) {
      instrument_read.emplace_back(now, size);
    }
  });
  reader.start();
  QTimer flood;
  flood.setInterval(100);
  QObject::connect(&flood, &QTimer::timeout, [&] {
    if (form.Find("progress 0% done") == form.marks.size()) return;
    if (flood_mb-- <= 0) return flood.stop();
    sim.Command("burst 1000000");
  });
  if (flood_mb > 0) flood.start();
  QTimer::singleShot(0, [&] { (hex ? form.Button1 : form.Button3)->click(); });
  QApplication::exec();

  const auto& m = form.marks;
  auto phase = [&](const char* name, std::size_t a, std::size_t b) {
    if (a >= m.size() || b >= m.size()) return 0.0;
    const double wall = m[b].wall - m[a].wall;
    const double cpu = m[b].cpu - m[a].cpu;
    std::printf("%-24s %7.3f s, CPU %.3f s (%.1f %%)\n", name, wall, cpu, 100 * cpu / wall);
    return wall;
  };
  const std::uintmax_t size = std::filesystem::file_size(file);
  const std::uintmax_t sent = hex ? sim.Image().size() : size;
  const std::size_t start = form.Find("progress 0% done");
  const std::size_t end = form.Find(hex ? "progress 100% done" : "progress FLASHING", start);
  std::printf("file: %ju bytes, %ju of them sent to the instrument\n", size, sent);
  const double seconds = phase("transfer", start, end);
  std::printf("rate: %.0f file bytes/s (the line at 57600 baud 8N1 carries 5760 bytes/s)\n",
              static_cast<double>(sent) / seconds);
  if (hex) {
    phase("search and prompt wait", form.Find("status Searching..."),
          form.Find("status Found Instrument."));
    phase("verdict wait", end, form.Find("progress ", end));
  } else {
    phase("prompt search", form.Find("status Searching..."),
          form.Find("status Found Instrument."));
    phase("go-ahead wait", form.Find("status Preparing for download."), start);
    phase("result attempts", end, form.Find("progress ", end));
  }
  // The transfer as the instrument saw it: from the first byte after "LY" or
  // "SX\r" to the last byte of the file (HEX: before the closing "Q").
  const std::string log = sim.Received();
  const std::size_t from = hex ? log.find("LY") + 2 : log.find("SX\r") + 3;
  const std::size_t to = hex ? log.size() - 1 : log.size();
  auto reached = [&](std::uintmax_t size) {
    for (const auto& [when, got] : instrument_read) {
      if (got >= size) return when;
    }
    return -1.0;
  };
  const double seen = reached(to) - reached(from + 1);
  const double minimum = static_cast<double>(to - from) / 5760;
  std::printf("on the wire: %zu bytes; the instrument read them in %.2f s; the line's minimum "
              "at 57600 baud is %.2f s: %.4fx\n",
              to - from, seen, minimum, seen / minimum);
  std::printf("peak resident memory: %ld KiB (%ld KiB before the download)\n", PeakKiB(),
              rss_before);
  std::printf("flow control kept by: %s\n", fwdl::FlowModeName(form.link().Flow()));
  if (usb_frame) {
    std::printf("write calls (a USB frame each): %ld, %.1f wire bytes a call\n",
                UsbFrameModel::calls.load(),
                static_cast<double>(form.link().BytesWritten()) / UsbFrameModel::calls.load());
  }
  if (!hex) std::printf("image received intact: %s\n", sim.Image() == sim.Slurp(file) ? "yes" : "NO");
  // With --rx-buffer the instrument tells on exit what it lost.
  sim.Kill();
  const std::string errors = sim.Errors();
  if (const std::size_t at = errors.rfind("instrument-sim: rx-buffer:"); at != std::string::npos) {
    std::printf("%s", errors.substr(at, errors.find('\n', at) - at + 1).c_str());
  }
  return 0;
}
