// A control that can hold other controls and may have a window of its own.
#pragma once

#include "classlib/control.h"

#include <vector>

class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* owner) : TControl(owner) {}
    ~TWinControl() override;

    // The window; null while the control has none.
    HWND Handle() const { return handle_; }

    int ControlCount() const { return static_cast<int>(controls_.size()); }
    // The child controls, bottom of the z-order first.
    TControl* Controls(int index) const { return controls_[index]; }
    bool Contains(const TControl* control) const;

    virtual int ClientWidth() const { return Width(); }
    virtual int ClientHeight() const { return Height(); }

    // The topmost visible windowless child under point (client coordinates);
    // disabled ones only when allowDisabled. Null when none.
    TControl* ControlAtPos(POINT point, bool allowDisabled) const;

    // The control whose window is hwnd, or null.
    static TWinControl* FromHandle(HWND hwnd);

    void Invalidate() override;

    // A WM_COMMAND notification for this control's window, passed on by its form.
    virtual void CommandNotify(WORD code) {}

protected:
    // Gives the control its window (windowed descendants create it when they
    // get a parent with a window).
    void AttachHandle(HWND hwnd);
    void DestroyHandle();
    // Puts the right-to-left extended styles on the window for the reading direction.
    void ApplyBiDiExStyle();
    // Lays the children out again after the client area changed size.
    void ClientResized();
    // Called before a child leaves (forms forget it as hover or capture target).
    virtual void ControlRemoving(TControl* control) {}

    // Child windows follow the control's bounds, visibility, enabled state,
    // font and reading direction.
    void BoundsChanged() override;
    void VisibleChanged() override;
    void EnabledChanged() override;
    void BiDiModeChanged() override;
    void FontChanged() override;
    // The height given to the child window (a combo box adds its open list).
    virtual int WindowHeight() const { return Height(); }
    // Makes the child window of class className on the parent's window.
    HWND CreateChildWindow(const wchar_t* className, DWORD style, DWORD exStyle);

private:
    friend class TControl;
    void InsertControl(TControl* control);
    void RemoveControl(TControl* control);
    void MoveToFront(TControl* control);
    void MoveToBack(TControl* control);

    HWND handle_ = nullptr;
    std::vector<TControl*> controls_;
};
