// Drawing with GDI.
#include "classlib/canvas.h"

#include <cstdint>
#include <cstring>

namespace {

// Selects a GDI object into a device context for one scope.
class Selected {
public:
    Selected(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~Selected() { SelectObject(dc_, previous_); }
    Selected(const Selected&) = delete;
    Selected& operator=(const Selected&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// A pen centred on the outline, as the shape inset rule expects.
HPEN MakePen(const TPen& pen)
{
    if (pen.Style() == psClear || pen.Width() <= 0)
        return CreatePen(PS_NULL, 0, 0);
    return CreatePen(PS_SOLID, pen.Width(), ColorToRGB(pen.Color()));
}

HBRUSH MakeBrush(const TBrush& brush)
{
    if (brush.Style() == bsClear)
        return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    return CreateSolidBrush(ColorToRGB(brush.Color()));
}

template <class Draw>
void WithPenAndBrush(HDC dc, const TPen& pen, const TBrush& brush, Draw draw)
{
    HPEN gdiPen = MakePen(pen);
    HBRUSH gdiBrush = MakeBrush(brush);
    {
        Selected p(dc, gdiPen), b(dc, gdiBrush);
        draw();
    }
    DeleteObject(gdiPen);
    DeleteObject(gdiBrush);  // stock objects ignore it
}

UINT DrawTextFormat(TTextFlags flags)
{
    UINT format = DT_NOPREFIX;
    format |= (flags & tfWordWrap) ? DT_WORDBREAK : 0;
    format |= (flags & tfCenter) ? DT_CENTER : 0;
    format |= (flags & tfRight) ? DT_RIGHT : 0;
    format |= (flags & tfVerticalCenter) ? DT_VCENTER | DT_SINGLELINE : 0;
    format |= (flags & tfRtlReading) ? DT_RTLREADING : 0;
    format |= (flags & tfCalcRect) ? DT_CALCRECT : 0;
    return format;
}

}  // namespace

void TCanvas::FillRect(const RECT& rect, TColor color)
{
    HBRUSH brush = CreateSolidBrush(ColorToRGB(color));
    ::FillRect(dc_, &rect, brush);
    DeleteObject(brush);
}

void TCanvas::Rectangle(const RECT& rect, const TPen& pen, const TBrush& brush)
{
    WithPenAndBrush(dc_, pen, brush, [&] { ::Rectangle(dc_, rect.left, rect.top, rect.right, rect.bottom); });
}

void TCanvas::RoundRect(const RECT& rect, int cornerWidth, int cornerHeight, const TPen& pen,
                        const TBrush& brush)
{
    WithPenAndBrush(dc_, pen, brush, [&] {
        ::RoundRect(dc_, rect.left, rect.top, rect.right, rect.bottom, cornerWidth, cornerHeight);
    });
}

void TCanvas::DrawText(const std::wstring& text, RECT& rect, const TFont& font, TTextFlags flags)
{
    Selected f(dc_, font.Handle());
    int oldMode = SetBkMode(dc_, TRANSPARENT);
    COLORREF oldColor = SetTextColor(dc_, ColorToRGB(font.Color()));
    ::DrawTextW(dc_, text.c_str(), static_cast<int>(text.size()), &rect, DrawTextFormat(flags));
    SetTextColor(dc_, oldColor);
    SetBkMode(dc_, oldMode);
}

void TCanvas::Draw(int x, int y, const TPicture& picture)
{
    if (picture.Empty())
        return;
    BITMAPINFO info;
    memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.Width();
    info.bmiHeader.biHeight = -picture.Height();  // top down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap)
        return;
    memcpy(bits, picture.Pixels().data(), picture.Pixels().size() * sizeof(uint32_t));
    HDC source = CreateCompatibleDC(dc_);
    {
        Selected s(source, bitmap);
        BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        GdiAlphaBlend(dc_, x, y, picture.Width(), picture.Height(), source, 0, 0, picture.Width(),
                      picture.Height(), blend);
    }
    DeleteDC(source);
    DeleteObject(bitmap);
}

namespace {

// The right edge of the ink that text leaves when drawn from the left edge with font
// selected into dc, within a band of width x height pixels; 0 for no ink.
int InkRight(HDC dc, const std::wstring& text, int width, int height)
{
    BITMAPINFO info;
    memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap)
        return 0;
    int right = 0;
    {
        Selected s(dc, bitmap);
        memset(bits, 0xFF, static_cast<size_t>(width) * height * 4);
        RECT band = {0, 0, width, height};
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(0, 0, 0));
        ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &band, DT_NOPREFIX | DT_NOCLIP);
        GdiFlush();
        const uint32_t* pixels = static_cast<const uint32_t*>(bits);
        for (int y = 0; y < height; y++)
            for (int x = width - 1; x >= right; x--)
                if ((pixels[y * width + x] & 0xFFFFFF) != 0xFFFFFF) {
                    right = x + 1;
                    break;
                }
    }
    DeleteObject(bitmap);
    return right;
}

}  // namespace

SIZE MeasureText(const std::wstring& text, const TFont& font, int wrapWidth)
{
    const std::wstring& shown = text.empty() ? std::wstring(L" ") : text;
    HDC dc = CreateCompatibleDC(nullptr);
    RECT rect = {0, 0, wrapWidth > 0 ? wrapWidth : 0, 0};
    {
        TCanvas canvas(dc);
        canvas.DrawText(shown, rect, font, tfCalcRect | (wrapWidth > 0 ? tfWordWrap : 0));
    }
    SIZE size = {rect.right - rect.left, rect.bottom - rect.top};
    // The advances are not the whole text: the last glyph, with the smoothing of its edge,
    // can reach a pixel or two past them, and a label as wide as the advances would cut
    // that off. The ink is measured by drawing the text with the font itself.
    if (wrapWidth <= 0 && size.cx > 0 && size.cy > 0) {
        Selected f(dc, font.Handle());
        int ink = InkRight(dc, shown, size.cx + size.cy, size.cy);
        if (ink > size.cx)
            size.cx = ink;
    }
    DeleteDC(dc);
    return size;
}
