// The wizard's message box.
#include "wizard/msgdialog.h"

#include "classlib/application.h"
#include "foundation/fileutil.h"
#include "foundation/langutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/msgids.h"
#include "foundation/strutil.h"

#include <cstdlib>
#include <new>

tclMsgDialog* MessageBoxInstance = nullptr;
const wchar_t ProductName[] = L"Brimvault";

namespace {

const int IconSize = 32;
const int IconTextGap = 24;  // the icon's top below the header
const int TextLeft = 56;     // from the reading-side edge
const int IconLeft = 16;
const int TextRightSpace = 86;  // text width + this = the width the text needs
const int ButtonSpacing = 20;
const int BottomMargin = 16;
// The box stays this far inside the screen's edges; a longer text wraps.
const int ScreenMargin = 40;
const int QuestionIcon = 21213;
const int ErrorIcon = 21212;

int CallMessageBoxW(HWND owner, const wchar_t* text, UINT type)
{
    return MessageBoxW(owner, text, nullptr, type);
}

const wchar_t* TextOrEmpty(const wchar_t* text)
{
    return text ? text : L"";
}

}  // namespace

int (*SystemMessageBox)(HWND owner, const wchar_t* text, UINT type) = CallMessageBoxW;

bool tclMsgDialog::BuildHeader()
{
    header = CreateTitleStrip(form);
    if (!header)
        return false;
    // The drag area follows the box's width through its anchors, so a wide
    // box can be dragged by its whole header.
    dragArea = CreateFormMoveArea(form, form->ClientWidth(), config.headerHeight);
    return dragArea != nullptr;
}

void tclMsgDialog::PlaceHeader()
{
    AnchorToReadingSide(form, header);
}

void tclMsgDialog::OnYes()
{
    answer = 1;
    form->Close();
}

void tclMsgDialog::OnNo()
{
    answer = 0;
    form->Close();
}

bool tclMsgDialog::Build(const MessageBoxConfig& boxConfig)
{
    answer = 0;
    config = boxConfig;
    form = new (std::nothrow) TForm(Application);
    if (!form)
        return false;
    form->SetParentBiDiMode(false);
    form->SetVisible(false);
    form->SetFormStyle(fsStayOnTop);
    form->Font()->SetHeight(-12);
    form->SetColor(config.formColor);
    form->SetDoubleBuffered(true);
    form->SetBorderStyle(bsNone);
    if (!CreateFrameBox(form, 1))
        return false;
    form->SetCaption(Application->Title());
    if (!BuildHeader())
        return false;

    icon = new (std::nothrow) TImage(form);
    if (!icon)
        return false;
    icon->SetParent(form);
    icon->SetAutoSize(true);
    icon->SetTransparent(true);
    icon->SetTop(config.headerHeight + IconTextGap);

    textLabel = new (std::nothrow) TTntLabel(form);
    if (!textLabel)
        return false;
    textLabel->SetParent(form);
    textLabel->Font()->SetColor(form->Font()->Color());
    textLabel->SetTransparent(true);

    firstButton = CreateCaptionButton(form);
    if (!firstButton)
        return false;
    firstButton->SetOnClick([this](TObject*) { OnYes(); });
    secondButton = CreateCaptionButton(form);
    if (!secondButton)
        return false;
    secondButton->SetOnClick([this](TObject*) { OnNo(); });
    return true;
}

void tclMsgDialog::SetMessageBoxText(const wchar_t* text)
{
    uint8_t charset = GetUiCharset();
    const char* uiFont = GetUiFontName();
    std::string fontName = uiFont ? uiFont : "";
    form->Font()->SetCharset(charset);
    if (!fontName.empty())
        form->Font()->SetName(fontName);
    form->SetBiDiMode(SysLocale.MiddleEast ? bdRightToLeft : bdLeftToRight);
    for (TclCaptionButton* button : {firstButton, secondButton}) {
        button->SetFontCharset(charset);
        button->SetFontName(fontName);
    }
    textLabel->Font()->SetCharset(charset);
    textLabel->Font()->SetName(fontName);

    // Measured unwrapped: only the text's own line breaks break it.
    textLabel->SetWidth(640);
    textLabel->SetHeight(480);
    textLabel->SetAutoSize(true);
    textLabel->SetWordWrap(false);
    textLabel->SetCaption(TextOrEmpty(text));
    int width = textLabel->Width();
    // Never wider than the screen: beyond it the text wraps, taller.
    int widest = GetSystemMetrics(SM_CXSCREEN) - 2 * ScreenMargin - TextRightSpace;
    if (width > widest) {
        textLabel->SetAutoSize(false);
        textLabel->SetWidth(widest);
        textLabel->SetWordWrap(true);
        textLabel->SetAutoSize(true);  // keeps the width, takes the wrapped height
        width = widest;
    }
    textLabel->SetAutoSize(false);
    textLabel->SetWordWrap(true);
    textLabel->SetWidth(width);
}

