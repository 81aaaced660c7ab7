// Forms: window, painting of windowless controls, mouse routing, closing and
// modal loops.
#include "classlib/form.h"

#include "classlib/application.h"

#include <commctrl.h>
#include <windowsx.h>

#include <vector>

namespace {

const wchar_t FormClassName[] = L"TClForm";

void RegisterFormClass()
{
    static bool registered = false;
    if (registered)
        return;
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = TForm::WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = FormClassName;
    // No CS_DBLCLKS: a fast second click arrives as another press and release,
    // so every control sees two clicks.
    registered = RegisterClassExW(&windowClass) != 0;
}

// Paints into a memory bitmap and copies it to the window in one go.
class BufferedPaint {
public:
    explicit BufferedPaint(HWND hwnd) : hwnd_(hwnd)
    {
        target_ = BeginPaint(hwnd_, &paint_);
        GetClientRect(hwnd_, &client_);
        if (client_.right > 0 && client_.bottom > 0) {
            memory_ = CreateCompatibleDC(target_);
            bitmap_ = CreateCompatibleBitmap(target_, client_.right, client_.bottom);
            previous_ = SelectObject(memory_, bitmap_);
        }
    }
    ~BufferedPaint()
    {
        if (memory_) {
            SelectObject(memory_, previous_);
            DeleteObject(bitmap_);
            DeleteDC(memory_);
        }
        EndPaint(hwnd_, &paint_);
    }
    BufferedPaint(const BufferedPaint&) = delete;
    BufferedPaint& operator=(const BufferedPaint&) = delete;

    HDC Memory() const { return memory_; }
    void CopyToWindow()
    {
        const RECT& r = paint_.rcPaint;
        BitBlt(target_, r.left, r.top, r.right - r.left, r.bottom - r.top, memory_, r.left, r.top, SRCCOPY);
    }

private:
    HWND hwnd_;
    PAINTSTRUCT paint_;
    HDC target_ = nullptr;
    RECT client_ = {0, 0, 0, 0};
    HDC memory_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
};

struct ThreadWindows {
    HWND except;
    std::vector<HWND> disabled;
};

BOOL CALLBACK DisableThreadWindow(HWND hwnd, LPARAM context)
{
    auto* windows = reinterpret_cast<ThreadWindows*>(context);
    if (hwnd != windows->except && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) {
        EnableWindow(hwnd, FALSE);
        windows->disabled.push_back(hwnd);
    }
    return TRUE;
}

}  // namespace

TForm::TForm(TComponent* owner) : TWinControl(owner)
{
    SetVisible(false);
    SetColor(clBtnFace);
    RegisterFormClass();
    HWND hwnd = CreateWindowExW(WindowExStyle(), FormClassName, L"", WindowStyle(), 0, 0, 320, 240,
                                Application->Handle(), nullptr, GetModuleHandleW(nullptr), this);
    if (!hwnd) {
        AttachHandle(nullptr);  // creation may have failed after WM_NCCREATE
        throw Exception("Cannot create a window");
    }
    SyncBoundsFromWindow();
}

TForm::~TForm()
{
    if (!destroyFired_)
        BeforeDestruction();
    DestroyComponents();
    if (Handle())
        SetWindowLongPtrW(Handle(), GWLP_USERDATA, 0);
    DestroyHandle();
    if (Application->mainForm_ == this)
        Application->mainForm_ = nullptr;
}

void TForm::BeforeDestruction()
{
    destroyFired_ = true;
    if (OnDestroy)
        OnDestroy(this);
}

DWORD TForm::WindowStyle() const
{
    DWORD style = WS_POPUP | WS_CLIPCHILDREN;
    if (borderStyle_ == bsSingle)
        style |= WS_CAPTION | WS_SYSMENU;
    return style;
}

