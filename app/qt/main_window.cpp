#include "main_window.h"

#include <algorithm>
#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "Aboutunit.h"
#include "app/form.h"
#include "look.h"

using fwdl::Button;
using fwdl::FileDialog;
using fwdl::MenuItem;


namespace {

namespace form = fwdl::form::main;

QString Latin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The program's texts split lines with "\r\n"; a box shows line breaks.
QString DisplayText(const std::string& text) {
  QString shown = Latin1(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return shown;
}

}  // namespace

void SetDesktopIdentity() {
  // On Linux the task bar and the launchers take the name "Firmware DL" and
  // the icon from the desktop entry. No display name is set: Qt would append
  // it to every title ("ERROR \u2014 Firmware DL").
  QApplication::setApplicationName(QStringLiteral("firmware-downloader"));
  QApplication::setApplicationVersion(QStringLiteral(FWDL_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("firmware-downloader"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("firmware-downloader")));
}

void ShowStandardError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Firmware DL"), text, QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

TForm1::TForm1(fwdl::SerialPorts& ports, fwdl::SystemPlaces places)
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      places_(std::move(places)),
      core_(*this, ports),
      handlers_([](const std::string& text) { ShowStandardError(QString::fromLocal8Bit(text.c_str())); },
                [this] { FinishClose(); }) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromLatin1(form::kCaption));
  setFont(SansSerif(form::kFontHeight));
  BuildControls();
  BuildMenu();
  Wake.setObjectName(QStringLiteral("Wake"));
  Wake.setTimerType(Qt::PreciseTimer);
  Wake.setSingleShot(true);
  InitConnections();
  core_.FormCreate();
  Form2 = std::make_unique<TForm2>();

  // A client area of 303 by 145 below the menu bar, in the screen's centre.
  resize(form::kClientWidth, form::kClientHeight + menuBar()->sizeHint().height());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

TForm1::~TForm1() = default;

void TForm1::BuildControls() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("ClientArea"));
  client->setAutoFillBackground(true);
  QPalette face = client->palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  client->setPalette(face);
  setCentralWidget(client);

  auto make_label = [client](const fwdl::form::Control& c) {
    auto* label = new QLabel(client);
    label->setObjectName(QString::fromLatin1(c.name));
    label->setGeometry(Place(c));
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
  };
  Label2 = make_label(form::Label2);
  Label1 = make_label(form::Label1);
  Label1->setFont(SansSerif(form::kProgressFontHeight));

  auto make_button = [client](const fwdl::form::Control& c) {
    auto* b = new QPushButton(QString::fromLatin1(c.text), client);
    b->setObjectName(QString::fromLatin1(c.name));
    b->setGeometry(Place(c));
    b->setAutoDefault(true);  // Enter presses the button that has the focus
    b->hide();
    return b;
  };
  Button1 = make_button(form::Button1);
  Button2 = make_button(form::Button2);
  Button3 = make_button(form::Button3);

  Memo1 = new QPlainTextEdit(client);
  Memo1->setObjectName(QString::fromLatin1(form::Memo1.name));
  Memo1->setGeometry(Place(form::Memo1));
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setPlainText(QString::fromLatin1(form::Memo1.text));
  // The log keeps the newest lines only: an instrument that floods the
  // line must not grow the program without bound.
  Memo1->setMaximumBlockCount(kLogLines);
  // The log lies outside the view: keys must go to the buttons, never into it.
  Memo1->setReadOnly(true);
  Memo1->setFocusPolicy(Qt::NoFocus);

  QWidget* previous = nullptr;
  for (const fwdl::form::Control* c : form::kTabOrder) {
    auto* widget = client->findChild<QWidget*>(QString::fromLatin1(c->name));
    if (previous) setTabOrder(previous, widget);
    previous = widget;
  }
}

void TForm1::BuildMenu() {
  QMenuBar* MainMenu1 = menuBar();
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
  Port1 = MainMenu1->addMenu(QString::fromLatin1(form::kPortMenu));
  Port1->setObjectName(QStringLiteral("Port1"));
  Port1->setToolTipsVisible(true);
  for (int n = 1; n <= form::kPorts; ++n) {
    QAction* item = Port1->addAction(QString::fromLatin1(form::kPortItem) + QString::number(n));
    item->setObjectName(QStringLiteral("COM%11").arg(n));
    COM[static_cast<std::size_t>(n - 1)] = item;
  }
  DescribePorts();
  About1 = MainMenu1->addAction(QString::fromLatin1(form::kAboutMenu));
  About1->setObjectName(QStringLiteral("About1"));
  Exit1 = MainMenu1->addAction(QString::fromLatin1(form::kExitMenu));
  Exit1->setObjectName(QStringLiteral("Exit1"));
}

void TForm1::DescribePorts() {
  // Where the name leads on this system and the adapter there, or that
  // nothing is behind it; the COM names keep their order rules.
  for (std::size_t i = 0; i < COM.size(); ++i) {
    COM[i]->setToolTip(QString::fromLocal8Bit(fwdl::DescribePort("COM" + std::to_string(i + 1), places_)));
  }
}

