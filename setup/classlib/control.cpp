// Controls: geometry, anchors, fonts, reading direction and mouse events.
#include "classlib/control.h"

#include "classlib/application.h"
#include "classlib/form.h"
#include "classlib/wincontrol.h"

TControl::TControl(TComponent* owner) : TComponent(owner)
{
    font_.OnChange = [this] { OwnFontChanged(); };
}

TControl::~TControl()
{
    font_.OnChange = nullptr;
    if (parent_)
        parent_->RemoveControl(this);
}

void TControl::SetParent(TWinControl* parent)
{
    if (parent == parent_ || parent == this)
        return;
    if (parent_) {
        Invalidate();
        parent_->RemoveControl(this);
    }
    parent_ = parent;
    if (parent_) {
        parent_->InsertControl(this);
        if (parentFont_)
            CopyParentFont();
        RecordAnchorOrigin();
    }
    ParentChanged();
    NotifyBiDiModeChanged();
    Invalidate();
}

TForm* TControl::ParentForm() const
{
    const TControl* control = this;
    while (control->parent_)
        control = control->parent_;
    return dynamic_cast<TForm*>(const_cast<TControl*>(control));
}

void TControl::SetBounds(int left, int top, int width, int height)
{
    SetBoundsQuietly(left, top, width, height);
    RecordAnchorOrigin();
}

void TControl::SetConstraints(const TSizeConstraints& constraints)
{
    constraints_ = constraints;
    SetBounds(left_, top_, width_, height_);
}

namespace {

int Constrained(int value, int minimum, int maximum)
{
    if (maximum > 0 && value > maximum)
        value = maximum;
    if (value < minimum)
        value = minimum;
    return value < 0 ? 0 : value;
}

}  // namespace

void TControl::SetBoundsQuietly(int left, int top, int width, int height)
{
    width = Constrained(width, constraints_.MinWidth, constraints_.MaxWidth);
    height = Constrained(height, constraints_.MinHeight, constraints_.MaxHeight);
    if (left == left_ && top == top_ && width == width_ && height == height_)
        return;
    Invalidate();
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    BoundsChanged();
    Invalidate();
}

void TControl::SetVisible(bool visible)
{
    if (visible == visible_)
        return;
    Invalidate();
    visible_ = visible;
    VisibleChanged();
    Invalidate();
}

bool TControl::Showing() const
{
    for (const TControl* control = this; control; control = control->parent_) {
        if (!control->visible_)
            return false;
        if (!control->parent_)
            return dynamic_cast<const TForm*>(control) != nullptr;
    }
    return false;
}

void TControl::SetEnabled(bool enabled)
{
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    EnabledChanged();
    Invalidate();
}

void TControl::SetAnchors(TAnchors anchors)
{
    anchors_ = anchors;
    RecordAnchorOrigin();
}

TColor TControl::Color() const
{
    if (parentColor_ && parent_)
        return parent_->Color();
    return color_;
}

void TControl::SetColor(TColor color)
{
    color_ = color;
    parentColor_ = false;
    Invalidate();
}

void TControl::SetParentColor(bool parentColor)
{
    parentColor_ = parentColor;
    Invalidate();
}

void TControl::SetTransparent(bool transparent)
{
    if (transparent == transparent_)
        return;
    transparent_ = transparent;
    Invalidate();
}

void TControl::SetParentFont(bool parentFont)
{
    parentFont_ = parentFont;
    if (parentFont_)
        CopyParentFont();
}

void TControl::CopyParentFont()
{
    if (!parent_)
        return;
    copyingParentFont_ = true;
    font_.Assign(parent_->font_);
    copyingParentFont_ = false;
}

void TControl::OwnFontChanged()
{
    if (!copyingParentFont_)
        parentFont_ = false;
    FontChanged();
    Invalidate();
}

TBiDiMode TControl::BiDiMode() const
{
    if (!parentBiDiMode_)
        return bidiMode_;
    return parent_ ? parent_->BiDiMode() : InheritedBiDiMode();
}

void TControl::SetBiDiMode(TBiDiMode mode)
{
    bidiMode_ = mode;
    parentBiDiMode_ = false;
    NotifyBiDiModeChanged();
}

void TControl::SetParentBiDiMode(bool parentBiDiMode)
{
    if (!parentBiDiMode)
        bidiMode_ = BiDiMode();  // keep the direction it had
    parentBiDiMode_ = parentBiDiMode;
    NotifyBiDiModeChanged();
}

void TControl::NotifyBiDiModeChanged()
{
    BiDiModeChanged();
    Invalidate();
}

bool TControl::UseRightToLeftReading() const
{
    return SysLocale.MiddleEast && BiDiMode() != bdLeftToRight;
}

bool TControl::UseRightToLeftAlignment() const
{
    TBiDiMode mode = BiDiMode();
    return SysLocale.MiddleEast && (mode == bdRightToLeft);
}

void TControl::BringToFront()
{
    if (parent_)
        parent_->MoveToFront(this);
    Invalidate();
}

void TControl::SendToBack()
{
    if (parent_)
        parent_->MoveToBack(this);
    Invalidate();
}

void TControl::Invalidate()
{
    if (IsWindowed() || !parent_)
        return;
    TWinControl* host = parent_;
    RECT rect = BoundsRect();
    while (host && !host->Handle()) {  // a windowless chain: offset up to the window
        OffsetRect(&rect, host->Left(), host->Top());
        host = host->Parent();
    }
    if (host)
        InvalidateRect(host->Handle(), &rect, FALSE);
}

void TControl::RecordAnchorOrigin()
{
    anchorBounds_ = BoundsRect();
    if (parent_)
        anchorParentSize_ = SIZE{parent_->ClientWidth(), parent_->ClientHeight()};
}

namespace {

// One axis of the anchor rule: the new start and length of a control whose
// start and length were recorded when its parent's length was parentBefore.
void AnchorAxis(bool nearSide, bool farSide, int start, int length, int parentBefore, int parentNow,
                int& newStart, int& newLength)
{
    int delta = parentNow - parentBefore;
    newStart = start;
    newLength = length;
    if (nearSide && farSide)
        newLength = length + delta;
    else if (farSide)
        newStart = start + delta;
    else if (!nearSide && parentBefore > 0)
        newStart = MulDiv(start + length / 2, parentNow, parentBefore) - length / 2;
}

}  // namespace

void TControl::ApplyAnchors(int parentWidth, int parentHeight)
{
    int left, width, top, height;
    AnchorAxis(anchors_ & akLeft, anchors_ & akRight, anchorBounds_.left,
               anchorBounds_.right - anchorBounds_.left, anchorParentSize_.cx, parentWidth, left, width);
    AnchorAxis(anchors_ & akTop, anchors_ & akBottom, anchorBounds_.top,
               anchorBounds_.bottom - anchorBounds_.top, anchorParentSize_.cy, parentHeight, top, height);
    SetBoundsQuietly(left, top, width, height);
}

void TControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (OnMouseDown)
        OnMouseDown(this, button, shift, x, y);
}

void TControl::MouseMove(TShiftState shift, int x, int y)
{
    if (OnMouseMove)
        OnMouseMove(this, shift, x, y);
}

void TControl::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    if (OnMouseUp)
        OnMouseUp(this, button, shift, x, y);
}

void TControl::MouseEnter()
{
    if (OnMouseEnter)
        OnMouseEnter(this);
}

void TControl::MouseLeave()
{
    if (OnMouseLeave)
        OnMouseLeave(this);
}

void TControl::Click()
{
    if (OnClick)
        OnClick(this);
}
