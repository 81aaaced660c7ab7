// Languages: the system language, codes, LANGIDs and charsets, the interface's font, the
// language choice box and the licence texts.
#include "foundation/langutil.h"

#include "classlib/combobox.h"
#include "foundation/msgcatalogue.h"

#include "fakebinres.h"
#include "messagefilestest.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

TEST(LangIdToCharset, CharsetsByLanguage)
{
    struct Case {
        uint16_t langId;
        uint8_t charset;
        const char* comment;
    };
    const Case cases[] = {
        {1033, 1, "English (US)"},
        {2057, 1, "English (UK), the fallback language"},
        {1038, 1, "Hungarian stays on the default charset"},
        {1031, 1, "German"},
        {1053, 1, "Swedish"},
        {1025, 178, "Arabic"},
        {1026, 238, "Bulgarian is East European, not Russian"},
        {1058, 238, "Ukrainian is East European, not Russian"},
        {1029, 238, "Czech"},
        {1045, 238, "Polish"},
        {1048, 238, "Romanian"},
        {1050, 238, "Croatian"},
        {1051, 238, "Slovak"},
        {1060, 238, "Slovenian"},
        {3098, 238, "Serbian (Cyrillic)"},
        {1028, 136, "Chinese (Traditional)"},
        {2052, 134, "Chinese (Simplified)"},
        {1032, 161, "Greek"},
        {1037, 177, "Hebrew"},
        {1041, 128, "Japanese"},
        {1042, 129, "Korean"},
        {1049, 204, "Russian"},
        {1054, 222, "Thai"},
        {1055, 162, "Turkish"},
        {1061, 186, "Estonian"},
        {1062, 186, "Latvian"},
        {1063, 186, "Lithuanian"},
        {1066, 163, "Vietnamese"},
        {0, 1, "no language"},
        {0x400, 1, "the user default language id is not a language"},
        {3076, 1, "Chinese (Hong Kong) is not listed"},
        {0xFFFF, 1, "the largest id"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LangIdToCharset(c.langId), c.charset) << c.langId << ": " << c.comment;
}

TEST(GetSystemLangId, TheSystemDefaultLocalesLanguageKeptAcrossCalls)
{
    const uint16_t expected = static_cast<uint16_t>(GetSystemDefaultLCID() & 0xFFFF);
    ASSERT_NE(expected, 0);
    EXPECT_EQ(GetSystemLangId(), expected);
    EXPECT_EQ(GetSystemLangId(), expected) << "the second call answers the same";
}

TEST(LangCodeToLangId, EveryCodeOfTheTable)
{
    struct Case {
        const char* code;
        uint16_t langId;
        uint8_t charset;
    };
    const Case cases[] =
        {
            {"ENG", 1033, 1},    {"CHT", 1028, 136}, {"CHS", 2052, 134}, {"JPN", 1041, 128},
            {"KOR", 1042, 129},  {"DEU", 1031, 1},   {"ESN", 3082, 1},   {"FRA", 1036, 1},
            {"ITA", 1040, 1},    {"PTG", 2070, 1},   {"TRK", 1055, 162}, {"THA", 1054, 222},
            {"PLK", 1045, 238},  {"RUS", 1049, 204}, {"NLD", 1043, 1},   {"DAN", 1030, 1},
            {"ARA", 1025, 178},  {"LVI", 1062, 186}, {"ETI", 1061, 186}, {"HUN", 1038, 1},
            {"CSY", 1029, 238},  {"LTH", 1063, 186}, {"HRV", 1050, 238}, {"SRB", 3098, 238},
            {"SLV", 1060, 238},  {"ROM", 1048, 238}, {"SKY", 1051, 238}, {"BGR", 1026, 238},
            {"UKR", 1058, 238},  {"ELL", 1032, 161}, {"SVE", 1053, 1},   {"HEB", 1037, 177},
            {"VIT", 1066, 163},  {"kor", 1042, 129},  // letters without regard to case
            {"KORX", 1042, 129},                      // anything after the third letter is ignored
            {"KO", 2057, 1},                          // too short
            {"XYZ", 2057, 1},                         // not in the table: English (United Kingdom)
            {"", 2057, 1},       {nullptr, 2057, 1},
        };
    for (const Case& c : cases) {
        const char* name = c.code ? c.code : "null";
        EXPECT_EQ(LangCodeToLangId(c.code), c.langId) << name;
        EXPECT_EQ(LangCodeToCharset(c.code), c.charset) << name;
    }
}

TEST(IsRightToLeftCharset, OnlyHebrewAndArabic)
{
    for (int charset = 0; charset < 256; charset++)
        EXPECT_EQ(IsRightToLeftCharset(uint8_t(charset)), charset == 177 || charset == 178) << charset;
}

TEST(AbbrevNameToLangCode, SystemNamesToCodes)
{
    struct Case {
        const char* name;
        const char* code;
        const char* comment;
    };
    const Case cases[] = {
        {"DES", "DEU", "Swiss German: two letters DE"},
        {"DEA", "DEU", "Austrian German"},
        {"deu", "DEU", "letters without regard to case"},
        {"ENU", "ENG", "US English is not listed: the fallback"},
        {"ENG", "ENG", "UK English"},
        {"ZHM", "CHT", "Chinese (Macao)"},
        {"ZHH", "CHT", "Chinese (Hong Kong)"},
        {"ZHI", "CHS", "Chinese (Singapore)"},
        {"HEB", "HEB", "Hebrew maps to itself"},
        {"SRL", "SRB", "Serbian (Latin)"},
        {"SRS", "SRB", "Serbian"},
        {"ESP", "ESN", "Spanish, traditional sort"},
        {"FRC", "FRA", "Canadian French"},
        {"ARE", "ARA", "Arabic (Egypt)"},
        {"HRB", "HRV", "Croatian (Bosnia)"},
        {"ITS", "ITA", "Swiss Italian"},
        {"NLB", "NLD", "Flemish"},
        {"PTB", "PTG", "Brazilian Portuguese"},
        {"SVF", "SVE", "Swedish (Finland)"},
        {"KOR", "KOR", "Korean"},
        {"ITAX", "ENG", "a three-letter entry matches the whole name"},
        {"IT", "ENG", "a name shorter than the entry"},
        {"", "ENG", "a failed lookup leaves the name empty"},
        {nullptr, "ENG", "no name"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(AbbrevNameToLangCode(c.name), c.code) << c.comment;
}

TEST(GetSystemLangCode, TheSystemLocalesCodeKeptAcrossCalls)
{
    const char* code = GetSystemLangCode();
    EXPECT_STREQ(code, LocaleToLangCode(GetSystemLangId()));
    EXPECT_EQ(GetSystemLangCode(), code) << "the same cache every time";
    EXPECT_EQ(strlen(code), 3u);
}

TEST(LocaleToLangCode, KnownLocalesOfTheSystem)
{
    EXPECT_STREQ(LocaleToLangCode(1033), "ENG") << "ENU";
    EXPECT_STREQ(LocaleToLangCode(2055), "DEU") << "DES";
    EXPECT_STREQ(LocaleToLangCode(1042), "KOR");
    EXPECT_STREQ(LocaleToLangCode(3076), "CHT") << "ZHH";
    EXPECT_STREQ(LocaleToLangCode(0xFFFF), "ENG") << "no such locale";
}

TEST(LicenceResourceId, MessageFileNumberPlus100)
{
    struct Case {
        const char* code;
        uint16_t id;
    };
    const Case cases[] = {
        {"ENG", 21100}, {"CHT", 21101}, {"CHS", 21102},   {"JPN", 21103}, {"KOR", 21104},
        {"FRA", 21105}, {"DEU", 21106}, {"ESN", 21107},   {"ITA", 21108}, {"RUS", 21113},
        {"ARA", 21115}, {"SVE", 21130}, {"jpn", 21100},  // byte for byte: case matters
        {"HEB", 21100},                                  // no slot
        {"VIT", 21100}, {"", 21100},    {nullptr, 21100},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LicenceResourceId(c.code), c.id) << (c.code ? c.code : "null");
}

// The catalogue and licence texts over resources held by the test.
class Languages : public MessageFilesTest {
protected:
    static void SetNineFiles()
    {
        const struct {
            uint16_t id;
            const wchar_t* name;
        } files[] = {
            {21000, L"English"}, {21001, L"繁體中文"}, {21002, L"简体中文"},
            {21003, L"日本語"},  {21004, L"한국어"},   {21005, L"Français"},
            {21006, L"Deutsch"}, {21007, L"Español"},  {21013, L"Русский"},
        };
        for (const auto& file : files)
            SetFile(file.id, std::wstring(L"20001\t") + file.name + L"\r\n");
    }
    static std::vector<std::wstring> Items(const TComboBox& combo)
    {
        std::vector<std::wstring> items;
        for (int i = 0; i < combo.ItemCount(); i++)
            items.push_back(combo.ItemText(i));
        return items;
    }
};

TEST_F(Languages, UiCharsetAndFontFollowTheCurrentLanguage)
{
    EXPECT_EQ(GetUiCharset(), 1) << "no catalogue";
    EXPECT_STREQ(GetUiFontName(), "Arial");
    SetNineFiles();
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "JPN"));
    EXPECT_EQ(GetUiCharset(), 128);
    EXPECT_STREQ(GetUiFontName(), "MS UI Gothic");
    ASSERT_TRUE(SelectLanguageByCode("CHT"));
    EXPECT_EQ(GetUiCharset(), 136);
    EXPECT_STREQ(GetUiFontName(), "Arial");
}

TEST_F(Languages, NoLanguageGivesTheDefaultCharsetAndArial)
{
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "JPN"));
    EXPECT_EQ(GetUiCharset(), 1);
    EXPECT_STREQ(GetUiFontName(), "Arial");
}

