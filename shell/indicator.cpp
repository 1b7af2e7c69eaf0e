// Indicator pictures. Rectangles and lines of the drawing rule have exclusive
// right/bottom/end coordinates; Qt pens straddle their path instead, so the
// picture is built from the pixel set itself (filled rectangles, no pens).
#include "shell/indicator.h"

#include <array>

#include <QPainter>

namespace drvvzt {
namespace {

// Outline rectangle (0,3)-(16,15), right and bottom exclusive, 2 pixels thick
// inside it.
constexpr int kFrameLeft = 0;
constexpr int kFrameTop = 3;
constexpr int kFrameRight = 16;
constexpr int kFrameBottom = 15;
constexpr int kFrameWidth = 2;
// Bar columns run from y 5 to y 12, end exclusive.
constexpr int kBarTop = 5;
constexpr int kBarEnd = 12;
constexpr int kBarWidth = 5;
constexpr int kTickWrap = 16;

// The bar's columns; one above the wrap limit continues from the left.
std::array<int, kBarWidth> BarColumns(int tick) {
  std::array<int, kBarWidth> columns{};
  for (int i = 0; i < kBarWidth; ++i) {
    const int column = tick + i;
    columns[i] = column > kTickWrap ? column - kTickWrap : column;
  }
  return columns;
}

}  // namespace

QImage DrawIndicator(bool up, int tick) {
  QImage image(kIndicatorSize, kIndicatorSize, QImage::Format_RGB32);
  image.fill(Qt::white);
  const QColor ink = QColor::fromRgb(up ? kIndicatorUp : kIndicatorDown);
  QPainter painter(&image);
  const int frame_w = kFrameRight - kFrameLeft;
  const int frame_h = kFrameBottom - kFrameTop;
  painter.fillRect(QRect(kFrameLeft, kFrameTop, frame_w, kFrameWidth), ink);
  painter.fillRect(QRect(kFrameLeft, kFrameBottom - kFrameWidth, frame_w, kFrameWidth), ink);
  painter.fillRect(QRect(kFrameLeft, kFrameTop, kFrameWidth, frame_h), ink);
  painter.fillRect(QRect(kFrameRight - kFrameWidth, kFrameTop, kFrameWidth, frame_h), ink);
  for (int column : BarColumns(tick)) {
    if (column >= 0 && column < kIndicatorSize) painter.fillRect(QRect(column, kBarTop, 1, kBarEnd - kBarTop), ink);
  }
  return image;
}

}  // namespace drvvzt
