// Forms: top-level windows that paint and hit-test their windowless controls,
// route the mouse to them, close through a close query, and run modally.
#pragma once

#include "classlib/wincontrol.h"

#include <string>

enum TFormBorderStyle { bsNone, bsSingle };
enum TFormStyle { fsNormal, fsStayOnTop };
enum TPosition { poDesigned, poScreenCenter };

using TModalResult = int;
const TModalResult mrNone = 0, mrOk = 1, mrCancel = 2;

class TForm : public TWinControl {
public:
    explicit TForm(TComponent* owner);
    ~TForm() override;

    TFormBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TFormBorderStyle style);
    TFormStyle FormStyle() const { return formStyle_; }
    void SetFormStyle(TFormStyle style);
    TPosition Position() const { return position_; }
    void SetPosition(TPosition position) { position_ = position; }
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);
    bool DoubleBuffered() const { return doubleBuffered_; }
    void SetDoubleBuffered(bool on) { doubleBuffered_ = on; }

    int ClientWidth() const override;
    int ClientHeight() const override;
    void SetClientWidth(int width);
    void SetClientHeight(int height);

    void Show();
    void Hide();
    // Asks the close query; when it agrees: a modal form ends its modal loop,
    // the main form hides and ends the application's loop, any other form hides.
    void Close();
    // Shows the form with the application's other windows disabled and runs a
    // message loop until the form closes or the application terminates.
    TModalResult ShowModal();
    TModalResult ModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult result) { modalResult_ = result; }

    // True when the form may close now: OnCloseQuery decides (default yes).
    // Asked by Close, by WM_CLOSE and at the end of the Windows session.
    virtual bool CloseQuery();

    TCloseQueryEvent OnCloseQuery;
    TNotifyEvent OnDestroy;

    // The control under the mouse and the one that holds the mouse capture.
    TControl* HoverControl() const { return hover_; }
    TControl* CaptureControl() const { return capture_; }
    // The tooltip window that shows the hint of the control under the mouse
    // (made with the first hint); null before.
    HWND HintWindow() const { return hintWindow_; }

    // The window procedure of every form (with the exception barrier).
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    void BeforeDestruction() override;
    void BoundsChanged() override;
    void VisibleChanged() override;
    TBiDiMode InheritedBiDiMode() const override;
    void ControlRemoving(TControl* control) override;

private:
    friend class TApplication;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnPaint();
    void PaintControls(HDC dc);
    void OnMouseButton(TMouseButton button, bool down, WPARAM keys, LPARAM position);
    void OnMouseMove(WPARAM keys, LPARAM position);
    void OnMouseLeave();
    bool OnSetCursor(HWND over, WORD hitTest);
    void SetHover(TControl* under);
    void UpdateHint();
    void SyncBoundsFromWindow();
    void ApplyStyles();
    void MakeMainWindow();
    DWORD WindowStyle() const;
    DWORD WindowExStyle() const;
    void CenterOnScreen();

    TFormBorderStyle borderStyle_ = bsSingle;
    TFormStyle formStyle_ = fsNormal;
    TPosition position_ = poDesigned;
    std::string caption_;
    bool doubleBuffered_ = false;
    bool isMainWindow_ = false;
    bool shownOnce_ = false;
    bool syncingBounds_ = false;
    bool destroyFired_ = false;
    bool modal_ = false;
    bool trackingLeave_ = false;
    TModalResult modalResult_ = mrNone;
    TControl* hover_ = nullptr;
    TControl* capture_ = nullptr;
    HWND hintWindow_ = nullptr;
    TMouseButton captureButton_ = mbLeft;
};

// The library's name for forms that are closed through their close query.
using TCustomForm = TForm;
