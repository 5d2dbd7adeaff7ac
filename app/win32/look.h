// Fonts shared by the program's windows.
#pragma once

#include <windows.h>

#include "app/form.h"

// "MS Sans Serif" at a pixel height; the caller deletes it with DeleteObject.
inline HFONT SansSerif(int pixel_height, bool bold = false) {
  return CreateFontA(-pixel_height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, fwdl::form::kFontFace);
}
