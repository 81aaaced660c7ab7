// The wizard's message box: the system's box before it exists, one box per
// process, layout numbers both ways, captions of the current language, a text
// wider than the screen; and, driven by real X input, its answers with
// screenshots under artifacts/.
#include "classlib_fixture.h"
#include "foundation/langutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/msgids.h"
#include "wizard/msgdialog.h"
#include "xinput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

namespace {

struct SystemBoxCall {
    std::wstring text;
    UINT type;
};
std::vector<SystemBoxCall> systemBoxCalls;
std::atomic<COLORREF> hotBorder{0};
int systemBoxAnswer = IDNO;

int FakeSystemMessageBox(HWND, const wchar_t* text, UINT type)
{
    systemBoxCalls.push_back({text, type});
    return systemBoxAnswer;
}

class MsgDialogTest : public ApplicationTest {
protected:
    void SetUp() override
    {
        ApplicationTest::SetUp();
        app.SetTitle("Brimvault Setup");
        systemBoxCalls.clear();
        realSystemMessageBox = SystemMessageBox;
        SystemMessageBox = FakeSystemMessageBox;
        ASSERT_TRUE(CreateMsgCatalogue());
        SelectLanguage("ENG");
    }
    void TearDown() override
    {
        // The box's form went with this test's application object.
        MessageBoxInstance = nullptr;
        SystemMessageBox = realSystemMessageBox;
        ResetMsgCatalogue();
        SysLocale.MiddleEast = false;
        ApplicationTest::TearDown();
    }
    tclMsgDialog* Box()
    {
        if (!MessageBoxInstance)
            EXPECT_TRUE(SetupMsgDialog());
        return MessageBoxInstance;
    }
    // Lays the box out for a text of a given size, as a message does.
    void LayOut(tclMsgDialog* box, bool question, int textWidth, int textHeight)
    {
        box->SetMessageBoxText(L"x");
        if (question)
            box->PrepareQuestion();
        else
            box->PrepareError();
        box->textLabel->SetWidth(textWidth);
        box->textLabel->SetHeight(textHeight);
        box->LayoutMessageBox();
        box->PlaceMessageBoxControls();
    }
    void SelectLanguage(const char* code) { ASSERT_TRUE(SelectLanguageByCode(code)) << code; }

