// Containers: the child list with its z-order, anchor layout, windows of
// windowed controls.
#include "classlib/wincontrol.h"

#include "classlib/exception.h"

#include <algorithm>

namespace {
const wchar_t ControlProperty[] = L"TClControl";
}

TWinControl::~TWinControl()
{
    // Children that this control does not own stay alive without a parent.
    while (!controls_.empty()) {
        TControl* child = controls_.back();
        ControlRemoving(child);
        controls_.pop_back();
        child->parent_ = nullptr;
    }
    DestroyHandle();
}

bool TWinControl::Contains(const TControl* control) const
{
    return std::find(controls_.begin(), controls_.end(), control) != controls_.end();
}

TControl* TWinControl::ControlAtPos(POINT point, bool allowDisabled) const
{
    for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
        TControl* control = *it;
        if (control->IsWindowed() || !control->Visible())
            continue;
        if (!allowDisabled && !control->Enabled())
            continue;
        RECT bounds = control->BoundsRect();
        if (PtInRect(&bounds, point))
            return control;
    }
    return nullptr;
}

TWinControl* TWinControl::FromHandle(HWND hwnd)
{
    return hwnd ? static_cast<TWinControl*>(GetPropW(hwnd, ControlProperty)) : nullptr;
}

void TWinControl::Invalidate()
{
    if (handle_)
        InvalidateRect(handle_, nullptr, FALSE);
    else
        TControl::Invalidate();
}

void TWinControl::AttachHandle(HWND hwnd)
{
    handle_ = hwnd;
    if (handle_)
        SetPropW(handle_, ControlProperty, this);
}

void TWinControl::DestroyHandle()
{
    if (!handle_)
        return;
    HWND hwnd = handle_;
    handle_ = nullptr;
    RemovePropW(hwnd, ControlProperty);
    DestroyWindow(hwnd);
}

void TWinControl::ApplyBiDiExStyle()
{
    if (!handle_)
        return;
    const LONG rtlBits = WS_EX_RTLREADING | WS_EX_RIGHT | WS_EX_LEFTSCROLLBAR;
    LONG style = GetWindowLongW(handle_, GWL_EXSTYLE);
    LONG wanted = UseRightToLeftReading() ? (style | rtlBits) : (style & ~rtlBits);
    if (wanted != style) {
        SetWindowLongW(handle_, GWL_EXSTYLE, wanted);
        InvalidateRect(handle_, nullptr, TRUE);
    }
}

void TWinControl::ClientResized()
{
    int width = ClientWidth(), height = ClientHeight();
    std::vector<TControl*> children = controls_;
    for (TControl* child : children) {
        if (Contains(child))
            child->ApplyAnchors(width, height);
    }
}

HWND TWinControl::CreateChildWindow(const wchar_t* className, DWORD style, DWORD exStyle)
{
    DestroyHandle();
    if (!Parent() || !Parent()->Handle())
        return nullptr;
    style |= WS_CHILD;
    if (Visible())
        style |= WS_VISIBLE;
    if (!Enabled())
        style |= WS_DISABLED;
    HWND hwnd = CreateWindowExW(exStyle, className, L"", style, Left(), Top(), Width(), WindowHeight(),
                                Parent()->Handle(), nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!hwnd)
        throw Exception("Cannot create a window");
    AttachHandle(hwnd);
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(Font()->Handle()), FALSE);
    ApplyBiDiExStyle();
    return hwnd;
}

void TWinControl::BoundsChanged()
{
    if (handle_ && Parent())
        MoveWindow(handle_, Left(), Top(), Width(), WindowHeight(), TRUE);
}

void TWinControl::VisibleChanged()
{
    if (handle_ && Parent())
        ShowWindow(handle_, Visible() ? SW_SHOWNA : SW_HIDE);
}

void TWinControl::EnabledChanged()
{
    if (handle_ && Parent())
        EnableWindow(handle_, Enabled());
}

void TWinControl::BiDiModeChanged()
{
    if (Parent())
        ApplyBiDiExStyle();
    std::vector<TControl*> children = controls_;
    for (TControl* child : children) {
        if (Contains(child) && child->ParentBiDiMode())
            child->NotifyBiDiModeChanged();
    }
}

void TWinControl::FontChanged()
{
    if (handle_ && Parent())
        SendMessageW(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(Font()->Handle()), TRUE);
    std::vector<TControl*> children = controls_;
    for (TControl* child : children) {
        if (Contains(child) && child->ParentFont())
            child->CopyParentFont();
    }
}

void TWinControl::InsertControl(TControl* control)
{
    if (control->IsWindowed()) {
        controls_.push_back(control);
        return;
    }
    auto firstWindowed =
        std::find_if(controls_.begin(), controls_.end(), [](TControl* c) { return c->IsWindowed(); });
    controls_.insert(firstWindowed, control);
}

void TWinControl::RemoveControl(TControl* control)
{
    ControlRemoving(control);
    auto found = std::find(controls_.begin(), controls_.end(), control);
    if (found != controls_.end())
        controls_.erase(found);
    control->parent_ = nullptr;
}

void TWinControl::MoveToFront(TControl* control)
{
    auto found = std::find(controls_.begin(), controls_.end(), control);
    if (found == controls_.end())
        return;
    controls_.erase(found);
    InsertControl(control);
    if (control->IsWindowed()) {
        HWND hwnd = static_cast<TWinControl*>(control)->Handle();
        if (hwnd)
            SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
}

void TWinControl::MoveToBack(TControl* control)
{
    auto found = std::find(controls_.begin(), controls_.end(), control);
    if (found == controls_.end())
        return;
    controls_.erase(found);
    if (control->IsWindowed()) {
        auto firstWindowed =
            std::find_if(controls_.begin(), controls_.end(), [](TControl* c) { return c->IsWindowed(); });
        controls_.insert(firstWindowed, control);
        HWND hwnd = static_cast<TWinControl*>(control)->Handle();
        if (hwnd)
            SetWindowPos(hwnd, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    } else {
        controls_.insert(controls_.begin(), control);
    }
}
