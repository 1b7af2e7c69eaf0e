// The driver's message box: a one-line modal notice with an "ОК" button, sized
// to its text. All calls belong to the user-interface thread.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

namespace drvvzt {

class TMessageForm : public QDialog {
  Q_OBJECT

public:
  explicit TMessageForm(QWidget* parent = nullptr);

  // Sets the text and sizes the box for it: 10 pixels per character, the
  // button centred below. The height never changes.
  void SetText(const QString& text);
  // SetText, then shows the box modally until the operator closes it.
  void Execute(const QString& text);

  QLabel* TextLabel() const { return label_; }
  QPushButton* OkButton() const { return ok_; }

private:
  QLabel* label_;
  QPushButton* ok_;
};

// Shows `text` in a message box and returns once the operator has closed it.
// Usable as soon as the application object exists.
void ShowMessageBox(const QString& text);

}  // namespace drvvzt
