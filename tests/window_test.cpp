// The main window and the About window, offscreen: layout, states, the
// boxes, closing, and waits that keep the window alive without spinning.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTest>
#include <iostream>
#include <thread>

#include "app/qt/Aboutunit.h"
#include "app/qt/main_window.h"
#include "support/fake_ports.h"
#include "support/fake_system.h"
#include "support/pty.h"
#include "support/qt_boxes.h"
#include "support/rig.h"
#include "support/sim_process.h"

namespace fwdl {
namespace {

using testing::BoxAnswerer;
using testing::FakeClock;
using testing::FakePorts;

class MainWindow : public ::testing::Test {
 protected:
  FakeClock clock;
  FakePorts ports{clock};
  testing::FakeSystem system;  // where the Port menu's tooltips look
  TForm1 form{ports, system.places()};
};

TEST_F(MainWindow, StartsInTheNoPortState) {
  EXPECT_EQ(form.windowTitle(), "Firmware Downloader");
  EXPECT_EQ(form.Label2->text(), "Select Port...");
  EXPECT_EQ(form.Label1->text(), "");
  EXPECT_TRUE(form.Button1->isHidden());
  EXPECT_TRUE(form.Button2->isHidden());
  EXPECT_TRUE(form.Button3->isHidden());
  EXPECT_EQ(form.Memo1->toPlainText(), "Memo1");
  EXPECT_FALSE(form.link().PortOpen());
  EXPECT_FALSE(form.core().timers().NextDue()) << "no timer runs without a port";
  EXPECT_FALSE(form.Wake.isActive());
  EXPECT_EQ(form.Wake.timerType(), Qt::PreciseTimer);
  EXPECT_EQ(form.core().timers().Interval(Timer::Timer1), 10);
  EXPECT_EQ(form.core().timers().Interval(Timer::Timer3), 50);
}

TEST_F(MainWindow, ControlsSitWhereTheFormPutsThem) {
  form.show();
  EXPECT_EQ(form.centralWidget()->size(), QSize(303, 145));
  EXPECT_EQ(form.Label2->geometry(), QRect(72, 16, 153, 13));
  EXPECT_EQ(form.Label1->geometry(), QRect(72, 32, 153, 29));
  EXPECT_EQ(form.Button1->geometry(), QRect(72, 40, 161, 25));
  EXPECT_EQ(form.Button2->geometry(), QRect(112, 40, 81, 25));
  EXPECT_EQ(form.Button3->geometry(), QRect(72, 72, 161, 25));
  EXPECT_EQ(form.Memo1->geometry(), QRect(336, 8, 505, 641));
  EXPECT_GE(form.Memo1->x(), form.centralWidget()->width()) << "the log must lie outside the view";
  EXPECT_EQ(form.Label1->font().pixelSize(), 24);
  EXPECT_EQ(form.Label2->font().pixelSize(), 11);
  EXPECT_TRUE(form.Label1->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(form.Button1->text(), "Send Vardelo Firmware");
  EXPECT_EQ(form.Button2->text(), "Abort Search...");
  EXPECT_EQ(form.Button3->text(), "Send DVB Firmware");

  // Tab order: Button1, Button2, Button3, Memo1.
  EXPECT_EQ(form.Button1->nextInFocusChain(), form.Button2);
  EXPECT_EQ(form.Button2->nextInFocusChain(), form.Button3);
  EXPECT_EQ(form.Button3->nextInFocusChain(), form.Memo1);
}

// Every text a label or button shows must fit its control in the face the
// system actually gives: a label as wide and high as it asks for, a button's
// caption inside its frame with room to spare on both sides.
void ExpectFits(QWidget* control, const QString& text) {
  const std::string what = control->objectName().toStdString() + " with \"" + text.toStdString() +
                           "\" in " + QFontInfo(control->font()).family().toStdString();
  QSize needed, room = control->size();
  if (auto* label = qobject_cast<QLabel*>(control)) {
    label->setText(text);
    needed = label->sizeHint();
  } else {
    auto* button = qobject_cast<QPushButton*>(control);
    QStyleOptionButton option;
    option.initFrom(button);
    room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).size();
    constexpr int kClearance = 2;  // on each side, so the caption touches no edge
    needed = QSize(button->fontMetrics().horizontalAdvance(text) + 2 * kClearance,
                   button->fontMetrics().height());
  }
  EXPECT_LE(needed.width(), room.width()) << what << " is clipped";
  EXPECT_LE(needed.height(), room.height()) << what << " is cut";
}

TEST_F(MainWindow, EveryTextFitsItsControl) {
  std::cout << "face used: " << QFontInfo(form.Label2->font()).family().toStdString()
            << ", scale " << form.devicePixelRatio() << "\n";
  for (const char* status : {"Select Port...", "Searching...", "Found Instrument.",
                             "Preparing for download.", "Downloading.", "This takes 1 minute."}) {
    ExpectFits(form.Label2, status);
  }
  for (const char* progress : {"0% done", "100% done", "FLASHING"}) {
    ExpectFits(form.Label1, progress);
  }
  for (QPushButton* b : {form.Button1, form.Button2, form.Button3}) ExpectFits(b, b->text());

  TForm2* about = form.aboutWindow();
  for (QLabel* t : {about->StaticText1, about->StaticText2, about->StaticText3,
                    about->StaticText4, about->StaticText5}) {
    ExpectFits(t, t->text());
    EXPECT_LE(t->geometry().right(), about->width() - 1 - about->Panel1->lineWidth())
        << t->objectName().toStdString() << " runs into the bevel";
  }
  ExpectFits(about->Button1, about->Button1->text());
}

TEST_F(MainWindow, MenuOffersEightPortsAboutAndExit) {
  const QList<QAction*> bar = form.menuBar()->actions();
  ASSERT_EQ(bar.size(), 3);
  EXPECT_EQ(bar[0]->text(), "&Port");
  EXPECT_EQ(bar[1]->text(), "&About");
  EXPECT_EQ(bar[2]->text(), "&Exit");
  const QList<QAction*> items = form.Port1->actions();
  ASSERT_EQ(items.size(), 8);
  for (int n = 1; n <= 8; ++n) {
    EXPECT_EQ(items[n - 1]->text(), QStringLiteral("COM &%1").arg(n));
    EXPECT_EQ(items[n - 1]->objectName(), QStringLiteral("COM%11").arg(n));
    EXPECT_EQ(items[n - 1]->toolTip(),
              QString::fromStdString(DescribePort("COM" + std::to_string(n), system.places())));
  }
}

// An adapter plugged in while the program runs: the menu tells it the next
// time it opens, in the COM order (on-board UARTs first).
TEST_F(MainWindow, PortTooltipsAreReadAgainWhenTheMenuOpens) {
  form.Port1->aboutToShow();
  EXPECT_EQ(form.COM[0]->toolTip(), "no serial device behind COM1");
  system.Adapter("ttyUSB0", "1-2", "ch341", "1a86:7523", "", "USB Serial");
  system.Uart(0, 4);
  EXPECT_EQ(form.COM[0]->toolTip(), "no serial device behind COM1") << "read when the menu opens";
  form.Port1->aboutToShow();
  EXPECT_EQ(form.COM[0]->toolTip(), "/dev/ttyS0: serial8250, flow control: kernel");
  EXPECT_EQ(form.COM[1]->toolTip(), "/dev/ttyUSB0: ch341, USB 1a86:7523, USB Serial, flow control: program");
}

TEST_F(MainWindow, PortChoiceMovesBetweenTheStates) {
  BoxAnswerer boxes;
  form.COM[0]->trigger();
  EXPECT_FALSE(form.Button1->isHidden());
  EXPECT_FALSE(form.Button3->isHidden());
  EXPECT_EQ(form.Label2->text(), "");
  EXPECT_TRUE(form.core().timers().Enabled(Timer::Timer1));
  EXPECT_TRUE(form.Wake.isActive()) << "the poll wakes the window";

  ports.device("COM5").exists = false;
  form.COM[4]->trigger();
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, "ERROR, Can't use comport 'COM5'.");
  EXPECT_EQ(boxes.seen[0].title, " ") << "an empty caption shows no name";
  // The system's reason behind the fixed text, one click away.
  EXPECT_EQ(boxes.seen[0].details.toStdString(),
            "COM5: cannot open: " + std::string(testing::kFakeNoDevice));
  EXPECT_TRUE(boxes.seen[0].buttons.contains("Show Details..."));
  EXPECT_TRUE(form.Button1->isHidden());
  EXPECT_TRUE(form.Button3->isHidden());
  EXPECT_EQ(form.Label2->text(), "Select Port...");
  EXPECT_FALSE(form.core().timers().Enabled(Timer::Timer1));
  EXPECT_FALSE(form.Wake.isActive());
  EXPECT_FALSE(ports.device("COM1").open);
}

TEST_F(MainWindow, BoxesShowLineBreaksAndNoStrayCharacters) {
  BoxAnswerer boxes;
  boxes.answers = {QMessageBox::Cancel};
  EXPECT_EQ(form.MessageBox("1. One\r\n2. Two\r\n\r\nOBS! <b>x</b>", "", BoxButtons::OkCancel),
            BoxAnswer::Cancel);
  EXPECT_EQ(form.MessageBox("Done.", "INFO", BoxButtons::Ok), BoxAnswer::Ok);
  ASSERT_EQ(boxes.seen.size(), 2u);
  EXPECT_EQ(boxes.seen[0].text, "1. One\n2. Two\n\nOBS! <b>x</b>");
  EXPECT_EQ(boxes.seen[1].title, "INFO");
}

TEST_F(MainWindow, TitlesAreTheCaptionsAlone) {
  // Qt appends a display name, where one is set, to every title.
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), QGuiApplication::applicationName());
  EXPECT_EQ(QGuiApplication::desktopFileName(), "firmware-downloader");
  BoxAnswerer boxes;
  for (const char* caption : {"ERROR", "INFO", "Info", ""}) {
    form.MessageBox("Text.", caption, BoxButtons::Ok);
  }
  ASSERT_EQ(boxes.seen.size(), 4u);
  EXPECT_EQ(boxes.seen[0].title, "ERROR");
  EXPECT_EQ(boxes.seen[1].title, "INFO");
  EXPECT_EQ(boxes.seen[2].title, "Info");
  EXPECT_EQ(boxes.seen[3].title, " ") << "Qt would put the program's name into an empty title";
  EXPECT_TRUE(boxes.seen[0].buttons == QStringList{"OK"}) << "no details, no details button";
}

