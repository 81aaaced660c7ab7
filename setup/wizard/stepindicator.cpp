// The step indicator.
#include "wizard/stepindicator.h"

#include "classlib/form.h"
#include "wizard/customcontrol.h"

#include <new>
#include <string>

namespace {

bool CreateStepItem(StepIndicators* steps, StepItem& item)
{
    TWinControl* parent = steps->parent;
    if (steps->arrowImageId != 0) {
        item.arrow = new (std::nothrow) TJvSpecialImage(parent);
        if (!item.arrow)
            return false;
        item.arrow->SetParent(parent);
        item.arrow->SetVisible(false);
        item.arrow->SetAutoSize(true);
        item.arrow->SetTransparent(true);
        LoadImageResource(item.arrow, steps->arrowImageId, static_cast<uint8_t>(steps->arrowImageKind));
    }
    item.box = new (std::nothrow) TShape(parent);
    if (!item.box)
        return false;
    item.box->SetParent(parent);
    item.box->SetVisible(false);
    item.box->SetShape(stRoundRect);
    item.box->SetWidth(steps->boxWidth);
    item.box->SetHeight(steps->boxHeight);
    item.box->Pen()->SetWidth(steps->penWidth);

    item.number = new (std::nothrow) TLabel(parent);
    if (!item.number)
        return false;
    item.number->SetParent(parent);
    item.number->SetBiDiMode(bdLeftToRight);  // digits never mirror
    item.number->SetVisible(false);
    item.number->SetAutoSize(false);
    item.number->SetTransparent(true);
    item.number->SetWidth(steps->boxWidth);
    item.number->SetHeight(steps->boxHeight);
    item.number->SetAlignment(taCenter);
    item.number->SetLayout(tlCenter);
    item.number->Font()->SetStyle(fsBold);
    return true;
}

void SetStepItemVisible(StepItem& item, bool visible)
{
    if (item.arrow)
        item.arrow->SetVisible(visible);
    item.box->SetVisible(visible);
    item.number->SetVisible(visible);
}

void SetStepItemTop(const StepIndicators* steps, StepItem& item, int top)
{
    item.box->SetTop(top);
    item.number->SetTop(top);
    if (item.arrow)
        item.arrow->SetTop(top + (steps->boxHeight - steps->arrowHeight) / 2);
}

void PlaceStepItem(const StepIndicators* steps, StepItem& item, int x)
{
    if (item.arrow) {
        item.arrow->SetLeft(x);
        item.arrow->SetMirrored(false);
        x += steps->arrowWidth + 8;
    }
    item.box->SetLeft(x);
    item.number->SetLeft(x);
}

void PlaceStepItemMirrored(const StepIndicators* steps, StepItem& item, int x)
{
    int right = steps->parent->ClientWidth() - x;
    int boxLeft = right - steps->boxWidth;
    if (item.arrow) {
        item.arrow->SetLeft(right - steps->arrowWidth);
        item.arrow->SetMirrored(true);
        boxLeft = item.arrow->Left() - steps->boxWidth - 8;
    }
    item.box->SetLeft(boxLeft);
    item.number->SetLeft(boxLeft);
}

void ColourStepItem(const StepIndicators* steps, StepItem& item, bool active)
{
    item.box->Pen()->SetColor(active ? steps->activePenColor : steps->normalPenColor);
    item.box->Brush()->SetColor(active ? steps->activeBrushColor : steps->normalBrushColor);
    item.number->Font()->SetColor(active ? steps->activeFontColor : steps->normalFontColor);
}

// The window that paints the row: the parent's own, or that of the form it lies on.
HWND PaintingWindow(TWinControl* parent)
{
    for (TWinControl* control = parent; control; control = control->Parent()) {
        if (control->Handle())
            return control->Handle();
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<StepIndicators> AllocStepIndicators(int count)
{
    if (count <= 0)
        return nullptr;
    std::unique_ptr<StepIndicators> steps(new (std::nothrow) StepIndicators);
    if (steps)
        steps->count = count;
    return steps;
}

bool CreateStepIndicators(StepIndicators* steps)
{
    if (!steps || !steps->parent)
        return false;
    steps->items.assign(steps->count, StepItem());
    for (int k = 0; k < steps->count; k++) {
        if (!CreateStepItem(steps, steps->items[k]))
            return false;
        steps->items[k].number->SetCaption(std::to_wstring(k + 1));
    }
    return true;
}

void SetStepIndicatorsTop(StepIndicators* steps, int top)
{
    if (!steps)
        return;
    for (StepItem& item : steps->items)
        SetStepItemTop(steps, item, top);
}

void LayoutStepIndicators(StepIndicators* steps, int x)
{
    if (!steps)
        return;
    bool mirrored = steps->parent->BiDiMode() != bdLeftToRight;
    for (StepItem& item : steps->items) {
        if (mirrored)
            PlaceStepItemMirrored(steps, item, x);
        else
            PlaceStepItem(steps, item, x);
        x += steps->boxWidth + 16 + (item.arrow ? steps->arrowWidth : 0);
    }
}

void ShowStep(StepIndicators* steps, int n)
{
    if (!steps)
        return;
    if (n == 0) {
        for (StepItem& item : steps->items)
            SetStepItemVisible(item, false);
        return;
    }
    for (size_t k = 0; k < steps->items.size(); k++) {
        StepItem& item = steps->items[k];
        ColourStepItem(steps, item, static_cast<int>(k) + 1 == n);
        SetStepItemVisible(item, true);
        if (k == 0 && item.arrow)
            item.arrow->SetVisible(false);  // the row begins with a box
    }
    // Paint now, even when a long operation follows; only WM_PAINT is handled.
    if (HWND window = PaintingWindow(steps->parent))
        UpdateWindow(window);
}
