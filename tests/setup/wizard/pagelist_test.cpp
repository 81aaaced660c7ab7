// The page switch of the page list: the order of a page's operations, the busy
// guard (a switch inside a switch, a switch from a page's Show), an exception
// from a page, and a page whose creation fails.
#include "foundation/msgcatalogue.h"
#include "foundation/osinfo.h"
#include "wizard/msgdialog.h"
#include "wizard/pagelist.h"
#include "wizard/progresspages.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// A page that writes each operation it is asked for into a shared log.
struct LogPage : clCustomPage {
    LogPage(std::string* log, const char* name) : log(log), name(name) {}
    bool Create() override
    {
        Note("create");
        return createResult;
    }
    void Show() override
    {
        Note("show");
        if (onShow)
            onShow();
    }
    void Hide() override { Note("hide"); }
    void ApplyLanguage() override { Note("lang"); }
    void Arrange() override { Note("arrange"); }
    void Note(const char* what) { *log += name + std::string(".") + what + " "; }

    std::string* log;
    std::string name;
    bool createResult = true;
    std::function<void()> onShow;
};

// A list that logs the step it is asked to light, inside the guard.
struct LogList : clCustomPageList {
    void PageChanging(clCustomPage* page) override
    {
        log += "step" + std::to_string(page ? page->step : 0) + " ";
        changingWhileBusy = changingWhileBusy && busy == 1;
    }
    std::string log;
    bool changingWhileBusy = true;
};

struct PageListTest : ::testing::Test {
    LogPage* Add(const char* name, int step)
    {
        auto* page = new LogPage(&list.log, name);
        EXPECT_TRUE(list.AddPage(page));
        page->step = step;
        return page;
    }
    LogList list;
};

TEST_F(PageListTest, AddedPagesAreBuiltHiddenAndPlacedButNotLabelled)
{
    Add("a", 1);
    EXPECT_EQ(list.log, "a.create a.hide a.arrange ");
    auto* broken = new LogPage(&list.log, "b");
    broken->createResult = false;
    EXPECT_FALSE(list.AddPage(broken));
    EXPECT_EQ(broken->owner, &list);  // stays in the list and goes with it
    EXPECT_EQ(list.Last(), broken);
    EXPECT_FALSE(list.AddPage(nullptr));
}

TEST_F(PageListTest, ASwitchHidesTheOldPageThenLabelsPlacesAndShowsTheNew)
{
    LogPage *a = Add("a", 1), *b = Add("b", 0);
    list.log.clear();
    struct {
        clCustomPage* page;
        const char* log;
        clCustomPage* current;
    } cases[] = {
        {a, "step1 a.lang a.arrange a.show ", a},
        {a, "", a},  // the current page: nothing at all
        {b, "step0 a.hide b.lang b.arrange b.show ", b},
        {nullptr, "step0 b.hide ", nullptr},
    };
    for (const auto& c : cases) {
        list.log.clear();
        EXPECT_TRUE(list.ShowPage(c.page));
        EXPECT_EQ(list.log, c.log);
        EXPECT_EQ(list.currentPage, c.current);
        EXPECT_EQ(list.busy, 0);
    }
    EXPECT_TRUE(list.changingWhileBusy);
}

TEST_F(PageListTest, ASwitchAskedDuringASwitchIsRefusedBeforeTheStepChanges)
{
    LogPage *a = Add("a", 1), *b = Add("b", 2), *c = Add("c", 3);
    bool nested = true;
    // Two quick clicks: the second arrives while the first switch runs.
    b->onShow = [&] { nested = list.ShowPage(c); };
    list.log.clear();
    EXPECT_TRUE(list.ShowPage(b));
    EXPECT_FALSE(nested);
    EXPECT_EQ(list.log, "step2 b.lang b.arrange b.show ");
    EXPECT_EQ(list.currentPage, b);
    EXPECT_EQ(list.busy, 0);
    (void)a;
}

