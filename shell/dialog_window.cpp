// Dialog windows: flags, owner, centring, no minimising.
//
// Centring has to wait for the window manager: until it has framed the
// dialog, Qt knows the client area only, and a dialog placed by that is off
// centre by its frame. The placement is therefore redone whenever the frame's
// size differs from the one it was last centred with; a move by the operator
// keeps the size and is left alone.
#include "shell/dialog_window.h"

#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace drvvzt {
namespace {

QPointer<QWidget>& DialogOwner() {
  static QPointer<QWidget> owner;
  return owner;
}

QWidget* OwnerOf(QDialog* dialog) {
  if (QWidget* parent = dialog->parentWidget()) return parent->window();
  QWidget* owner = DialogOwner();
  return owner != dialog ? owner : nullptr;
}

QScreen* ScreenOf(QDialog* dialog, QWidget* owner) {
  if (owner != nullptr && owner->screen() != nullptr) return owner->screen();
  if (dialog->screen() != nullptr) return dialog->screen();
  return QGuiApplication::primaryScreen();
}

class DialogPlacement final : public QObject {
public:
  explicit DialogPlacement(QDialog* dialog) : QObject(dialog), dialog_(dialog) { dialog->installEventFilter(this); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != dialog_) return false;
    switch (event->type()) {
      case QEvent::Show:
        AttachToOwner();
        centred_frame_ = QSize();
        Centre();
        break;
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::WindowActivate:
        if (dialog_->isVisible() && dialog_->frameGeometry().size() != centred_frame_) Centre();
        break;
      case QEvent::WindowStateChange:
        // Changing the state from inside its own change event is lost on
        // some window managers.
        if (dialog_->windowState() & Qt::WindowMinimized) {
          QTimer::singleShot(0, dialog_, [dialog = dialog_] {
            dialog->setWindowState(dialog->windowState() & ~Qt::WindowMinimized);
          });
        }
        break;
      default:
        break;
    }
    return false;
  }

private:
  void AttachToOwner() {
    QWidget* owner = OwnerOf(dialog_);
    if (owner == nullptr) return;
    owner->winId();  // a main window still hidden at start-up has no native window yet
    dialog_->winId();
    if (QWindow* handle = dialog_->windowHandle()) handle->setTransientParent(owner->windowHandle());
  }

  void Centre() {
    QScreen* screen = ScreenOf(dialog_, OwnerOf(dialog_));
    if (screen == nullptr) return;
    const QRect area = screen->availableGeometry();
    const QSize frame = dialog_->frameGeometry().size();
    centred_frame_ = frame;
    // A top-level move places the frame, not the client area.
    dialog_->move(area.left() + (area.width() - frame.width()) / 2, area.top() + (area.height() - frame.height()) / 2);
  }

  QDialog* dialog_;
  QSize centred_frame_;
};

}  // namespace

void MakeDialogWindow(QDialog* dialog) {
  dialog->setWindowFlags(kDialogWindowFlags);
  new DialogPlacement(dialog);
}

void SetDialogOwner(QWidget* main_window) { DialogOwner() = main_window; }

}  // namespace drvvzt
