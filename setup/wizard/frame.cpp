// The wizard's frame and control factories.
#include "wizard/frame.h"

#include "classlib/application.h"
#include "foundation/langutil.h"
#include "foundation/strutil.h"

#include <new>

namespace {

const TColor StripColour = 0x7A2F00;
const int ButtonGap = 10;

bool IsMirrored(const TControl* control)
{
    return control->BiDiMode() != bdLeftToRight;
}

std::wstring Widen(const char* text)
{
    std::wstring wide;
    for (; text && *text; text++)
        wide += static_cast<unsigned char>(*text);
    return wide;
}

TclCaptionButton* MakeCaptionButton(TWinControl* owner, bool flat)
{
    auto* button = new (std::nothrow) TclCaptionButton(owner);
    if (!button)
        return nullptr;
    if (flat)
        button->BorderWidth = 1;
    if (!button->CreateParts()) {
        delete button;
        return nullptr;
    }
    button->SetParent(owner);
    button->SetWidth(100);
    button->SetHeight(24);
    if (flat) {
        button->BrushColorNormal = button->BrushColorDisabled = button->BrushColorHot = 0xFFFFFF;
        button->FontColorNormal = 0x000000;
        button->FontColorDisabled = 0x808080;
        button->FontColorHot = 0x000000;  // the frame buttons do not change under the pointer
    }
    button->SetEnabled(true);
    button->BringToFront();
    return button;
}

bool CreateTitleLabel(SetupFrame* frame)
{
    TForm* form = frame->form;
    TTntLabel* title = new (std::nothrow) TTntLabel(form);
    if (!title)
        return false;
    title->SetParent(form);
    title->SetTransparent(true);
    title->Font()->SetHeight(16);
    title->Font()->SetStyle(fsBold);
    frame->titleWidth = form->ClientWidth() - frame->titleMargin - 8;
    title->SetAutoSize(false);
    title->SetWidth(frame->titleWidth);
    TSizeConstraints fixedWidth;
    fixedWidth.MinWidth = fixedWidth.MaxWidth = frame->titleWidth;
    title->SetConstraints(fixedWidth);
    title->SetWordWrap(true);
    title->SetAutoSize(true);  // the width stays; the height follows the text
    frame->titleLabel = title;
    return true;
}

}  // namespace

void SetCheckBoxImages(TclCheckBox* box)
{
    box->SetImageKind(ImageKindBitmap);
    box->ImageTicked = 21201;
    box->ImageTickedDisabled = 21202;
    box->ImageUnticked = 21203;
    box->ImageUntickedDisabled = 21204;
    box->ImageThird = 21205;
    box->ImageThirdDisabled = 21206;
}

TclCheckBox* CreateCheckBox(TWinControl* owner)
{
    auto* box = new (std::nothrow) TclCheckBox(owner);
    if (!box)
        return nullptr;
    SetCheckBoxImages(box);
    box->SetParent(owner);
    box->SetTransparent(true);
    return box;
}

TclCaptionCheckBox* CreateCaptionCheckBox(TWinControl* owner)
{
    auto* box = new (std::nothrow) TclCaptionCheckBox(owner);
    if (!box)
        return nullptr;
    SetCheckBoxImages(box);
    box->SetParent(owner);
    return box;
}

TLabel* CreateVersionLabel(TWinControl* owner)
{
    auto* label = new (std::nothrow) TLabel(owner);
    if (!label)
        return nullptr;
    label->SetParent(owner);
    label->SetTransparent(true);
    label->SetCaption(L"Ver " + Widen(VersionText(20402)));
    return label;
}

TclCaptionButton* CreateCaptionButton(TWinControl* owner)
{
    return MakeCaptionButton(owner, false);
}

TclCaptionButton* CreateFlatCaptionButton(TWinControl* owner)
{
    return MakeCaptionButton(owner, true);
}

TImage* CreateTitleStrip(TWinControl* parent)
{
    auto* strip = new (std::nothrow) TShape(parent);
    if (!strip)
        return nullptr;
    strip->SetParent(parent);
    strip->Pen()->SetColor(StripColour);
    strip->Brush()->SetColor(StripColour);
    strip->SetBounds(0, 0, parent->ClientWidth(), 18);
    strip->SetAnchors(akLeft | akTop | akRight);

    auto* logo = new (std::nothrow) TImage(parent);
    if (!logo)
        return nullptr;
    logo->SetParent(parent);
    LoadImageResource(logo, 21300, ImageKindPng);
    logo->SetAutoSize(false);
    logo->SetBounds(8, 3, 101, 13);
    return logo;
}

