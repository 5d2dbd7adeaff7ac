// Fonts shared by the program's windows.
#pragma once

#include <QFont>

// "MS Sans Serif" at a pixel height; any sans-serif face stands in where the
// system has none by that name.
inline QFont SansSerif(int pixel_height, bool bold = false) {
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixel_height);
  font.setBold(bold);
  return font;
}
