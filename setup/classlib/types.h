// The small value types of the class library: colours, cursors, anchors, mouse
// state, reading direction and the event handler types.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

class TObject;

// A colour: a COLORREF (0x00BBGGRR), or a system colour (0xFF0000nn, nn the
// GetSysColor index).
using TColor = int32_t;
const TColor clBlack = 0x000000;
const TColor clWhite = 0xFFFFFF;
const TColor clWindowText = static_cast<TColor>(0xFF000000u | COLOR_WINDOWTEXT);
const TColor clWindow = static_cast<TColor>(0xFF000000u | COLOR_WINDOW);
const TColor clBtnFace = static_cast<TColor>(0xFF000000u | COLOR_BTNFACE);

// The COLORREF of a colour, resolving system colours.
COLORREF ColorToRGB(TColor color);

// Cursor ids.
using TCursor = int16_t;
const TCursor crDefault = 0;
const TCursor crArrow = -2;
const TCursor crIBeam = -4;
const TCursor crHandPoint = -21;
const TCursor crSizeAll = -22;

// The system cursor of a cursor id (crDefault gives the arrow).
HCURSOR CursorHandle(TCursor cursor);

// Anchors: a set of sides whose distance to the parent's edge a control keeps.
using TAnchors = unsigned;
const TAnchors akLeft = 1, akTop = 2, akRight = 4, akBottom = 8;

enum TAlign { alNone };

enum TMouseButton { mbLeft, mbRight, mbMiddle };

// Keys and buttons held during a mouse event.
using TShiftState = unsigned;
const TShiftState ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32;

// The shift state of a mouse message's wParam.
TShiftState ShiftStateFromKeys(WPARAM keys);

enum TBiDiMode { bdLeftToRight, bdRightToLeft, bdRightToLeftNoAlign, bdRightToLeftReadingOnly };

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

using TNotifyEvent = std::function<void(TObject* sender)>;
using TMouseEvent =
    std::function<void(TObject* sender, TMouseButton button, TShiftState shift, int x, int y)>;
using TMouseMoveEvent = std::function<void(TObject* sender, TShiftState shift, int x, int y)>;
using TCloseQueryEvent = std::function<void(TObject* sender, bool& canClose)>;

// Global locale facts of the class library.
struct TSysLocale {
    // True when the user interface reads right to left (Hebrew, Arabic).
    bool MiddleEast = false;
};
extern TSysLocale SysLocale;