TEST_F(Languages, TheComboListsTheNineLanguagesInOrder)
{
    SetNineFiles();
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "ENG"));
    TComboBox combo(nullptr);
    combo.AddItem(L"stale", nullptr);
    ASSERT_TRUE(FillLanguageCombo(&combo, 20001));
    EXPECT_EQ(Items(combo),
              (std::vector<std::wstring>{L"English", L"繁體中文", L"简体中文", L"日本語", L"한국어",
                                         L"Français", L"Deutsch", L"Español", L"Русский"}));
    EXPECT_EQ(combo.ItemIndex(), 0) << "English is current";
    EXPECT_EQ(combo.Font()->Charset(), 129) << "Korean decides wherever it stands";
    EXPECT_EQ(combo.ItemObject(4), LanguageList->First()->next->next->next->next);

    // Choosing an item makes its language current.
    combo.SetItemIndex(6);
    ASSERT_TRUE(SelectComboLanguage(&combo));
    EXPECT_STREQ(CurrentLanguageCode(), "DEU");
    ASSERT_TRUE(FillLanguageCombo(&combo, 20001));
    EXPECT_EQ(combo.ItemIndex(), 6) << "the current language is selected again";

    combo.SetItemIndex(-1);
    EXPECT_FALSE(SelectComboLanguage(&combo)) << "nothing selected";
    EXPECT_STREQ(CurrentLanguageCode(), "DEU");
    EXPECT_FALSE(SelectComboLanguage(nullptr));
    EXPECT_FALSE(FillLanguageCombo(nullptr, 20001));
}