TEST_F(MainWindow, TheKeyboardReachesBothDownloads) {
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  form.COM[0]->trigger();
  EXPECT_EQ(QApplication::focusWidget(), form.Button1) << "the first button shown has the focus";
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form.Button3) << "Tab passes the hidden Button2";
  QTest::keyClick(form.Button3, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form.Button1) << "and the log";

  BoxAnswerer user;  // cancels each download at its first box
  user.answers = {QMessageBox::Cancel, QMessageBox::Cancel, QMessageBox::Cancel};
  QTest::keyClick(form.Button3, Qt::Key_Return);
  ASSERT_EQ(user.seen.size(), 1u) << "Enter starts the DVB download";
  EXPECT_EQ(form.focusWidget(), form.Button1) << "back at the first button";
  QTest::keyClick(form.Button1, Qt::Key_Space);
  EXPECT_EQ(user.seen.size(), 2u) << "Space starts the HEX download";
  QTest::keyClick(form.Button1, Qt::Key_Enter);
  EXPECT_EQ(user.seen.size(), 3u) << "so does Enter on the keypad";

  // Keys never land in the log, which stays out of the focus chain's way.
  QTest::keyClicks(form.Memo1, "F\rQ");
  EXPECT_EQ(form.Memo1->toPlainText(), "Memo1");
  EXPECT_EQ(ports.device("COM1").written, "") << "nothing typed reaches the port";
}

