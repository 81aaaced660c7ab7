// Colours, cursors and mouse state.
#include "classlib/types.h"

TSysLocale SysLocale;

COLORREF ColorToRGB(TColor color)
{
    if (color < 0)
        return GetSysColor(color & 0xFF);
    return static_cast<COLORREF>(color) & 0xFFFFFF;
}

HCURSOR CursorHandle(TCursor cursor)
{
    switch (cursor) {
    case crHandPoint: return LoadCursor(nullptr, IDC_HAND);
    case crSizeAll: return LoadCursor(nullptr, IDC_SIZEALL);
    case crIBeam: return LoadCursor(nullptr, IDC_IBEAM);
    default: return LoadCursor(nullptr, IDC_ARROW);
    }
}

TShiftState ShiftStateFromKeys(WPARAM keys)
{
    TShiftState shift = 0;
    if (keys & MK_SHIFT)
        shift |= ssShift;
    if (keys & MK_CONTROL)
        shift |= ssCtrl;
    if (keys & MK_LBUTTON)
        shift |= ssLeft;
    if (keys & MK_RBUTTON)
        shift |= ssRight;
    if (keys & MK_MBUTTON)
        shift |= ssMiddle;
    if (GetKeyState(VK_MENU) < 0)
        shift |= ssAlt;
    return shift;
}
