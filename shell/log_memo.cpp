// The log box. At its end a plain-text box aligns the newest line with the
// bottom of the viewport; when the viewport is not a whole number of lines
// high the remainder is taken from the top line. The part of the box below
// the last whole line is therefore kept out of the viewport, as a margin in
// the text's own background.
#include "shell/log_memo.h"

#include <algorithm>
#include <cmath>

#include <QEvent>
#include <QFontMetricsF>
#include <QTextDocument>

namespace drvvzt {

LogMemo::LogMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  FitWholeLines();
}

int LogMemo::LineHeight() const { return static_cast<int>(std::ceil(QFontMetricsF(font()).lineSpacing())); }

void LogMemo::resizeEvent(QResizeEvent* event) {
  FitWholeLines();
  QPlainTextEdit::resizeEvent(event);
}

void LogMemo::changeEvent(QEvent* event) {
  QPlainTextEdit::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) FitWholeLines();
}

void LogMemo::FitWholeLines() {
  const int inner = height() - 2 * frameWidth();
  const int margins = static_cast<int>(std::ceil(2 * document()->documentMargin()));
  const int line = std::max(1, LineHeight());
  const int lines = std::max(1, (inner - margins) / line);
  const int spare = std::max(0, inner - margins - lines * line);
  setViewportMargins(0, 0, 0, spare);
}

}  // namespace drvvzt
