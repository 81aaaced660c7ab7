// The welcome, options and licence pages.
#include "wizard/startpages.h"

#include "classlib/form.h"
#include "foundation/langutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/msgids.h"
#include "wizard/forminstall.h"
#include "wizard/msgdialog.h"
#include "wizard/progresspages.h"

#include <cstdlib>
#include <new>

namespace {

const int ClientWidth = 500;
const int ReadingMargin = 30;
const TColor LinkColour = 0xFF0000;
const TColor VisitedLinkColour = 0x800080;
// Right-aligned, right-to-left reading and the scroll bar on the left.
const LONG MirroredComboStyles = WS_EX_RIGHT | WS_EX_RTLREADING | WS_EX_LEFTSCROLLBAR;

SetupFrame& Frame()
{
    return PageList->frame;
}

TForm* Form()
{
    return PageList->frame.form;
}

bool IsMirrored()
{
    return Form()->BiDiMode() != bdLeftToRight;
}

void CopyFormFont(TFont* font)
{
    font->SetCharset(Form()->Font()->Charset());
    font->SetName(Form()->Font()->Name());
}

void ShowPageFromHandler(clCustomPage* page)
{
    PageList->ShowPage(page);
}

// The left button leads back to the welcome page; the others are hidden.
void ShowOnlyBackButton()
{
    Frame().rightButton->SetVisible(false);
    Frame().middleButton->SetVisible(false);
    Frame().leftButton->SetVisible(true);
    Frame().leftButton->SetOnClick([](TObject*) { ShowPageFromHandler(WelcomePage); });
}

TTntLabel* NewTransparentLabel()
{
    auto* label = new (std::nothrow) TTntLabel(Form());
    if (!label)
        return nullptr;
    label->SetParent(Form());
    label->SetTransparent(true);
    return label;
}

}  // namespace

std::wstring PageText(int id)
{
    const wchar_t* text = MessageText(id);
    return text ? text : L"";
}

std::wstring LicenceDisplayText(const wchar_t* text)
{
    if (!text)
        return L"";
    if (*text == 0xFEFF)
        text++;
    return text;
}

// ---- Welcome page --------------------------------------------------------------------------

void clCustomPageInstallStart::UpdateInstallButton()
{
    Frame().middleButton->SetEnabled(acceptBox->IsChecked());
}

bool clPageInstallStart::Create()
{
    if (!languageCombo || !FillLanguageCombo(languageCombo, MsgLanguageName))
        return false;
    languageLabel = NewTransparentLabel();
    acceptBox = CreateCheckBox(Form());
    linkLabel = NewTransparentLabel();
    if (!languageLabel || !acceptBox || !linkLabel)
        return false;
    acceptBox->SetChecked(false);
    linkLabel->Font()->SetStyle(fsUnderline);
    linkLabel->SetCursor(crHandPoint);

    languageLabel->Font()->SetColor(0x000000);
    languageLabel->SetTop(230);
    languageCombo->SetTop(228);
    languageCombo->SetWidth(226);
    languageCombo->BringToFront();
    acceptBox->SetTop(262);
    linkLabel->SetTop(264);
    linkLabel->Font()->SetColor(LinkColour);

    welcomePicture = CreateStartPicture(Form());
    if (!welcomePicture)
        return false;
    welcomePicture->SetLeft(31);
    welcomePicture->SetTop(156);
    return true;
}

void clPageInstallStart::Show()
{
    if (HasSeveralLanguages()) {
        languageCombo->SetVisible(true);
        languageLabel->SetVisible(true);
        languageCombo->OnChange = [](TObject*) {
            if (SelectComboLanguage(WelcomePage->languageCombo))
                PageList->ApplyLanguage();
        };
    }
    SetupFrame& frame = Frame();
    frame.middleButton->SetVisible(true);
    frame.middleButton->SetOnClick([this](TObject*) { StartInstall(); });
    frame.rightButton->SetVisible(true);
    frame.rightButton->SetOnClick([this](TObject*) { ConfirmQuit(); });
    frame.leftButton->SetVisible(true);
    frame.leftButton->SetOnClick([](TObject*) { ShowPageFromHandler(OptionsPage); });
    acceptBox->OnChange = [this](TObject*) { UpdateInstallButton(); };
    acceptBox->SetVisible(true);
    linkLabel->SetVisible(true);
    linkLabel->OnClick = [this](TObject*) { OpenLicence(); };
    UpdateInstallButton();
    welcomePicture->SetVisible(true);
}