TEST_F(Languages, WithoutKoreanTheFirstOwnCharsetDecides)
{
    SetFile(21000, L"20001\tEnglish\r\n");
    SetFile(21005, L"20001\tFrançais\r\n");
    SetFile(21001, L"20001\t繁體中文\r\n");
    SetFile(21013, L"20001\tРусский\r\n");
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "FRA"));
    TComboBox combo(nullptr);
    ASSERT_TRUE(FillLanguageCombo(&combo, 20001));
    EXPECT_EQ(combo.Font()->Charset(), 136) << "Chinese (Traditional) comes before Russian";
    EXPECT_EQ(combo.ItemIndex(), 2) << "French is current";
}

TEST_F(Languages, ATableWithoutItsNameIsListedByTheSystemsNameOrNotAtAll)
{
    SetFile(21000, L"20001\tEnglish\r\n");
    SetFile(21006, L"20002\tJa\r\n");  // German without 20001
    SetFile(21023, L"20002\tDa\r\n");  // Serbian without 20001
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "SRB"));
    std::vector<std::wstring> expected = {L"English"};
    for (const char* code : {"DEU", "SRB"}) {
        // The system's names differ between systems (Wine knows no Serbian locale).
        if (const wchar_t* name = NativeLanguageName(code))
            expected.push_back(name);
    }
    TComboBox combo(nullptr);
    ASSERT_TRUE(FillLanguageCombo(&combo, 20001));
    EXPECT_EQ(Items(combo), expected);
    if (expected.size() < 3)
        EXPECT_EQ(combo.ItemIndex(), 0) << "the current language is not listed: the first item";
}

TEST_F(Languages, AComboWithoutACatalogueIsNotFilled)
{
    TComboBox combo(nullptr);
    EXPECT_FALSE(FillLanguageCombo(&combo, 20001));
    EXPECT_FALSE(SelectComboLanguage(&combo));
}

TEST_F(Languages, LicenceTextOfTheLanguageOrEnglish)
{
    FakeBinRes::Set(21100, Utf16Bytes(L"English licence\r\n"));
    FakeBinRes::Set(21102, Utf16Bytes(L"简体中文许可\r\n"));
    FakeBinRes::Set(21103, Utf16Bytes(L"JP") + "X");  // odd size
    struct Case {
        const char* code;
        const wchar_t* text;  // after the byte-order mark
        const char* comment;
    };
    const Case cases[] = {
        {"KOR", L"English licence\r\n", "Korean has no licence text: English"},
        {"CHS", L"简体中文许可\r\n", "Chinese (Simplified) has its own"},
        {"JPN", L"JP", "an odd size ends at the last whole unit"},
        {nullptr, L"English licence\r\n", "no language"},
    };
    for (const Case& c : cases) {
        wchar_t* text = LoadLicenceTextFrom(FakeBinRes::Source, c.code);
        ASSERT_NE(text, nullptr) << c.comment;
        EXPECT_EQ(text[0], 0xFEFF) << "the mark is kept: " << c.comment;
        EXPECT_EQ(std::wstring(text + 1), c.text) << c.comment;
        free(text);
    }
    FakeBinRes::Clear();
    FakeBinRes::Set(21101, Utf16Bytes(L"x"));
    EXPECT_EQ(LoadLicenceTextFrom(FakeBinRes::Source, "KOR"), nullptr) << "neither text exists";
}

}  // namespace
