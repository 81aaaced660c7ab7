// The control base: a rectangle on a parent, windowless unless a descendant
// gives it a window. Windowless controls are painted and hit-tested by their
// form.
#pragma once

#include "classlib/canvas.h"
#include "classlib/component.h"
#include "classlib/font.h"
#include "classlib/types.h"

#include <string>

class TWinControl;
class TForm;

// Limits of a control's size; 0 means no limit.
struct TSizeConstraints {
    int MinWidth = 0, MaxWidth = 0, MinHeight = 0, MaxHeight = 0;
};

class TControl : public TComponent {
public:
    explicit TControl(TComponent* owner);
    ~TControl() override;

    TWinControl* Parent() const { return parent_; }
    void SetParent(TWinControl* parent);
    // The form the control lies on (itself for a form), or null.
    TForm* ParentForm() const;

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetLeft(int left) { SetBounds(left, top_, width_, height_); }
    void SetTop(int top) { SetBounds(left_, top, width_, height_); }
    void SetWidth(int width) { SetBounds(left_, top_, width, height_); }
    void SetHeight(int height) { SetBounds(left_, top_, width_, height); }
    // Moves and sizes the control; the anchors then measure from the new place.
    void SetBounds(int left, int top, int width, int height);
    RECT BoundsRect() const { return RECT{left_, top_, left_ + width_, top_ + height_}; }
    const TSizeConstraints& Constraints() const { return constraints_; }
    // Sets the limits and brings the current size within them.
    void SetConstraints(const TSizeConstraints& constraints);

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    // Visible and on a visible parent chain up to a shown form.
    bool Showing() const;
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor cursor) { cursor_ = cursor; }
    TAnchors Anchors() const { return anchors_; }
    void SetAnchors(TAnchors anchors);
    TAlign Align() const { return align_; }
    void SetAlign(TAlign align) { align_ = align; }

    // The background colour; follows the parent's while ParentColor is true.
    TColor Color() const;
    void SetColor(TColor color);
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool parentColor);
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool transparent);

    // The font; a copy of the parent's while ParentFont is true. Changing the
    // font directly turns ParentFont off.
    TFont* Font() { return &font_; }
    const TFont* Font() const { return &font_; }
    bool ParentFont() const { return parentFont_; }
    void SetParentFont(bool parentFont);

    // Reading direction; follows the parent (a form: the application) while
    // ParentBiDiMode is true. It takes effect only with SysLocale.MiddleEast.
    TBiDiMode BiDiMode() const;
    void SetBiDiMode(TBiDiMode mode);
    bool ParentBiDiMode() const { return parentBiDiMode_; }
    void SetParentBiDiMode(bool parentBiDiMode);
    bool UseRightToLeftReading() const;
    bool UseRightToLeftAlignment() const;

    const std::wstring& Hint() const { return hint_; }
    void SetHint(const std::wstring& hint) { hint_ = hint; }
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool showHint) { showHint_ = showHint; }

    // Top and bottom of the z-order among the parent's controls of the same kind
    // (windowless controls always lie below windowed ones).
    void BringToFront();
    void SendToBack();
    // Repaints the control: its rectangle of its form, or its own window.
    virtual void Invalidate();

    virtual bool IsWindowed() const { return false; }

    TNotifyEvent OnClick;
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;
    TMouseMoveEvent OnMouseMove;
    TNotifyEvent OnMouseEnter;
    TNotifyEvent OnMouseLeave;

    // Mouse input, in the control's coordinates; called by the form.
    virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseMove(TShiftState shift, int x, int y);
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseEnter();
    virtual void MouseLeave();
    virtual void Click();

    // Paints a windowless control; the canvas origin is the control's top left
    // and drawing is clipped to its rectangle.
    virtual void Paint(TCanvas& canvas) {}

protected:
    // Hooks for descendants, called after the change.
    virtual void BoundsChanged() {}
    virtual void VisibleChanged() {}
    virtual void EnabledChanged() {}
    virtual void FontChanged() {}
    virtual void ParentChanged() {}
    virtual void BiDiModeChanged() {}
    // The reading direction a form inherits when it has no parent.
    virtual TBiDiMode InheritedBiDiMode() const { return bdLeftToRight; }

    void SetBoundsQuietly(int left, int top, int width, int height);

private:
    friend class TWinControl;
    friend class TApplication;
    void OwnFontChanged();
    void CopyParentFont();
    void RecordAnchorOrigin();
    void ApplyAnchors(int parentWidth, int parentHeight);
    void NotifyBiDiModeChanged();

    TWinControl* parent_ = nullptr;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    TSizeConstraints constraints_;
    bool visible_ = true;
    bool enabled_ = true;
    TCursor cursor_ = crDefault;
    TAnchors anchors_ = akLeft | akTop;
    TAlign align_ = alNone;
    TColor color_ = clBtnFace;
    bool parentColor_ = true;
    bool transparent_ = false;
    TFont font_;
    bool parentFont_ = true;
    bool copyingParentFont_ = false;
    TBiDiMode bidiMode_ = bdLeftToRight;
    bool parentBiDiMode_ = true;
    std::wstring hint_;
    bool showHint_ = false;
    // The bounds and the parent's client size when the anchors were recorded.
    RECT anchorBounds_ = {0, 0, 0, 0};
    SIZE anchorParentSize_ = {0, 0};
};
