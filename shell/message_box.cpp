// The message box: sized per call from the number of characters, because the
// texts differ in length from "Порт уже занят!" to whole sentences.
#include "shell/message_box.h"



#include <cmath>

#include <QLabel>
#include <QPushButton>

#include "shell/dialog_fonts.h"
#include "shell/dialog_window.h"

namespace drvvzt {
namespace {

constexpr int kClientHeight = 73;
constexpr int kTextPoints = 12;  // the 16-pixel text face
constexpr int kPixelsPerChar = kTextPoints - 2;
constexpr int kTextLeft = 2;
constexpr int kTextTop = 16;
constexpr int kTextHeight = 20;
constexpr int kButtonWidth = 72;
constexpr int kButtonHeight = 25;
constexpr int kButtonTop = 41;

}  // namespace

TMessageForm::TMessageForm(QWidget* parent)
    : QDialog(parent), label_(new QLabel(this)), ok_(new QPushButton(QStringLiteral("ОК"), this)) {
  MakeDialogWindow(this);
  setWindowTitle(QStringLiteral("advsm"));
  setObjectName(QStringLiteral("MessageForm"));
  label_->setObjectName(QStringLiteral("TextLabel"));
  label_->setFont(DialogTextFont());
  label_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  ok_->setObjectName(QStringLiteral("OkButton"));
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  SetText(QString());
}

void TMessageForm::SetText(const QString& text) {
  const int width = static_cast<int>(text.size()) * kPixelsPerChar;
  label_->setText(text);
  setFixedSize(width, kClientHeight);
  label_->setGeometry(kTextLeft, kTextTop, width, kTextHeight);
  const int button_left = static_cast<int>(std::lround((width - kButtonWidth) / 2.0));
  ok_->setGeometry(button_left, kButtonTop, kButtonWidth, kButtonHeight);
}

void TMessageForm::Execute(const QString& text) {
  SetText(text);
  exec();
}

void ShowMessageBox(const QString& text) {
  TMessageForm box;
  box.Execute(text);
}

}  // namespace drvvzt
