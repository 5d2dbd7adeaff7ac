#include "console_window.h"

#include <algorithm>
#include <ostream>

#include "app/console/console_os.h"
#include "app/form.h"
#include "app/console/progress_line.h"

namespace fwdl::console {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

int Index(Timer t) { return static_cast<int>(t); }

// "37% done": the figure of a transfer, as against "FLASHING" or nothing.
bool IsPercentage(const std::string& text) { return text.ends_with("% done"); }

// The program's texts split their lines with "\r\n"; a console wants "\n".
std::string LineEnds(const std::string& text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      shown += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      shown += text[i];
    }
  }
  return shown;
}

}  // namespace

ConsoleWindow::ConsoleWindow(const Progress& progress, WindowSettings settings, std::ostream& out)
    : progress_(progress), settings_(std::move(settings)), out_(out) {
  // The intervals the form gives its timers; Timer2's comes with each Delay.
  timers_[Index(Timer::Timer1)].interval = form::main::kPollInterval;
  timers_[Index(Timer::Timer3)].interval = form::main::kWakeInterval;
}

void ConsoleWindow::PrintLine(const std::string& text) {
  EndProgressLine();
  out_ << text << std::endl;  // flushed: a script reading along sees it at once
}

void ConsoleWindow::EndProgressLine() {
  if (drawn_width_ == 0) return;
  out_ << '\n';
  drawn_width_ = 0;
}

void ConsoleWindow::SetStatusText(const std::string& text) {
  if (text == status_) return;
  status_ = text;
  if (!text.empty()) PrintLine(text);
}

void ConsoleWindow::SetProgressText(const std::string& text) {
  const bool percentage = IsPercentage(text);
  const auto now = Clock::now();
  if (percentage && !IsPercentage(progress_text_)) transfer_start_ = now;
  const bool changed = text != progress_text_;
  progress_text_ = text;
  if (!percentage || !settings_.terminal) {
    // Plain lines: one per new text, so at most one per per cent.
    if (!changed) return;
    if (text.empty()) {
      EndProgressLine();
    } else {
      PrintLine(text);
    }
    return;
  }
  // One line redrawn in place, at most five times a second unless the
  // figure moved; spaces wipe what a longer line left.
  if (!changed && now - last_drawn_ < kRedrawInterval) return;
  last_drawn_ = now;
  const double seconds = std::chrono::duration<double>(now - transfer_start_).count();
  std::string line = ProgressLine(text, progress_.SentBytes, progress_.TotalBytes, seconds);
  const std::size_t width = line.size();
  if (width < drawn_width_) line.append(drawn_width_ - width, ' ');
  out_ << '\r' << line << std::flush;
  drawn_width_ = std::max<std::size_t>(width, 1);
}

void ConsoleWindow::SetButtonVisible(Button button, bool visible) {
  visible_[static_cast<int>(button)] = visible;
}

BoxAnswer ConsoleWindow::ShowMessageBox(const std::string& text, const std::string& caption,
                                        BoxButtons buttons, const std::string&) {
  // The details (the system's reason) are already on standard error.
  boxes_.push_back({text, caption});
  // After Ctrl-C the boxes only tell what the interruption caused.
  if (interrupted_) return BoxAnswer::Cancel;
  if (!caption.empty()) PrintLine("[" + caption + "]");
  PrintLine(LineEnds(text));
  // A box with OK alone never waits: there is nothing to decide.
  return buttons == BoxButtons::OkCancel ? Ask() : BoxAnswer::Ok;
}

BoxAnswer ConsoleWindow::Ask() {
  if (settings_.yes) {
    PrintLine("OK (--yes)");
    return BoxAnswer::Ok;
  }
  out_ << "Enter: OK, c Enter: Cancel > " << std::flush;
  bool input_open = true;
  for (;;) {
    RunDue();  // the receive poll goes on while the user reads
    if (interrupted_) {
      out_ << std::endl;
      return BoxAnswer::Cancel;
    }
    if (const std::size_t end = input_.find('\n'); end != std::string::npos) {
      std::string answer = input_.substr(0, end);
      input_.erase(0, end + 1);
      std::erase_if(answer, [](char c) { return c == ' ' || c == '\r' || c == '\t'; });
      if (answer.empty()) return BoxAnswer::Ok;
      if (answer == "c" || answer == "C") {
        cancelled_ = true;
        return BoxAnswer::Cancel;
      }
      out_ << "Enter: OK, c Enter: Cancel > " << std::flush;
      continue;
    }
    if (!input_open) {
      PrintLine("\nNo answer (standard input ended): Cancel. --yes answers OK.");
      cancelled_ = true;
      return BoxAnswer::Cancel;
    }
    input_open = ReadInput(input_);
    if (!input_open && !input_.empty()) input_ += '\n';  // the last line, unended
    if (input_open && input_.find('\n') == std::string::npos) Sleep(true);
  }
}

std::optional<std::string> ConsoleWindow::RunOpenDialog(FileDialog) {
  if (interrupted_) return std::nullopt;
  return settings_.file;
}

void ConsoleWindow::SetTimerInterval(Timer timer, int milliseconds) {
  timers_[Index(timer)].interval = milliseconds;
}

void ConsoleWindow::SetTimerEnabled(Timer timer, bool enabled) {
  TimerState& t = timers_[Index(timer)];
  t.enabled = enabled;
  if (enabled) t.due = Clock::now() + std::chrono::milliseconds(std::max(t.interval, 1));
}

bool ConsoleWindow::TimerEnabled(Timer timer) const { return timers_[Index(timer)].enabled; }

bool ConsoleWindow::RunDue() {
  bool ran = false;
  if (!interrupted_ && Interrupted()) {
    interrupted_ = true;
    PrintLine("Interrupted.");
    if (on_interrupt) on_interrupt();
    ran = true;
  }
  // Each due timer once, earliest first; a late timer keeps no backlog.
  bool fired[3] = {false, false, false};
  for (;;) {
    const auto now = Clock::now();
    int next = -1;
    for (int i = 0; i < 3; ++i) {
      const TimerState& t = timers_[i];
      if (t.enabled && !fired[i] && t.due <= now && (next < 0 || t.due < timers_[next].due)) {
        next = i;
      }
    }
    if (next < 0) return ran;
    TimerState& t = timers_[next];
    const auto interval = std::chrono::milliseconds(std::max(t.interval, 1));
    t.due += interval;
    if (t.due <= now) t.due = now + interval;
    fired[next] = true;
    ran = true;
    if (on_tick[next]) on_tick[next]();
  }
}

void ConsoleWindow::Sleep(bool watch_input) {
  const auto now = Clock::now();
  int ms = -1;
  for (const TimerState& t : timers_) {
    if (!t.enabled) continue;
    // Rounded up: waking a little early would only come back here at once.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t.due - now).count();
    const int wait = static_cast<int>(std::max<decltype(left)>(left, 0));
    if (ms < 0 || wait < ms) ms = wait;
  }
  console::Sleep(ms, watch_input);
}

void ConsoleWindow::PumpEvents() { RunDue(); }

void ConsoleWindow::WaitForEvents() {
  if (RunDue()) return;
  Sleep(false);
  RunDue();
}

void ConsoleWindow::CloseMainWindow() { closed_ = true; }

}  // namespace fwdl::console
