// Measures a whole download by the real main window (offscreen) against
// instrument-sim on a pseudo-terminal reading as fast as it can: the
// transfer rate, the CPU time of the search, the transfer and the waits,
// and the peak memory of the program.
//
//   build/transfer_bench hex examples/demo.hex
//   build/transfer_bench dvb examples/demo.bin
//   build/transfer_bench hex FILE --charger-ms 5000     (a five-second search)
#include <sys/resource.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "app/qt/main_window.h"
#include "support/sim_process.h"

namespace {

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
  if (sim_options.empty()) sim_options = {"--charger-ms", "0", "--flash-ms", "0"};

  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  const auto dir = std::filesystem::temp_directory_path() / "fwdl-bench";
  std::filesystem::create_directories(dir);
  fwdl::testing::SimProcess sim(dir.string(), sim_options);
  setenv("FWDL_COM1", sim.path.c_str(), 1);

  fwdl::SystemSerialPorts ports;
  MeasuredForm form(ports);
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
  std::printf("peak resident memory: %ld KiB (%ld KiB before the download)\n", PeakKiB(),
              rss_before);
  if (!hex) std::printf("image received intact: %s\n", sim.Image() == sim.Slurp(file) ? "yes" : "NO");
  return 0;
}
