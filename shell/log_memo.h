// The status page's log box: the server-link events, newest
// at the bottom, whose viewport holds a whole number of lines so that a box
// scrolled to its newest line shows no line cut in half.
// User-interface thread only.
#pragma once

#include <QPlainTextEdit>

namespace drvvzt {

class LogMemo final : public QPlainTextEdit {
  Q_OBJECT

public:
  explicit LogMemo(QWidget* parent);

  // The height of one line of text in the box.
  int LineHeight() const;

protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void FitWholeLines();
};

}  // namespace drvvzt