void clPageInstallStart::Hide()
{
    // The right button keeps its handler: the next page rebinds or hides it.
    Frame().leftButton->SetOnClick(nullptr);
    Frame().middleButton->SetOnClick(nullptr);
    languageLabel->SetVisible(false);
    languageCombo->SetVisible(false);
    languageCombo->OnChange = nullptr;
    acceptBox->SetVisible(false);
    acceptBox->OnChange = nullptr;
    linkLabel->SetVisible(false);
    linkLabel->OnClick = nullptr;
    welcomePicture->SetVisible(false);
}

void clPageInstallStart::ApplyLanguage()
{
    SetupFrame& frame = Frame();
    SetTitleText(&frame, PageText(MsgWelcomeTitle).c_str());
    frame.leftButton->SetCaption(PageText(MsgOptions));
    frame.rightButton->SetCaption(PageText(MsgQuit));
    frame.middleButton->SetCaption(PageText(MsgInstall));
    CopyFormFont(languageLabel->Font());
    CopyFormFont(linkLabel->Font());
    languageLabel->SetCaption(PageText(MsgSelectLanguage));
    linkLabel->SetCaption(PageText(MsgLicenceAccepted));
}

void clPageInstallStart::Arrange()
{
    HWND combo = languageCombo->Handle();
    LONG style = combo ? GetWindowLongA(combo, GWL_EXSTYLE) : 0;
    if (!IsMirrored()) {
        if (combo)
            SetWindowLongA(combo, GWL_EXSTYLE, style & ~MirroredComboStyles);
        languageLabel->SetLeft(ReadingMargin);
        languageCombo->SetLeft(languageLabel->Left() + languageLabel->Width() + 8);
        acceptBox->SetLeft(ReadingMargin);
        linkLabel->SetLeft(acceptBox->GetLeft() + acceptBox->GetWidth() + 4);
    } else {
        if (combo)
            SetWindowLongA(combo, GWL_EXSTYLE, style | MirroredComboStyles);
        languageLabel->SetLeft(ClientWidth - ReadingMargin - languageLabel->Width());
        languageCombo->SetLeft(languageLabel->Left() - languageCombo->Width() - 8);
        acceptBox->SetLeft(ClientWidth - ReadingMargin - acceptBox->GetWidth());
        linkLabel->SetLeft(acceptBox->GetLeft() - linkLabel->Width() - 4);
    }
}

void clPageInstallStart::OpenLicence()
{
    // The link stays visited for the rest of the run.
    linkLabel->Font()->SetColor(VisitedLinkColour);
    PageList->ShowPage(LicencePage);
}

void clPageInstallStart::ConfirmQuit()
{
    const wchar_t* question = ProductMsg(MsgQuitQuestion);
    if (question && AskYesNo(question))
        Form()->Close();
}

void clPageInstallStart::StartInstall()
{
    PageList->ShowPage(ProgressPage);
}

// ---- Options page --------------------------------------------------------------------------

void clCustomPageInstallOptions::SetFolder(const std::string& folder)
{
    folderBox->SetText(folder);
}

std::string clCustomPageInstallOptions::Folder() const
{
    return folderBox->GetText();
}

