// Shapes.
#include "classlib/shape.h"

TShape::TShape(TComponent* owner) : TControl(owner)
{
    SetBounds(0, 0, 65, 65);
    pen_.OnChange = [this] { Invalidate(); };
    brush_.OnChange = [this] { Invalidate(); };
}

void TShape::SetShape(TShapeType shape)
{
    shape_ = shape;
    Invalidate();
}

void TShape::Paint(TCanvas& canvas)
{
    int inset = pen_.Width() / 2;
    int width = Width() - pen_.Width() + 1, height = Height() - pen_.Width() + 1;
    if (pen_.Width() == 0) {
        width--;
        height--;
    }
    RECT figure = {inset, inset, inset + width, inset + height};
    if (shape_ == stRoundRect) {
        int corner = (width < height ? width : height) / 4;
        canvas.RoundRect(figure, corner, corner, pen_, brush_);
    } else {
        canvas.Rectangle(figure, pen_, brush_);
    }
}
