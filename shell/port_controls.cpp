// The port controls of the settings page: the list of free ports, the
// operator's choice, and the start/stop button whose caption is the port's
// run state. The operations themselves are the driver core's.
#include <string>

#include <QComboBox>
#include <QPushButton>

#include "core/station_chain.h"
#include "platform/serial_port_names.h"
#include "shell/main_window.h"

namespace drvvzt {
namespace {

QString DeviceToolTip(const QString& name, const std::string& ini_path) {
  const std::string device = DevicePathForPort(name.toStdString(), ini_path);
  if (device.empty()) return name + QStringLiteral(": нет устройства");
  return name + QStringLiteral(" — ") + QString::fromStdString(device);
}

// The file that maps port names to devices: drvvzt.ini of the working directory.
std::string PortMapFile(const DriverCore* core) {
  if (core == nullptr || core->StartDir().empty()) return kIniFileName;
  return core->StartDir() + "/" + kIniFileName;
}

}  // namespace

void TForm1::ComboBox1Select() { core_->ChoosePort(ChosenPort()); }

std::string TForm1::ChosenPort() { return ComboBox1->currentText().toStdString(); }

// An empty scan leaves the text the operator saw (clearing an editable list
// would blank it).
void TForm1::ShowPortList(const std::vector<std::string>& free_ports) {
  const QString previous_text = ComboBox1->currentText();
  ComboBox1->clear();
  const std::string map_file = PortMapFile(core_.get());
  for (const std::string& name : free_ports) {
    const QString item = QString::fromStdString(name);
    ComboBox1->addItem(item);
    ComboBox1->setItemData(ComboBox1->count() - 1, DeviceToolTip(item, map_file), Qt::ToolTipRole);
  }
  if (ComboBox1->count() > 0) {
    ComboBox1->setCurrentIndex(0);
  } else {
    ComboBox1->setEditText(previous_text);
  }
}

void TForm1::ShowConfiguredPort(const std::string& name) { ComboBox1->setEditText(QString::fromStdString(name)); }

void TForm1::ShowPortRunning(bool running) {
  Button2->setText(QString::fromUtf8(running ? kCaptionRunning : kCaptionStopped));
  Button1->setEnabled(!running);
  ComboBox1->setEnabled(!running);
}

// On Linux "COM9" says nothing about the adapter: the tooltip names the device.
void TForm1::ShowPortDevice(const QString& name) {
  ComboBox1->setToolTip(name.isEmpty() ? QString() : DeviceToolTip(name, PortMapFile(core_.get())));
}

}  // namespace drvvzt