TEST_F(PageListTest, APageSwitchesFromItsShowAfterReleasingTheGuard)
{
    LogPage *welcome = Add("w", 1), *progress = Add("p", 2), *final = Add("f", 3);
    ASSERT_TRUE(list.ShowPage(welcome));
    progress->onShow = [&] {
        list.busy = 0;
        EXPECT_TRUE(list.ShowPage(final));
    };
    list.log.clear();
    EXPECT_TRUE(list.ShowPage(progress));
    EXPECT_EQ(list.log, "step2 w.hide p.lang p.arrange p.show step3 p.hide f.lang f.arrange f.show ");
    EXPECT_EQ(list.currentPage, final);
    EXPECT_EQ(list.busy, 0);
}

TEST_F(PageListTest, AnExceptionFromAPageNeverLeavesTheGuardTaken)
{
    LogPage *a = Add("a", 1), *b = Add("b", 2);
    a->onShow = [] { throw std::runtime_error("registry"); };
    EXPECT_THROW(list.ShowPage(a), std::runtime_error);
    EXPECT_EQ(list.busy, 0);
    EXPECT_TRUE(list.ShowPage(b));
    EXPECT_EQ(list.currentPage, b);
}

TEST_F(PageListTest, ALanguageChangeRelabelsOnlyTheCurrentPage)
{
    list.ApplyLanguage();  // no page yet: nothing
    EXPECT_EQ(list.log, "");
    LogPage* a = Add("a", 1);
    Add("b", 0);
    ASSERT_TRUE(list.ShowPage(a));
    list.log.clear();
    list.ApplyLanguage();
    EXPECT_EQ(list.log, "a.lang a.arrange ");
}

std::wstring askedText;
int FakeSystemBox(HWND, const wchar_t* text, UINT)
{
    askedText = text;
    return IDNO;
}

// Before the own box exists the system's box asks; the fake records the text.
TEST(ReplaceQuestion, ArgumentOrderPerLanguageAndAFixedTextWithoutMessageFiles)
{
    auto realBox = SystemMessageBox;
    SystemMessageBox = FakeSystemBox;
    struct {
        const char* language;  // null: no message files at all
        const wchar_t* text;
    } cases[] = {
        {"ENG", L"Brimvault Version 2.04.03 is already installed. Do you want to replace Version 2.04.02 ?"},
        {"FRA", L"La version 2.04.03 de Brimvault est d\u00e9j\u00e0 install\u00e9e. "
                L"Voulez-vous la remplacer par la version 2.04.02 ?"},
        {nullptr,
         L"Brimvault Version 2.04.03 is already installed. Do you want to replace Version 2.04.02 ?"},
    };
    clPageInstallProgress page;
    for (const auto& c : cases) {
        ResetMsgCatalogue();
        if (c.language) {
            ASSERT_TRUE(CreateMsgCatalogue());
            ASSERT_TRUE(SelectLanguageByCode(c.language));
        }
        askedText.clear();
        EXPECT_FALSE(page.ConfirmReplace(20403));  // the fake answers No
        EXPECT_EQ(askedText, c.text) << (c.language ? c.language : "none");
    }
    ResetMsgCatalogue();
    SystemMessageBox = realBox;
}

// Windows 2000 is not supported: the message names the product and the system,
// also from a build without message files.
TEST(SystemCheck, AnUnsupportedSystemIsNamedWithOrWithoutMessageFiles)
{
    auto realBox = SystemMessageBox;
    SystemMessageBox = FakeSystemBox;
    clInstallPageList list;  // detects the real system once
    OsInfoRecord real = OsInfo;
    EXPECT_TRUE(list.CheckSystem());
    OsInfo.type = OS_WIN2000;
    OsInfo.arch = OS_ARCH_X86;
    OsInfo.server = false;
    for (bool messageFiles : {true, false}) {
        ResetMsgCatalogue();
        if (messageFiles) {
            ASSERT_TRUE(CreateMsgCatalogue());
            ASSERT_TRUE(SelectLanguageByCode("ENG"));
        }
        askedText.clear();
        EXPECT_FALSE(list.CheckSystem());
        EXPECT_EQ(askedText, L"Brimvault does not support Windows 2000.") << messageFiles;
    }
    OsInfo = real;
    ResetMsgCatalogue();
    SystemMessageBox = realBox;
}

}  // namespace