TEST_F(MainWindow, AnEscapedErrorIsShownAndTheProgramGoesOn) {
  BoxAnswerer boxes;
  ports.device("COM1").throw_on_open = true;
  form.COM[0]->trigger();
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_EQ(boxes.seen[0].text, "fake port: COM1 broke");
  form.COM[1]->trigger();
  EXPECT_TRUE(form.link().PortOpen()) << "handlers keep working after the error";
}

TEST_F(MainWindow, ExitClosesAtOnceOrWhenTheRunningHandlerReturns) {
  BoxAnswerer boxes;
  bool closed_while_box_open = true;
  boxes.while_open = [&](QMessageBox*) {
    form.Exit1->trigger();  // chosen while a handler still runs
    closed_while_box_open = form.closed();
  };
  ports.device("COM3").exists = false;
  form.show();
  form.COM[2]->trigger();
  EXPECT_FALSE(closed_while_box_open);
  EXPECT_TRUE(form.closed());
  EXPECT_FALSE(form.isVisible());
}

TEST_F(MainWindow, TheReceiveLogKeepsOnlyTheNewestLines) {
  for (int i = 0; i < TForm1::kLogLines + 50; ++i) form.AppendLogLine("line " + std::to_string(i));
  EXPECT_EQ(form.Memo1->blockCount(), TForm1::kLogLines);
  EXPECT_TRUE(form.Memo1->toPlainText().endsWith(
      QStringLiteral("line %1").arg(TForm1::kLogLines + 49)));
}

