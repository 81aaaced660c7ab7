// Buttons, check boxes and static text.
#include "wizard/buttons.h"

#include "classlib/application.h"
#include "classlib/form.h"

#include <new>

// TclCustomButton: the overlay label takes the mouse for the whole button.

void TclCustomButton::SetParent(TWinControl* parent)
{
    TclCustomControl::SetParent(parent);
    if (overlay_)
        overlay_->SetParent(parent);
    if (parent) {
        InitParts();
        BringToFront();
    }
}

void TclCustomButton::SetAnchors(TAnchors anchors)
{
    TclCustomControl::SetAnchors(anchors);
    if (overlay_)
        overlay_->SetAnchors(anchors);
}

void TclCustomButton::SetVisible(bool visible)
{
    TclCustomControl::SetVisible(visible);
    if (overlay_)
        overlay_->SetVisible(visible);
    if (!visible)
        return;
    if (!GetEnabled())
        DrawDisabled();
    else if (hot_)
        DrawHot();
    else
        DrawNormal();
}

int TclCustomButton::GetTop()
{
    return overlay_ ? overlay_->Top() : Top();
}

void TclCustomButton::SetTop(int top)
{
    TclCustomControl::SetTop(top);
    if (overlay_)
        overlay_->SetTop(top);
}

int TclCustomButton::GetLeft()
{
    return overlay_ ? overlay_->Left() : Left();
}

void TclCustomButton::SetLeft(int left)
{
    TclCustomControl::SetLeft(left);
    if (overlay_)
        overlay_->SetLeft(left);
}

int TclCustomButton::GetHeight()
{
    return overlay_ ? overlay_->Height() : Height();
}

void TclCustomButton::SetHeight(int height)
{
    TclCustomControl::SetHeight(height);
    if (overlay_)
        overlay_->SetHeight(height);
}

int TclCustomButton::GetWidth()
{
    return overlay_ ? overlay_->Width() : Width();
}

void TclCustomButton::SetWidth(int width)
{
    TclCustomControl::SetWidth(width);
    if (overlay_)
        overlay_->SetWidth(width);
}

bool TclCustomButton::GetEnabled()
{
    return overlay_ ? overlay_->Enabled() : Enabled();
}

void TclCustomButton::SetEnabled(bool enabled)
{
    TclCustomControl::SetEnabled(enabled);
    if (overlay_)
        overlay_->SetEnabled(enabled);
    UpdateCursor();
    // The hot flag is not looked at: an enabled button starts from its normal look.
    if (enabled)
        DrawNormal();
    else
        DrawDisabled();
}

TCursor TclCustomButton::GetCursor()
{
    return overlay_ ? overlay_->Cursor() : Cursor();
}

void TclCustomButton::SetCursor(TCursor cursor)
{
    if (overlay_)
        overlay_->SetCursor(cursor);
}

void TclCustomButton::SetOnClick(TNotifyEvent handler)
{
    clickHandler_ = std::move(handler);
    UpdateCursor();
}

void TclCustomButton::BringToFront()
{
    if (overlay_)
        overlay_->BringToFront();
}

void TclCustomButton::UpdateState()
{
    if (!GetEnabled())
        return;
    if (hot_)
        DrawHot();
    else
        DrawNormal();
    if (OnStateChange)
        OnStateChange(this);
}

void TclCustomButton::InitParts()
{
    if (!overlay_)
        return;
    overlay_->SetTransparent(true);
    overlay_->SetCaption(L" ");
    overlay_->SetAutoSize(false);
    overlay_->SetLayout(tlCenter);
    overlay_->SetAlignment(taCenter);
    overlay_->SetWordWrap(true);
    overlay_->OnMouseEnter = [this](TObject*) { OverlayEnter(); };
    overlay_->OnMouseLeave = [this](TObject*) { OverlayLeave(); };
    overlay_->OnClick = [this](TObject*) { OverlayClick(); };
}

