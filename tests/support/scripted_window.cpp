#include "scripted_window.h"

#include <algorithm>
#include <stdexcept>

namespace fwdl::testing {
namespace {

const char* Name(Button b) {
  return b == Button::Button1 ? "Button1" : b == Button::Button2 ? "Button2" : "Button3";
}

}  // namespace

void ScriptedWindow::At(Millis when, std::function<void()> action) {
  actions_.push_back({when, std::move(action)});
}

std::vector<std::string> ScriptedWindow::Label1History() const {
  std::vector<std::string> history;
  for (const std::string& e : events) {
    if (e.rfind("Label1=", 0) == 0) history.push_back(e.substr(7));
  }
  return history;
}

void ScriptedWindow::Record(std::string event) {
  events.push_back(event);
  if (on_event) on_event(event);
}

bool ScriptedWindow::Saw(const std::string& event) const {
  return std::find(events.begin(), events.end(), event) != events.end();
}

void ScriptedWindow::SetStatusText(const std::string& text) {
  if (text == label2) return;
  label2 = text;
  Record("Label2=" + text);
}

void ScriptedWindow::SetProgressText(const std::string& text) {
  progress_texts.push_back(text);
  if (text == label1) return;
  label1 = text;
  Record("Label1=" + text);
}

void ScriptedWindow::SetButtonVisible(Button button, bool shown) {
  visible[static_cast<int>(button)] = shown;
  Record(std::string(Name(button)) + (shown ? " shown" : " hidden"));
}

void ScriptedWindow::SetMenuEnabled(MenuItem item, bool enabled) {
  (item == MenuItem::Port1 ? port1_enabled : exit1_enabled) = enabled;
  Record(std::string(item == MenuItem::Port1 ? "Port1" : "Exit1") +
                   (enabled ? " enabled" : " disabled"));
}

BoxAnswer ScriptedWindow::ShowMessageBox(const std::string& text, const std::string& caption,
                                         BoxButtons buttons, const std::string& details) {
  boxes.push_back({text, caption, buttons, details, clock_.Now()});
  Record("box[" + caption + "] " + text);
  // A modal box runs its own event loop while the user reads it.
  const Millis until = clock_.Now() + box_open_ms;
  while (clock_.Now() < until) {
    if (RunOneDue()) continue;
    const auto next = NextDue();
    clock_.SleepUntil(next ? std::min(*next, until) : until);
  }
  // Only questions take a scripted answer; an OK box is simply closed.
  BoxAnswer answer = BoxAnswer::Ok;
  if (buttons == BoxButtons::OkCancel && !box_answers.empty()) {
    answer = box_answers.front();
    box_answers.pop_front();
  }
  return answer;
}

std::optional<std::string> ScriptedWindow::RunOpenDialog(FileDialog dialog) {
  Record(dialog == FileDialog::OpenDialog1 ? "dialog OpenDialog1" : "dialog OpenDialog2");
  if (dialog_answers.empty()) return std::nullopt;
  auto answer = dialog_answers.front();
  dialog_answers.pop_front();
  return answer;
}

std::optional<Millis> ScriptedWindow::NextDue() const {
  std::optional<Millis> next = core.timers().NextDue();
  for (const Action& a : actions_) {
    if (!next || a.due < *next) next = a.due;
  }
  return next;
}

bool ScriptedWindow::RunOneDue() {
  const Millis now = clock_.Now();
  if (now > time_limit) throw std::runtime_error("scripted window: time limit passed");
  // Scheduled actions first, in the order they were scheduled.
  for (auto it = actions_.begin(); it != actions_.end(); ++it) {
    if (it->due <= now) {
      auto run = std::move(it->run);
      actions_.erase(it);
      run();
      return true;
    }
  }
  // Then the core's timers, one tick at a time, from its own schedule.
  const std::optional<Timer> ticked = core.RunDueTimer();
  if (!ticked) return false;
  if (on_tick) on_tick(*ticked);
  return true;
}

void ScriptedWindow::PumpEvents() {
  ++pumps;
  while (RunOneDue()) {
  }
}

void ScriptedWindow::WaitForEvents() {
  if (!RunOneDue()) {
    const auto next = NextDue();
    if (!next) throw std::runtime_error("scripted window: waiting for an event that never comes");
    clock_.SleepUntil(*next);
    RunOneDue();
  }
  while (RunOneDue()) {
  }
}

void ScriptedWindow::CloseMainWindow() {
  closed = true;
  Record("close");
}

}  // namespace fwdl::testing
