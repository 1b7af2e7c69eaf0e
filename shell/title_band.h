// The window's own title bar: the product title on a dark gradient with the
// "_" and "×" buttons. The main window has no frame from the window manager,
// so pressing the band and dragging moves the window.
// User-interface thread only.
#pragma once

#include <functional>
#include <optional>

#include <QPoint>
#include <QWidget>

class QWindow;

namespace drvvzt {

class TitleBand final : public QWidget {
public:
  // Hands a drag to the window manager; false when the platform cannot, and
  // the band then moves the window itself while the button is held.
  using MoveStarter = std::function<bool(QWindow* window)>;

  explicit TitleBand(QWidget* parent);

  // Replaces the hand-over to the window manager (tests observe it here; an
  // offscreen platform has no window manager to move anything).
  void SetMoveStarter(MoveStarter starter) { start_move_ = std::move(starter); }

protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

private:
  MoveStarter start_move_;
  // Where in the window the pointer took hold, while the band drags by itself.
  std::optional<QPoint> grip_;
};

// QWindow::startSystemMove: the window manager moves the window, which also
// works on Wayland, where a client cannot place its own window.
bool StartSystemMove(QWindow* window);

}  // namespace drvvzt