DWORD TForm::WindowExStyle() const
{
    DWORD style = 0;
    if (isMainWindow_)
        style |= WS_EX_APPWINDOW;
    if (formStyle_ == fsStayOnTop)
        style |= WS_EX_TOPMOST;
    return style;
}

void TForm::ApplyStyles()
{
    int width = ClientWidth(), height = ClientHeight();
    DWORD style = WindowStyle() | (GetWindowLongW(Handle(), GWL_STYLE) & WS_VISIBLE);
    SetWindowLongW(Handle(), GWL_STYLE, style);
    SetWindowLongW(Handle(), GWL_EXSTYLE, WindowExStyle());
    HWND order = formStyle_ == fsStayOnTop ? HWND_TOPMOST : HWND_NOTOPMOST;
    SetWindowPos(Handle(), order, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    SetClientWidth(width);
    SetClientHeight(height);
}

void TForm::SetBorderStyle(TFormBorderStyle style)
{
    if (style == borderStyle_)
        return;
    borderStyle_ = style;
    ApplyStyles();
}

void TForm::SetFormStyle(TFormStyle style)
{
    if (style == formStyle_)
        return;
    formStyle_ = style;
    ApplyStyles();
}

void TForm::MakeMainWindow()
{
    isMainWindow_ = true;
    ApplyStyles();
}

void TForm::SetCaption(const std::string& caption)
{
    caption_ = caption;
    SetWindowTextA(Handle(), caption_.c_str());
}

int TForm::ClientWidth() const
{
    RECT client = {0, 0, 0, 0};
    GetClientRect(Handle(), &client);
    return client.right;
}

int TForm::ClientHeight() const
{
    RECT client = {0, 0, 0, 0};
    GetClientRect(Handle(), &client);
    return client.bottom;
}

void TForm::SetClientWidth(int width)
{
    RECT frame = {0, 0, width, ClientHeight()};
    AdjustWindowRectEx(&frame, WindowStyle(), FALSE, WindowExStyle());
    SetWidth(frame.right - frame.left);
}

void TForm::SetClientHeight(int height)
{
    RECT frame = {0, 0, ClientWidth(), height};
    AdjustWindowRectEx(&frame, WindowStyle(), FALSE, WindowExStyle());
    SetHeight(frame.bottom - frame.top);
}

void TForm::BoundsChanged()
{
    if (!syncingBounds_ && Handle())
        SetWindowPos(Handle(), nullptr, Left(), Top(), Width(), Height(), SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SyncBoundsFromWindow()
{
    RECT window;
    if (!GetWindowRect(Handle(), &window))
        return;
    syncingBounds_ = true;
    SetBoundsQuietly(window.left, window.top, window.right - window.left, window.bottom - window.top);
    syncingBounds_ = false;
}

void TForm::CenterOnScreen()
{
    int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    SetBounds((screenWidth - Width()) / 2, (screenHeight - Height()) / 2, Width(), Height());
}

void TForm::VisibleChanged()
{
    if (!Handle())
        return;
    if (Visible()) {
        if (!shownOnce_ && position_ == poScreenCenter)
            CenterOnScreen();
        shownOnce_ = true;
        ShowWindow(Handle(), SW_SHOW);
    } else {
        SetHover(nullptr);
        if (capture_) {
            capture_ = nullptr;
            ReleaseCapture();
        }
        ShowWindow(Handle(), SW_HIDE);
    }
}

void TForm::Show()
{
    SetVisible(true);
    SetForegroundWindow(Handle());
}

void TForm::Hide()
{
    SetVisible(false);
}

bool TForm::CloseQuery()
{
    bool canClose = true;
    if (OnCloseQuery)
        OnCloseQuery(this, canClose);
    return canClose;
}

void TForm::Close()
{
    if (!CloseQuery())
        return;
    if (modal_) {
        if (modalResult_ == mrNone)
            modalResult_ = mrCancel;
        return;
    }
    Hide();
    if (Application->MainForm() == this)
        Application->Terminate();
}

TModalResult TForm::ShowModal()
{
    ThreadWindows windows = {Handle(), {}};
    EnumThreadWindows(GetCurrentThreadId(), DisableThreadWindow, reinterpret_cast<LPARAM>(&windows));
    modal_ = true;
    modalResult_ = mrNone;
    Show();
    while (modalResult_ == mrNone && !Application->Terminated())
        Application->HandleMessage();
    if (modalResult_ == mrNone)
        modalResult_ = mrCancel;
    // Enable the other windows before hiding, so that activation returns to them.
    for (HWND hwnd : windows.disabled) {
        if (IsWindow(hwnd))
            EnableWindow(hwnd, TRUE);
    }
    Hide();
    modal_ = false;
    return modalResult_;
}

TBiDiMode TForm::InheritedBiDiMode() const
{
    return Application->BiDiMode();
}

void TForm::ControlRemoving(TControl* control)
{
    if (hover_ == control)
        hover_ = nullptr;
    if (capture_ == control) {
        capture_ = nullptr;
        ReleaseCapture();
    }
}

LRESULT CALLBACK TForm::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* form = static_cast<TForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
        form->AttachHandle(hwnd);
    }
    auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!form)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    try {
        return form->HandleMessage(message, wParam, lParam);
    } catch (...) {
        if (message == WM_PAINT)
            ValidateRect(hwnd, nullptr);  // no endless repaint of a failing paint
        ShowCurrentException();
        return 0;
    }
}

