// The whole wizard in this process: the main form and its page list built as
// Setup builds them, driven by real X input (xdotool) from a second thread while
// this one runs the message loop. Screenshots of every page, in English,
// Japanese and the test-only Arabic file, land under artifacts/.
#include "classlib_fixture.h"
#include "engine/installlist.h"
#include "foundation/appregutil.h"
#include "foundation/langutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/msgids.h"
#include "restart_recorder.h"
#include "wizard/forminstall.h"
#include "wizard/msgdialog.h"
#include "wizard/pagelist.h"
#include "wizard/progresspages.h"
#include "wizard/startpages.h"
#include "xinput.h"
#include "../engine/wine_install_prefix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace {

bool WaitFor(const std::function<bool()>& done, int ms = 10000)
{
    for (int waited = 0; waited < ms; waited += 20) {
        if (done())
            return true;
        Sleep(20);
    }
    return done();
}

// The scenario's thread: it clicks and looks while the test's thread runs the
// wizard's message loop, and notes what went wrong for the test's thread to report.
class Scenario {
public:
    explicit Scenario(std::function<void(Scenario&)> body) : body_(std::move(body))
    {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~Scenario() { Join(); }
    void Join()
    {
        if (!thread_)
            return;
        WaitForSingleObject(thread_, 240000);
        CloseHandle(thread_);
        thread_ = nullptr;
    }

    void Check(bool ok, const std::string& what)
    {
        if (ok)
            return;
        failures.push_back(what);
    }
    std::vector<std::string> failures;  // read by the test's thread after Join

private:
    static DWORD WINAPI Run(void* self)
    {
        auto* scenario = static_cast<Scenario*>(self);
        scenario->body_(*scenario);
        return 0;
    }
    std::function<void(Scenario&)> body_;
    HANDLE thread_ = nullptr;
};

class WizardTest : public ApplicationTest {
protected:
    void SetUp() override
    {
        ApplicationTest::SetUp();
        app.SetTitle("Brimvault Setup");
        ASSERT_TRUE(CreateMsgCatalogue());
        ASSERT_TRUE(SelectLanguageByCode("ENG"));
        ASSERT_TRUE(XMoveTo(1, 1)) << "xdotool cannot be started";
        RestartRequests = 0;
        RestartAnswer = 0;
        InstallCompleted = 0;
        CreateDirectoryA(WindowsPath(ARTIFACT_DIR).c_str(), nullptr);
    }
    void TearDown() override
    {
        ApplicationTest::TearDown();
        // The box's form went with this test's application object.
        MessageBoxInstance = nullptr;
        ResetMsgCatalogue();
        SysLocale.MiddleEast = false;
        FormInstall = nullptr;
        ProgressStepHook = nullptr;
    }
    // Builds the wizard and runs its message loop until the form closes while
    // the scenario plays.
    void RunWizard(const std::function<void(Scenario&)>& body)
    {
        app.CreateForm(FormInstall);
        ASSERT_NE(PageList, nullptr);
        ASSERT_FALSE(app.Terminated());
        Scenario scenario([&](Scenario& s) {
            if (WaitFor([] { return IsWindowVisible(FormInstall->Handle()) != FALSE; })) {
                Sleep(300);
                body(s);
            } else {
                s.Check(false, "the wizard never showed");
            }
            // A scenario that did not end the wizard: end it, so the test fails
            // instead of hanging.
            if (!WaitFor([] { return Application->Terminated(); }, 3000))
                PostMessageW(FormInstall->Handle(), WM_CLOSE, 0, 0);
        });
        app.Run();
        scenario.Join();
        for (const std::string& failure : scenario.failures)
            ADD_FAILURE() << failure;
    }
    static RECT WindowRect()
    {
        RECT rect;
        GetWindowRect(FormInstall->Handle(), &rect);
        return rect;
    }
    // A left click at x, y of the form's client area.
    static void ClickAt(int x, int y)
    {
        RECT window = WindowRect();
        XMoveTo(window.left + x, window.top + y);
        Sleep(150);
        XdoTool({"click", "1"});
        Sleep(250);
    }
    template <class Control>
    static void ClickControl(Control* control)
    {
        ClickAt(control->GetLeft() + control->GetWidth() / 2, control->GetTop() + control->GetHeight() / 2);
    }
    static void ClickLabel(TControl* label)
    {
        ClickAt(label->Left() + label->Width() / 2, label->Top() + label->Height() / 2);
    }
    static void Shot(const std::string& name)
    {
        Sleep(300);
        SaveWindowShot(FormInstall->Handle(), ARTIFACT_DIR, name);
    }
    static SetupFrame& Frame() { return PageList->frame; }
    static bool Current(clCustomPage* page)
    {
        bool shown = WaitFor([page] { return PageList && PageList->currentPage == page; });
        Sleep(200);  // the page is current before it is labelled, placed and shown
        return shown;
    }
    static HWND BoxWindow() { return MessageBoxInstance->form->Handle(); }
    // Answers the message box with a real click once it shows.
    static bool AnswerBox(bool yes, const std::string& shot)
    {
        if (!WaitFor([] { return MessageBoxInstance && IsWindowVisible(BoxWindow()); }))
            return false;
        Sleep(300);
        SaveWindowShot(BoxWindow(), ARTIFACT_DIR, shot);
        TclCaptionButton* button = yes ? MessageBoxInstance->firstButton : MessageBoxInstance->secondButton;
        RECT box;
        GetWindowRect(BoxWindow(), &box);
        XMoveTo(box.left + button->GetLeft() + button->GetWidth() / 2,
                box.top + button->GetTop() + button->GetHeight() / 2);
        Sleep(150);
        XdoTool({"click", "1"});
        return WaitFor([] { return !IsWindowVisible(BoxWindow()); });
    }
    // Picks the language of code in the real combo box: a click opens the list,
    // and a click on the item chooses it.
    static void ChooseLanguage(const char* code)
    {
        TTntComboBox* combo = WelcomePage->languageCombo;
        int index = -1;
        for (int k = 0; k < combo->ItemCount(); k++) {
            auto* language = static_cast<clMsgObject*>(combo->ItemObject(k));
            if (std::string(language->code) == code)
                index = k;
        }
        HWND box = combo->Handle();
        RECT rect;
        GetWindowRect(box, &rect);
        XMoveTo((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
        Sleep(150);
        XdoTool({"click", "1"});
        WaitFor([box] { return SendMessageW(box, CB_GETDROPPEDSTATE, 0, 0) != 0; }, 3000);
        Sleep(300);
        // An item below the list's end: the wheel scrolls the list first.
        int top = static_cast<int>(SendMessageW(box, CB_GETTOPINDEX, 0, 0));
        for (int turn = 0; turn < 5 && index - top >= combo->DropDownCount(); turn++) {
            XdoTool({"click", "5"});
            Sleep(200);
            top = static_cast<int>(SendMessageW(box, CB_GETTOPINDEX, 0, 0));
        }
        int itemHeight = static_cast<int>(SendMessageW(box, CB_GETITEMHEIGHT, 0, 0));
        // The list lies under the box's edit part.
        XMoveTo((rect.left + rect.right) / 2, rect.bottom + 1 + (index - top) * itemHeight + itemHeight / 2);
        Sleep(150);
        XdoTool({"click", "1"});
        WaitFor([code] { return std::string(CurrentLanguageCode()) == code; }, 3000);
        Sleep(300);
    }
};

TEST_F(WizardTest, WelcomeOptionsLicenceLanguagesAndQuit)
{
    std::wstring englishTitle, germanTitle, germanInstall, memoText;
    std::string folder;
    int labelWidthEnglish = 0, comboLeftEnglish = 0, comboLeftGerman = 0;
    int labelRightArabic = 0, comboRightArabic = 0, boxRightArabic = 0;
    LONG comboStyleArabic = 0, comboStyleEnglish = 0;
    TColor linkColour = 0;
    RunWizard([&](Scenario& s) {
        SetupFrame& frame = Frame();
        s.Check(Current(WelcomePage), "welcome page first");
        Shot("page-welcome-eng");
        englishTitle = frame.titleLabel->Caption();
        labelWidthEnglish = WelcomePage->languageLabel->Width();
        comboLeftEnglish = WelcomePage->languageCombo->Left();
        comboStyleEnglish = GetWindowLongA(WelcomePage->languageCombo->Handle(), GWL_EXSTYLE);

        // Install is disabled until the licence is accepted; a click on it does nothing.
        s.Check(!frame.middleButton->GetEnabled(), "Install disabled at first");
        ClickControl(frame.middleButton);
        s.Check(PageList->currentPage == WelcomePage, "disabled Install does nothing");
        ClickControl(WelcomePage->acceptBox);
        s.Check(WaitFor([&] { return frame.middleButton->GetEnabled(); }), "tick enables Install");
        Shot("page-welcome-eng-accepted");
        ClickControl(WelcomePage->acceptBox);
        s.Check(WaitFor([&] { return !frame.middleButton->GetEnabled(); }), "untick disables");
        ClickControl(WelcomePage->acceptBox);
        s.Check(WaitFor([&] { return frame.middleButton->GetEnabled(); }), "tick again");

        // Options and back.
        ClickControl(frame.leftButton);
        s.Check(Current(OptionsPage), "Options shows the options page");
        Shot("page-options-eng");
        folder = OptionsPage->Folder();
        s.Check(OptionsPage->desktopBox->IsChecked(), "desktop box ticked at first");
        s.Check(!frame.middleButton->GetVisible() && !frame.rightButton->GetVisible(), "options: only Back");
        ClickControl(frame.leftButton);
        s.Check(Current(WelcomePage), "Back returns to the welcome page");
        s.Check(frame.middleButton->GetEnabled(), "still accepted after Back");

        // The licence through the link, and back.
        ClickLabel(WelcomePage->linkLabel);
        s.Check(Current(LicencePage), "the link shows the licence");
        Shot("page-licence-eng");
        memoText = LicencePage->licenceMemo->Text();
        ClickControl(frame.leftButton);
        s.Check(Current(WelcomePage), "Back from the licence");
        linkColour = WelcomePage->linkLabel->Font()->Color();

        // Quit answered No leaves everything as it was.
        ClickControl(frame.rightButton);
        s.Check(AnswerBox(false, "quit-question-eng"), "the quit question shows");
        s.Check(PageList->currentPage == WelcomePage && IsWindowVisible(FormInstall->Handle()),
                "No keeps the wizard");

        // German relabels the frame and the page at once and moves the combo.
        ChooseLanguage("DEU");
        s.Check(std::string(CurrentLanguageCode()) == "DEU", "German chosen in the combo");
        Shot("page-welcome-deu");
        germanTitle = frame.titleLabel->Caption();
        germanInstall = frame.middleButton->CaptionLabel()->Caption();
        comboLeftGerman = WelcomePage->languageCombo->Left();

        // Japanese: every page.
        ChooseLanguage("JPN");
        Shot("page-welcome-jpn");
        ClickControl(frame.leftButton);
        Current(OptionsPage);
        Shot("page-options-jpn");
        ClickControl(frame.leftButton);
        Current(WelcomePage);
        ClickLabel(WelcomePage->linkLabel);
        Current(LicencePage);
        Shot("page-licence-jpn");
        ClickControl(frame.leftButton);
        Current(WelcomePage);

        // Arabic reads from right to left.
        ChooseLanguage("ARA");
        Shot("page-welcome-ara");
        labelRightArabic = 500 - WelcomePage->languageLabel->Left() - WelcomePage->languageLabel->Width();
        comboRightArabic = WelcomePage->languageLabel->Left() - WelcomePage->languageCombo->Left() -
                           WelcomePage->languageCombo->Width();
        boxRightArabic = 500 - WelcomePage->acceptBox->GetLeft() - WelcomePage->acceptBox->GetWidth();
        comboStyleArabic = GetWindowLongA(WelcomePage->languageCombo->Handle(), GWL_EXSTYLE);
        ClickControl(frame.leftButton);
        Current(OptionsPage);
        Shot("page-options-ara");
        s.Check(OptionsPage->folderBox->GetLeft() == 60,
                "mirrored folder box at 60, not " + std::to_string(OptionsPage->folderBox->GetLeft()));
        ClickControl(frame.leftButton);
        Current(WelcomePage);
        ClickControl(frame.leftButton);
        Current(OptionsPage);
        s.Check(OptionsPage->folderBox->GetLeft() == 60 && OptionsPage->folderBox->GetWidth() == 410,
                "folder box stable over repeated shows");
        ClickControl(frame.leftButton);
        Current(WelcomePage);
        ClickLabel(WelcomePage->linkLabel);
        Current(LicencePage);
        Shot("page-licence-ara");
        ClickControl(frame.leftButton);
        Current(WelcomePage);
        ChooseLanguage("ENG");

        // Quit answered Yes ends the wizard.
        ClickControl(frame.rightButton);
        s.Check(AnswerBox(true, "quit-question-yes"), "the quit question again");
    });
    EXPECT_EQ(englishTitle, L"Welcome to the Setup Wizard");
    EXPECT_NE(germanTitle, englishTitle);
    EXPECT_FALSE(germanTitle.empty());
    EXPECT_NE(germanInstall, L"Install");
    EXPECT_EQ(comboLeftEnglish, 30 + labelWidthEnglish + 8);
    EXPECT_NE(comboLeftGerman, comboLeftEnglish);  // the label's width changed
    EXPECT_EQ(comboStyleEnglish & 0x7000, 0);
    EXPECT_EQ(comboStyleArabic & 0x7000, 0x7000);
    EXPECT_EQ(labelRightArabic, 30);
    EXPECT_EQ(comboRightArabic, 8);
    EXPECT_EQ(boxRightArabic, 30);
    EXPECT_EQ(linkColour, 0x800080u);  // visited
    EXPECT_NE(folder.find("JyxBrimvault"), std::string::npos) << folder;
    ASSERT_FALSE(memoText.empty());
    EXPECT_NE(memoText[0], L'\xFEFF');
    EXPECT_NE(memoText.find(L"\r\n"), std::wstring::npos);
    for (size_t k = 0; k < memoText.size(); k++) {
        if (memoText[k] == L'\n')
            EXPECT_TRUE(k > 0 && memoText[k - 1] == L'\r') << "bare LF at " << k;
    }
    EXPECT_EQ(SetupExitCode(), 1);  // quit without an installation
}

// The real install list run from the progress page.
TEST_F(WizardTest, ReplaceQuestionAndAFailingRunUnderRealClicks)
{
    // A newer version is recorded: the wizard asks before replacing it.
    ASSERT_TRUE(WriteComponentVersion(InstallProductKey, InstallProductVersion + 1));
    std::wstring question, error;
    bool completed = false;
    DWORD runMs = 0;
    std::vector<std::wstring> percents;
    RunWizard([&](Scenario& s) {
        SetupFrame& frame = Frame();
        Current(WelcomePage);
        ClickControl(WelcomePage->acceptBox);
        WaitFor([&] { return frame.middleButton->GetEnabled(); });

        // The replace question over the progress page's title; No: back, still accepted.
        ClickControl(frame.middleButton);
        if (WaitFor([] { return MessageBoxInstance && IsWindowVisible(BoxWindow()); }))
            question = MessageBoxInstance->textLabel->Caption();
        Shot("page-progress-replace-question");
        s.Check(AnswerBox(false, "replace-question-eng"), "the replace question shows");
        s.Check(Current(WelcomePage), "No returns to the welcome page");
        s.Check(WelcomePage->acceptBox->IsChecked() && frame.middleButton->GetEnabled(),
                "still accepted after No");
        WriteComponentVersion(InstallProductKey, 0);

        // A double click on Install runs one installation: under Wine it either
        // stops at the proxy driver's start with the system's text (Wine starts no
        // kernel service whose image path is relative), or completes.
        // The page is watched while the clicks are given: the run can end before
        // xdotool does.
        RECT window = WindowRect();
        XMoveTo(window.left + frame.middleButton->GetLeft() + 50,
                window.top + frame.middleButton->GetTop() + 12);
        Sleep(150);
        DWORD start = GetTickCount();
        s.Check(XdoToolStart({"click", "--repeat", "2", "--delay", "80", "1"}), "xdotool starts");
        std::wstring last;
        bool progressShot = false;
        auto ended = [] {
            return (MessageBoxInstance && IsWindowVisible(BoxWindow())) || PageList->currentPage == FinalPage;
        };
        while (GetTickCount() - start < 120000 && !ended()) {
            std::wstring percent = ProgressPage->percentLabel->Caption();
            if (percent != last)
                percents.push_back(last = percent);
            if (!progressShot && PageList->currentPage == ProgressPage && percent != L"0%") {
                progressShot = true;
                SaveWindowShot(FormInstall->Handle(), ARTIFACT_DIR, "page-progress-eng");
            }
            Sleep(5);
        }
        runMs = GetTickCount() - start;
        percents.push_back(ProgressPage->percentLabel->Caption());
        completed = PageList->currentPage == FinalPage;
        if (!completed) {
            if (MessageBoxInstance)
                error = MessageBoxInstance->textLabel->Caption();
            s.Check(AnswerBox(true, "install-error-eng"), "the run's error is shown");
            s.Check(Current(WelcomePage), "the welcome page after the error");
        } else {
            Shot("page-final-installed-eng");
        }
        Sleep(1500);  // a second installation would have started by now
        s.Check(PageList->currentPage == (completed ? static_cast<clCustomPage*>(FinalPage)
                                                    : static_cast<clCustomPage*>(WelcomePage)) &&
                    !(MessageBoxInstance && IsWindowVisible(BoxWindow())),
                "one installation for a double click");
        ClickControl(frame.rightButton);
        if (!completed)
            AnswerBox(true, "quit-question-after-failure");
    });
    std::printf("Install to the end of the run: %lu ms, %s\n", static_cast<unsigned long>(runMs),
                completed ? "completed" : "failed");
    EXPECT_EQ(question, L"Brimvault Version 2.04.03 is already installed. "
                        L"Do you want to replace Version 2.04.02 ?");
    ASSERT_GE(percents.size(), 2u);  // the bar moved
    if (completed) {
        EXPECT_EQ(percents.back(), L"100%");
        EXPECT_EQ(InstallCompleted, 1);
        EXPECT_EQ(SetupExitCode(), 0);
        EXPECT_EQ(ReadComponentVersion(InstallProductKey), InstallProductVersion);
    } else {
        EXPECT_FALSE(error.empty());
        std::printf("The run's error: %ls\n", error.c_str());
        EXPECT_EQ(InstallCompleted, 0);
        EXPECT_EQ(SetupExitCode(), 1);
    }
}

// After each step of a real run: the Wine workaround for the proxy driver's start, and, when
// the item changed, 100 ms with messages dispatched, so that a click lands during the run.
void SlowRunUnderWine(clInstallList* list)
{
    MakeProxyImagePathAbsolute();
    static clSetupItem* lastItem = nullptr;
    if (list->currentItem == lastItem)
        return;
    lastItem = list->currentItem;
    for (int slice = 0; slice < 5; slice++) {
        Sleep(20);
        Application->ProcessMessages();
    }
}

// A real Cancel while the bar moves, then a run that completes and ends with the final page.
TEST_F(WizardTest, CancelDuringTheRunThenAFullInstallation)
{
    ProgressStepHook = SlowRunUnderWine;
    ASSERT_TRUE(AddPhantomDisk()) << GetLastError();
    WriteComponentVersion(InstallProductKey, 0);
    std::wstring cancelledAt, finalCaption;
    bool boxAfterCancel = true, cancelledToWelcome = false, reachedFinal = false;
    uint8_t completedAfterCancel = 1;
    DWORD installMs = 0;
    std::string folder;
    RunWizard([&](Scenario& s) {
        SetupFrame& frame = Frame();
        Current(WelcomePage);
        folder = OptionsPage->Folder();
        ClickControl(WelcomePage->acceptBox);
        s.Check(WaitFor([&] { return frame.middleButton->GetEnabled(); }), "tick enables Install");

        // Cancel once the bar has moved.
        ClickControl(frame.middleButton);
        s.Check(WaitFor(
                    [] {
                        return PageList->currentPage == ProgressPage &&
                               ProgressPage->progressBar->Position() > 0;
                    },
                    60000),
                "the bar moves");
        SaveWindowShot(FormInstall->Handle(), ARTIFACT_DIR, "page-progress-before-cancel");
        ClickControl(frame.rightButton);
        cancelledAt = ProgressPage->percentLabel->Caption();
        cancelledToWelcome = Current(WelcomePage);
        Sleep(500);
        boxAfterCancel = MessageBoxInstance && IsWindowVisible(BoxWindow());
        completedAfterCancel = InstallCompleted;
        Shot("page-welcome-after-cancel");

        // Install again: the run completes and the final page shows.
        if (!frame.middleButton->GetEnabled())
            ClickControl(WelcomePage->acceptBox);
        ClickControl(frame.middleButton);
        DWORD start = GetTickCount();
        reachedFinal = WaitFor(
                           [] {
                               return PageList->currentPage == FinalPage ||
                                      (MessageBoxInstance && IsWindowVisible(BoxWindow()));
                           },
                           180000) &&
                       PageList->currentPage == FinalPage;
        installMs = GetTickCount() - start;
        if (!reachedFinal) {
            std::wstring error;
            if (MessageBoxInstance && IsWindowVisible(BoxWindow()))
                error = MessageBoxInstance->textLabel->Caption();
            s.Check(false, "no final page: " + std::string(error.begin(), error.end()));
            AnswerBox(true, "install-error-after-cancel");
            return;
        }
        Current(FinalPage);
        Shot("page-final-after-install-eng");
        finalCaption = frame.rightButton->CaptionLabel()->Caption();
        ClickControl(frame.rightButton);
    });
    std::printf("Install click to the final page (warm prefix, 100 ms per item added): %lu ms\n",
                static_cast<unsigned long>(installMs));
    // The cancelled run: stopped on the way, no message, nothing recorded.
    EXPECT_NE(cancelledAt, L"100%");
    EXPECT_TRUE(cancelledToWelcome);
    EXPECT_FALSE(boxAfterCancel);
    EXPECT_EQ(completedAfterCancel, 0);
    // The complete one: every installation under Wine asks for a restart (the cache
    // driver starts at boot), so the final page offers Reboot Now; the restart is recorded.
    ASSERT_TRUE(reachedFinal);
    EXPECT_EQ(finalCaption, L"Reboot Now");
    EXPECT_EQ(RestartRequests, 1);
    EXPECT_EQ(InstallCompleted, 1);
    EXPECT_EQ(SetupExitCode(), 0);
    EXPECT_EQ(ReadComponentVersion(InstallProductKey), InstallProductVersion);
    EXPECT_NE(GetFileAttributesA((folder + "\\Brimvault.exe").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA((folder + "\\Uninstall.exe").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA(GetIniFileName().c_str()), INVALID_FILE_ATTRIBUTES);
}

// The final page as a successful run leaves it, with and without a restart.
class FinalPageTest : public WizardTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FinalPageTest, OneButtonThatEndsTheWizard)
{
    {
        bool reboot = GetParam();
        int left = 0, width = 0;
        std::wstring caption;
        bool stayedAfterRefusal = false;
        app.CreateForm(FormInstall);
        ASSERT_NE(PageList, nullptr);
        FinalPage->reboot = reboot;
        ASSERT_TRUE(PageList->ShowPage(FinalPage));
        Scenario scenario([&](Scenario& s) {
            if (!WaitFor([] { return IsWindowVisible(FormInstall->Handle()) != FALSE; }))
                return;
            Sleep(300);
            SetupFrame& frame = Frame();
            Shot(reboot ? "page-final-reboot-eng" : "page-final-done-eng");
            caption = frame.rightButton->CaptionLabel()->Caption();
            left = frame.rightButton->GetLeft();
            width = frame.rightButton->GetWidth();
            if (reboot) {
                // A refused restart is shown, and the page stays.
                RestartAnswer = ERROR_PRIVILEGE_NOT_HELD;
                ClickControl(frame.rightButton);
                s.Check(AnswerBox(true, "restart-refused-eng"), "the refused restart is shown");
                stayedAfterRefusal =
                    PageList->currentPage == FinalPage && IsWindowVisible(FormInstall->Handle());
                RestartAnswer = 0;
            }
            ClickControl(frame.rightButton);
            if (!WaitFor([] { return Application->Terminated(); }, 3000))
                PostMessageW(FormInstall->Handle(), WM_CLOSE, 0, 0);
        });
        app.Run();
        scenario.Join();
        for (const std::string& failure : scenario.failures)
            ADD_FAILURE() << failure;
        if (reboot) {
            EXPECT_EQ(caption, L"Reboot Now");
            EXPECT_EQ(width, 200);
            EXPECT_EQ(left, 284);
            EXPECT_TRUE(stayedAfterRefusal);
            EXPECT_EQ(RestartRequests, 2);
        } else {
            EXPECT_EQ(caption, L"Done");
            EXPECT_EQ(width, 100);
            EXPECT_EQ(left, 384);
            EXPECT_EQ(RestartRequests, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RebootOrDone, FinalPageTest, ::testing::Values(true, false));

}  // namespace
