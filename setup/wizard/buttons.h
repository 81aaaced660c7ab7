// The wizard's buttons, check boxes and static text: composites of library
// controls stacked on one rectangle of the form.
#pragma once

#include "classlib/label.h"
#include "wizard/customcontrol.h"

#include <string>

// A button's behaviour without a look: hot tracking, enabled state, hand cursor
// and click dispatch, through a transparent label laid on top of its parts. A
// creator calls CreateParts, then SetParent, then sets the caption.
class TclCustomButton : public TclCustomControl {
public:
    explicit TclCustomButton(TComponent* owner) : TclCustomControl(owner) {}

    void SetParent(TWinControl* parent) override;
    void SetAnchors(TAnchors anchors) override;
    void SetVisible(bool visible) override;
    int GetTop() override;
    void SetTop(int top) override;
    int GetLeft() override;
    void SetLeft(int left) override;
    int GetHeight() override;
    void SetHeight(int height) override;
    int GetWidth() override;
    void SetWidth(int width) override;
    bool GetEnabled() override;
    void SetEnabled(bool enabled) override;
    TCursor GetCursor() override;
    void SetCursor(TCursor cursor) override;
    TNotifyEvent GetOnClick() override { return clickHandler_; }
    void SetOnClick(TNotifyEvent handler) override;
    void BringToFront() override;

    // Draws the look of the current state and tells the state-change handler;
    // a disabled button does neither.
    virtual void UpdateState();
    // Sets up the overlay and binds its enter, leave and click.
    virtual void InitParts();
    // The hand when enabled with a click handler, else the default cursor.
    virtual void UpdateCursor();
    virtual void DrawNormal() {}
    virtual void DrawDisabled() {}
    virtual void DrawHot() {}
    // Makes the parts; false when one cannot be made.
    virtual bool CreateParts();
    virtual void SetFontCharset(BYTE charset) {}
    virtual void SetFontName(const std::string& name) {}
    virtual void SetFontHeight(int height) {}
    virtual void SetFontStyle(TFontStyles style) {}
    virtual void SetCaption(const std::wstring& caption) {}

    bool Hot() const { return hot_; }
    TTntLabel* Overlay() const { return overlay_; }
    // Called after an enabled button has drawn a new state.
    TNotifyEvent OnStateChange;

private:
    void OverlayEnter();
    void OverlayLeave();
    void OverlayClick();

    bool hot_ = false;
    TTntLabel* overlay_ = nullptr;
    TNotifyEvent clickHandler_;
};

// The button the program shows: a rectangle under a centred caption, coloured
// by state. Colours and border width may be changed before SetParent.
class TclCaptionButton : public TclCustomButton {
public:
    explicit TclCaptionButton(TComponent* owner) : TclCustomButton(owner) {}

    void SetParent(TWinControl* parent) override;
    void SetAnchors(TAnchors anchors) override;
    void SetVisible(bool visible) override;
    void SetTop(int top) override;
    void SetLeft(int left) override;
    void SetHeight(int height) override;
    void SetWidth(int width) override;
    void BringToFront() override;
    void InitParts() override;
    void DrawNormal() override { Draw(FontColorNormal, BrushColorNormal); }
    void DrawDisabled() override { Draw(FontColorDisabled, BrushColorDisabled); }
    void DrawHot() override { Draw(FontColorHot, BrushColorHot); }
    bool CreateParts() override;
    void SetFontCharset(BYTE charset) override;
    void SetFontName(const std::string& name) override;
    void SetFontHeight(int height) override;
    void SetFontStyle(TFontStyles style) override;
    void SetCaption(const std::wstring& caption) override;

    TShape* Shape() const { return shape_; }
    TTntLabel* CaptionLabel() const { return caption_; }

    TColor FontColorNormal = 0x000000;
    TColor FontColorDisabled = 0x808080;
    TColor FontColorHot = 0x800080;
    TColor BrushColorNormal = 0xFFFFFF;
    TColor BrushColorDisabled = 0xFFFFFF;
    TColor BrushColorHot = 0xFFFFFF;
    // The rectangle's pen width; 0 draws the border in the fill colour.
    int BorderWidth = 1;

private:
    void Draw(TColor font, TColor brush);

