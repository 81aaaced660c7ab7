// The progress and final pages.
#include "wizard/progresspages.h"

#include "classlib/application.h"
#include "classlib/form.h"
#include "engine/winsetupactions.h"
#include "foundation/langutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/msgids.h"
#include "foundation/strutil.h"
#include "wizard/forminstall.h"
#include "wizard/msgdialog.h"
#include "wizard/startpages.h"

#include <memory>
#include <new>
#include <string>

const wchar_t ReplaceQuestionFallback[] =
    L"%s Version %s is already installed. Do you want to replace Version %s ?";

void (*ProgressStepHook)(clInstallList* list) = nullptr;

namespace {

const int ClientWidth = 500;
const uint16_t FrenchLangId = 1036;

SetupFrame& Frame()
{
    return PageList->frame;
}

// Switches pages from inside a Show: the switch that shows this page is still
// running, so its busy flag is released first.
void SwitchFromShow(clCustomPage* page)
{
    PageList->busy = 0;
    PageList->ShowPage(page);
}

std::wstring Widen(const char* text)
{
    std::wstring wide;
    for (; text && *text; text++)
        wide += static_cast<unsigned char>(*text);
    return wide;
}

// The running list of a page, cleared however the run ends.
class RunningListScope {
public:
    RunningListScope(clInstallList*& slot, clInstallList* list) : slot_(slot) { slot_ = list; }
    ~RunningListScope() { slot_ = nullptr; }
    RunningListScope(const RunningListScope&) = delete;
    RunningListScope& operator=(const RunningListScope&) = delete;

private:
    clInstallList*& slot_;
};

}  // namespace

// ---- Progress page -------------------------------------------------------------------------

void clCustomPageInstallProgress::Show()
{
    SetupFrame& frame = Frame();
    frame.leftButton->SetVisible(false);
    frame.middleButton->SetVisible(false);
    frame.rightButton->SetVisible(true);
    frame.rightButton->SetOnClick([this](TObject*) { CancelClick(); });
    SetProgress(0);
    progressBar->SetVisible(true);
    percentLabel->SetVisible(true);
    Application->ProcessMessages();

    std::unique_ptr<clInstallList> list(new (std::nothrow) clInstallList());
    if (!list) {
        ShowMemoryErrorOrFallback();
        SwitchFromShow(WelcomePage);
        return;
    }
    int32_t result;
    uint8_t reboot, cancel;
    {
        RunningListScope running(runningList, list.get());
        list->progress = this;
        list->Clear();
        result = FillInstallList();
        if (result == 0) {
            DeleteRebootBatch(list->productKey);
            result = RunSetupList(list.get());
        }
        reboot = list->reboot;
        cancel = list->cancel;
        if (result == 0)
            AfterInstall();
    }
    list.reset();
    if (result == 0) {
        SetProgress(100);
        FinalPage->reboot = reboot;
        SwitchFromShow(FinalPage);
        return;
    }
    if (!cancel)
        ShowInstallError(MapInstallError(result));
    SwitchFromShow(WelcomePage);
}

int32_t clCustomPageInstallProgress::FillInstallList()
{
    return BuildInstallList(runningList, OptionsPage->Folder());
}

void clCustomPageInstallProgress::AfterInstall()
{
    FinishInstall();
}

void clCustomPageInstallProgress::SetProgress(int percent)
{
    percentLabel->SetCaption(std::to_wstring(percent) + L"%");
    progressBar->SetPosition(percent);
    Application->ProcessMessages();
    // Only the running list reports its steps here.
    if (runningList && ProgressStepHook)
        ProgressStepHook(runningList);
}

void clCustomPageInstallProgress::CancelClick()
{
    if (runningList)
        runningList->cancel = 1;
}

void clCustomPageInstallProgress::ShowInstallError(int id)
{
    if (id == 0)
        return;
    if (const wchar_t* text = MessageText(id))
        ShowErrorText(text);
    else
        ShowSystemError(id);
}

