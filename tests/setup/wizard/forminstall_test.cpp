// The main form in this process: its description, the page list it owns and
// deletes, the close query that the page list can refuse, and the fixed
// message when the page list cannot be allocated.
#include "classlib/application.h"
#include "foundation/langutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/osinfo.h"
#include "wizard/forminstall.h"
#include "wizard/msgdialog.h"
#include "wizard/pagelist.h"
#include "wizard/startpages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class FormInstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = Application;
        Application = &app;
        app.SetTitle("Brimvault Setup (form test)");  // never taken for a running installer
    }
    void TearDown() override
    {
        app.DestroyComponents();
        Application = previous_;
        FormInstall = nullptr;
        // The page list's start-up built these; the box's form went with the application.
        MessageBoxInstance = nullptr;
        ResetMsgCatalogue();
        MSG message;  // a quit posted by Terminate would end the next test's loops
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    TApplication app;

private:
    TApplication* previous_ = nullptr;
};

// A page list whose deletion and close answer the test controls.
struct ProbeList : clInstallPageList {
    explicit ProbeList(int* deletions) : deletions(deletions) {}
    ~ProbeList() override { ++*deletions; }
    bool CanClose() override { return canClose; }
    int* deletions;
    bool canClose = true;
};

TEST_F(FormInstallTest, BuildsFromItsDescriptionAndSizesThroughThePageList)
{
    app.CreateForm(FormInstall);  // as the program entry does
    TFormInstall* form = FormInstall;
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(app.MainForm(), form);
    EXPECT_FALSE(app.Terminated());
    ASSERT_NE(PageList, nullptr);
    EXPECT_EQ(PageList->frame.form, form);
    EXPECT_EQ(form->ClientWidth(), 500);
    EXPECT_EQ(form->ClientHeight(), 400);
    EXPECT_EQ(form->Color(), 0xFFFFFF);
    EXPECT_EQ(form->BorderStyle(), bsNone);
    EXPECT_EQ(form->Position(), poScreenCenter);
    // The description's font, given the current language's charset and name.
    EXPECT_EQ(form->Font()->Charset(), GetUiCharset());
    EXPECT_EQ(form->Font()->Height(), -12);
    EXPECT_EQ(form->Font()->Name(), GetUiFontName());

    TTntComboBox* combo = form->ComboLang;
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->Parent(), form);
    EXPECT_EQ(combo->Owner(), form);
    // The welcome page has adopted it.
    EXPECT_EQ(combo->Top(), 228);
    EXPECT_EQ(combo->Width(), 226);
    EXPECT_EQ(combo->Cursor(), crHandPoint);
    EXPECT_FALSE(combo->ParentFont());
    EXPECT_EQ(combo->Font()->Charset(), 129);  // the language names' charset
    EXPECT_EQ(combo->Font()->Height(), -12);
}

// How far right the label's text leaves ink when it is drawn with the label's font and
// nothing cuts it: the width the label needs to show all of it.
int InkWidth(TLabel* label)
{
    const int width = 1000, height = 100;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    HGDIOBJ oldFont = SelectObject(dc, label->Font()->Handle());
    memset(bits, 0xFF, width * height * 4);
    RECT area = {0, 0, width, height};
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, 0);
    DrawTextW(dc, label->Caption().c_str(), -1, &area, DT_NOPREFIX | DT_NOCLIP);
    GdiFlush();
    int ink = 0;
    const uint32_t* pixels = static_cast<const uint32_t*>(bits);
    for (int i = 0; i < width * height; ++i)
        if ((pixels[i] & 0xFFFFFF) != 0xFFFFFF && i % width + 1 > ink)
            ink = i % width + 1;
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return ink;
}

// The sum of the characters' advances, which is all that the text's extent tells.
int AdvanceWidth(TLabel* label)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, label->Font()->Handle());
    SIZE size = {};
    GetTextExtentPoint32W(dc, label->Caption().c_str(), static_cast<int>(label->Caption().size()), &size);
    SelectObject(dc, old);
    DeleteDC(dc);
    return size.cx;
}

