// The language choice box on a real window, filled from the real message files: its items,
// selection and font, and a user's choice making another language current.
#include "classlib/application.h"
#include "classlib/combobox.h"
#include "classlib/form.h"
#include "foundation/langutil.h"
#include "foundation/msgcatalogue.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

class LanguageCombo : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = Application;
        Application = &app;
        app.CreateForm(form);
        ResetMsgCatalogue();
        ASSERT_TRUE(CreateMsgCatalogueFrom(LockBinRes, "ENG"));
    }
    void TearDown() override
    {
        app.DestroyComponents();
        Application = previous_;
        ResetMsgCatalogue();
    }

    TApplication app;
    TForm* form = nullptr;

private:
    TApplication* previous_ = nullptr;
};

TEST_F(LanguageCombo, ListsTheLanguagesAndSwitchesOnTheUsersChoice)
{
    TComboBox* combo = new TComboBox(form);
    combo->SetParent(form);
    combo->SetBounds(10, 10, 150, 21);
    combo->OnChange = [combo](TObject*) { SelectComboLanguage(combo); };
    ASSERT_TRUE(FillLanguageCombo(combo, 20001));
    HWND box = combo->Handle();
    ASSERT_NE(box, nullptr);

    EXPECT_EQ(SendMessageW(box, CB_GETCOUNT, 0, 0), 10) << "the nine files and the Arabic one";
    EXPECT_EQ(SendMessageW(box, CB_GETCURSEL, 0, 0), 0) << "English";
    wchar_t text[64] = {};
    SendMessageW(box, CB_GETLBTEXT, 4, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::wstring(text), L"한국어");
    LOGFONTW font = {};
    HFONT handle = reinterpret_cast<HFONT>(SendMessageW(box, WM_GETFONT, 0, 0));
    ASSERT_NE(handle, nullptr);
    GetObjectW(handle, sizeof(font), &font);
    EXPECT_EQ(font.lfCharSet, 129) << "the Korean charset";

    form->Show();
    SetFocus(box);
    SendMessageW(box, WM_KEYDOWN, VK_DOWN, 0);  // what a user's arrow key does
    EXPECT_STREQ(CurrentLanguageCode(), "CHT");
    EXPECT_EQ(GetUiCharset(), 136);
}

}  // namespace
