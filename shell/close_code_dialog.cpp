// The close-code dialog. The entry takes digits only, at most five, and never
// shows them: the code is on the screen of the window it protects.
#include "shell/close_code_dialog.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "shell/dialog_fonts.h"
#include "shell/dialog_window.h"

namespace drvvzt {
namespace {

constexpr int kClientWidth = 281;
constexpr int kClientHeight = 93;
constexpr int kMaxDigits = 5;
constexpr int kEntryWidth = 49;
constexpr int kEntryHeight = 19;
// The field less its frame, its text margins and the cursor.
constexpr int kStarRoom = kEntryWidth - 10;

// The stars in the dialog's small face are a few pixels wide; the largest
// bold face in which five of them still fit the field makes them readable.
QFont StarFont(const QFont& base, int room) {
  QFont font = base;
  font.setBold(true);
  for (int pixels = 18; pixels > 8; --pixels) {
    font.setPixelSize(pixels);
    if (QFontMetrics(font).horizontalAdvance(QString(kMaxDigits, QLatin1Char('*'))) <= room) break;
  }
  return font;
}

}  // namespace

TForm2::TForm2(QWidget* parent)
    : QDialog(parent),
      entry_(new QLineEdit(this)),
      ok_(new QPushButton(QStringLiteral("ОК"), this)),
      cancel_(new QPushButton(QStringLiteral("Отмена"), this)) {
  MakeDialogWindow(this);
  setWindowTitle(QStringLiteral("Закрытый доступ"));
  setObjectName(QStringLiteral("Form2"));
  setFixedSize(kClientWidth, kClientHeight);

  auto* caption = new QLabel(QStringLiteral("Введите пароль для доступа"), this);
  caption->setFont(DialogTextFont());
  caption->move(48, 8);
  caption->adjustSize();

  entry_->setObjectName(QStringLiteral("Entry"));
  entry_->setGeometry(120, 33, kEntryWidth, kEntryHeight);
  entry_->setMaxLength(kMaxDigits);
  entry_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), entry_));
  entry_->setEchoMode(QLineEdit::Password);
  entry_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // '*'
  entry_->setTextMargins(0, 0, 0, 0);
  entry_->setFont(StarFont(entry_->font(), kStarRoom));

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
