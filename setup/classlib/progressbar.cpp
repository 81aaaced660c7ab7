// Progress bars.
#include "classlib/progressbar.h"

TProgressBar::TProgressBar(TComponent* owner) : TControl(owner)
{
    SetBounds(0, 0, 150, 16);
    SetColor(clWhite);
}

void TProgressBar::SetRange(int min, int max)
{
    min_ = min;
    max_ = max > min ? max : min;
    SetPosition(position_);
}

void TProgressBar::SetPosition(int position)
{
    position = position < min_ ? min_ : position > max_ ? max_ : position;
    if (position == position_)
        return;
    position_ = position;
    Invalidate();
}

void TProgressBar::SetBarColorFrom(TColor color)
{
    barFrom_ = color;
    Invalidate();
}

void TProgressBar::SetBarColorTo(TColor color)
{
    barTo_ = color;
    Invalidate();
}

void TProgressBar::Paint(TCanvas& canvas)
{
    RECT all = {0, 0, Width(), Height()};
    TPen frame;
    frame.SetColor(0x808080);
    TBrush background;
    background.SetColor(Color());
    canvas.Rectangle(all, frame, background);
    int inner = Width() - 4;
    if (inner <= 0 || max_ == min_)
        return;
    int filled = MulDiv(inner, position_ - min_, max_ - min_);
    COLORREF from = ColorToRGB(barFrom_), to = ColorToRGB(barTo_);
    for (int x = 0; x < filled; x++) {  // one column per pixel across the bar
        auto mix = [&](int a, int b) { return a + (b - a) * x / (inner > 1 ? inner - 1 : 1); };
        TColor column = RGB(mix(GetRValue(from), GetRValue(to)), mix(GetGValue(from), GetGValue(to)),
                            mix(GetBValue(from), GetBValue(to)));
        RECT line = {2 + x, 2, 3 + x, Height() - 2};
        canvas.FillRect(line, column);
    }
}