void tclMsgDialog::PrepareQuestion()
{
    LoadImageResource(icon, QuestionIcon, ImageKindBitmap);
    firstButton->SetVisible(true);
    firstButton->SetCaption(TextOrEmpty(MessageText(config.yesTextId)));
    secondButton->SetVisible(true);
    secondButton->SetCaption(TextOrEmpty(MessageText(config.noTextId)));
    firstButton->SetEnabled(true);
    answer = 0;
}

void tclMsgDialog::PrepareError()
{
    LoadImageResource(icon, ErrorIcon, ImageKindBitmap);
    firstButton->SetVisible(true);
    firstButton->SetCaption(TextOrEmpty(MessageText(config.okTextId)));
    secondButton->SetVisible(false);
}

int tclMsgDialog::MessageBoxClientWidth()
{
    int width = header->Width() + config.extraWidth;
    int forText = textLabel->Width() + TextRightSpace;
    if (forText > width)
        width = forText;
    int forButtons = secondButton->GetVisible()
                         ? firstButton->GetWidth() + secondButton->GetWidth() + 3 * ButtonSpacing
                         : firstButton->GetWidth() + 2 * ButtonSpacing;
    return forButtons > width ? forButtons : width;
}

int tclMsgDialog::MessageBoxButtonTop()
{
    int iconTop = icon->Top();
    int height = textLabel->Height();
    if (height <= IconSize) {
        textLabel->SetTop(iconTop + (IconSize - height) / 2);
        return iconTop + IconSize + 16;
    }
    textLabel->SetTop(iconTop);
    return iconTop + height + 16;
}

void tclMsgDialog::LayoutMessageBox()
{
    form->SetClientWidth(MessageBoxClientWidth());
    int top = MessageBoxButtonTop();
    firstButton->SetTop(top);
    secondButton->SetTop(top);
    form->SetClientHeight(top + firstButton->GetHeight() + BottomMargin);
}

void tclMsgDialog::PlaceMessageBoxControls()
{
    PlaceHeader();
    int w = form->ClientWidth();
    bool mirrored = form->BiDiMode() != bdLeftToRight;
    icon->SetLeft(mirrored ? w - IconSize - IconLeft : IconLeft);
    textLabel->SetLeft(mirrored ? w - textLabel->Width() - TextLeft : TextLeft);
    if (!secondButton->GetVisible()) {
        firstButton->SetLeft((w - firstButton->GetWidth()) / 2);
    } else if (!mirrored) {
        secondButton->SetLeft(w - secondButton->GetWidth() - ButtonSpacing);
        firstButton->SetLeft(secondButton->GetLeft() - firstButton->GetWidth() - ButtonSpacing);
    } else {
        secondButton->SetLeft(ButtonSpacing);
        firstButton->SetLeft(secondButton->GetLeft() + secondButton->GetWidth() + ButtonSpacing);
    }
}

bool CreateMessageBox(const MessageBoxConfig* config)
{
    if (MessageBoxInstance || !config)
        return false;
    auto* box = new (std::nothrow) tclMsgDialog;
    if (!box)
        return false;
    if (!box->Build(*config)) {
        // No box remains: the half-built form goes with its controls.
        if (box->form)
            TComponent::Free(box->form);
        delete box;
        return false;
    }
    MessageBoxInstance = box;
    return true;
}

bool AskYesNo(const wchar_t* text)
{
    if (!text)
        return false;
    tclMsgDialog* box = MessageBoxInstance;
    if (!box) {
        return SystemMessageBox(Application->Handle(), text, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) ==
               IDYES;
    }
    box->SetMessageBoxText(text);
    box->PrepareQuestion();
    box->LayoutMessageBox();
    box->PlaceMessageBoxControls();
    CenterOnMainForm(box->form);
    box->form->ShowModal();
    return box->answer == 1;
}

void ShowErrorText(const wchar_t* text)
{
    if (!text)
        return;
    tclMsgDialog* box = MessageBoxInstance;
    if (!box) {
        SystemMessageBox(Application->Handle(), text, MB_ICONERROR);
        return;
    }
    box->SetMessageBoxText(text);
    box->PrepareError();
    box->LayoutMessageBox();
    box->PlaceMessageBoxControls();
    CenterOnMainForm(box->form);
    box->form->ShowModal();
}

void ShowMemoryError()
{
    ShowErrorText(MessageText(MsgMemoryFailed));
}

const wchar_t* ProductMsg(int id)
{
    const wchar_t* text = MessageText(id);
    return text ? FormatMsg1(text, ProductName) : nullptr;
}

bool SetupMsgDialog()
{
    const MessageBoxConfig config = {0xE6E6E6, MsgOk, MsgCancel, MsgYes, MsgNo, 18, 8};
    return CreateMessageBox(&config);
}

void ShowSystemError(int error)
{
    wchar_t* text = GetSystemErrorText(0, static_cast<uint32_t>(error), nullptr);
    if (!text)
        return;
    ShowErrorText(text);
    free(text);
}
