// Drives the driver's modal dialogs from inside their own event loops, so the
// window's code can be tested without a person in front of it.
#pragma once

#include <functional>
#include <vector>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "shell/message_box.h"

namespace drvvzt::testing {

// The next time a dialog of type T is the active modal window, `answer` runs
// with it (once). Polled from the event loop that the modal call runs.
template <typename T>
void AnswerNextModal(std::function<void(T*)> answer) {
  auto* poll = new QTimer(qApp);
  poll->setInterval(2);
  QObject::connect(poll, &QTimer::timeout, poll, [poll, answer] {
    auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) return;
    poll->stop();
    poll->deleteLater();
    answer(dialog);
  });
  poll->start();
}

// Types text into a widget key by key, as the operator would.
inline void TypeText(QWidget* widget, const QString& text) {
  for (QChar ch : text) {
    const int key = ch.isDigit() ? Qt::Key_0 + ch.digitValue() : Qt::Key_A + (ch.toUpper().unicode() - 'A');
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(widget, &release);
  }
}

}  // namespace drvvzt::testing

namespace drvvzt::testing {

// While it lives, every message box that opens is recorded and closed at once,
// so a test can tell which messages the code showed (or that it showed none).
class MessageBoxCatcher {
public:
  MessageBoxCatcher() {
    poll_.setInterval(2);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<TMessageForm*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      texts_.push_back(box->TextLabel()->text());
      box->accept();
    });
    poll_.start();
  }
  const std::vector<QString>& Texts() const { return texts_; }

private:
  QTimer poll_;
  std::vector<QString> texts_;
};

}  // namespace drvvzt::testing