void TForm1::InitConnections() {
  // An adapter plugged in while the program runs shows the next time the menu opens.
  connect(Port1, &QMenu::aboutToShow, this, [this] { DescribePorts(); });
  using Click = void (TForm1::*)();
  constexpr std::array<Click, 8> com_clicks = {
      &TForm1::Com11Click, &TForm1::Com21Click, &TForm1::Com31Click, &TForm1::Com41Click,
      &TForm1::Com51Click, &TForm1::Com61Click, &TForm1::Com71Click, &TForm1::Com81Click};
  for (std::size_t i = 0; i < COM.size(); ++i) {
    connect(COM[i], &QAction::triggered, this, [this, click = com_clicks[i]] {
      handlers_.Run([&] { (this->*click)(); });
    });
  }
  connect(About1, &QAction::triggered, this, [this] { handlers_.Run([&] { About1Click(); }); });
  connect(Exit1, &QAction::triggered, this, [this] { handlers_.Run([&] { Exit1Click(); }); });
  connect(Button1, &QPushButton::clicked, this, [this] { handlers_.Run([&] { Button1Click(); }); });
  connect(Button2, &QPushButton::clicked, this, [this] { handlers_.Run([&] { Button2Click(); }); });
  connect(Button3, &QPushButton::clicked, this, [this] { handlers_.Run([&] { Button3Click(); }); });
  connect(&Wake, &QTimer::timeout, this, [this] {
    handlers_.Run([&] { core_.RunDueTimers(); });
    // Woken a moment early (the timer counts whole milliseconds): again.
    WakeAt(core_.timers().NextDue());
  });
}

void TForm1::About1Click() {
  // Shown again, it comes to the front where the main window may hide it,
  // with the keyboard, so that Enter or Escape closes it at once.
  Form2->show();
  Form2->raise();
  Form2->activateWindow();
}

void TForm1::CloseMainWindow() { handlers_.RequestClose(); }

void TForm1::FinishClose() {
  Form2->hide();
  close();
  QCoreApplication::quit();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (handlers_.closed()) {
    event->accept();
    return;
  }
  // Closed by the window manager: the same as the Exit command, and refused
  // where Exit is (during a HEX download).
  event->ignore();
  if (Exit1->isEnabled()) handlers_.Run([&] { Exit1Click(); });
}

QPushButton* TForm1::button(Button which) const {
  switch (which) {
    case Button::Button1: return Button1;
    case Button::Button2: return Button2;
    case Button::Button3: return Button3;
  }
  return Button1;
}

void TForm1::SetStatusText(const std::string& text) { Label2->setText(Latin1(text)); }

void TForm1::SetProgressText(const std::string& text) { Label1->setText(Latin1(text)); }

void TForm1::SetButtonVisible(Button which, bool visible) {
  QPushButton* shown = button(which);
  shown->setVisible(visible);
  // The keyboard starts at the first button shown, unless a shown button
  // holds the focus already.
  QWidget* focus = focusWidget();
  if (visible && !(qobject_cast<QPushButton*>(focus) && focus->isVisible())) shown->setFocus();
}

void TForm1::SetMenuEnabled(MenuItem item, bool enabled) {
  (item == MenuItem::Port1 ? Port1->menuAction() : Exit1)->setEnabled(enabled);
}

fwdl::BoxAnswer TForm1::ShowMessageBox(const std::string& text, const std::string& caption,
                                       fwdl::BoxButtons buttons, const std::string& details) {
  // No owner window: the box stands on its own, as the program's boxes do.
  // Qt fills an empty title with the program's name; a blank keeps it empty.
  const QString title = caption.empty() ? QStringLiteral(" ") : Latin1(caption);
  QMessageBox box(QMessageBox::NoIcon, title, DisplayText(text),
                  buttons == fwdl::BoxButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                        : QMessageBox::Ok);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setTextFormat(Qt::PlainText);
  if (!details.empty()) {
    // The system's reason also goes to standard error, for a terminal or a log.
    std::fprintf(stderr, "firmware-downloader: %s\n", details.c_str());
    box.setDetailedText(QString::fromLocal8Bit(details));
  }
  return box.exec() == QMessageBox::Cancel ? fwdl::BoxAnswer::Cancel : fwdl::BoxAnswer::Ok;
}

std::optional<std::string> TForm1::RunOpenDialog(FileDialog dialog) {
  const form::Filter& filter =
      dialog == FileDialog::OpenDialog1 ? form::kHexFilter : form::kBinFilter;
  const QString path = QFileDialog::getOpenFileName(
      this, QString::fromLatin1(form::kDialogTitle), QString::fromLatin1(form::kDialogDirectory),
      QString::fromLatin1(filter.description));
  if (path.isEmpty()) return std::nullopt;
  return path.toLocal8Bit().toStdString();
}

void TForm1::AppendLogLine(const std::string& line) { Memo1->appendPlainText(Latin1(line)); }

void TForm1::Notice(const std::string& text) {
  std::fprintf(stderr, "firmware-downloader: %s\n", text.c_str());
}

void TForm1::WakeAt(std::optional<fwdl::Millis> when) {
  if (!when) {
    Wake.stop();
    return;
  }
  const fwdl::Millis now = core_.timers().clock().Now();
  Wake.start(static_cast<int>(std::max<fwdl::Millis>(*when - now, 0)));
}

void TForm1::PumpEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TForm1::WaitForEvents() {
  // Sleeps in the event dispatcher until a timer, input or repaint comes.
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
