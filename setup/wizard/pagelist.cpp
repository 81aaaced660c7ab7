// The wizard's pages and page lists.
#include "wizard/pagelist.h"

#include "engine/driverservice.h"
#include "engine/installlist.h"
#include "foundation/langutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/msgids.h"
#include "foundation/osinfo.h"
#include "foundation/securityutil.h"
#include "foundation/strutil.h"
#include "wizard/customcontrol.h"
#include "wizard/forminstall.h"
#include "wizard/msgdialog.h"
#include "wizard/progresspages.h"
#include "wizard/startpages.h"

#include <new>

clPageInstallStart* WelcomePage = nullptr;
clPageInstallOptions* OptionsPage = nullptr;
clPageLisence* LicencePage = nullptr;
clPageInstallProgress* ProgressPage = nullptr;
clPageInstallFinal* FinalPage = nullptr;

const wchar_t MemoryFailedFallbackText[] = L"Memory allocation failed.";

namespace {

const wchar_t UnsupportedSystemFallback[] = L"%s does not support %s.";

// Clears the busy flag however the switch ends.
class BusyScope {
public:
    explicit BusyScope(uint8_t& busy) : busy_(busy) { busy_ = 1; }
    ~BusyScope() { busy_ = 0; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    uint8_t& busy_;
};

bool IsMirrored(TForm* form)
{
    return form->BiDiMode() != bdLeftToRight;
}

// Allocates a page, stores it in its global and adds it with its step.
template <class Page>
bool AddNewPage(clCustomPageList* list, Page*& global, int step)
{
    global = new (std::nothrow) Page();
    if (!global || !list->AddPage(global))
        return false;
    global->step = step;
    return true;
}

}  // namespace

void ShowMemoryErrorOrFallback()
{
    if (MessageText(MsgMemoryFailed))
        ShowMemoryError();
    else
        ShowErrorText(MemoryFailedFallbackText);
}

void clCustomPageList::ApplyLanguage()
{
    if (!currentPage)
        return;
    currentPage->ApplyLanguage();
    currentPage->Arrange();
}

bool clCustomPageList::ShowPage(clCustomPage* page)
{
    if (page == currentPage)
        return true;
    if (busy)
        return false;
    BusyScope guard(busy);
    PageChanging(page);
    if (currentPage)
        currentPage->Hide();
    currentPage = page;
    if (page) {
        page->ApplyLanguage();
        page->Arrange();
        page->Show();
    }
    return true;
}

bool clCustomPageList::AddPage(clCustomPage* page)
{
    if (!page)
        return false;
    Append(page);
    page->owner = this;
    if (!page->Create())
        return false;
    page->Hide();
    page->Arrange();
    return true;
}

clCustomInstallPageList::clCustomInstallPageList()
{
    DetectOs();
    SetErrorMode(SEM_FAILCRITICALERRORS);
    InitSetupFrame(&frame);
    EnableProcessPrivileges();
}

bool clCustomInstallPageList::CreateCatalogue()
{
    return CreateMsgCatalogue();
}

bool clCustomInstallPageList::SetupMessageBox()
{
    return SetupMsgDialog();
}

bool clCustomInstallPageList::Init()
{
    if (!frame.form)
        return false;
    if (!CreateCatalogue()) {
        ShowErrorText(CatalogueFailedText);
        return false;
    }
    if (!SetupMessageBox()) {
        ShowMemoryErrorOrFallback();
        return false;
    }
    if (!CheckSystem())
        return false;
    if (!CreateFrame() || !CreatePages()) {
        ShowMemoryErrorOrFallback();
        return false;
    }
    ApplyLanguage();
    ShowPage(WelcomePage);
    return true;
}

clInstallPageList::~clInstallPageList() = default;

bool clInstallPageList::Init()
{
    // The frame line first, while the form has its first size: its anchors
    // stretch it with the form.
    CreateFrameBox(frame.form, 1);
    frame.form->SetClientWidth(500);
    frame.form->SetClientHeight(400);
    frame.form->SetColor(0xFFFFFF);
    frame.form->SetBorderStyle(bsNone);
    return clCustomInstallPageList::Init();
}

bool clInstallPageList::CheckSystem()
{
    if (IsSupportedOs())
        return true;
    const wchar_t* format = MessageText(MsgUnsupportedSystem);
    ShowErrorText(FormatMsg2(format ? format : UnsupportedSystemFallback, ProductName, GetOsName()));
    return false;
}

bool clInstallPageList::CreateFrame()
{
    TForm* form = frame.form;
    frame.titleMargin = 80;
    frame.stripHeight = 18;
    CreateTopBand(form, 18, 55, 0xF0F0F0);
    CreateBottomBand(form, 45, 0xF0F0F0);
    if (!CreateSetupFrame(&frame))
        return false;
    frame.titleLabel->Font()->SetColor(0x000000);
    frame.titleLabel->SetTop(38);
    frame.versionLabel->Font()->SetColor(0xFFFFFF);
    frame.versionLabel->SetTop(2);
    for (TclCaptionButton* button : {frame.leftButton, frame.middleButton, frame.rightButton})
        button->SetTop(368);
    LoadImageResource(frame.centrePicture, 21303, ImageKindPng);
    frame.centrePicture->SetTop(140);
    frame.centrePicture->SetLeft(166);
    // Only a picture; a missing one is skipped wherever it would be placed.
    headerPicture = CreateHeaderPicture(form);
    return true;
}

bool clInstallPageList::CreatePages()
{
    steps = AllocStepIndicators(3);
    if (!steps)
        return false;
    steps->parent = frame.form;
    steps->arrowImageId = 21305;
    steps->arrowImageKind = ImageKindBitmap;
    steps->arrowWidth = 12;
    steps->arrowHeight = 10;
    steps->penWidth = 1;
    steps->boxWidth = 23;
    steps->boxHeight = 23;
    steps->normalBrushColor = 0x7A2F00;
    steps->normalFontColor = 0xB5B5B5;
    steps->normalPenColor = 0x000000;
    steps->activeBrushColor = 0xAB5A00;
    steps->activeFontColor = 0xFFFFFF;
    steps->activePenColor = 0x000000;
    if (!CreateStepIndicators(steps.get()))
        return false;
    SetStepIndicatorsTop(steps.get(), 100);
    LayoutStepIndicators(steps.get(), 32);

    WelcomePage = new (std::nothrow) clPageInstallStart();
    if (!WelcomePage)
        return false;
    // The form's language box; the page adopts it.
    if (auto* form = dynamic_cast<TFormInstall*>(frame.form))
        WelcomePage->languageCombo = form->ComboLang;
    if (!AddPage(WelcomePage))
        return false;
    WelcomePage->step = 1;
    if (!AddNewPage(this, OptionsPage, 0))
        return false;
    OptionsPage->SetFolder(DefaultInstallDir(InstallProductKey));
    return AddNewPage(this, LicencePage, 0) && AddNewPage(this, ProgressPage, 2) &&
           AddNewPage(this, FinalPage, 3);
}

void clInstallPageList::ApplyLanguage()
{
    const char* fontName = GetUiFontName();
    ApplyFrameLanguage(&frame, GetUiCharset(), fontName ? fontName : "");
    clCustomPageList::ApplyLanguage();
    LayoutSetupButtons(&frame);
    TForm* form = frame.form;
    int width = form->ClientWidth();
    bool mirrored = IsMirrored(form);
    if (frame.versionLabel) {
        int w = frame.versionLabel->Width();
        frame.versionLabel->SetLeft(mirrored ? width - 117 - w : 117);
    }
    if (headerPicture) {
        int w = headerPicture->Width();
        headerPicture->SetLeft(mirrored ? width - 22 - w : 22);
    }
    LayoutStepIndicators(steps.get(), 32);
}

void clInstallPageList::PageChanging(clCustomPage* page)
{
    ShowStep(steps.get(), page ? page->step : 0);
}
