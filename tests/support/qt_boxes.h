// Answers the program's modal boxes in Qt tests: every box that opens is
// recorded and closed with the next scripted button (OK when none is left).
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

namespace fwdl::testing {

struct SeenBox {
  QString text, title;
};

class BoxAnswerer {
 public:
  BoxAnswerer() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }
  std::deque<QMessageBox::StandardButton> answers;
  // Runs while a box is open, before it is answered.
  std::function<void(QMessageBox*)> while_open;
  std::vector<SeenBox> seen;

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box->property("answered").toBool()) return;
    box->setProperty("answered", true);
    seen.push_back({box->text(), box->windowTitle()});
    if (while_open) while_open(box);
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    if (!answers.empty()) {
      answer = answers.front();
      answers.pop_front();
    }
    box->button(answer)->click();
  }
  QTimer timer_;
};

}  // namespace fwdl::testing
