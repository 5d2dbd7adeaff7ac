// Fonts and places shared by the program's windows.
#pragma once

#include <QFont>
#include <QRect>
#include <QStringList>

#include "app/form.h"

// A control's place in the form, as Qt takes it.
inline QRect Place(const fwdl::form::Control& c) {
  return {c.place.left, c.place.top, c.place.width, c.place.height};
}

// "MS Sans Serif" at a pixel height. Linux has no face by that name, and the
// fallback fontconfig picks (DejaVu Sans) is so much wider that the form's
// texts no longer fit their places; Liberation Sans, metric-compatible with
// the classic Windows sans faces, stands in before any other.
inline QFont SansSerif(int pixel_height, bool bold = false) {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixel_height);
  font.setBold(bold);
  return font;
}