void TclCustomButton::UpdateCursor()
{
    SetCursor(GetEnabled() && clickHandler_ ? crHandPoint : crDefault);
}

bool TclCustomButton::CreateParts()
{
    overlay_ = new (std::nothrow) TTntLabel(Owner());
    return overlay_ != nullptr;
}

void TclCustomButton::OverlayEnter()
{
    hot_ = true;
    UpdateState();
}

void TclCustomButton::OverlayLeave()
{
    hot_ = false;
    UpdateState();
}

void TclCustomButton::OverlayClick()
{
    if (clickHandler_)
        clickHandler_(this);
}

// TclCaptionButton: the shape and the caption follow every change.

void TclCaptionButton::SetParent(TWinControl* parent)
{
    if (shape_)
        shape_->SetParent(parent);
    if (caption_)
        caption_->SetParent(parent);
    TclCustomButton::SetParent(parent);
}

void TclCaptionButton::SetAnchors(TAnchors anchors)
{
    TclCustomButton::SetAnchors(anchors);
    if (shape_)
        shape_->SetAnchors(anchors);
    if (caption_)
        caption_->SetAnchors(anchors);
}

void TclCaptionButton::SetVisible(bool visible)
{
    TclCustomButton::SetVisible(visible);
    if (shape_)
        shape_->SetVisible(visible);
    if (caption_)
        caption_->SetVisible(visible);
}

void TclCaptionButton::SetTop(int top)
{
    TclCustomButton::SetTop(top);
    if (shape_)
        shape_->SetTop(top);
    if (caption_)
        caption_->SetTop(top);
}

void TclCaptionButton::SetLeft(int left)
{
    TclCustomButton::SetLeft(left);
    if (shape_)
        shape_->SetLeft(left);
    if (caption_)
        caption_->SetLeft(left);
}

void TclCaptionButton::SetHeight(int height)
{
    TclCustomButton::SetHeight(height);
    if (shape_)
        shape_->SetHeight(height);
    if (caption_)
        caption_->SetHeight(height);
}

void TclCaptionButton::SetWidth(int width)
{
    TclCustomButton::SetWidth(width);
    if (shape_)
        shape_->SetWidth(width);
    if (caption_)
        caption_->SetWidth(width);
}

void TclCaptionButton::BringToFront()
{
    if (shape_)
        shape_->BringToFront();
    if (caption_)
        caption_->BringToFront();
    TclCustomButton::BringToFront();
}

void TclCaptionButton::InitParts()
{
    TclCustomButton::InitParts();
    if (shape_) {
        shape_->Brush()->SetStyle(bsSolid);
        shape_->Pen()->SetWidth(BorderWidth);
        shape_->SetShape(stRectangle);
    }
    if (caption_) {
        caption_->SetTransparent(true);
        caption_->SetCaption(L" ");
        caption_->SetAutoSize(false);
        caption_->SetLayout(tlCenter);
        caption_->SetAlignment(taCenter);
        caption_->SetWordWrap(true);
        caption_->SetHeight(GetHeight());
        caption_->Font()->SetColor(FontColorNormal);
    }
}

bool TclCaptionButton::CreateParts()
{
    if (!TclCustomButton::CreateParts())
        return false;
    shape_ = new (std::nothrow) TShape(Owner());
    if (!shape_)
        return false;
    caption_ = new (std::nothrow) TTntLabel(Owner());
    return caption_ != nullptr;
}

void TclCaptionButton::Draw(TColor font, TColor brush)
{
    if (caption_)
        caption_->Font()->SetColor(font);
    if (shape_) {
        shape_->Brush()->SetColor(brush);
        // A border of width 0 is drawn in the fill colour, so it does not show.
        shape_->Pen()->SetColor(BorderWidth != 0 ? font : brush);
    }
}

void TclCaptionButton::SetFontCharset(BYTE charset)
{
    if (caption_)
        caption_->Font()->SetCharset(charset);
}

