// The title band and its drag.
#include "shell/title_band.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

namespace drvvzt {

bool StartSystemMove(QWindow* window) { return window != nullptr && window->startSystemMove(); }

TitleBand::TitleBand(QWidget* parent) : QWidget(parent), start_move_(StartSystemMove) {}

void TitleBand::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QLinearGradient shade(0, 0, 0, height());
  shade.setColorAt(0, QColor(30, 60, 120));
  shade.setColorAt(1, QColor(10, 25, 60));
  p.fillRect(rect(), shade);
}

void TitleBand::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  event->accept();
  QWidget* top = window();
  if (start_move_ && start_move_(top->windowHandle())) return;
  grip_ = event->globalPosition().toPoint() - top->frameGeometry().topLeft();
}

void TitleBand::mouseMoveEvent(QMouseEvent* event) {
  if (!grip_ || !(event->buttons() & Qt::LeftButton)) {
    QWidget::mouseMoveEvent(event);
    return;
  }
  event->accept();
  window()->move(event->globalPosition().toPoint() - *grip_);
}

void TitleBand::mouseReleaseEvent(QMouseEvent* event) {
  grip_.reset();
  QWidget::mouseReleaseEvent(event);
}

}  // namespace drvvzt
