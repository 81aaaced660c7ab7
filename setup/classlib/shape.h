// A windowless rectangle or rounded rectangle with a pen and a brush.
#pragma once

#include "classlib/control.h"

enum TShapeType { stRectangle, stRoundRect };

class TShape : public TControl {
public:
    explicit TShape(TComponent* owner);

    TShapeType Shape() const { return shape_; }
    void SetShape(TShapeType shape);
    TPen* Pen() { return &pen_; }
    TBrush* Brush() { return &brush_; }

    // The outline lies inside the control: a pen of width w starts w / 2
    // pixels in, and the figure is Width - w + 1 wide.
    void Paint(TCanvas& canvas) override;

private:
    TShapeType shape_ = stRectangle;
    TPen pen_;
    TBrush brush_;
};