TEST_F(FormInstallTest, EveryPageLabelFitsItsTextInEveryLanguage)
{
    // The last glyph can reach past its advance (the "t" of "Create desktop shortcut" by two
    // pixels): a label as wide as the advances cuts it off.
    app.CreateForm(FormInstall);
    ASSERT_NE(PageList, nullptr);
    ASSERT_NE(LanguageList, nullptr);
    for (clDorqObject* node = LanguageList->First(); node; node = node->next) {
        auto* language = static_cast<clMsgObject*>(node);
        SetCurrentLanguage(language);
        for (clCustomPage* page :
             {static_cast<clCustomPage*>(WelcomePage), static_cast<clCustomPage*>(OptionsPage)}) {
            PageList->ShowPage(page);
            PageList->ApplyLanguage();
        }
        struct {
            const char* what;
            TLabel* label;
        } labels[] = {
            {"desktop shortcut", OptionsPage->desktopBox->CaptionLabel()},
            {"install location", OptionsPage->captionLabel},
            {"language", WelcomePage->languageLabel},
            {"licence link", WelcomePage->linkLabel},
        };
        for (const auto& l : labels) {
            int ink = InkWidth(l.label);
            EXPECT_GE(l.label->Width(), ink)
                << language->code << " " << l.what << " (font " << l.label->Font()->Name() << ")";
            printf("%s %-16s advances %3d, ink %3d, label %3d\n", language->code, l.what,
                   AdvanceWidth(l.label), ink, l.label->Width());
        }
    }
}

TEST_F(FormInstallTest, DestroyingTheFormDeletesThePageListOnce)
{
    TFormInstall* form = nullptr;
    app.CreateForm(form);
    int deletions = 0;
    delete PageList;
    PageList = new ProbeList(&deletions);
    app.DestroyComponents();
    EXPECT_EQ(deletions, 1);
    EXPECT_EQ(PageList, nullptr);
}

TEST_F(FormInstallTest, CloseRequestsAreRefusedWhileThePageListSaysSo)
{
    TFormInstall* form = nullptr;
    app.CreateForm(form);
    int deletions = 0;
    delete PageList;
    auto* list = new ProbeList(&deletions);
    PageList = list;
    form->Show();

    list->canClose = false;  // as while an installation runs
    PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
    app.ProcessMessages();
    form->Close();
    EXPECT_EQ(SendMessageW(form->Handle(), WM_QUERYENDSESSION, 0, 0), FALSE);
    EXPECT_FALSE(app.Terminated());
    EXPECT_TRUE(IsWindowVisible(form->Handle()));
    EXPECT_EQ(PageList, list);
    EXPECT_EQ(deletions, 0);

    list->canClose = true;
    PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
    app.ProcessMessages();
    EXPECT_TRUE(app.Terminated());
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
}

// Cancels the creation of every combo box window of this thread, as a system out of
// window resources would.
LRESULT CALLBACK RefuseComboBoxes(int code, WPARAM wparam, LPARAM lparam)
{
    if (code == HCBT_CREATEWND) {
        const wchar_t* className = reinterpret_cast<CBT_CREATEWNDW*>(lparam)->lpcs->lpszClass;
        if (!IS_INTRESOURCE(className) && lstrcmpiW(className, L"ComboBox") == 0)
            return 1;
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

TEST_F(FormInstallTest, AFormWhoseConstructionFailsIsNeverTheMainForm)
{
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseComboBoxes, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    EXPECT_THROW(app.CreateForm(FormInstall), Exception);  // the language box cannot be made
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(FormInstall, nullptr) << "would point to the destroyed form";
    EXPECT_EQ(app.MainForm(), nullptr);
}

std::vector<std::wstring> boxTexts;

BOOL CALLBACK CloseMessageBox(HWND hwnd, LPARAM)
{
    wchar_t className[16], text[256] = L"";
    if (IsWindowVisible(hwnd) && GetClassNameW(hwnd, className, 16) && std::wstring(className) == L"#32770") {
        GetDlgItemTextW(hwnd, 0xFFFF, text, 256);
        boxTexts.push_back(text);
        PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
        return FALSE;
    }
    return TRUE;
}

void CALLBACK CloseMessageBoxTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    EnumThreadWindows(GetCurrentThreadId(), CloseMessageBox, 0);
    if (!boxTexts.empty())
        KillTimer(nullptr, id);
}

TEST_F(FormInstallTest, NoMemoryForThePageListShowsTheFixedTextAndEnds)
{
    boxTexts.clear();
    SetTimer(nullptr, 0, 100, CloseMessageBoxTimer);
    clInstallPageList* (*previous)() = NewPageList;
    NewPageList = [] { return static_cast<clInstallPageList*>(nullptr); };
    TFormInstall* form = nullptr;
    app.CreateForm(form);
    NewPageList = previous;
    EXPECT_EQ(PageList, nullptr);
    EXPECT_TRUE(app.Terminated());  // the exit code is then 1
    ASSERT_EQ(boxTexts.size(), 1u);
    EXPECT_EQ(boxTexts[0], L"Allocated memory fail !");
    app.Run();  // returns at once, showing nothing
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
    EXPECT_EQ(SetupExitCode(), 1);
}

}  // namespace

