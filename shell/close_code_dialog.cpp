// The close-code dialog. The entry takes digits only, at most five, and never
// shows them: the code is on the screen of the window it protects.
#include "shell/close_code_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "shell/dialog_fonts.h"

namespace drvvzt {
namespace {

constexpr int kClientWidth = 281;
constexpr int kClientHeight = 93;
constexpr int kMaxDigits = 5;

}  // namespace

TForm2::TForm2(QWidget* parent)
    : QDialog(parent),
      entry_(new QLineEdit(this)),
      ok_(new QPushButton(QStringLiteral("ОК"), this)),
      cancel_(new QPushButton(QStringLiteral("Отмена"), this)) {
  setWindowTitle(QStringLiteral("Закрытый доступ"));
  setObjectName(QStringLiteral("Form2"));
  setFixedSize(kClientWidth, kClientHeight);

  auto* caption = new QLabel(QStringLiteral("Введите пароль для доступа"), this);
  caption->setFont(DialogTextFont());
  caption->move(48, 8);
  caption->adjustSize();

  entry_->setObjectName(QStringLiteral("Entry"));
  entry_->setGeometry(120, 33, 49, 19);
  entry_->setMaxLength(kMaxDigits);
  entry_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), entry_));
  entry_->setEchoMode(QLineEdit::Password);
  entry_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // '*'

  ok_->setObjectName(QStringLiteral("OkButton"));
  ok_->setGeometry(67, 58, 72, 25);
  ok_->setDefault(true);
  cancel_->setObjectName(QStringLiteral("CancelButton"));
  cancel_->setGeometry(145, 58, 72, 25);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

TCloseCodeResult TForm2::Ask(const QString& close_code) {
  entry_->selectAll();
  entry_->setFocus();
  if (exec() != QDialog::Accepted) return TCloseCodeResult::crCancelled;
  return entry_->text() == close_code ? TCloseCodeResult::crAccepted : TCloseCodeResult::crWrongCode;
}

}  // namespace drvvzt
