// Pictures drawn with QPainter, so the program ships no image files.
#include "shell/pictures.h"

#include <QPainter>
#include <QPainterPath>

namespace drvvzt {
namespace {

constexpr int kPictureWidth = 48;
constexpr int kPictureHeight = 40;

QPixmap Blank(int width, int height) {
  QPixmap pixmap(width, height);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

QPixmap MastPicture(int side) {
  QPixmap pixmap = Blank(side, side);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(side / 32.0, side / 32.0);
  p.setBrush(QColor(20, 70, 150));
  p.setPen(Qt::NoPen);
  p.drawEllipse(QRectF(1, 1, 30, 30));
  QPen mast(Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(mast);
  p.drawLine(QPointF(16, 12), QPointF(11, 27));
  p.drawLine(QPointF(16, 12), QPointF(21, 27));
  p.drawLine(QPointF(13, 21), QPointF(19, 21));
  p.setPen(QPen(QColor(120, 230, 120), 2, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(10, 4, 12, 12), 30 * 16, 120 * 16);
  p.drawArc(QRectF(6, 0, 20, 20), 35 * 16, 110 * 16);
  return pixmap;
}

constexpr int kIconSides[] = {16, 22, 32, 48, 64};

// The badge sits in the lower right quarter, over the foot of the mast, and
// is large enough to be told apart at 16 pixels.
void DrawBadge(QPixmap& pixmap, TrayHealth health) {
  if (health == TrayHealth::kHealthy) return;
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(pixmap.width() / 32.0, pixmap.height() / 32.0);
  const QRectF badge(15, 15, 17, 17);
  p.setPen(QPen(Qt::white, 1.5));
  if (health == TrayHealth::kDown) {
    p.setBrush(QColor(215, 25, 25));
    p.drawEllipse(badge);
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(19.5, 19.5), QPointF(27.5, 27.5));
    p.drawLine(QPointF(27.5, 19.5), QPointF(19.5, 27.5));
    return;
  }
  // Events waiting on disk: an amber disc with a bar, as of a stack of files.
  p.setBrush(QColor(245, 170, 0));
  p.drawEllipse(badge);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(60, 40, 0));
  p.drawRect(QRectF(19, 21, 9, 2));
  p.drawRect(QRectF(19, 25, 9, 2));
}

}  // namespace

QIcon DriverIcon() { return HealthIcon(TrayHealth::kHealthy); }

QIcon HealthIcon(TrayHealth health) {
  QIcon icon;
  for (int side : kIconSides) {
    QPixmap pixmap = MastPicture(side);
    DrawBadge(pixmap, health);
    icon.addPixmap(pixmap);
  }
  return icon;
}

QPixmap StatusPagePicture() {
  QPixmap pixmap = Blank(kPictureWidth, kPictureHeight);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(60, 60, 60), 2));
  p.setBrush(QColor(30, 40, 60));
  p.drawRoundedRect(QRectF(4, 2, 40, 28), 3, 3);
  p.setBrush(QColor(90, 90, 90));
  p.drawRect(QRectF(20, 30, 8, 4));
  p.drawRoundedRect(QRectF(12, 34, 24, 4), 2, 2);
  QPainterPath pulse;
  pulse.moveTo(8, 17);
  for (const QPointF& point : {QPointF(16, 17), QPointF(19, 8), QPointF(23, 25), QPointF(27, 12),
                               QPointF(30, 17), QPointF(40, 17)}) {
    pulse.lineTo(point);
  }
  p.setPen(QPen(QColor(0, 200, 0), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(pulse);
  return pixmap;
}

QPixmap SettingsPagePicture() {
  QPixmap pixmap = Blank(kPictureWidth, kPictureHeight);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  // A nine-pin connector shell seen from the front.
  QPainterPath shell;
  shell.moveTo(6, 6);
  shell.lineTo(42, 6);
  shell.lineTo(38, 24);
  shell.lineTo(10, 24);
  shell.closeSubpath();
  p.setPen(QPen(QColor(70, 70, 70), 2, Qt::SolidLine, Qt::SquareCap, Qt::RoundJoin));
  p.setBrush(QColor(200, 200, 210));
  p.drawPath(shell);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(180, 140, 20));
  for (int i = 0; i < 5; ++i) p.drawEllipse(QPointF(13 + i * 5.5, 12), 1.8, 1.8);
  for (int i = 0; i < 4; ++i) p.drawEllipse(QPointF(15.75 + i * 5.5, 18), 1.8, 1.8);
  // The cable leaving downwards.
  p.setPen(QPen(QColor(40, 40, 40), 4, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  QPainterPath cable;
  cable.moveTo(24, 25);
  cable.cubicTo(24, 34, 34, 30, 40, 37);
  p.drawPath(cable);
  return pixmap;
}

}  // namespace drvvzt