TEST(AboutWindow, ShowsAndHidesAnyNumberOfTimesWithoutBlocking) {
  FakeClock clock;
  FakePorts ports{clock};
  TForm1 form{ports, {}};
  TForm2* about = form.aboutWindow();
  EXPECT_FALSE(about->isVisible());
  EXPECT_TRUE(about->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(about->size(), QSize(264, 166));
  EXPECT_EQ(about->Panel1->palette().color(QPalette::Window), QColor(128, 128, 255));
  EXPECT_EQ(about->Panel1->lineWidth(), 3);
  EXPECT_EQ(about->StaticText1->text(), "Firmware Downloader V1.1");
  EXPECT_EQ(about->StaticText2->text(), "Is used to transfer firmware to ");
  EXPECT_EQ(about->StaticText3->text(), "VARDELO");
  EXPECT_EQ(about->StaticText5->text(), "With support for DVB firmware upgrade");
  EXPECT_EQ(about->StaticText1->geometry(), QRect(48, 16, 164, 20));
  EXPECT_EQ(about->Button1->geometry(), QRect(96, 112, 75, 25));
  EXPECT_TRUE(about->StaticText4->font().bold());
  for (int round = 0; round < 3; ++round) {
    form.About1->trigger();
    const QPoint where = about->pos();
    form.About1->trigger();  // shown twice: nothing changes
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->pos(), where);
    EXPECT_FALSE(about->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    QTest::mouseClick(about->Button1, Qt::LeftButton);
    EXPECT_FALSE(about->isVisible());
  }
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
    form.About1->trigger();
    QTest::keyClick(about->Button1, key);
    EXPECT_FALSE(about->isVisible()) << "key " << key;
  }
}

// The main window, counting how often a wait woke it.
class CountingForm : public TForm1 {
 public:
  using TForm1::TForm1;
  void WaitForEvents() override {
    ++wakes;
    TForm1::WaitForEvents();
  }
  int wakes = 0;
};

