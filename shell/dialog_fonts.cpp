// The dialogs' text face.
#include "shell/dialog_fonts.h"

namespace drvvzt {

QFont DialogTextFont() {
  QFont font(QStringLiteral("Times New Roman"));
  font.setStyleHint(QFont::Serif);
  font.setPixelSize(16);
  font.setBold(true);
  return font;
}

}  // namespace drvvzt
