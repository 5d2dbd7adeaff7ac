#include "console_window.h"

#include <algorithm>
#include <iostream>
#include <ostream>

#include "app/run/answer.h"
#include "app/run/console_os.h"
#include "app/run/json_events.h"
#include "app/run/progress_line.h"

namespace fwdl::console {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

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

ConsoleWindow::ConsoleWindow(SerialPorts& ports, WindowSettings settings, std::ostream& out)
    : settings_(std::move(settings)), out_(out), core_(*this, ports) {}

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
  if (settings_.json) settings_.json->Status(text);
  if (!text.empty()) PrintLine(text);
}

void ConsoleWindow::SetProgressText(const std::string& text) {
  // While the file goes out the figure is a percentage, drawn as a bar.
  const bool percentage = core_.phase() == Phase::kSending && !text.empty();
  const auto now = Clock::now();
  if (percentage && !sending_) {
    transfer_start_ = now;
    pace_ = {};
  }
  sending_ = percentage;
  const bool changed = text != progress_text_;
  progress_text_ = text;
  // One line redrawn in place, at most five times a second unless the
  // figure moved.
  const bool draw =
      percentage && settings_.terminal && (changed || now - last_drawn_ >= kRedrawInterval);
  // Measured only to be shown (it asks the driver for its queue); once the
  // file has gone out it stays as it was measured last.
  if (percentage && (draw || (changed && settings_.json))) pace_ = MeasurePace(now);
  const Progress& progress = core_.progress();
  if (changed && settings_.json) {
    settings_.json->Progress(text, progress.SentBytes, progress.TotalBytes, pace_);
  }
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
  if (!draw) return;
  last_drawn_ = now;
  // Spaces wipe what a longer line left.
  std::string line = ProgressLine(text, progress.SentBytes, progress.TotalBytes, pace_);
  const std::size_t width = line.size();
  if (width < drawn_width_) line.append(drawn_width_ - width, ' ');
  out_ << '\r' << line << std::flush;
  drawn_width_ = std::max<std::size_t>(width, 1);
}

Pace ConsoleWindow::MeasurePace(Clock::time_point now) {
  const Progress& progress = core_.progress();
  const SerialLink& link = core_.link();
  return PaceOf(progress.SentBytes, link.OutputQueued(), progress.TotalBytes,
                std::chrono::duration<double>(now - transfer_start_).count(), link.LineRate());
}

BoxAnswer ConsoleWindow::ShowMessageBox(const std::string& text, const std::string& caption,
                                        BoxButtons buttons, const std::string& details) {
  boxes_.push_back({text, caption});
  // The details (the system's reason) go to standard error, for the log.
  if (!details.empty()) std::cerr << "fwdl: " << details << std::endl;
  const bool question = buttons == BoxButtons::OkCancel;
  // After Ctrl-C the boxes only tell what the interruption caused.
  BoxAnswer answer = BoxAnswer::Cancel;
  if (!interrupted_) {
    if (!caption.empty()) PrintLine("[" + caption + "]");
    PrintLine(LineEnds(text));
    // A box with OK alone never waits: there is nothing to decide. A
    // station program learns of a question before the answer is awaited.
    if (question && settings_.json && !settings_.yes) {
      settings_.json->Question(caption, text, details);
    }
    answer = question ? Ask() : BoxAnswer::Ok;
  }
  if (settings_.json) {
    const std::optional<std::string> told =
        question ? std::optional<std::string>(answer == BoxAnswer::Ok ? "ok" : "cancel")
                 : std::nullopt;
    settings_.json->Box(caption, text, details, told);
  }
  boxes_.back().question = question;
  return answer;
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
      const std::optional<BoxAnswer> answer = ParseAnswer(std::string_view(input_).substr(0, end));
      input_.erase(0, end + 1);
      if (answer == BoxAnswer::Cancel) cancelled_ = true;
      if (answer) return *answer;
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

void ConsoleWindow::Notice(const std::string& text) {
  std::cerr << "fwdl: " << text << std::endl;
  if (settings_.json) settings_.json->Notice(text);
}

bool ConsoleWindow::RunDue() {
  bool ran = false;
  // A station program asks for what Ctrl-C does by a line on standard input.
  bool asked = false;
  if (settings_.json && !interrupted_) {
    ReadInput(input_);
    asked = TakeInterruptLine(input_);
  }
  if (!interrupted_ && (Interrupted() || asked)) {
    interrupted_ = true;
    PrintLine("Interrupted.");
    if (settings_.json) settings_.json->Interrupted();
    if (core_.phase() == Phase::kWakeUp) {
      core_.Button2Click();
    } else {
      core_.Exit1Click();
    }
    ran = true;
  }
  // Each due timer once, earliest first; a late timer keeps no backlog.
  return core_.RunDueTimers() || ran;
}

void ConsoleWindow::Sleep(bool watch_input) {
  int ms = -1;
  if (const std::optional<Millis> due = core_.timers().NextDue()) {
    // The clock counts whole milliseconds: waking early would only come back here.
    ms = static_cast<int>(std::max<Millis>(*due - core_.timers().clock().Now(), 0));
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
