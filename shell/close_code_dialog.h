// The close-code dialog: asks for the five-digit code before the driver may be
// closed or its port stopped. All calls belong to the user-interface thread.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

namespace drvvzt {

enum class TCloseCodeResult { crAccepted, crWrongCode, crCancelled };

class TForm2 : public QDialog {
  Q_OBJECT

public:
  explicit TForm2(QWidget* parent = nullptr);

  // Shows the dialog modally with the previous entry kept and selected.
  // "ОК" compares the entry with `close_code` character for character;
  // "Отмена" or closing the window cancels.
  TCloseCodeResult Ask(const QString& close_code);

  QLineEdit* Entry() const { return entry_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }

private:
  QLineEdit* entry_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

}  // namespace drvvzt
