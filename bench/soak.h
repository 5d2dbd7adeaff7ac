// The figures of the soak benches: a process's open file descriptors and
// resident memory read from /proc, series of them that must stay flat from
// the first run to the last, and the processes a soak must not leave behind.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fwdl::bench {

namespace fs = std::filesystem;

// The open file descriptors of a process ("self" or a pid), each as
// "NUMBER -> WHERE IT LEADS", in the order of their numbers.
inline std::vector<std::string> OpenFds(const std::string& pid) {
  std::vector<std::pair<int, std::string>> fds;
  std::error_code ignored;
  for (const auto& fd : fs::directory_iterator("/proc/" + pid + "/fd", ignored)) {
    fds.emplace_back(std::stoi(fd.path().filename()), fs::read_symlink(fd.path(), ignored));
  }
  std::sort(fds.begin(), fds.end());
  std::vector<std::string> shown;
  for (const auto& [number, target] : fds) {
    shown.push_back(std::to_string(number) + " -> " + target);
  }
  return shown;
}

// A figure of /proc/PID/status in KiB ("VmRSS", "VmHWM"); -1 when absent.
inline long StatusKiB(const std::string& pid, const std::string& field) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// One figure per run. With a slack it must stay flat: with 0, every value
// equal to the first; otherwise the mean of the last `window` values at
// most `slack` above the mean of the first `window`.
struct Series {
  Series(std::string name, std::string unit, std::optional<double> slack = std::nullopt)
      : name(std::move(name)), unit(std::move(unit)), slack(slack) {}

  std::string name, unit;
  std::optional<double> slack;  // none: the figures only
  std::vector<double> values;

  // Prints first, median, last and maximum (and the two means); false when
  // the figure grew.
  bool Report(std::size_t window) const {
    if (values.empty()) {
      std::printf("  %-26s no values\n", name.c_str());
      return !slack;
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const int digits = unit == "s" ? 2 : 0;
    std::printf("  %-26s first %.*f, median %.*f, last %.*f, max %.*f %s", name.c_str(), digits,
                values.front(), digits, sorted[sorted.size() / 2], digits, values.back(), digits,
                sorted.back(), unit.c_str());
    if (!slack) return std::printf("\n"), true;
    bool flat = true;
    if (*slack == 0) {
      flat = sorted.front() == values.front() && sorted.back() == values.front();
    } else {
      window = std::max<std::size_t>(1, std::min(window, values.size() / 2));
      const double first = std::accumulate(values.begin(), values.begin() + window, 0.0) / window;
      const double last = std::accumulate(values.end() - window, values.end(), 0.0) / window;
      flat = last - first <= *slack;
      std::printf("; mean of the first %zu %.0f, of the last %zu %.0f", window, first, window,
                  last);
    }
    std::printf(": %s\n", flat ? "flat" : "GROWS");
    return flat;
  }
};

// Processes still running one of `programs` (paths as built): what a soak
// must not leave behind.
inline int Leftovers(const std::vector<std::string>& programs) {
  int count = 0;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
    const fs::path exe = fs::read_symlink(entry.path() / "exe", ignored);
    if (ignored) continue;
    for (const std::string& program : programs) {
      if (exe == fs::weakly_canonical(program)) {
        std::printf("  left behind: pid %s, %s\n", entry.path().filename().c_str(), exe.c_str());
        ++count;
      }
    }
  }
  return count;
}

}  // namespace fwdl::bench
