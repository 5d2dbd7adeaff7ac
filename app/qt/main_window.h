// The main window "Firmware Downloader": port menu, status and progress
// labels, the download buttons and the hidden receive log. It
// implements the window operations for the serial link and the download
// procedures, and hands every event to them through one guard that shows
// an escaped error in the standard error box and lets the event loop go on.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <array>
#include <memory>

#include "app/handlers.h"
#include "download/core.h"
#include "platform/serial_port.h"
#include "platform/window_ops.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class TForm2;

class TForm1 : public QMainWindow, public fwdl::WindowOps {
  Q_OBJECT

 public:
  // Lines the receive log keeps.
  static constexpr int kLogLines = 10000;

  // `places`: where the port names lead, for the Port menu's tooltips.
  TForm1(fwdl::SerialPorts& ports, fwdl::SystemPlaces places);
  ~TForm1() override;

  // Handlers.
  void Com11Click() { core_.SelectPort("COM1"); }
  void Com21Click() { core_.SelectPort("COM2"); }
  void Com31Click() { core_.SelectPort("COM3"); }
  void Com41Click() { core_.SelectPort("COM4"); }
  void Com51Click() { core_.SelectPort("COM5"); }
  void Com61Click() { core_.SelectPort("COM6"); }
  void Com71Click() { core_.SelectPort("COM7"); }
  void Com81Click() { core_.SelectPort("COM8"); }
  void About1Click();
  void Exit1Click() { core_.Exit1Click(); }
  void Button1Click() { core_.Button1Click(); }
  void Button2Click() { core_.Button2Click(); }
  void Button3Click() { core_.Button3Click(); }

  fwdl::Core& core() { return core_; }
  fwdl::SerialLink& link() { return core_.link(); }
  TForm2* aboutWindow() const { return Form2.get(); }
  // True once the window has been closed for good.
  bool closed() const { return handlers_.closed(); }

  // Window operations.
  void SetStatusText(const std::string& text) override;
  void SetProgressText(const std::string& text) override;
  void SetButtonVisible(fwdl::Button button, bool visible) override;
  void SetMenuEnabled(fwdl::MenuItem item, bool enabled) override;
  fwdl::BoxAnswer ShowMessageBox(const std::string& text, const std::string& caption,
                                 fwdl::BoxButtons buttons, const std::string& details) override;
  std::optional<std::string> RunOpenDialog(fwdl::FileDialog dialog) override;
  void AppendLogLine(const std::string& line) override;
  void Notice(const std::string& text) override;
  void WakeAt(std::optional<fwdl::Millis> when) override;
  void PumpEvents() override;
  void WaitForEvents() override;
  void CloseMainWindow() override;

  // Components, named as in the form's design.
  QLabel* Label1;
  QLabel* Label2;
  QPushButton* Button1;
  QPushButton* Button2;
  QPushButton* Button3;
  QPlainTextEdit* Memo1;
  QMenu* Port1;
  std::array<QAction*, 8> COM;  // COM11 .. COM81
  QAction* About1;
  QAction* Exit1;
  // Wakes the core when its next timer (Timer1, Timer2, Timer3) is due.
  QTimer Wake;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void BuildMenu();
  // Each COM item's tooltip: where the name leads now and the adapter there.
  void DescribePorts();
  void InitConnections();
  // Closes the window for good once no handler runs any more.
  void FinishClose();
  QPushButton* button(fwdl::Button button) const;

  const fwdl::SystemPlaces places_;
  fwdl::Core core_;
  std::unique_ptr<TForm2> Form2;
  fwdl::Handlers handlers_;
};

// The application's standard error box.
void ShowStandardError(const QString& text);

// Names the program to the desktop (version, desktop entry, icon), so that
// window titles stay exactly the form's captions. Call once the
// application exists.
void SetDesktopIdentity();