namespace {

// Records and closes the first box that start-up shows: the system's box, or the own one
// once it exists.
void CALLBACK CloseAnyBoxTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    tclMsgDialog* own = MessageBoxInstance;
    if (own && own->form && IsWindowVisible(own->form->Handle())) {
        boxTexts.push_back(own->textLabel->Caption());
        PostMessageW(own->form->Handle(), WM_CLOSE, 0, 0);
    } else {
        EnumThreadWindows(GetCurrentThreadId(), CloseMessageBox, 0);
    }
    if (!boxTexts.empty())
        KillTimer(nullptr, id);
}

enum class StartFailure { Catalogue, MessageBox, UnsupportedSystem, Frame, Page };

struct UnbuildablePage : clCustomPage {
    bool Create() override { return false; }
};

// The real page list with one of its start-up steps failing.
struct FailingStartList : clInstallPageList {
    bool CreateCatalogue() override
    {
        return failing != StartFailure::Catalogue && clInstallPageList::CreateCatalogue();
    }
    bool SetupMessageBox() override
    {
        return failing != StartFailure::MessageBox && clInstallPageList::SetupMessageBox();
    }
    bool CreateFrame() override { return failing != StartFailure::Frame && clInstallPageList::CreateFrame(); }
    bool CreatePages() override
    {
        return clInstallPageList::CreatePages() &&
               (failing != StartFailure::Page || AddPage(new UnbuildablePage));
    }
    static StartFailure failing;
};
StartFailure FailingStartList::failing = StartFailure::Catalogue;

clInstallPageList* NewFailingStartList()
{
    auto* list = new FailingStartList;
    if (FailingStartList::failing == StartFailure::UnsupportedSystem)
        OsInfo = {OS_WIN2000, OS_ARCH_X86, false};  // after the list's own detection
    return list;
}

}  // namespace

TEST_F(FormInstallTest, AFailingStartUpShowsWhyAndEndsWithExitCodeOne)
{
    struct {
        StartFailure failing;
        const wchar_t* text;
    } cases[] = {
        {StartFailure::Catalogue, L"Allocated memory fail !"},     // no message file read yet
        {StartFailure::MessageBox, L"Memory allocation failed."},  // in the system's box
        {StartFailure::UnsupportedSystem, L"Brimvault does not support Windows 2000."},
        {StartFailure::Frame, L"Memory allocation failed."},
        {StartFailure::Page, L"Memory allocation failed."},
    };
    clInstallPageList* (*previous)() = NewPageList;
    OsInfoRecord realOs = OsInfo;
    for (const auto& c : cases) {
        const int which = static_cast<int>(c.failing);
        TApplication run;  // each start-up with an application of its own, as a process has
        TApplication* outer = Application;
        Application = &run;
        run.SetTitle("Brimvault Setup (start-up test)");
        FailingStartList::failing = c.failing;
        NewPageList = NewFailingStartList;
        boxTexts.clear();
        UINT_PTR timer = SetTimer(nullptr, 0, 100, CloseAnyBoxTimer);
        TFormInstall* form = nullptr;
        run.CreateForm(form);
        KillTimer(nullptr, timer);
        NewPageList = previous;
        OsInfo = realOs;

        EXPECT_TRUE(run.Terminated()) << which;
        ASSERT_EQ(boxTexts.size(), 1u) << which;
        EXPECT_EQ(boxTexts[0], c.text) << which;
        ASSERT_NE(PageList, nullptr) << which;
        EXPECT_EQ(PageList->currentPage, nullptr) << which << ": no page shown";
        run.Run();  // returns at once
        EXPECT_FALSE(IsWindowVisible(form->Handle())) << which;
        EXPECT_EQ(SetupExitCode(), 1) << which;

        run.DestroyComponents();
        EXPECT_EQ(PageList, nullptr) << which << ": deleted with the form";
        Application = outer;
        FormInstall = nullptr;
        MessageBoxInstance = nullptr;
        ResetMsgCatalogue();
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
}
