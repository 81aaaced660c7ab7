// Drawing on a device context: fills, framed shapes, text and pictures with alpha.
#pragma once

#include "classlib/font.h"
#include "classlib/picture.h"

#include <functional>
#include <string>

enum TPenStyle { psSolid, psClear };
enum TBrushStyle { bsSolid, bsClear };

// An outline: colour, width and style; OnChange follows every change.
class TPen {
public:
    TColor Color() const { return color_; }
    void SetColor(TColor color) { Set(color_, color); }
    int Width() const { return width_; }
    void SetWidth(int width) { Set(width_, width < 0 ? 0 : width); }
    TPenStyle Style() const { return style_; }
    void SetStyle(TPenStyle style) { Set(style_, style); }
    std::function<void()> OnChange;

private:
    template <class T>
    void Set(T& field, T value)
    {
        if (field == value)
            return;
        field = value;
        if (OnChange)
            OnChange();
    }
    TColor color_ = clBlack;
    int width_ = 1;
    TPenStyle style_ = psSolid;
};

// A fill: colour and style; OnChange follows every change.
class TBrush {
public:
    TColor Color() const { return color_; }
    void SetColor(TColor color) { Set(color_, color); }
    TBrushStyle Style() const { return style_; }
    void SetStyle(TBrushStyle style) { Set(style_, style); }
    std::function<void()> OnChange;

private:
    template <class T>
    void Set(T& field, T value)
    {
        if (field == value)
            return;
        field = value;
        if (OnChange)
            OnChange();
    }
    TColor color_ = clWhite;
    TBrushStyle style_ = bsSolid;
};

// Text drawing flags.
using TTextFlags = unsigned;
const TTextFlags tfWordWrap = 1, tfCenter = 2, tfRight = 4, tfVerticalCenter = 8, tfRtlReading = 16,
                 tfCalcRect = 32;

class TCanvas {
public:
    explicit TCanvas(HDC dc) : dc_(dc) {}
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    HDC Handle() const { return dc_; }

    void FillRect(const RECT& rect, TColor color);
    // A rectangle or a rounded rectangle (corner ellipse cornerWidth x
    // cornerHeight) outlined with pen and filled with brush; either may be clear.
    void Rectangle(const RECT& rect, const TPen& pen, const TBrush& brush);
    void RoundRect(const RECT& rect, int cornerWidth, int cornerHeight, const TPen& pen, const TBrush& brush);
    // Draws text into rect with font (no prefix processing). With tfCalcRect it
    // draws nothing and sets rect to the size the text needs.
    void DrawText(const std::wstring& text, RECT& rect, const TFont& font, TTextFlags flags);
    // Draws picture at x, y with its alpha over what is already drawn.
    void Draw(int x, int y, const TPicture& picture);

private:
    HDC dc_;
};

// Measures text on a screen-compatible memory device context; an empty text
// measures as one blank, so that an empty label keeps a line's height. Unwrapped
// text is as wide as its ink when the last glyph reaches past its advance.
SIZE MeasureText(const std::wstring& text, const TFont& font, int wrapWidth);