TImage* CreateStartPicture(TWinControl* owner)
{
    return CreateResourceImage(owner, 21470, ImageKindPng);
}

TImage* CreateHeaderPicture(TWinControl* owner)
{
    TImage* picture = CreateResourceImage(owner, 21304, ImageKindPng);
    if (picture)
        picture->SetTop(28);
    return picture;
}

TJvXPProgressBar* CreateProgressBar(TWinControl* parent)
{
    auto* bar = new (std::nothrow) TJvXPProgressBar(parent);
    if (!bar)
        return nullptr;
    bar->SetParent(parent);
    bar->SetHeight(16);
    bar->SetLeft(24);
    bar->SetWidth(parent->ClientWidth() - 48);
    bar->SetAnchors(akLeft | akTop | akRight);
    bar->SetBarColorFrom(0xAB5A00);
    bar->SetBarColorTo(0xAB5A00);
    return bar;
}

TclCustomBox* CreateFrameBox(TWinControl* parent, int penWidth)
{
    auto* box = new (std::nothrow) TclCustomBox(parent);
    if (!box)
        return nullptr;
    box->SetParent(parent);
    box->SetTop(0);
    box->SetLeft(0);
    box->SetWidth(parent->ClientWidth());
    box->SetHeight(parent->ClientHeight());
    box->Brush()->SetStyle(bsClear);
    box->Pen()->SetWidth(penWidth);
    box->SetAnchors(akLeft | akTop | akRight | akBottom);
    return box;
}

TShape* CreateFilledRect(TWinControl* parent, int top, int left, int height, int width, TColor colour)
{
    auto* rect = new (std::nothrow) TShape(parent);
    if (!rect)
        return nullptr;
    rect->SetParent(parent);
    rect->SetShape(stRectangle);
    rect->Pen()->SetColor(colour);
    rect->Brush()->SetColor(colour);
    rect->SetBounds(left, top, width, height);
    return rect;
}

TShape* CreateTopBand(TWinControl* parent, int top, int height, TColor colour)
{
    TShape* band = CreateFilledRect(parent, top, 0, height, parent->ClientWidth(), colour);
    if (band) {
        band->SetAnchors(akLeft | akTop | akRight);
        band->SendToBack();
    }
    return band;
}

TShape* CreateBottomBand(TWinControl* parent, int height, TColor colour)
{
    TShape* band =
        CreateFilledRect(parent, parent->ClientHeight() - height, 0, height, parent->ClientWidth(), colour);
    if (band) {
        band->SetAnchors(akLeft | akRight | akBottom);
        band->SendToBack();
    }
    return band;
}

TclFormMove* CreateFormMoveArea(TWinControl* parent, int width, int height)
{
    auto* area = new (std::nothrow) TclFormMove(parent);
    if (!area)
        return nullptr;
    area->SetParent(parent);
    area->SetLeft(0);
    area->SetTop(0);
    area->SetHeight(height);
    area->SetWidth(width);
    return area;
}

void AnchorToReadingSide(TWinControl* parent, TControl* control)
{
    if (!IsMirrored(parent)) {
        control->SetLeft(8);
        control->SetAnchors(akLeft | akTop);
    } else {
        control->SetLeft(parent->ClientWidth() - control->Width() - 8);
        control->SetAnchors(akTop | akRight);
    }
}

void CenterControl(TControl* control, TForm* form)
{
    if (!control)
        return;
    if (form) {
        control->SetLeft(form->Left() + (form->Width() - control->Width()) / 2);
        control->SetTop(form->Top() + (form->Height() - control->Height()) / 2);
    } else {
        control->SetLeft((GetSystemMetrics(SM_CXSCREEN) - control->Width()) / 2);
        control->SetTop((GetSystemMetrics(SM_CYSCREEN) - control->Height()) / 2);
    }
}

void CenterOnMainForm(TControl* control)
{
    CenterControl(control, Application->MainForm());
}

void InitSetupFrame(SetupFrame* frame)
{
    *frame = SetupFrame();
    frame->titleMargin = 80;
}