    TShape* shape_ = nullptr;
    TTntLabel* caption_ = nullptr;
};

// A three-state check box drawn as one of six pictures. A click goes from 0 to
// 1 and from anything else to 0; SetState reaches all three states.
class TclCheckBox : public TclResImage {
public:
    explicit TclCheckBox(TComponent* owner);

    void SetParent(TWinControl* parent) override;
    void SetEnabled(bool enabled) override;
    // Ignored above 2 or when equal; else the state changes, OnChange runs and
    // the picture follows.
    virtual void SetState(uint8_t state);
    uint8_t State() const { return state_; }
    // The picture id for the state and the enabled state.
    int CurrentImageId();
    void SetChecked(bool checked) { SetState(checked ? 1 : 0); }
    bool IsChecked() const { return state_ == 1 || state_ == 2; }

    // A completed left click on the enabled box (the library's click).
    void Click() override;

    // Picture ids; -1 shows nothing.
    int ImageTicked = -1;
    int ImageTickedDisabled = -1;
    int ImageUnticked = -1;
    int ImageUntickedDisabled = -1;
    int ImageThird = -1;
    int ImageThirdDisabled = -1;
    // OnClick (the library's) runs after a click has changed the state;
    // OnChange whenever the state changes.
    TNotifyEvent OnChange;

private:
    uint8_t state_ = 0;
};

// A check box with a caption 8 pixels beside it (left of it when mirrored),
// cut to an optional maximum width with the whole text as its hint. Only the
// picture takes clicks.
class TclCaptionCheckBox : public TclCheckBox {
public:
    explicit TclCaptionCheckBox(TComponent* owner);

    void SetParent(TWinControl* parent) override;
    void SetVisible(bool visible) override;
    void SetTop(int top) override;
    void SetLeft(int left) override;
    int GetWidth() override;
    void SetWidth(int width) override;
    int GetHeight() override;
    virtual void FitCaption();
    int GetLeft() override;
    virtual int GetMaxWidth() { return maxWidth_; }
    virtual void SetMaxWidth(int width);
    // The caption's font, for the caller to set charset, name and colour.
    TFont* GetFont() { return caption_->Font(); }
    void SetCaption(const std::wstring& caption);
    TTntLabel* CaptionLabel() const { return caption_; }

private:
    bool Mirrored() const { return BiDiMode() != bdLeftToRight; }

    TTntLabel* caption_ = nullptr;
    int maxWidth_ = 0;
};

// The label inside a static text.
using TJvLabel = TLabel;

// A text in a rectangular frame: a shape with a label inset by the pen width
// and a margin.
class TclStaticText : public TShape {
public:
    explicit TclStaticText(TComponent* owner);

    virtual void SetParent(TWinControl* parent);
    virtual void SetVisible(bool visible);
    virtual void SetAnchors(TAnchors anchors);
    virtual void SetMargin(int margin);
    virtual void SetTop(int top);
    virtual void SetLeft(int left);
    // Ignored while the label sizes itself.
    virtual void SetWidth(int width);
    virtual void SetHeight(int height);
    virtual void SetPenStyle(TPenStyle style) { Pen()->SetStyle(style); }
    // The label is not moved.
    virtual void SetPenWidth(int width) { Pen()->SetWidth(width); }
    virtual void SetAutoSize(bool on);
    virtual void SetTransparent(bool transparent);
    // Takes the shape's font style, size and colour and the main form's charset.
    virtual void SetText(const std::string& text);
    virtual void SetColor(TColor color);
    virtual void SetPenColor(TColor color) { Pen()->SetColor(color); }
    virtual void BringToFront();

    // The shape around the label: label size + 2 x (pen width + margin).
    void FitToLabel();
    std::string GetText() const { return text_; }
    void SetAlignment(TAlignment alignment) { label_->SetAlignment(alignment); }
    int GetTop() const { return Top(); }
    int GetLeft() const { return Left(); }
    int GetWidth() const { return Width(); }
    int GetHeight() const { return Height(); }
    TJvLabel* Label() const { return label_; }

private:
    int Inset() { return Pen()->Width() + margin_; }

    TJvLabel* label_ = nullptr;
    int margin_ = 4;
    std::string text_;
};
