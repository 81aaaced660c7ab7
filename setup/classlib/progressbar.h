// A windowless progress bar drawn by the library: a frame and a bar filled
// from the left with a colour gradient.
#pragma once

#include "classlib/control.h"

class TProgressBar : public TControl {
public:
    explicit TProgressBar(TComponent* owner);

    int Min() const { return min_; }
    int Max() const { return max_; }
    void SetRange(int min, int max);
    int Position() const { return position_; }
    // Kept within Min..Max.
    void SetPosition(int position);
    TColor BarColorFrom() const { return barFrom_; }
    TColor BarColorTo() const { return barTo_; }
    void SetBarColorFrom(TColor color);
    void SetBarColorTo(TColor color);

    void Paint(TCanvas& canvas) override;

private:
    int min_ = 0, max_ = 100, position_ = 0;
    TColor barFrom_ = 0xAB5A00, barTo_ = 0xAB5A00;
};

using TJvXPProgressBar = TProgressBar;
