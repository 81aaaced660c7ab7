// Drawing on a device context: fills, framed shapes, text and pictures with alpha.
#pragma once

#include "classlib/font.h"
#include "classlib/picture.h"

#include <string>

enum TPenStyle { psSolid, psClear };
enum TBrushStyle { bsSolid, bsClear };

struct TPen {
    TColor Color = clBlack;
    int Width = 1;
    TPenStyle Style = psSolid;
};

struct TBrush {
    TColor Color = clWhite;
    TBrushStyle Style = bsSolid;
};

// Text drawing flags.
using TTextFlags = unsigned;
const TTextFlags tfWordWrap = 1, tfCenter = 2, tfRight = 4, tfVerticalCenter = 8,
                 tfRtlReading = 16, tfCalcRect = 32;

class TCanvas {
public:
    explicit TCanvas(HDC dc) : dc_(dc) {}
    TCanvas(const TCanvas &) = delete;
    TCanvas &operator=(const TCanvas &) = delete;

    HDC Handle() const { return dc_; }

    void FillRect(const RECT &rect, TColor color);
    // A rectangle or a rounded rectangle (corner ellipse cornerWidth x
    // cornerHeight) outlined with pen and filled with brush; either may be clear.
    void Rectangle(const RECT &rect, const TPen &pen, const TBrush &brush);
    void RoundRect(const RECT &rect, int cornerWidth, int cornerHeight, const TPen &pen,
                   const TBrush &brush);
    // Draws text into rect with font (no prefix processing). With tfCalcRect it
    // draws nothing and sets rect to the size the text needs.
    void DrawText(const std::wstring &text, RECT &rect, const TFont &font, TTextFlags flags);
    // Draws picture at x, y with its alpha over what is already drawn.
    void Draw(int x, int y, const TPicture &picture);

private:
    HDC dc_;
};

// Measures text on a screen-compatible memory device context.
SIZE MeasureText(const std::wstring &text, const TFont &font, int wrapWidth);