bool clPageInstallOptions::Create()
{
    captionLabel = NewTransparentLabel();
    folderBox = new (std::nothrow) TclStaticText(Form());
    if (!captionLabel || !folderBox)
        return false;
    captionLabel->SetParentFont(true);
    captionLabel->SetCaption(L" ");
    captionLabel->SetAutoSize(true);
    folderBox->SetParent(Form());
    folderBox->SetPenStyle(psSolid);
    folderBox->SetAutoSize(false);
    folderBox->SetWidth(400);
    folderBox->SetAlignment(taLeftJustify);
    folderBox->SetAnchors(akLeft | akTop | akRight);

    captionLabel->Font()->SetColor(0x000000);
    captionLabel->SetTop(226);

    desktopBox = CreateCaptionCheckBox(Form());
    if (!desktopBox)
        return false;
    desktopBox->SetChecked(true);
    desktopBox->SetLeft(captionLabel->Left());
    desktopBox->GetFont()->SetColor(0x000000);
    return true;
}

void clPageInstallOptions::Show()
{
    captionLabel->SetVisible(true);
    folderBox->SetVisible(true);
    ShowOnlyBackButton();
    desktopBox->SetVisible(true);
}

void clPageInstallOptions::Hide()
{
    captionLabel->SetVisible(false);
    folderBox->SetVisible(false);
    Frame().leftButton->SetOnClick(nullptr);
    desktopBox->SetVisible(false);
}

void clPageInstallOptions::ApplyLanguage()
{
    SetupFrame& frame = Frame();
    SetTitleText(&frame, PageText(MsgOptions).c_str());
    frame.leftButton->SetCaption(PageText(MsgBack));
    captionLabel->SetCaption(PageText(MsgInstallLocation));
    CopyFormFont(captionLabel->Font());
    CopyFormFont(folderBox->Font());
    CopyFormFont(folderBox->Label()->Font());
    // Sized once to the text, then fixed: the height fits one line.
    folderBox->SetAutoSize(true);
    folderBox->SetAutoSize(false);
    folderBox->SetWidth(ClientWidth - 90);
    folderBox->SetTop(captionLabel->Top() + captionLabel->Height() + 4);
    desktopBox->SetTop(folderBox->GetTop() + folderBox->GetHeight() + 8);
    CopyFormFont(desktopBox->GetFont());
    desktopBox->SetCaption(PageText(MsgDesktopShortcut));
}

void clPageInstallOptions::Arrange()
{
    if (!IsMirrored()) {
        captionLabel->SetLeft(ReadingMargin);
        folderBox->SetLeft(captionLabel->Left());
        desktopBox->SetLeft(captionLabel->Left());
    } else {
        captionLabel->SetLeft(ClientWidth - ReadingMargin - captionLabel->Width());
        folderBox->SetLeft(ClientWidth - ReadingMargin - folderBox->GetWidth());
        desktopBox->SetLeft(ClientWidth - ReadingMargin - desktopBox->GetWidth());
    }
    desktopBox->SetTop(folderBox->GetTop() + folderBox->GetHeight() + 8);
}

// ---- Licence page --------------------------------------------------------------------------

void clCustomPageLisence::Show()
{
    licenceMemo->SetVisible(true);
    ShowOnlyBackButton();
}

void clCustomPageLisence::Hide()
{
    licenceMemo->SetVisible(false);
    Frame().leftButton->SetOnClick(nullptr);
}

void clCustomPageLisence::Arrange()
{
    licenceMemo->SetLeft(IsMirrored() ? ClientWidth - licenceMemo->Width() - 8 : 8);
}

bool clPageLisence::Create()
{
    licenceMemo = CreateLicenceMemo(&Frame());
    if (!licenceMemo)
        return false;
    licenceMemo->SetTop(81);
    licenceMemo->SetHeight(266);
    licenceMemo->SetVisible(false);
    return true;
}

void clPageLisence::ApplyLanguage()
{
    licenceMemo->Clear();
    licenceMemo->SetScrollBars(ssNone);
    licenceMemo->Font()->SetCharset(Form()->Font()->Charset());
    wchar_t* text = LoadLicenceText();
    if (text) {
        licenceMemo->AddText(LicenceDisplayText(text));
        free(text);
    }
    licenceMemo->SetScrollBars(ssVertical);
    SetTitleText(&Frame(), ProductMsg(MsgLicenceTitle));
    Frame().leftButton->SetCaption(PageText(MsgBack));
}