void TclCaptionButton::SetFontName(const std::string& name)
{
    if (caption_)
        caption_->Font()->SetName(name);
}

void TclCaptionButton::SetFontHeight(int height)
{
    if (caption_)
        caption_->Font()->SetHeight(height);
}

void TclCaptionButton::SetFontStyle(TFontStyles style)
{
    if (caption_)
        caption_->Font()->SetStyle(style);
}

void TclCaptionButton::SetCaption(const std::wstring& caption)
{
    if (caption_)
        caption_->SetCaption(caption);
}

// TclCheckBox.

TclCheckBox::TclCheckBox(TComponent* owner) : TclResImage(owner)
{
    TclResImage::SetCursor(crHandPoint);
}

void TclCheckBox::SetParent(TWinControl* parent)
{
    TclResImage::SetParent(parent);
    SetImage(CurrentImageId());
}

void TclCheckBox::SetEnabled(bool enabled)
{
    TclResImage::SetEnabled(enabled);
    SetImage(CurrentImageId());
}

void TclCheckBox::SetState(uint8_t state)
{
    if (state > 2 || state == state_)
        return;
    state_ = state;
    if (OnChange)
        OnChange(this);
    SetImage(CurrentImageId());
}

int TclCheckBox::CurrentImageId()
{
    bool enabled = GetEnabled();
    switch (state_) {
    case 1: return enabled ? ImageTicked : ImageTickedDisabled;
    case 2: return enabled ? ImageThird : ImageThirdDisabled;
    default: return enabled ? ImageUnticked : ImageUntickedDisabled;
    }
}

void TclCheckBox::Click()
{
    // A click never gives the third state.
    state_ = state_ == 0 ? 1 : 0;
    if (OnChange)
        OnChange(this);
    if (OnClick)
        OnClick(this);
    SetImage(CurrentImageId());
}

// TclCaptionCheckBox.

namespace {

const int CaptionGap = 8;
const int CaptionDrop = 4;

}  // namespace

TclCaptionCheckBox::TclCaptionCheckBox(TComponent* owner) : TclCheckBox(owner)
{
    caption_ = new TTntLabel(owner);
    caption_->SetCaption(L" ");
    caption_->SetShowHint(true);
    caption_->SetTransparent(true);
}

void TclCaptionCheckBox::SetParent(TWinControl* parent)
{
    TclCheckBox::SetParent(parent);
    caption_->SetParent(parent);
}

void TclCaptionCheckBox::SetVisible(bool visible)
{
    TclCheckBox::SetVisible(visible);
    caption_->SetVisible(visible);
}

void TclCaptionCheckBox::SetTop(int top)
{
    TclCheckBox::SetTop(top);
    caption_->SetTop(top + CaptionDrop);
}

void TclCaptionCheckBox::SetLeft(int left)
{
    if (Mirrored()) {
        caption_->SetLeft(left);
        TclCheckBox::SetLeft(left + caption_->Width() + CaptionGap);
    } else {
        TclCheckBox::SetLeft(left);
        caption_->SetLeft(left + Width() + CaptionGap);
    }
}

int TclCaptionCheckBox::GetLeft()
{
    return Mirrored() ? caption_->Left() : Left();
}

int TclCaptionCheckBox::GetWidth()
{
    return Width() + caption_->Width() + CaptionGap;
}

void TclCaptionCheckBox::SetWidth(int width)
{
    caption_->SetWidth(width - Width() - CaptionGap);
}

int TclCaptionCheckBox::GetHeight()
{
    int captionBottom = caption_->Top() + caption_->Height() - Top();
    return captionBottom > Height() ? captionBottom : Height();
}

