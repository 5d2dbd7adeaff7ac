// Answers the program's modal boxes and file dialogs in Qt tests: every box
// that opens is recorded and closed with the next scripted button (OK when
// none is left); a file dialog is recorded and answered with `pick`, or
// cancelled.
#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

namespace fwdl::testing {

struct SeenBox {
  QString text, title, details;
  QStringList buttons;  // every button's text, "Show Details..." included
};

struct SeenDialog {
  QString title, directory;
  QStringList filters;
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
  QString pick;  // the file a dialog is answered with; empty: Cancel
  std::vector<SeenDialog> dialogs;

 private:
  void Poll() {
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      if (dialog->property("answered").toBool()) return;
      dialog->setProperty("answered", true);
      dialogs.push_back({dialog->windowTitle(), dialog->directory().absolutePath(),
                         dialog->nameFilters()});
      if (pick.isEmpty()) {
        dialog->reject();
      } else {
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(pick);
        QMetaObject::invokeMethod(dialog, "accept");
      }
      return;
    }
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box->property("answered").toBool()) return;
    box->setProperty("answered", true);
    QStringList buttons;
    for (const QPushButton* b : box->findChildren<QPushButton*>()) buttons << b->text();
    seen.push_back({box->text(), box->windowTitle(), box->detailedText(), buttons});
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
