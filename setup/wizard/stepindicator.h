// The step indicator: a row of numbered boxes under the header band with an
// arrow between neighbours; the current step is lit. It mirrors for
// right-to-left reading, while the numbers stay left to right.
#pragma once

#include "classlib/image.h"
#include "classlib/label.h"
#include "classlib/shape.h"
#include "classlib/wincontrol.h"

#include <memory>
#include <vector>

struct StepItem {
    TJvSpecialImage* arrow = nullptr;  // null in a row without arrows
    TShape* box = nullptr;
    TLabel* number = nullptr;
};

struct StepIndicators {
    TWinControl* parent = nullptr;  // owner and parent of every control of the row
    int count = 0;
    int arrowImageId = 0;  // 0: a row without arrows
    int arrowImageKind = 1;
    int arrowWidth = 0;
    int arrowHeight = 0;
    int penWidth = 1;
    int boxWidth = 0;
    int boxHeight = 0;
    TColor normalBrushColor = 0;
    TColor normalFontColor = 0;
    TColor normalPenColor = 0;
    TColor activeBrushColor = 0;
    TColor activeFontColor = 0;
    TColor activePenColor = 0;
    std::vector<StepItem> items;  // count items once created
};

// A row of count steps for the caller to fill; null for a count of 0 or less or
// when memory runs out.
std::unique_ptr<StepIndicators> AllocStepIndicators(int count);
// Makes every item's arrow, box and number ("1", "2", ...), all hidden. False at
// the first control that cannot be made (those made stay with the parent).
bool CreateStepIndicators(StepIndicators* steps);
// Boxes and numbers at top; arrows centred on the boxes' height.
void SetStepIndicatorsTop(StepIndicators* steps, int top);
// Places the row from x: x is the left edge of the first item, or mirrored its
// distance from the parent's right edge.
void LayoutStepIndicators(StepIndicators* steps, int x);
// Lights step n and shows the row without its first arrow, then paints it at
// once; 0 hides the row. Painting dispatches no input, so no click can be
// handled in the middle of a page switch.
void ShowStep(StepIndicators* steps, int n);
