#include "Aboutunit.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "look.h"

namespace {

QLabel* StaticText(QWidget* parent, const char* name, const QString& text, QRect place,
                   bool bold = false) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setGeometry(place);
  label->setFont(SansSerif(13, bold));
  return label;
}

}  // namespace

TForm2::TForm2() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
  setObjectName(QStringLiteral("Form2"));
  setFixedSize(264, 166);

  Panel1 = new QFrame(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setGeometry(0, 0, 264, 166);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setLineWidth(3);
  Panel1->setAutoFillBackground(true);
  QPalette panel_colour = Panel1->palette();
  panel_colour.setColor(QPalette::Window, QColor(128, 128, 255));
  Panel1->setPalette(panel_colour);

  StaticText1 = StaticText(Panel1, "StaticText1", QStringLiteral("Firmware Downloader V1.1"),
                           {48, 16, 164, 20});
  StaticText2 = StaticText(Panel1, "StaticText2",
                           QStringLiteral("Is used to transfer firmware to "), {48, 40, 178, 20});
  StaticText3 = StaticText(Panel1, "StaticText3", QStringLiteral("VARDELO"), {48, 56, 169, 20});
  StaticText5 = StaticText(Panel1, "StaticText5",
                           QStringLiteral("With support for DVB firmware upgrade"),
                           {16, 80, 234, 20});
  Button1 = new QPushButton(QStringLiteral("Ok"), Panel1);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setGeometry(96, 112, 75, 25);
  Button1->setFont(SansSerif(13));
  StaticText4 = StaticText(Panel1, "StaticText4", QStringLiteral("Vardelo service"),
                           {168, 144, 85, 20}, /*bold=*/true);

  setTabOrder(StaticText1, StaticText2);
  setTabOrder(StaticText2, StaticText3);
  setTabOrder(StaticText3, Button1);
  setTabOrder(Button1, StaticText4);
  setTabOrder(StaticText4, StaticText5);

  connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void TForm2::Button1Click() { hide(); }