LRESULT TForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: OnPaint(); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_SIZE:
        SyncBoundsFromWindow();
        ClientResized();
        InvalidateRect(Handle(), nullptr, FALSE);
        return 0;
    case WM_MOVE: SyncBoundsFromWindow(); return 0;
    case WM_MOUSEMOVE: OnMouseMove(wParam, lParam); return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP: OnMouseButton(mbLeft, message == WM_LBUTTONDOWN, wParam, lParam); return 0;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP: OnMouseButton(mbRight, message == WM_RBUTTONDOWN, wParam, lParam); return 0;
    case WM_MOUSELEAVE: OnMouseLeave(); return 0;
    case WM_CAPTURECHANGED:
        if (reinterpret_cast<HWND>(lParam) != Handle())
            capture_ = nullptr;
        return 0;
    case WM_SETCURSOR:
        if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam)))
            return TRUE;
        break;
    case WM_COMMAND:
        if (TWinControl* child = FromHandle(reinterpret_cast<HWND>(lParam))) {
            child->CommandNotify(HIWORD(wParam));
            return 0;
        }
        break;
    case WM_CLOSE: Close(); return 0;
    case WM_QUERYENDSESSION: return CloseQuery() ? TRUE : FALSE;
    default: break;
    }
    return DefWindowProcW(Handle(), message, wParam, lParam);
}

void TForm::OnPaint()
{
    BufferedPaint paint(Handle());
    if (!paint.Memory())
        return;
    PaintControls(paint.Memory());
    paint.CopyToWindow();
}

void TForm::PaintControls(HDC dc)
{
    TCanvas canvas(dc);
    RECT client = {0, 0, ClientWidth(), ClientHeight()};
    canvas.FillRect(client, Color());
    for (int i = 0; i < ControlCount(); i++) {
        TControl* control = Controls(i);
        if (control->IsWindowed() || !control->Visible())
            continue;
        int saved = SaveDC(dc);
        SetViewportOrgEx(dc, control->Left(), control->Top(), nullptr);
        IntersectClipRect(dc, 0, 0, control->Width(), control->Height());
        control->Paint(canvas);
        RestoreDC(dc, saved);
    }
}

void TForm::SetHover(TControl* under)
{
    // While a control holds the capture, only it enters and leaves.
    TControl* wanted = capture_ && under != capture_ ? nullptr : under;
    if (wanted == hover_)
        return;
    TControl* previous = hover_;
    hover_ = wanted;
    if (previous && Contains(previous))
        previous->MouseLeave();
    if (wanted && hover_ == wanted && Contains(wanted))
        wanted->MouseEnter();
    UpdateHint();
}

