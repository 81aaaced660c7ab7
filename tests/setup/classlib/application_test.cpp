// The application object and forms against real windows: the hidden
// "TApplication" window, CreateForm, Run and Terminate, ProcessMessages and
// WM_QUIT, closing through the close query, modal loops, and the exception
// barrier of event handlers.
#include "classlib_fixture.h"

#include <stdexcept>

namespace {

using AppTest = ApplicationTest;

// A form that records what the application said about it during construction.
class RecordingForm : public TForm {
public:
    explicit RecordingForm(TComponent* owner) : TForm(owner)
    {
        mainFormDuringConstruction = Application->MainForm();
        SetPosition(poScreenCenter);
    }
    TForm* mainFormDuringConstruction = reinterpret_cast<TForm*>(1);
    int timesShown = 0;

protected:
    void VisibleChanged() override
    {
        if (Visible())
            timesShown++;
        TForm::VisibleChanged();
    }
};

class ThrowingForm : public TForm {
public:
    explicit ThrowingForm(TComponent* owner) : TForm(owner) { throw Exception("no form"); }
};

TEST_F(AppTest, HiddenApplicationWindowCarriesTheTitle)
{
    app.Initialize();
    app.SetTitle("Classlib Test Title");
    HWND found = FindWindowA("TApplication", "Classlib Test Title");
    EXPECT_EQ(found, app.Handle());
    EXPECT_FALSE(IsWindowVisible(found));
    app.SetTitle("Another Title");
    EXPECT_EQ(FindWindowA("TApplication", "Classlib Test Title"), nullptr);
    EXPECT_EQ(FindWindowA("TApplication", "Another Title"), app.Handle());
}

TEST_F(AppTest, MainFormIsSetOnlyAfterTheConstructor)
{
    RecordingForm *first = nullptr, *second = nullptr;
    app.CreateForm(first);
    app.CreateForm(second);
    EXPECT_EQ(first->mainFormDuringConstruction, nullptr);
    EXPECT_EQ(app.MainForm(), first);
    EXPECT_EQ(second->mainFormDuringConstruction, first);
    EXPECT_TRUE(GetWindowLongW(first->Handle(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_FALSE(GetWindowLongW(second->Handle(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_EQ(first->Owner(), &app);
}

TEST_F(AppTest, ConstructorExceptionLeavesNoFormBehind)
{
    ThrowingForm* form = reinterpret_cast<ThrowingForm*>(1);
    EXPECT_THROW(app.CreateForm(form), Exception);
    EXPECT_EQ(form, nullptr);
    EXPECT_EQ(app.MainForm(), nullptr);
    EXPECT_EQ(app.ComponentCount(), 0);
}

TEST_F(AppTest, TerminateBeforeRunShowsNothing)
{
    RecordingForm* form = nullptr;
    app.CreateForm(form);
    app.Terminate();
    app.Run();
    EXPECT_TRUE(app.Terminated());
    EXPECT_EQ(form->timesShown, 0);
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
}

TEST_F(AppTest, ClosingTheMainFormEndsRunAndFreesNothingYet)
{
    RecordingForm* form = nullptr;
    app.CreateForm(form);
    form->SetClientWidth(300);
    form->SetClientHeight(200);
    bool destroyed = false;
    form->OnDestroy = [&](TObject*) { destroyed = true; };
    PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
    app.Run();
    EXPECT_TRUE(app.Terminated());
    EXPECT_EQ(form->timesShown, 1);
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
    EXPECT_FALSE(destroyed);
    // Centred on the screen at its first show.
    EXPECT_EQ(form->Left(), (GetSystemMetrics(SM_CXSCREEN) - form->Width()) / 2);
    EXPECT_EQ(form->Top(), (GetSystemMetrics(SM_CYSCREEN) - form->Height()) / 2);
    app.DestroyComponents();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(app.MainForm(), nullptr);
}

TEST_F(AppTest, CloseQueryRefusesCloseWmCloseAndEndOfSession)
{
    RecordingForm* form = nullptr;
    app.CreateForm(form);
    bool allow = false;
    int asked = 0;
    form->OnCloseQuery = [&](TObject*, bool& canClose) {
        asked++;
        canClose = allow;
    };
    form->Show();
    PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
    app.ProcessMessages();
    form->Close();
    EXPECT_EQ(SendMessageW(form->Handle(), WM_QUERYENDSESSION, 0, 0), FALSE);
    EXPECT_EQ(asked, 3);
    EXPECT_FALSE(app.Terminated());
    EXPECT_TRUE(IsWindowVisible(form->Handle()));

    allow = true;
    EXPECT_EQ(SendMessageW(form->Handle(), WM_QUERYENDSESSION, 0, 0), TRUE);
    form->Close();
    EXPECT_TRUE(app.Terminated());
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
}

TEST_F(AppTest, ProcessMessagesDispatchesPendingAndKeepsQuit)
{
    RecordingForm* form = nullptr;
    app.CreateForm(form);
    int asked = 0;
    form->OnCloseQuery = [&](TObject*, bool& canClose) {
        asked++;
        canClose = false;
    };
    app.ProcessMessages();  // nothing pending: returns at once
    PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
    PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
    app.ProcessMessages();
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(app.Terminated());

    PostQuitMessage(3);
    app.ProcessMessages();
    EXPECT_TRUE(app.Terminated());
    MSG message;
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    app.Run();  // returns at once
}

struct ModalContext {
    TForm* dialog = nullptr;
    TForm* main = nullptr;
    bool mainEnabledDuring = true;
};
ModalContext* modal = nullptr;

void CALLBACK CloseDialogTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    modal->mainEnabledDuring = IsWindowEnabled(modal->main->Handle());
    modal->dialog->Close();
}

void CALLBACK AcceptDialogTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    modal->dialog->SetModalResult(mrOk);
}

TEST_F(AppTest, ShowModalDisablesOtherWindowsUntilClosed)
{
    RecordingForm* main = nullptr;
    TForm* dialog = nullptr;
    app.CreateForm(main);
    app.CreateForm(dialog);
    main->Show();
    ModalContext context;
    context.dialog = dialog;
    context.main = main;
    modal = &context;

    SetTimer(nullptr, 0, 50, CloseDialogTimer);
    EXPECT_EQ(dialog->ShowModal(), mrCancel);
    EXPECT_FALSE(context.mainEnabledDuring);
    EXPECT_TRUE(IsWindowEnabled(main->Handle()));
    EXPECT_FALSE(IsWindowVisible(dialog->Handle()));

    SetTimer(nullptr, 0, 50, AcceptDialogTimer);
    EXPECT_EQ(dialog->ShowModal(), mrOk);
    EXPECT_FALSE(app.Terminated());
    modal = nullptr;
}

// An event handler that throws: the barrier shows the box and the loop goes on.
struct ThrowCase {
    const char* name;
    std::function<void()> raise;
    const wchar_t* shown;
};

class HandlerException : public ApplicationTest, public ::testing::WithParamInterface<ThrowCase> {};

TEST_P(HandlerException, IsShownAndTheProgramKeepsRunning)
{
    TForm* form = nullptr;
    app.CreateForm(form);
    app.SetTitle("Barrier Test");
    form->SetBorderStyle(bsNone);
    form->SetClientWidth(200);
    form->SetClientHeight(100);
    Probe* button = new Probe(form, 10, 10, 50, 20, "b");
    int clicks = 0;
    button->OnClick = [&](TObject*) {
        clicks++;
        if (clicks == 1)
            GetParam().raise();
    };
    form->Show();
    std::vector<SeenBox> boxes;
    StartClosingMessageBoxes(&boxes);
    for (int i = 0; i < 2; i++) {
        PostMessageW(form->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 15));
        PostMessageW(form->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(20, 15));
    }
    EXPECT_TRUE(PumpUntil([&] { return clicks == 2; }));
    StopClosingMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, GetParam().shown);
    EXPECT_EQ(boxes[0].caption, L"Barrier Test");
    EXPECT_FALSE(app.Terminated());
    EXPECT_TRUE(IsWindowVisible(form->Handle()));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HandlerException,
    ::testing::Values(ThrowCase{"LibraryException", [] { throw Exception("Broken handler"); },
                                L"Broken handler."},
                      ThrowCase{"EndsWithDot", [] { throw ERegistryException("Failed."); }, L"Failed."},
                      ThrowCase{"OtherException", [] { throw std::runtime_error("hidden"); }, L""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
