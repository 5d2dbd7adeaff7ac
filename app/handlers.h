// How a window front end runs its event handlers, the same in each of them
// (app/qt, app/win32): an error that escapes a handler is shown in the
// standard error box and the event loop goes on; a close asked for while a
// handler runs (Exit in the middle of a download) is carried out once the
// outermost handler has returned, so that a download runs to its end.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <utility>

namespace fwdl {

class Handlers {
 public:
  // `show_error` shows a text in the standard error box; `finish_close`
  // closes the main window for good and ends the event loop.
  Handlers(std::function<void(const std::string&)> show_error, std::function<void()> finish_close)
      : show_error_(std::move(show_error)), finish_close_(std::move(finish_close)) {}

  template <class Handler>
  void Run(Handler&& handler) {
    ++depth_;
    try {
      handler();
    } catch (const std::exception& error) {
      show_error_(error.what());
    } catch (...) {
      show_error_("Unknown error.");
    }
    --depth_;
    if (depth_ == 0 && close_requested_) Finish();
  }
  // Closes now, or once the outermost handler has returned.
  void RequestClose() {
    close_requested_ = true;
    if (depth_ == 0) Finish();
  }
  bool closed() const { return closed_; }

 private:
  void Finish() {
    if (closed_) return;
    closed_ = true;
    finish_close_();
  }

  std::function<void(const std::string&)> show_error_;
  std::function<void()> finish_close_;
  int depth_ = 0;
  bool close_requested_ = false;
  bool closed_ = false;
};

}  // namespace fwdl
