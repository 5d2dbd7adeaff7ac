// A soak of the window program: HEX downloads of examples/demo.hex that end
// with the loader's error verdict, which keeps the program, all in one
// process (the main window offscreen). Each one chooses its port in the
// Port menu, COM1 and COM2 in turn (a simulated instrument on each), and
// presses "Send Vardelo Firmware"; the boxes are answered with OK and the
// file dialog with the file. After each download the process's open file
// descriptors, resident memory and heap in use; they must be the same in
// the last downloads as in the first. Exit status 1 when anything is wrong.
//
//   build/soak_window [DOWNLOADS]     (default: 50)
#include <malloc.h>

#include <QApplication>
#include <QPushButton>
#include <chrono>
#include <cstdio>

#include "app/qt/main_window.h"
#include "bench/soak.h"
#include "support/qt_boxes.h"
#include "support/sim_process.h"

int main(int argc, char** argv) {
  using fwdl::testing::SimProcess;
  const int downloads = argc > 1 ? std::stoi(argv[1]) : 50;
  const std::string file = EXAMPLES_DIR "/demo.hex";
  std::string hex_body = SimProcess::Slurp(file);  // as the loader takes it: no CRs
  std::erase(hex_body, '\r');

  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  char dir_template[] = "/tmp/fwdl-soak-window-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  std::vector<std::unique_ptr<SimProcess>> sims;
  fwdl::PortOptions options;
  for (const int port : {1, 2}) {
    const std::string folder = dir + "/com" + std::to_string(port);
    std::filesystem::create_directories(folder);
    sims.push_back(std::make_unique<SimProcess>(
        folder, std::vector<std::string>{"--charger-ms", "0", "--verdict", "error"},
        /*keep_errors=*/true));
    options.places.com[port] = sims.back()->path;
  }

  fwdl::SystemSerialPorts ports(options);
  TForm1 form(ports, options.places);
  form.show();
  // The receive log keeps its last lines, so it grows by design until it
  // is full; full from the start, it holds still.
  for (int i = 0; i < TForm1::kLogLines; ++i) form.AppendLogLine("Vardelo loader");
  fwdl::testing::BoxAnswerer user;
  user.pick = QString::fromStdString(file);
  fwdl::bench::Series fds{"open fds", "", 0}, rss{"VmRSS", "KiB", 256}, hwm{"VmHWM", "KiB"},
      heap{"heap in use (mallinfo2)", "KiB", 256}, wall{"wall time of a download", "s"};
  int failures = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < downloads; ++i) {
    SimProcess& sim = *sims[i % 2];
    std::filesystem::remove(sim.image_path);
    user.seen.clear();
    user.dialogs.clear();
    const auto t0 = std::chrono::steady_clock::now();
    form.COM[i % 2]->trigger();
    form.Button1->click();  // the whole download, boxes and all
    wall.values.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    fds.values.push_back(static_cast<double>(fwdl::bench::OpenFds("self").size()));
    rss.values.push_back(fwdl::bench::StatusKiB("self", "VmRSS"));
    hwm.values.push_back(fwdl::bench::StatusKiB("self", "VmHWM"));
    const struct mallinfo2 m = mallinfo2();  // what the program holds, not what it keeps for later
    heap.values.push_back(static_cast<double>(m.uordblks + m.hblkhd) / 1024);

    std::string wrong;
    if (form.core().outcome() != fwdl::Outcome::kErrorVerdict) {
      wrong = std::string("outcome ") +
              (form.core().outcome() ? fwdl::OutcomeName(*form.core().outcome()) : "none");
    } else if (user.seen.empty() || !user.seen.back().text.startsWith("Error while downloading.")) {
      wrong = "no error box";
    } else if (sim.Image() != hex_body) {
      wrong = "the file differs at the instrument";
    } else if (form.closed() || !form.link().PortOpen()) {
      wrong = "the program did not go on with its port";
    }
    if (!wrong.empty()) {
      std::printf("download %d (COM%d): %s\n", i + 1, i % 2 + 1, wrong.c_str());
      ++failures;
    }
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d window downloads in %.0f s\n", downloads, total);
  bool flat = true;
  for (const auto* s : {&fds, &rss, &hwm, &heap, &wall}) flat = s->Report(10) && flat;
  form.Exit1->trigger();
  sims.clear();
  const int leftovers = fwdl::bench::Leftovers({INSTRUMENT_SIM_PATH});
  std::printf("left behind: %d processes\nwrong downloads: %d\n", leftovers, failures);
  std::filesystem::remove_all(dir);
  return failures == 0 && flat && leftovers == 0 ? 0 : 1;
}