bool CreateSetupFrame(SetupFrame* frame)
{
    TForm* form = frame->form;
    if (!form)
        return false;
    form->SetDoubleBuffered(true);
    if (frame->stripHeight != 0) {
        frame->titleStripLogo = CreateTitleStrip(form);
        if (!frame->titleStripLogo)
            return false;
    }
    frame->centrePicture = new (std::nothrow) TImage(form);
    if (!frame->centrePicture)
        return false;
    frame->centrePicture->SetParent(form);
    frame->centrePicture->SetAutoSize(true);
    frame->centrePicture->SetTransparent(true);
    if (!CreateTitleLabel(frame))
        return false;
    frame->versionLabel = CreateVersionLabel(form);
    if (!frame->versionLabel)
        return false;
    frame->versionLabel->SetAutoSize(true);
    int dragHeight = frame->stripHeight != 0 ? frame->stripHeight : form->ClientHeight();
    if (!CreateFormMoveArea(form, form->ClientWidth(), dragHeight))
        return false;
    frame->leftButton = CreateFlatCaptionButton(form);
    if (!frame->leftButton)
        return false;
    frame->rightButton = CreateFlatCaptionButton(form);
    if (!frame->rightButton)
        return false;
    frame->middleButton = CreateFlatCaptionButton(form);
    return frame->middleButton != nullptr;
}

void ApplyFrameLanguage(SetupFrame* frame, uint8_t charset, const std::string& fontName)
{
    TForm* form = frame->form;
    bool rightToLeft = IsRightToLeftCharset(charset);
    SysLocale.MiddleEast = rightToLeft;
    Application->SetBiDiMode(rightToLeft ? bdRightToLeft : bdLeftToRight);
    form->SetBiDiMode(rightToLeft ? bdRightToLeft : bdLeftToRight);
    for (TFont* font : {form->Font(), frame->titleLabel ? frame->titleLabel->Font() : nullptr}) {
        if (!font)
            continue;
        font->SetCharset(charset);
        if (!fontName.empty())
            font->SetName(fontName);
    }
    for (TclCaptionButton* button : {frame->rightButton, frame->leftButton, frame->middleButton}) {
        if (!button)
            continue;
        button->SetFontCharset(charset);
        if (!fontName.empty())
            button->SetFontName(fontName);
    }
}

void LayoutSetupButtons(SetupFrame* frame)
{
    TForm* form = frame->form;
    if (frame->titleStripLogo)
        AnchorToReadingSide(form, frame->titleStripLogo);
    TclCaptionButton *left = frame->leftButton, *middle = frame->middleButton, *right = frame->rightButton;
    int width = form->ClientWidth();
    if (!IsMirrored(form)) {
        left->SetLeft(ButtonGap);
        left->SetAnchors(akLeft | akBottom);
        right->SetLeft(width - right->GetWidth() - ButtonGap);
        right->SetAnchors(akRight | akBottom);
        middle->SetLeft(right->GetLeft() - middle->GetWidth() - ButtonGap);
        middle->SetAnchors(akRight | akBottom);
    } else {
        right->SetLeft(ButtonGap);
        right->SetAnchors(akLeft | akBottom);
        left->SetLeft(width - left->GetWidth() - ButtonGap);
        left->SetAnchors(akRight | akBottom);
        middle->SetLeft(right->GetLeft() + right->GetWidth() + ButtonGap);
        middle->SetAnchors(akLeft | akBottom);
    }
}

void SetTitleText(SetupFrame* frame, const wchar_t* text)
{
    TTntLabel* title = frame->titleLabel;
    if (!title)
        return;
    title->SetCaption(text ? text : L"");
    int width = frame->form->ClientWidth();
    title->SetLeft(IsMirrored(frame->form) ? width - frame->titleWidth - frame->titleMargin
                                           : frame->titleMargin);
}

TTntMemo* CreateLicenceMemo(SetupFrame* frame)
{
    TForm* form = frame->form;
    auto* memo = new (std::nothrow) TTntMemo(form);
    if (!memo)
        return nullptr;
    memo->SetParent(form);
    memo->SetWidth(form->ClientWidth() - 16);
    memo->SetReadOnly(true);
    memo->SetAnchors(akLeft | akTop | akRight | akBottom);
    return memo;
}
