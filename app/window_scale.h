#pragma once

#include <windows.h>

#include "base/scoped_gdi.h"

// The layout is given in pixels at 96 DPI, the scale Windows calls 100%.
const UINT kBaseDpi = 96;

inline int ScaleForDpi(int pixelsAt96, UINT dpi)
{
    return MulDiv(pixelsAt96, static_cast<int>(dpi), static_cast<int>(kBaseDpi));
}

// The window's own DPI where the platform tracks it per window (Windows 10
// 1607 and later), the system's otherwise.
UINT WindowDpi(HWND window);

// The user's message font for the DPI, and the same face 1.5 times the size,
// semibold, for a heading. Either may be null when the platform refuses to
// make it; the control then keeps the stock font.
struct WindowFonts {
    ScopedDeleteObject<HFONT> body;
    ScopedDeleteObject<HFONT> heading;
};
WindowFonts CreateWindowFonts(UINT dpi);