    int (*realSystemMessageBox)(HWND, const wchar_t*, UINT) = nullptr;
};

TEST_F(MsgDialogTest, TheSystemBoxStandsInUntilTheBoxExists)
{
    systemBoxAnswer = IDYES;
    EXPECT_TRUE(AskYesNo(L"Quit?"));
    systemBoxAnswer = IDNO;
    EXPECT_FALSE(AskYesNo(L"Quit?"));
    ShowErrorText(L"Failed.");
    ASSERT_EQ(systemBoxCalls.size(), 3u);
    EXPECT_EQ(systemBoxCalls[0].type, UINT(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
    EXPECT_EQ(systemBoxCalls[2].type, UINT(MB_ICONERROR));
    EXPECT_EQ(systemBoxCalls[2].text, L"Failed.");
    // A null text shows nothing and is No.
    EXPECT_FALSE(AskYesNo(nullptr));
    ShowErrorText(nullptr);
    ShowSystemError(0x7FFFFFF0);  // no system text: nothing
    EXPECT_EQ(systemBoxCalls.size(), 3u);
    ShowSystemError(ERROR_ACCESS_DENIED);
    ASSERT_EQ(systemBoxCalls.size(), 4u);
    EXPECT_FALSE(systemBoxCalls[3].text.empty());
}

TEST_F(MsgDialogTest, OneBoxPerProcess)
{
    tclMsgDialog* first = Box();
    ASSERT_TRUE(first);
    MessageBoxConfig other = {0xFFFFFF, 1, 2, 3, 4, 30, 0};
    EXPECT_FALSE(CreateMessageBox(&other));
    EXPECT_EQ(MessageBoxInstance, first);
    EXPECT_EQ(first->config.headerHeight, 18);
    EXPECT_EQ(first->form->FormStyle(), fsStayOnTop);
    EXPECT_EQ(first->form->BorderStyle(), bsNone);
    EXPECT_EQ(first->form->Color(), 0xE6E6E6);
    EXPECT_EQ(first->form->Caption(), "Brimvault Setup");
    EXPECT_EQ(first->icon->Top(), 42);
}

TEST_F(MsgDialogTest, LayoutNumbersBothWays)
{
    tclMsgDialog* box = Box();
    struct {
        const char* what;
        bool mirrored, question;
        int textWidth, textHeight;
        int width, height, iconLeft, textLeft, textTop, buttonTop, first, second;
    } cases[] = {
        // The worked example: a one-line text of 200 x 15.
        {"question", false, true, 200, 15, 286, 130, 16, 56, 50, 90, 46, 166},
        {"three lines", false, true, 200, 45, 286, 143, 16, 56, 42, 103, 46, 166},
        {"long line", false, true, 600, 15, 686, 130, 16, 56, 50, 90, 446, 566},
        {"short text: the buttons set the width", false, true, 20, 15, 260, 130, 16, 56, 50, 90, 20, 140},
        {"error: one centred button", false, false, 20, 15, 140, 130, 16, 56, 50, 90, 20, -1},
        {"mirrored question", true, true, 200, 15, 286, 130, 238, 30, 50, 90, 140, 20},
    };
    for (const auto& c : cases) {
        SysLocale.MiddleEast = c.mirrored;
        LayOut(box, c.question, c.textWidth, c.textHeight);
        EXPECT_EQ(box->form->ClientWidth(), c.width) << c.what;
        EXPECT_EQ(box->form->ClientHeight(), c.height) << c.what;
        EXPECT_EQ(box->icon->Left(), c.iconLeft) << c.what;
        EXPECT_EQ(box->icon->Top(), 42) << c.what;
        EXPECT_EQ(box->textLabel->Left(), c.textLeft) << c.what;
        EXPECT_EQ(box->textLabel->Top(), c.textTop) << c.what;
        EXPECT_EQ(box->firstButton->GetTop(), c.buttonTop) << c.what;
        EXPECT_EQ(box->firstButton->GetLeft(), c.first) << c.what;
        EXPECT_EQ(box->secondButton->GetVisible(), c.second >= 0) << c.what;
        if (c.second >= 0)
            EXPECT_EQ(box->secondButton->GetLeft(), c.second) << c.what;
        EXPECT_EQ(box->header->Left(), c.mirrored ? c.width - 101 - 8 : 8) << c.what;
        // The header's drag area and strip follow the box's width.
        EXPECT_EQ(box->dragArea->Width(), c.width) << c.what;
    }
}

TEST_F(MsgDialogTest, CaptionsFollowTheLanguageAndTheErrorHidesNo)
{
    tclMsgDialog* box = Box();
    box->SetMessageBoxText(L"Failed.");
    box->PrepareError();
    EXPECT_EQ(box->firstButton->CaptionLabel()->Caption(), L"OK");
    EXPECT_FALSE(box->secondButton->GetVisible());
    box->SetMessageBoxText(L"Quit?");
    box->PrepareQuestion();
    EXPECT_EQ(box->firstButton->CaptionLabel()->Caption(), L"Yes");
    EXPECT_EQ(box->secondButton->CaptionLabel()->Caption(), L"No");
    EXPECT_TRUE(box->secondButton->GetVisible());
    EXPECT_EQ(box->answer, 0);
}

TEST_F(MsgDialogTest, AWideTextWrapsInsideTheScreen)
{
    tclMsgDialog* box = Box();
    std::wstring longText;
    for (int i = 0; i < 60; i++)
        longText += L"The system could not do what was asked. ";
    box->SetMessageBoxText(longText.c_str());
    box->PrepareError();
    box->LayoutMessageBox();
    box->PlaceMessageBoxControls();
    int screen = GetSystemMetrics(SM_CXSCREEN);
    EXPECT_LE(box->form->ClientWidth(), screen - 80);
    EXPECT_GT(box->textLabel->Height(), 32);
    EXPECT_EQ(box->firstButton->GetTop(), 42 + box->textLabel->Height() + 16);

    EXPECT_TRUE(systemBoxCalls.empty());
    EXPECT_STREQ(ProductMsg(20034), L"Licensing Agreement of Brimvault ");
    EXPECT_EQ(ProductMsg(29999), nullptr);
}

// Runs body on another thread while the box runs its modal loop on this one.
class Driver {
public:
    explicit Driver(std::function<void()> body) : body_(std::move(body))
    {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~Driver()
    {
        WaitForSingleObject(thread_, 30000);
        CloseHandle(thread_);
    }

private:
    static DWORD WINAPI Run(void* self)
    {
        static_cast<Driver*>(self)->body_();
        return 0;
    }
    std::function<void()> body_;
    HANDLE thread_;
};

bool WaitFor(std::function<bool()> done)
{
    for (int i = 0; i < 500; i++) {
        if (done())
            return true;
        Sleep(20);
    }
    return false;
}

TEST_F(MsgDialogTest, RealClicksAnswerTheQuestion)
{
    tclMsgDialog* box = Box();
    ASSERT_TRUE(XMoveTo(5, 5)) << "xdotool cannot be started";
    auto clickButton = [box](TclCaptionButton* button, const std::string& shot,
                             std::function<void()> whileShown) {
        HWND hwnd = box->form->Handle();
        if (!WaitFor([&] { return IsWindowVisible(hwnd) != FALSE; }))
            return;
        whileShown();
        Sleep(300);
        SaveWindowShot(hwnd, ARTIFACT_DIR, shot);
        RECT window;
        GetWindowRect(hwnd, &window);
        XMoveTo(window.left + button->GetLeft() + 30, window.top + button->GetTop() + 12);
        WaitFor([&] { return button->Hot(); });
        Sleep(300);
        HDC screen = GetDC(nullptr);  // the border under the pointer turns purple
        hotBorder = GetPixel(screen, window.left + button->GetLeft(), window.top + button->GetTop() + 12);
        ReleaseDC(nullptr, screen);
        SaveWindowShot(hwnd, ARTIFACT_DIR, shot + "-hot");
        XdoTool({"click", "1"});
        // Should the click not reach the box, close it, so the test fails instead of hanging.
        if (!WaitFor([&] { return !IsWindowVisible(hwnd); }))
            PostMessageW(hwnd, WM_CLOSE, 0, 0);
    };
    struct {
        const char* language;
        bool question, yes;
        const char* shot;
    } cases[] = {
        {"ENG", true, true, "msgbox-eng-question"}, {"ENG", true, false, "msgbox-eng-question-no"},
        {"ENG", false, true, "msgbox-eng-error"},   {"ARA", true, true, "msgbox-ara-question"},
        {"ARA", false, true, "msgbox-ara-error"},   {"JPN", true, false, "msgbox-jpn-question"},
        {"JPN", false, true, "msgbox-jpn-error"},
    };
    // Before the main form exists the box is centred on the screen.
    RECT shown = {};
    {
        SelectLanguage("ENG");
        Driver driver([&] {
            if (WaitFor([&] { return IsWindowVisible(box->form->Handle()) != FALSE; })) {
                GetWindowRect(box->form->Handle(), &shown);
                // Closed by the system's close request (what Alt+F4 sends): No.
                PostMessageW(box->form->Handle(), WM_CLOSE, 0, 0);
            }
        });
        EXPECT_FALSE(AskYesNo(ProductMsg(MsgQuitQuestion)));
    }
    EXPECT_EQ(shown.left, (GetSystemMetrics(SM_CXSCREEN) - (shown.right - shown.left)) / 2);
    EXPECT_EQ(shown.top, (GetSystemMetrics(SM_CYSCREEN) - (shown.bottom - shown.top)) / 2);

    // Over the main form: modal (the main form is disabled meanwhile) and centred on it.
    TForm* main = nullptr;
    app.CreateForm(main);
    main->SetBorderStyle(bsNone);
    main->SetBounds(100, 80, 500, 400);
    main->Show();
    bool mainDisabled = false;
    auto modalCheck = [&] {
        mainDisabled = IsWindowEnabled(main->Handle()) == FALSE;
        GetWindowRect(box->form->Handle(), &shown);
    };

    for (const auto& c : cases) {
        SelectLanguage(c.language);
        // As the frame's language does: Arabic reads from right to left.
        SysLocale.MiddleEast = std::string(c.language) == "ARA";
        TclCaptionButton* button = c.yes ? box->firstButton : box->secondButton;
        bool answer = false;
        {
            Driver driver([&] { clickButton(button, c.shot, modalCheck); });
            if (c.question)
                answer = AskYesNo(ProductMsg(MsgQuitQuestion));
            else
                ShowErrorText(MessageText(MsgMemoryFailed));
        }
        if (c.question)
            EXPECT_EQ(answer, c.yes) << c.shot;
        EXPECT_TRUE(mainDisabled) << c.shot;
        EXPECT_EQ(hotBorder.load(), 0x800080u) << c.shot;
        EXPECT_TRUE(IsWindowEnabled(main->Handle())) << c.shot;
        EXPECT_EQ(shown.left, 100 + (500 - (shown.right - shown.left)) / 2) << c.shot;
        EXPECT_EQ(shown.top, 80 + (400 - (shown.bottom - shown.top)) / 2) << c.shot;
        EXPECT_FALSE(IsWindowVisible(box->form->Handle())) << c.shot;
        if (SysLocale.MiddleEast)
            EXPECT_EQ(box->icon->Left(), box->form->ClientWidth() - 48) << c.shot;
    }
}

}  // namespace
