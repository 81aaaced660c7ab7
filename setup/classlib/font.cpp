// Fonts.
#include "classlib/font.h"

#include <cstring>

namespace {
const int PixelsPerInch = 96;
}

TFont::TFont() = default;

TFont::~TFont()
{
    FreeHandle();
}

void TFont::Assign(const TFont& source)
{
    if (&source == this)
        return;
    height_ = source.height_;
    name_ = source.name_;
    charset_ = source.charset_;
    color_ = source.color_;
    style_ = source.style_;
    Changed();
}

void TFont::SetHeight(int height)
{
    if (height == height_)
        return;
    height_ = height;
    Changed();
}

int TFont::Size() const
{
    int height = height_ < 0 ? -height_ : height_;
    return MulDiv(height, 72, PixelsPerInch);
}

void TFont::SetSize(int points)
{
    SetHeight(-MulDiv(points, PixelsPerInch, 72));
}

void TFont::SetName(const std::string& name)
{
    if (name == name_)
        return;
    name_ = name;
    Changed();
}

void TFont::SetCharset(BYTE charset)
{
    if (charset == charset_)
        return;
    charset_ = charset;
    Changed();
}

void TFont::SetColor(TColor color)
{
    if (color == color_)
        return;
    color_ = color;
    Changed();
}

void TFont::SetStyle(TFontStyles style)
{
    if (style == style_)
        return;
    style_ = style;
    Changed();
}

HFONT TFont::Handle() const
{
    if (!handle_) {
        LOGFONTA font;
        memset(&font, 0, sizeof font);
        font.lfHeight = height_;
        font.lfWeight = (style_ & fsBold) ? FW_BOLD : FW_NORMAL;
        font.lfItalic = (style_ & fsItalic) ? TRUE : FALSE;
        font.lfUnderline = (style_ & fsUnderline) ? TRUE : FALSE;
        font.lfStrikeOut = (style_ & fsStrikeOut) ? TRUE : FALSE;
        font.lfCharSet = charset_;
        font.lfOutPrecision = OUT_DEFAULT_PRECIS;
        font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        font.lfQuality = DEFAULT_QUALITY;
        font.lfPitchAndFamily = DEFAULT_PITCH;
        strncpy(font.lfFaceName, name_.c_str(), LF_FACESIZE - 1);
        handle_ = CreateFontIndirectA(&font);
    }
    return handle_;
}

void TFont::Changed()
{
    FreeHandle();
    if (OnChange)
        OnChange();
}

void TFont::FreeHandle() const
{
    if (handle_) {
        DeleteObject(handle_);
        handle_ = nullptr;
    }
}