bool clPageInstallProgress::CreateProgressControls()
{
    TForm* form = Frame().form;
    progressBar = CreateProgressBar(form);
    if (!progressBar)
        return false;
    progressBar->SetTop(254);
    percentLabel = new (std::nothrow) TLabel(form);
    if (!percentLabel)
        return false;
    percentLabel->SetParent(form);
    percentLabel->SetTop(progressBar->Top() + progressBar->Height() + 8);
    percentLabel->SetLeft(progressBar->Left());
    percentLabel->SetAutoSize(false);
    percentLabel->SetWidth(progressBar->Width());
    percentLabel->SetTransparent(true);
    percentLabel->SetAnchors(akLeft | akTop | akRight);
    percentLabel->Font()->SetColor(0x000000);
    percentLabel->SetAlignment(taCenter);
    return true;
}

void clPageInstallProgress::Show()
{
    int32_t installed = ReadInstalledVersion();
    if (installed > InstallProductVersion && !ConfirmReplace(installed)) {
        SwitchFromShow(WelcomePage);
        return;
    }
    clCustomPageInstallProgress::Show();
}

void clPageInstallProgress::Hide()
{
    progressBar->SetVisible(false);
    percentLabel->SetVisible(false);
    Frame().rightButton->SetOnClick(nullptr);
}

void clPageInstallProgress::ApplyLanguage()
{
    SetTitleText(&Frame(), PageText(MsgInstalling).c_str());
    Frame().rightButton->SetCaption(PageText(MsgCancel));
}

int32_t clPageInstallProgress::FillInstallList()
{
    int32_t result = clCustomPageInstallProgress::FillInstallList();
    if (result != 0)
        return result;
    if (OptionsPage->desktopBox->IsChecked()) {
        result = AddDesktopShortcut(runningList, ProductLinkName, runningList->mainProgramPath);
        if (result != 0)
            return result;
    }
    return AddRegStartRun(runningList, InstallProductKey, runningList->mainProgramPath);
}

void clPageInstallProgress::AfterInstall()
{
    SaveInstallTime();
    clCustomPageInstallProgress::AfterInstall();
}

bool clPageInstallProgress::ConfirmReplace(int32_t installed)
{
    // Both come from one scratch buffer: copied at once.
    std::wstring installedText = Widen(VersionText(installed));
    std::wstring ownText = Widen(VersionText(InstallProductVersion));
    const wchar_t* format = MessageText(MsgReplaceQuestion);
    if (!format)
        format = ReplaceQuestionFallback;
    const char* code = CurrentLanguageCode();
    bool french = code && LangCodeToLangId(code) == FrenchLangId;
    const wchar_t* frenchOrder[] = {installedText.c_str(), ProductName, ownText.c_str()};
    const wchar_t* usualOrder[] = {ProductName, installedText.c_str(), ownText.c_str()};
    wchar_t text[FORMAT_MSG_MAX_UNITS];
    FormatWideArgs(text, FORMAT_MSG_MAX_UNITS, format, french ? frenchOrder : usualOrder, 3);
    return AskYesNo(text);
}

// ---- Final page ----------------------------------------------------------------------------

void clCustomPageInstallFinal::FinishSetup()
{
    Frame().form->Close();
}

void clCustomPageInstallFinal::RebootNow()
{
    uint32_t error = RequestRestart();
    if (error != 0) {
        ShowSystemError(static_cast<int>(error));
        return;
    }
    Frame().form->Close();
}

void clPageInstallFinal::Show()
{
    SetupFrame& frame = Frame();
    frame.leftButton->SetVisible(false);
    frame.middleButton->SetVisible(false);
    frame.rightButton->SetVisible(true);
    if (reboot)
        frame.rightButton->SetOnClick([this](TObject*) { RebootNow(); });
    else
        frame.rightButton->SetOnClick([this](TObject*) { FinishSetup(); });
}

void clPageInstallFinal::ApplyLanguage()
{
    SetupFrame& frame = Frame();
    SetTitleText(&frame, PageText(MsgInstallComplete).c_str());
    if (reboot) {
        frame.rightButton->SetWidth(200);
        frame.rightButton->SetCaption(PageText(MsgRebootNow));
    } else {
        frame.rightButton->SetCaption(PageText(MsgDone));
    }
}

void clPageInstallFinal::Arrange()
{
    TclCaptionButton* button = Frame().rightButton;
    bool mirrored = Frame().form->BiDiMode() != bdLeftToRight;
    button->SetLeft(mirrored ? 16 : ClientWidth - button->GetWidth() - 16);
}