void TForm::UpdateHint()
{
    TControl* control = hover_;
    bool show = control && control->ShowHint() && !control->Hint().empty();
    if (!show && !hintWindow_)
        return;
    TOOLINFOW tool = {};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = Handle();
    tool.uId = 1;
    if (!hintWindow_) {
        INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES};
        InitCommonControlsEx(&classes);
        hintWindow_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Handle(),
                                      nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!hintWindow_)
            return;
        tool.lpszText = const_cast<wchar_t*>(L"");
        SendMessageW(hintWindow_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        SendMessageW(hintWindow_, TTM_SETMAXTIPWIDTH, 0, 400);
    }
    // One tool over the hovered control's rectangle; none (an empty one) otherwise.
    std::wstring text = show ? control->Hint() : std::wstring();
    tool.rect = show ? control->BoundsRect() : RECT{0, 0, 0, 0};
    tool.lpszText = &text[0];
    SendMessageW(hintWindow_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(hintWindow_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    if (!show)
        SendMessageW(hintWindow_, TTM_POP, 0, 0);
}

void TForm::OnMouseMove(WPARAM keys, LPARAM position)
{
    if (!trackingLeave_) {
        TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, Handle(), 0};
        trackingLeave_ = TrackMouseEvent(&track) != FALSE;
    }
    POINT point = {GET_X_LPARAM(position), GET_Y_LPARAM(position)};
    SetHover(ControlAtPos(point, true));
    TControl* target = capture_ ? capture_ : ControlAtPos(point, false);
    if (target && Contains(target))
        target->MouseMove(ShiftStateFromKeys(keys), point.x - target->Left(), point.y - target->Top());
}

void TForm::OnMouseLeave()
{
    trackingLeave_ = false;
    if (!capture_)
        SetHover(nullptr);
}

void TForm::OnMouseButton(TMouseButton button, bool down, WPARAM keys, LPARAM position)
{
    POINT point = {GET_X_LPARAM(position), GET_Y_LPARAM(position)};
    TShiftState shift = ShiftStateFromKeys(keys);
    TControl* target = capture_ ? capture_ : ControlAtPos(point, false);
    if (!target)
        return;
    int x = point.x - target->Left(), y = point.y - target->Top();
    if (down) {
        SetHover(ControlAtPos(point, true));
        if (!capture_ && button == mbLeft) {
            capture_ = target;
            captureButton_ = button;
            SetCapture(Handle());
        }
        target->MouseDown(button, shift, x, y);
        return;
    }
    bool endsCapture = capture_ == target && button == captureButton_;
    if (endsCapture) {
        capture_ = nullptr;
        ReleaseCapture();
        bool inside = x >= 0 && y >= 0 && x < target->Width() && y < target->Height();
        if (inside && target->Enabled())
            target->Click();  // pressed and released on the same control
    }
    if (Contains(target))
        target->MouseUp(button, shift, x, y);
    if (endsCapture)
        SetHover(ControlAtPos(point, true));
}

bool TForm::OnSetCursor(HWND over, WORD hitTest)
{
    if (hitTest != HTCLIENT)
        return false;
    TCursor cursor = crDefault;
    if (over == Handle()) {
        POINT point;
        GetCursorPos(&point);
        ScreenToClient(Handle(), &point);
        TControl* control = capture_ ? capture_ : ControlAtPos(point, false);
        cursor = control ? control->Cursor() : crDefault;
        if (cursor == crDefault)
            cursor = Cursor();
    } else if (TWinControl* child = FromHandle(over)) {
        cursor = child->Cursor();
        if (cursor == crDefault)
            return false;  // the child's own cursor
    } else {
        return false;
    }
    ::SetCursor(CursorHandle(cursor));
    return true;
}