TEST(Waits, DelaySeesAnswersAndSleepsWhileItWaits) {
  testing::Pty pty;
  SystemSerialPorts ports(testing::Com1Options(pty.path));
  CountingForm form{ports, {}};
  form.COM[0]->trigger();
  ASSERT_TRUE(form.link().PortOpen());

  // What the instrument sends while the program waits comes in by the poll.
  pty.Send("\r\n>");
  for (int i = 0; i < 50 && !form.link().LastByteIs('>'); ++i) form.link().Delay(100);
  EXPECT_TRUE(form.link().LastByteIs('>'));
  EXPECT_TRUE(form.Memo1->toPlainText().startsWith("Memo1\n"));
  EXPECT_TRUE(form.Memo1->toPlainText().endsWith(">")) << "what came in is logged";

  // A wait that sleeps wakes for the poll's ticks, some fifty in 500 ms, and
  // fewer on a busy machine; one that spins would wake without end.
  form.wakes = 0;
  const auto start = std::chrono::steady_clock::now();
  form.link().Delay(500);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_LE(form.wakes, 2 * 500 / kPollInterval) << "Delay(500) woke " << form.wakes << " times";
  form.Exit1->trigger();
}

TEST(WholeDownload, DvbThroughTheWindowEndsTheProgramWhenItReturns) {
  testing::TempFile image(testing::EveryByteImage(3000), "image.bin");
  const std::string dir = std::filesystem::path(image.path).parent_path();
  testing::SimProcess sim(dir, {"--flash-ms", "100"});
  SystemSerialPorts ports(testing::Com1Options(sim.path));
  TForm1 form{ports, {}};
  form.show();
  form.COM[0]->trigger();
  BoxAnswerer user;
  user.pick = QString::fromStdString(image.path);
  QTest::mouseClick(form.Button3, Qt::LeftButton);  // runs the whole download

  ASSERT_EQ(user.dialogs.size(), 1u);
  EXPECT_EQ(user.dialogs[0].title, "Open Firmware file");
  EXPECT_EQ(user.dialogs[0].filters, QStringList{"Firmware file (*.bin)"});
  EXPECT_EQ(user.dialogs[0].directory, QDir::currentPath());
  ASSERT_EQ(user.seen.size(), 2u);
  EXPECT_EQ(user.seen[1].text, "Download comleted.\n\nPower off instrument.");
  EXPECT_EQ(user.seen[1].title, "Info");
  EXPECT_TRUE(sim.Image() == testing::EveryByteImage(3000));
  EXPECT_TRUE(form.closed());
  EXPECT_FALSE(form.link().PortOpen());
}

TEST_F(MainWindow, TheHexDialogOffersHexFilesFromTheWorkingFolder) {
  BoxAnswerer user;  // cancels the dialog
  EXPECT_EQ(form.RunOpenDialog(FileDialog::OpenDialog1), std::nullopt);
  ASSERT_EQ(user.dialogs.size(), 1u);
  EXPECT_EQ(user.dialogs[0].title, "Open Firmware file");
  EXPECT_EQ(user.dialogs[0].filters, QStringList{"Firmware file (*.hex)"});
  EXPECT_EQ(user.dialogs[0].directory, QDir::currentPath());
}

TEST_F(MainWindow, TheBusyStateOfTheHexDownloadDisablesPortAndExit) {
  BoxAnswerer user;
  form.COM[0]->trigger();
  bool port_enabled = true, exit_enabled = true;
  bool closed_by_window_manager = true;
  user.while_open = [&](QMessageBox*) {
    port_enabled = form.Port1->menuAction()->isEnabled();
    exit_enabled = form.Exit1->isEnabled();
    form.close();  // the title bar's close, refused like Exit
    closed_by_window_manager = form.closed();
  };
  user.answers = {QMessageBox::Cancel};
  QTest::mouseClick(form.Button1, Qt::LeftButton);
  EXPECT_FALSE(port_enabled);
  EXPECT_FALSE(exit_enabled);
  EXPECT_FALSE(closed_by_window_manager);
  EXPECT_FALSE(form.closed());
  EXPECT_TRUE(form.Port1->menuAction()->isEnabled());
  EXPECT_TRUE(form.Exit1->isEnabled());
  EXPECT_FALSE(form.Button1->isHidden());
}

}  // namespace
}  // namespace fwdl

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  SetDesktopIdentity();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
