// The About window: borderless, centred, hidden until the About command
// shows it; "Ok", Enter or Escape hides it again. Never modal, never destroyed before the
// program ends.
#pragma once

#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;

class TForm2 : public QWidget {
  Q_OBJECT

 public:
  TForm2();
  void Button1Click();

  QFrame* Panel1;
  QLabel* StaticText1;
  QLabel* StaticText2;
  QLabel* StaticText3;
  QLabel* StaticText4;
  QLabel* StaticText5;
  QPushButton* Button1;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};
