// The language chosen at start-up under Wine, whose system locale follows the Unix locale:
// ctest runs this test once per locale (LANG and LC_ALL set), and the test builds the
// catalogue from the real message files that it carries.
#include "foundation/langutil.h"
#include "foundation/msgcatalogue.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

namespace {

struct Expected {
    const char* lang;
    const char* system;   // the system's language code
    const char* current;  // the catalogue's current language
    int charset;
    const char* font;
};

const Expected Locales[] = {
    {"C.UTF-8", "ENG", "ENG", 1, "Arial"},
    {"en_US.UTF-8", "ENG", "ENG", 1, "Arial"},
    {"zh_TW.UTF-8", "CHT", "CHT", 136, "Arial"},
    {"zh_CN.UTF-8", "CHS", "CHS", 134, "Arial"},
    {"ja_JP.UTF-8", "JPN", "JPN", 128, "MS UI Gothic"},
    {"ko_KR.UTF-8", "KOR", "KOR", 129, "Arial"},
    {"fr_FR.UTF-8", "FRA", "FRA", 1, "Arial"},
    {"de_DE.UTF-8", "DEU", "DEU", 1, "Arial"},
    {"es_ES.UTF-8", "ESN", "ESN", 1, "Arial"},
    {"ru_RU.UTF-8", "RUS", "RUS", 204, "Arial"},
    {"de_CH.UTF-8", "DEU", "DEU", 1, "Arial"},    // DES
    {"zh_HK.UTF-8", "CHT", "CHT", 136, "Arial"},  // ZHH
    {"it_IT.UTF-8", "ITA", "ENG", 1, "Arial"},    // no Italian file
    {"he_IL.UTF-8", "HEB", "ENG", 1, "Arial"},    // no Hebrew slot
    {"ar_EG.UTF-8", "ARA", "ARA", 178, "Arial"},  // the test-only Arabic file
};

TEST(LanguageUnderWine, TheSystemLocaleChoosesTheLanguage)
{
    const char* lang = getenv("LANG");
    ASSERT_NE(lang, nullptr);
    const Expected* expected = nullptr;
    for (const Expected& row : Locales) {
        if (std::string(row.lang) == lang)
            expected = &row;
    }
    ASSERT_NE(expected, nullptr) << "no expectation for LANG=" << lang;

    EXPECT_STREQ(GetSystemLangCode(), expected->system) << "LCID " << GetSystemDefaultLCID();
    ResetMsgCatalogue();
    ASSERT_TRUE(CreateMsgCatalogue());
    EXPECT_EQ(LanguageList->Count(), 10) << "the nine files and the Arabic one";
    EXPECT_STREQ(CurrentLanguageCode(), expected->current);
    EXPECT_EQ(GetUiCharset(), expected->charset);
    EXPECT_STREQ(GetUiFontName(), expected->font);
    EXPECT_EQ(IsRightToLeftCharset(GetUiCharset()), expected->charset == 178);
    EXPECT_NE(NativeLanguageName(CurrentLanguageCode()), nullptr) << "the system names it";
    ResetMsgCatalogue();
}

}  // namespace