void TclCaptionCheckBox::FitCaption()
{
    caption_->SetWordWrap(false);
    caption_->SetAutoSize(true);
    caption_->SetTop(Top() + CaptionDrop);
    caption_->SetHint(L"");
    if (maxWidth_ == 0 || GetWidth() <= maxWidth_)
        return;
    caption_->SetAutoSize(false);
    // A limit narrower than the picture and the gap leaves no caption, never a
    // negative width.
    int width = maxWidth_ - Width() - CaptionGap;
    caption_->SetWidth(width > 0 ? width : 0);
    caption_->SetHint(caption_->Caption());
}

void TclCaptionCheckBox::SetMaxWidth(int width)
{
    maxWidth_ = width;
    FitCaption();
}

void TclCaptionCheckBox::SetCaption(const std::wstring& caption)
{
    caption_->SetCaption(caption);
    FitCaption();
}

// TclStaticText.

TclStaticText::TclStaticText(TComponent* owner) : TShape(owner)
{
    label_ = new TJvLabel(this);
    label_->SetCaption(L" ");
    label_->SetTransparent(true);
    label_->SetAutoSize(false);
    FitToLabel();
}

void TclStaticText::SetParent(TWinControl* parent)
{
    TShape::SetParent(parent);
    label_->SetParent(parent);
}

void TclStaticText::SetVisible(bool visible)
{
    TShape::SetVisible(visible);
    label_->SetVisible(visible);
}

void TclStaticText::SetAnchors(TAnchors anchors)
{
    TShape::SetAnchors(anchors);
    label_->SetAnchors(anchors);
}

void TclStaticText::FitToLabel()
{
    int inset = Inset();
    TShape::SetWidth(label_->Width() + 2 * inset);
    TShape::SetHeight(label_->Height() + 2 * inset);
}

void TclStaticText::SetMargin(int margin)
{
    margin_ = margin;
    int inset = Inset();
    label_->SetLeft(Left() + inset);
    label_->SetTop(Top() + inset);
    if (label_->AutoSize()) {
        FitToLabel();
    } else {
        label_->SetWidth(Width() - 2 * inset);
        label_->SetHeight(Height() - 2 * inset);
    }
}

void TclStaticText::SetTop(int top)
{
    TShape::SetTop(top);
    label_->SetTop(Top() + Inset());
}

void TclStaticText::SetLeft(int left)
{
    TShape::SetLeft(left);
    label_->SetLeft(Left() + Inset());
}

void TclStaticText::SetWidth(int width)
{
    if (label_->AutoSize())
        return;
    TShape::SetWidth(width);
    label_->SetWidth(Width() - 2 * Inset());
}

void TclStaticText::SetHeight(int height)
{
    if (label_->AutoSize())
        return;
    TShape::SetHeight(height);
    label_->SetHeight(Height() - 2 * Inset());
}

void TclStaticText::SetAutoSize(bool on)
{
    label_->SetAutoSize(on);
    if (label_->AutoSize())
        FitToLabel();
}

void TclStaticText::SetTransparent(bool transparent)
{
    label_->SetTransparent(transparent);
    Brush()->SetStyle(label_->Transparent() ? bsClear : bsSolid);
}

void TclStaticText::SetText(const std::string& text)
{
    label_->Font()->SetStyle(Font()->Style());
    label_->Font()->SetSize(Font()->Size());
    label_->Font()->SetColor(Font()->Color());
    if (TForm* mainForm = Application->MainForm())
        label_->Font()->SetCharset(mainForm->Font()->Charset());
    text_ = text;
    // An 8-bit text (a path) in the system code page.
    std::wstring wide(text.size(), L'\0');
    int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                     static_cast<int>(wide.size()));
    wide.resize(length > 0 ? length : 0);
    label_->SetCaption(wide);
    if (label_->AutoSize())
        FitToLabel();
}

void TclStaticText::SetColor(TColor color)
{
    Brush()->SetColor(color);
    label_->SetColor(color);
}

void TclStaticText::BringToFront()
{
    TShape::BringToFront();
    label_->BringToFront();
}
