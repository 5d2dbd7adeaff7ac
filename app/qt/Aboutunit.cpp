#include "Aboutunit.h"

#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

#include "app/form.h"
#include "look.h"

namespace {

namespace form = fwdl::form::about;

// The form's places were measured in "MS Sans Serif". A text that needs
// more room in the face standing in takes it to the right, as the form's
// auto-sized labels did, and moves left only where it would otherwise run
// into the bevel.
QLabel* StaticText(QWidget* parent, const fwdl::form::Control& c, bool bold = false) {
  auto* label = new QLabel(QString::fromLatin1(c.text), parent);
  label->setObjectName(QString::fromLatin1(c.name));
  label->setFont(SansSerif(form::kFontHeight, bold));
  const int width = std::max(c.place.width, label->sizeHint().width());
  const int left = std::min(c.place.left, form::kClientWidth - form::kBevelWidth - width);
  label->setGeometry(left, c.place.top, width, c.place.height);
  return label;
}

}  // namespace

TForm2::TForm2() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
  setObjectName(QStringLiteral("Form2"));
  setFixedSize(form::kClientWidth, form::kClientHeight);

  Panel1 = new QFrame(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setGeometry(0, 0, form::kClientWidth, form::kClientHeight);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setLineWidth(form::kBevelWidth);
  Panel1->setAutoFillBackground(true);
  QPalette panel_colour = Panel1->palette();
  panel_colour.setColor(QPalette::Window, QColor(form::kPanelColour.red, form::kPanelColour.green,
                                                 form::kPanelColour.blue));
  Panel1->setPalette(panel_colour);

  StaticText1 = StaticText(Panel1, form::StaticText1);
  StaticText2 = StaticText(Panel1, form::StaticText2);
  StaticText3 = StaticText(Panel1, form::StaticText3);
  StaticText5 = StaticText(Panel1, form::StaticText5);
  Button1 = new QPushButton(QString::fromLatin1(form::Button1.text), Panel1);
  Button1->setObjectName(QString::fromLatin1(form::Button1.name));
  Button1->setGeometry(Place(form::Button1));
  Button1->setFont(SansSerif(form::kFontHeight));
  StaticText4 = StaticText(Panel1, form::StaticText4, /*bold=*/true);

  QWidget* previous = nullptr;
  for (const fwdl::form::Control* c : form::kTabOrder) {
    auto* widget = Panel1->findChild<QWidget*>(QString::fromLatin1(c->name));
    if (previous) setTabOrder(previous, widget);
    previous = widget;
  }

  connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void TForm2::Button1Click() { hide(); }

void TForm2::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      Button1Click();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}
