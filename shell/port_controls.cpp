// The port controls of the settings page: the scan of COM1..COM32 for free
// ports, the operator's choice of a port, start and stop of the running port,
// the opening of the configured port at start-up and the port-state message
// that tells the message server about every change.
#include <string>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>

#include "platform/diagnostics.h"
#include "platform/error_log.h"
#include "platform/serial_device.h"
#include "platform/ini_file.h"
#include "platform/serial_port_names.h"
#include "server/server_link.h"
#include "server/wire_format.h"
#include "shell/main_window.h"
#include "shell/message_box.h"
#include "station/serial_port.h"

namespace drvvzt {
namespace {

constexpr int kFirstScannedPort = 1;
constexpr int kLastScannedPort = 32;
constexpr int kStartUpRetryMs = 5000;

std::string ConfigFile(const std::string& start_dir) {
  return start_dir.empty() ? std::string("drvvzt.ini") : start_dir + "/drvvzt.ini";
}

QString DeviceToolTip(const QString& name, const std::string& ini_path) {
  const std::string device = DevicePathForPort(name.toStdString(), ini_path);
  if (device.empty()) return name + QStringLiteral(": нет устройства");
  return name + QStringLiteral(" — ") + QString::fromStdString(device);
}

}  // namespace

bool TForm1::PortRunning() const { return Button2->text() == QString::fromUtf8(kCaptionRunning); }

// A port that cannot be opened, for whatever reason, is simply not usable.
bool TForm1::ConnectPort(const std::string& name) {
  try {
    SerialPort1->SetPortName(std::string(kDeviceNamespacePrefix) + name);
    return SerialPort1->Connect();
  } catch (...) {
    return false;
  }
}

void TForm1::EnterStoppedState() {
  Button1->setEnabled(true);
  ComboBox1->setEnabled(true);
  Button2->setText(QString::fromUtf8(kCaptionStopped));
}

void TForm1::EnterRunningState() {
  Button2->setText(QString::fromUtf8(kCaptionRunning));
  Button1->setEnabled(false);
  ComboBox1->setEnabled(false);
}

// Start-up: the window is loaded in its running look; the configured port
// either makes that true or the controls go to the stopped state. No
// port-state message: the server link reports the port when it registers.
void TForm1::OpenConfiguredPort() {
  ComboBox1->setEditText(QString::fromStdString(settings_.ComPort));
  if (settings_.ComPort == kNoComPort) {
    EnterStoppedState();
    return;
  }
  if (ConnectPort(settings_.ComPort)) {
    Report(Severity::kInfo, "station port " + settings_.ComPort + " opened (" + SerialPort1->DevicePath() + ")");
    return;
  }
  ReportOpenFailure(settings_.ComPort);
  // Shown once start-up is over: the server link and the timer must not wait
  // for the operator to close it.
  startup_message_ = QStringLiteral("Порт уже занят. Смените его.");
  EnterStoppedState();
  // An adapter plugged in late is taken when it appears.
  startup_retry_->start(kStartUpRetryMs);
}

// The port scan. Each free port is opened with the line settings and closed
// again at once, so it runs only while the driver's own port is closed.
void TForm1::Button1Click() {
  StopStartUpRetries();
  // An empty scan must leave the text the operator saw (clearing an editable
  // list would blank it).
  const QString previous_text = ComboBox1->currentText();
  ComboBox1->clear();
  const std::string map_file = ConfigFile(StartDir_);
  for (int number = kFirstScannedPort; number <= kLastScannedPort; ++number) {
    const std::string name = "COM" + std::to_string(number);
    if (!ConnectPort(name)) continue;
    SerialPort1->Disconnect();
    const QString item = QString::fromStdString(name);
    ComboBox1->addItem(item);
    ComboBox1->setItemData(ComboBox1->count() - 1, DeviceToolTip(item, map_file), Qt::ToolTipRole);
  }
  if (ComboBox1->count() > 0) {
    ComboBox1->setCurrentIndex(0);
  } else {
    ComboBox1->setEditText(previous_text);
  }
  ComboBox1Select();
}

// A choice counts only while stopped: the running port is not swapped under
// the station's feet. A failure is logged as code 19 and nothing else happens.
void TForm1::ComboBox1Select() {
  StopStartUpRetries();
  try {
    if (Button2->text() != QString::fromUtf8(kCaptionStopped)) return;
    const std::string name = ComboBox1->currentText().toStdString();
    if (!WriteIniString(ConfigFile(StartDir_), "main", "ComPort", name)) {
      WriteErrorLog(StartDir_, kErrorPortWrite);
      return;
    }
    SetComPort(name);
    if (!SendPortState()) WriteErrorLog(StartDir_, kErrorPortWrite);
  } catch (...) {
    WriteErrorLog(StartDir_, kErrorPortWrite);
  }
}

// Start or stop, then the port-state message in every case, a refused stop
// and a failed start included.
void TForm1::Button2Click() {
  StopStartUpRetries();
  if (PortRunning()) {
    StopOnRequest();
  } else {
    StartChosenPort();
  }
  // A stop signal that arrived while a dialog was up has closed the driver.
  if (close_accepted_) return;
  if (!SendPortState()) WriteErrorLog(StartDir_, kErrorPortWrite);
}

// The port keeps running (and acknowledging packets) while the dialog waits.
void TForm1::StopOnRequest() {
  const TCloseCodeResult result = Form2->Ask(CloseCode_);
  if (close_accepted_) return;
  if (result != TCloseCodeResult::crAccepted) {
    ShowMessageBox(QStringLiteral("Неправильный пароль. В доступе отказано"));
    return;
  }
  if (SerialPort1->Connected()) SerialPort1->Disconnect();
  EnterStoppedState();
}

// Starting opens the name in the list; it does not change ComPort or the file.
void TForm1::StartChosenPort() {
  if (ConnectPort(ComboBox1->currentText().toStdString())) {
    SerialPort1->SetDTR(true);
    EnterRunningState();
    return;
  }
  ReportOpenFailure(ComboBox1->currentText().toStdString());
  ShowMessageBox(QStringLiteral("Порт уже занят!"));
  if (close_accepted_) return;
  Button1Click();
}

// The message boxes keep their texts; the log and standard error say why.
void TForm1::ReportOpenFailure(const std::string& name) {
  const SysError& cause = SerialPort1->LastError();
  Report(Severity::kError, "station port " + name + " cannot be opened: " + OpenFailureMessage(cause));
  PostLogText("Порт " + name + " не открыт: " + OpenCauseTextRu(OpenCauseOf(cause)) + ".");
}

void TForm1::StopStartUpRetries() {
  if (startup_retry_) startup_retry_->stop();
}

// Goes to the running state exactly as a successful start-up opening would
// have, and closes the start-up message if it is still up.
void TForm1::RetryConfiguredPort() {
  if (PortRunning() || !ConnectPort(settings_.ComPort)) return;
  StopStartUpRetries();
  EnterRunningState();
  if (!SendPortState()) WriteErrorLog(StartDir_, kErrorPortWrite);
  PostLogText("Порт " + settings_.ComPort + " открыт.");
  Report(Severity::kInfo, "station port " + settings_.ComPort + " opened (" + SerialPort1->DevicePath() + ")");
  startup_message_.clear();
  if (auto* box = qobject_cast<TMessageForm*>(QApplication::activeModalWidget())) box->reject();
}

std::string TForm1::RunningPortName() const {
  std::string name = SerialPort1->PortName();
  if (name.starts_with(kDeviceNamespacePrefix)) name.erase(0, kDeviceNamespacePrefix.size());
  return name;
}

void TForm1::OnStationLineLost(const SysError& cause) {
  const std::string name = RunningPortName();
  PostLogText("Связь с портом " + name + " потеряна.");
  Report(Severity::kError, "station port " + name + " lost: " + cause.Text() + "; reopening every 2 s");
  if (!SendPortState()) WriteErrorLog(StartDir_, kErrorPortWrite);
}

void TForm1::OnStationLineRestored() {
  const std::string name = RunningPortName();
  PostLogText("Связь с портом " + name + " восстановлена.");
  Report(Severity::kInfo, "station port " + name + " back (" + SerialPort1->DevicePath() + ")");
  if (!SendPortState()) WriteErrorLog(StartDir_, kErrorPortWrite);
}

// Queued whether or not the link is up; without a link thread there is nobody
// to tell. False when the message could not be queued.
bool TForm1::SendPortState() {
  if (!link_) return true;
  try {
    const auto body = PortStateBody(settings_.ComPort, PortOpen());
    return link_->PutMessage(mtPortState, body);
  } catch (...) {
    return false;
  }
}

// On Linux "COM9" says nothing about the adapter: the tooltip names the device.
void TForm1::ShowPortDevice(const QString& name) {
  ComboBox1->setToolTip(name.isEmpty() ? QString() : DeviceToolTip(name, ConfigFile(StartDir_)));
}

}  // namespace drvvzt
