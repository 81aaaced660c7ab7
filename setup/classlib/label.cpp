// Labels.
#include "classlib/label.h"

TLabel::TLabel(TComponent* owner) : TControl(owner)
{
    SetBounds(0, 0, 65, 17);
    AdjustBounds();
}

void TLabel::SetCaption(const std::wstring& caption)
{
    if (caption == caption_)
        return;
    caption_ = caption;
    AdjustBounds();
    Invalidate();
}

void TLabel::SetAutoSize(bool on)
{
    autoSize_ = on;
    AdjustBounds();
}

void TLabel::SetWordWrap(bool on)
{
    wordWrap_ = on;
    AdjustBounds();
    Invalidate();
}

void TLabel::SetAlignment(TAlignment alignment)
{
    alignment_ = alignment;
    Invalidate();
}

void TLabel::SetLayout(TTextLayout layout)
{
    layout_ = layout;
    Invalidate();
}

void TLabel::FontChanged()
{
    AdjustBounds();
}

void TLabel::BiDiModeChanged()
{
    AdjustBounds();
}

void TLabel::AdjustBounds()
{
    if (!autoSize_)
        return;
    SIZE text = MeasureText(caption_, *Font(), wordWrap_ ? Width() : 0);
    int width = wordWrap_ ? Width() : text.cx;
    int left = Left();
    // A right-aligned label keeps its right edge.
    bool rightAligned = (alignment_ == taRightJustify) != UseRightToLeftAlignment();
    if (rightAligned && !wordWrap_)
        left += Width() - width;
    SetBounds(left, Top(), width, text.cy);
}

TTextFlags TLabel::Flags() const
{
    TTextFlags flags = wordWrap_ ? tfWordWrap : 0;
    TAlignment alignment = alignment_;
    if (UseRightToLeftAlignment() && alignment != taCenter)
        alignment = alignment == taLeftJustify ? taRightJustify : taLeftJustify;
    if (alignment == taCenter)
        flags |= tfCenter;
    else if (alignment == taRightJustify)
        flags |= tfRight;
    if (UseRightToLeftReading())
        flags |= tfRtlReading;
    return flags;
}

void TLabel::Paint(TCanvas& canvas)
{
    RECT area = {0, 0, Width(), Height()};
    if (!Transparent())
        canvas.FillRect(area, Color());
    RECT text = area;
    if (layout_ != tlTop) {
        RECT measured = area;
        canvas.DrawText(caption_, measured, *Font(), Flags() | tfCalcRect);
        int free = Height() - (measured.bottom - measured.top);
        text.top += layout_ == tlCenter ? free / 2 : free;
    }
    if (Enabled()) {
        canvas.DrawText(caption_, text, *Font(), Flags());
    } else {
        TFont grey;
        grey.Assign(*Font());
        grey.SetColor(static_cast<TColor>(0xFF000000u | COLOR_GRAYTEXT));
        canvas.DrawText(caption_, text, grey, Flags());
    }
}
