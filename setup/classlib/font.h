// A font description with its GDI font, and change notification.
#pragma once

#include "classlib/types.h"

#include <string>

using TFontStyles = unsigned;
const TFontStyles fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8;

class TFont {
public:
    TFont();
    TFont(const TFont&) = delete;
    TFont& operator=(const TFont&) = delete;
    ~TFont();

    // Copies every property (and notifies once).
    void Assign(const TFont& source);

    // LOGFONT sign rule: negative is the character height, positive the cell height.
    int Height() const { return height_; }
    void SetHeight(int height);
    // Size in points at 96 pixels per inch (the sign of Height dropped).
    int Size() const;
    void SetSize(int points);
    const std::string& Name() const { return name_; }
    void SetName(const std::string& name);
    BYTE Charset() const { return charset_; }
    void SetCharset(BYTE charset);
    TColor Color() const { return color_; }
    void SetColor(TColor color);
    TFontStyles Style() const { return style_; }
    void SetStyle(TFontStyles style);

    // The GDI font; made on first use after a change, freed with the font.
    HFONT Handle() const;

    // Called after every change.
    std::function<void()> OnChange;

private:
    void Changed();
    void FreeHandle() const;

    int height_ = -11;
    std::string name_ = "MS Sans Serif";
    BYTE charset_ = DEFAULT_CHARSET;
    TColor color_ = clWindowText;
    TFontStyles style_ = 0;
    mutable HFONT handle_ = nullptr;
};
