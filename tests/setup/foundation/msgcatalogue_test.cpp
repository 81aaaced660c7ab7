// The message catalogue: the message file parser, escapes, malformed files, the catalogue's
// language choice and lookups with their fallback.
#include "foundation/msgcatalogue.h"
#include "foundation/msgids.h"

#include "fakebinres.h"
#include "messagefilestest.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

namespace {

// Loads a table from a message file body (the part after the byte-order mark) placed right
// before an inaccessible page.
bool LoadBody(clMsgObject& table, const std::wstring& body)
{
    const std::string bytes = Utf16Bytes(body, false);
    GuardedBytes guarded(bytes);
    return table.Load(guarded.data(), static_cast<int>(bytes.size()));
}

bool InExpansionBuffer(const clMsgObject& table, const wchar_t* text)
{
    const char* p = reinterpret_cast<const char*>(text);
    const char* buffer = reinterpret_cast<const char*>(table.expansionBuffer);
    return buffer && p >= buffer && p < buffer + table.expansionSize;
}

std::wstring Text(const wchar_t* text)
{
    return text ? std::wstring(text) : std::wstring(L"(null)");
}

TEST(MsgParser, TextsOfLinesAndEscapes)
{
    struct Case {
        const wchar_t* body;
        int id;
        const wchar_t* expected;  // null: no text
        bool expanded;            // comes from the expansion buffer
        const char* comment;
    };
    const Case cases[] = {
        {L"20001\tEnglish\r\n20002 Yes\r\n", 20001, L"English", false, "a TAB separates"},
        {L"20001\tEnglish\r\n20002 Yes\r\n", 20002, L"Yes", false, "a blank separates"},
        {L"20034\tLicensing Agreement of %s \r\n", 20034, L"Licensing Agreement of %s ", true,
         "a placeholder is copied out, its trailing blank kept"},
        {L"7\ta\tb  \r\n", 7, L"a\tb  ", false, "later tabs and trailing blanks belong to the text"},
        {L"20005\t\r\n", 20005, nullptr, false, "an empty text counts as missing"},
        {L"20002\tFirst\r\n20002\tSecond\r\n", 20002, L"First", false, "the first of two lines wins"},
        {L"7\tone\\ntwo\r\n", 7, L"one\ntwo", true, "\\n becomes LF"},
        {L"7\tone\\rtwo", 7, L"one\rtwo", true, "\\r becomes CR; a last line without a line end"},
        {L"7\ta\\\\b\r\n", 7, L"a\\\\b", false, "a doubled backslash alone is stored text"},
        {L"7\t100%% sure\r\n", 7, L"100%% sure", false, "a doubled percent alone is stored text"},
        {L"7\tends in \\\r\n", 7, L"ends in \\", true, "a lone backslash at the end stays last"},
        {L"7\t%\r\n", 7, L"%", true, "a lone percent sign at the end"},
        {L"7\tx\\n\\\\n\r\n", 7, L"x\n\\\n", true,
         "once a text is expanded, the second backslash of \\\\n and its n become an LF"},
        {L"1\tA\n2\tB\n", 2, L"B", false, "LF-only lines"},
        {L"1\tA\r2\tB\r", 2, L"B", false, "CR-only lines"},
        {L"1\tA\x1A"
         L"2\tB\x1A",
         2, L"B", false, "U+001A ends a line"},
        {L"\r\n\r\n1\tA\r\n\r\n\r\n2\tB\r\n\r\n", 2, L"B", false, "empty lines are skipped"},
        {L"+8\tplus\r\n", 8, L"plus", false, "a sign before the digits"},
        {L"-8\tminus\r\n", -8, L"minus", false, "a negative id"},
        {L"20001abc\tX\r\n", 20001, L"X", false, "the id ends at the first non-digit"},
        {L"4294987297\tWrapped\r\n", 20001, nullptr, false, "an id beyond 32 bits defines nothing"},
        {L"2147483648\tBig\r\n", -2147483647 - 1, nullptr, false, "nor wraps to the smallest id"},
        {L"2147483647\tLargest\r\n", 2147483647, L"Largest", false, "the largest id"},
        {L"0\tZero\r\n", 0, nullptr, false, "id 0 is never found"},
        {L"A\tNone\r\n", 0, nullptr, false, "an id without digits is 0"},
    };
    for (const Case& c : cases) {
        clMsgObject table;
        ASSERT_TRUE(LoadBody(table, c.body)) << c.comment;
        const wchar_t* text = table.GetText(c.id);
        EXPECT_EQ(Text(text), Text(c.expected)) << c.comment;
        if (text)
            EXPECT_EQ(InExpansionBuffer(table, text), c.expanded) << c.comment;
    }
}

TEST(MsgParser, LinesWithoutSeparatorOrWithItFirstDefineNothing)
{
    clMsgObject table;
    ASSERT_TRUE(LoadBody(table, L"Letters\r\n\t20001 tab first\r\n20003\t\r\n20004\tOK"));
    ASSERT_EQ(table.entryCount, 4u);
    EXPECT_EQ(table.entries[0].id, 0);
    EXPECT_EQ(table.entries[0].text, nullptr);
    EXPECT_EQ(table.entries[1].id, 0);
    EXPECT_EQ(table.entries[1].text, nullptr);
    EXPECT_EQ(table.entries[2].id, 20003);
    EXPECT_EQ(Text(table.entries[2].text), L"") << "the separator last: an empty text";
    EXPECT_EQ(table.entries[3].id, 20004);
    EXPECT_EQ(Text(table.entries[3].text), L"OK");
    EXPECT_EQ(table.entries[3].length, 2);
    EXPECT_EQ(table.GetText(20001), nullptr);
    EXPECT_TRUE(table.DefinesAnyMessage());
}

TEST(MsgParser, AnOddByteIsIgnoredAndTheLastLineIsTerminated)
{
    // The data ends right before an inaccessible page: any read past it faults.
    std::string bytes = Utf16Bytes(L"20001\tLast", false) + "Z";
    GuardedBytes guarded(bytes);
    clMsgObject table;
    ASSERT_TRUE(table.Load(guarded.data(), static_cast<int>(bytes.size())));
    EXPECT_EQ(Text(table.GetText(20001)), L"Last");
    EXPECT_EQ(table.entries[0].length, 4);
}

TEST(MsgParser, ExpansionReusesOneBufferPerLanguage)
{
    clMsgObject table;
    ASSERT_TRUE(LoadBody(table, L"1\t%s one\r\n2\t%s two\r\n"));
    const wchar_t* first = table.GetText(1);
    EXPECT_EQ(Text(first), L"%s one");
    EXPECT_EQ(table.expansionSize, 2 * 6 + 512);
    const wchar_t* second = table.GetText(2);
    EXPECT_EQ(second, first) << "the same buffer";
    EXPECT_EQ(Text(first), L"%s two") << "the second expansion overwrote the first";

    // The buffer only grows, and is zeroed each time it is handed out.
    EXPECT_TRUE(table.EnsureBuffer(100));
    EXPECT_EQ(table.expansionSize, 524);
    EXPECT_EQ(table.expansionBuffer[0], 0);
    EXPECT_TRUE(table.EnsureBuffer(2000));
    EXPECT_EQ(table.expansionSize, 2000);
}

TEST(MsgParser, HasEscapesSkipsDoubledPairs)
{
    struct Case {
        const wchar_t* text;
        bool escapes;
    };
    const Case cases[] = {
        {L"plain", false}, {L"a\\\\b", false}, {L"a%%b", false}, {L"\\\\%%", false},
        {L"a\\nb", true},  {L"%s", true},      {L"end\\", true}, {L"end%", true},
        {L"\\\\\\", true}, {L"%%%", true},     {L"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HasEscapes(c.text), c.escapes) << "case " << (&c - cases);
    EXPECT_FALSE(HasEscapes(nullptr));
}

// An allocator that fails its call number failAt (1-based) and passes the others to malloc.
int allocCalls = 0;
int failAt = 0;
void* CountingAlloc(size_t bytes)
{
    return ++allocCalls == failAt ? nullptr : malloc(bytes);
}

TEST(MsgParser, OutOfMemory)
{
    MsgAllocFn previous = SetMsgAllocator(CountingAlloc);
    for (int call : {1, 2}) {  // the file copy, the entry array
        allocCalls = 0;
        failAt = call;
        clMsgObject table;
        EXPECT_FALSE(LoadBody(table, L"1\tA\r\n")) << "allocation " << call;
    }
    allocCalls = 0;
    failAt = 3;  // the expansion buffer: the text comes unexpanded
    clMsgObject table;
    ASSERT_TRUE(LoadBody(table, L"1\tone\\ntwo %s\r\n"));
    EXPECT_EQ(Text(table.GetText(1)), L"one\\ntwo %s");
    EXPECT_EQ(table.expansionSize, 0);
    EXPECT_EQ(Text(table.GetText(1)), L"one\ntwo %s") << "the next lookup tries again";
    SetMsgAllocator(previous);
}

// The catalogue over message files held by the test.
class Catalogue : public MessageFilesTest {
protected:
    // The nine files the program carries, each naming itself and with its own 20002.
    static void SetNineFiles()
    {
        const struct {
            uint16_t id;
            const wchar_t* body;
        } files[] = {
            {21000, L"20001\tEnglish\r\n20002\tYes\r\n20005\tCancel\r\n"},
            {21001, L"20001\t繁體中文\r\n20002\t是\r\n"},
            {21002, L"20001\t简体中文\r\n20002\t是\r\n"},
            {21003, L"20001\t日本語\r\n20002\tはい\r\n"},
            {21004, L"20001\t한국어\r\n20002\t예\r\n20005\t\r\n"},
            {21005, L"20001\tFrançais\r\n20002\tOui\r\n"},
            {21006, L"20001\tDeutsch\r\n20002\tJa\r\n"},
            {21007, L"20001\tEspañol\r\n20002\tSí\r\n"},
            {21013, L"20001\tРусский\r\n20002\tДа\r\n"},
        };
        for (const auto& file : files)
            SetFile(file.id, file.body);
    }
    static std::vector<std::string> LoadedCodes()
    {
        std::vector<std::string> codes;
        for (clDorqObject* node = LanguageList->First(); node; node = node->next)
            codes.push_back(static_cast<clMsgObject*>(node)->code);
        return codes;
    }
};

TEST_F(Catalogue, TheSystemLanguageIsCurrentWhenItHasAFile)
{
    struct Case {
        const char* systemCode;
        const char* current;
        const char* comment;
    };
    const Case cases[] = {
        {"KOR", "KOR", "Korean has a file"},           {"RUS", "RUS", "the last slot loaded"},
        {"ITA", "ENG", "Italian has none: English"},   {"HEB", "ENG", "Hebrew has no slot at all"},
        {"kor", "ENG", "codes match with their case"}, {"", "ENG", "no system code"},
        {nullptr, "ENG", "a null system code"},
    };
    for (const Case& c : cases) {
        ResetMsgCatalogue();
        SetNineFiles();
        ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, c.systemCode)) << c.comment;
        EXPECT_STREQ(CurrentLanguageCode(), c.current) << c.comment;
        EXPECT_STREQ(DefaultLanguage->code, "ENG") << c.comment;
    }
}

TEST_F(Catalogue, TablesAreListedInSlotOrder)
{
    SetNineFiles();
    SetFile(21008, L"20001\tItaliano\r\n");  // slot 6, between Korean and French
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "ENG"));
    EXPECT_EQ(LoadedCodes(), (std::vector<std::string>{"ENG", "CHT", "CHS", "JPN", "KOR", "ITA", "FRA", "DEU",
                                                       "ESN", "RUS"}));
    EXPECT_TRUE(HasSeveralLanguages());
    for (clDorqObject* node = LanguageList->First(); node; node = node->next)
        EXPECT_EQ(node->owner, LanguageList);
}

TEST_F(Catalogue, LookupFallsBackToTheDefaultLanguage)
{
    SetNineFiles();
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "KOR"));
    EXPECT_EQ(Text(MessageText(20002)), L"예");
    EXPECT_EQ(Text(MessageText(20005)), L"Cancel") << "Korean's empty 20005 falls back to English";
    EXPECT_EQ(MessageText(20003), nullptr) << "in no language";
    EXPECT_EQ(MessageText(0), nullptr);
}

TEST_F(Catalogue, WithoutEnglishTheFirstTableLoadedIsTheDefault)
{
    SetFile(21006, L"20001\tDeutsch\r\n20002\tJa\r\n");
    SetFile(21003, L"20001\t日本語\r\n20003\tいいえ\r\n");
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "DEU"));
    EXPECT_STREQ(DefaultLanguage->code, "JPN");
    EXPECT_STREQ(CurrentLanguageCode(), "DEU");
    EXPECT_EQ(Text(MessageText(20003)), L"いいえ");
}

TEST_F(Catalogue, WithoutAnyFileEveryLookupIsNull)
{
    EXPECT_EQ(CurrentLanguageCode(), nullptr) << "before the catalogue exists";
    EXPECT_EQ(MessageText(20001), nullptr);
    EXPECT_FALSE(HasSeveralLanguages());
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "ENG"));
    EXPECT_EQ(LanguageList->Count(), 0);
    EXPECT_EQ(MessageText(20001), nullptr);
    EXPECT_EQ(CurrentLanguageCode(), nullptr);
    EXPECT_FALSE(HasSeveralLanguages());
    EXPECT_FALSE(SelectLanguageByCode("ENG"));
}

TEST_F(Catalogue, SelectLanguageByCodeMatchesThreeBytesExactly)
{
    SetNineFiles();
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "ENG"));
    struct Case {
        const char* code;
        bool selected;
        const char* current;
    };
    const Case cases[] = {
        {"KOR", true, "KOR"}, {"kor", false, "KOR"}, {"JPNX", true, "JPN"},   {"XYZ", false, "JPN"},
        {"JP", false, "JPN"}, {"", false, "JPN"},    {nullptr, false, "JPN"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SelectLanguageByCode(c.code), c.selected) << (c.code ? c.code : "null");
        EXPECT_STREQ(CurrentLanguageCode(), c.current) << (c.code ? c.code : "null");
    }
}

TEST_F(Catalogue, OneLanguageIsNotSeveral)
{
    SetFile(21000, L"20001\tEnglish\r\n");
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "ENG"));
    EXPECT_FALSE(HasSeveralLanguages());
}

TEST_F(Catalogue, AFileThatRunsOutOfMemoryIsDroppedAndLoadingGoesOn)
{
    SetNineFiles();
    MsgAllocFn previous = SetMsgAllocator(CountingAlloc);
    allocCalls = 0;
    failAt = 1;  // the English file copy
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "ENG"));
    SetMsgAllocator(previous);
    EXPECT_EQ(LanguageList->Count(), 8);
    EXPECT_STREQ(DefaultLanguage->code, "CHT");
    EXPECT_STREQ(CurrentLanguageCode(), "CHT");
}

TEST_F(Catalogue, MalformedFilesAreReadSafelyOrRefused)
{
    std::wstring longLine = L"20002\t%s";
    longLine.append(100000, L'y');
    struct Case {
        std::string bytes;
        bool loaded;
        const wchar_t* text20001;  // expected text of 20001 when loaded
        const char* comment;
    };
    const Case cases[] = {
        {"", false, nullptr, "empty"},
        {"\xFF", false, nullptr, "one byte"},
        {"\xFF\xFE", false, nullptr, "the mark alone"},
        {"\xFF\xFE"
         "A",
         false, nullptr, "the mark and an odd byte: no unit"},
        {Utf16Bytes(L"20001\tEnglish", false), false, nullptr, "no byte-order mark"},
        {"\xFE\xFF" + Utf16Bytes(L"20001\tEnglish", false), false, nullptr, "a big-endian mark"},
        {Utf16Bytes(L"\r\n\r\n\n\r\x1A"), false, nullptr, "only line ends"},
        {Utf16Bytes(L"Hello\r\nWorld\r\n\tx\r\n"), false, nullptr, "no line defines an id"},
        {Utf16Bytes(L"20001\tEnglish") + "Q", true, L"English", "an odd size, no last line end"},
        {Utf16Bytes(L"99999999999999999999\tX\r\n20001\tOne"), true, L"One", "an id out of range"},
        {Utf16Bytes(std::wstring(L"20001\tA") + L'\0' + L"B\r\n"), true, L"A",
         "a zero unit ends the line too"},
        {Utf16Bytes(longLine + L"\r\n20001\tAfter"), true, L"After", "an over-long line"},
        {Utf16Bytes(L"20001\t\\"), true, L"\\", "a lone backslash at the very end"},
    };
    for (const Case& c : cases) {
        ResetMsgCatalogue();
        FakeBinRes::Clear();
        ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "ENG"));
        FakeBinRes::Set(21000, c.bytes);
        clMsgObject* table = LoadLanguageFileFrom(FakeBinRes::Source, 21000, "ENG");
        EXPECT_EQ(table != nullptr, c.loaded) << c.comment;
        EXPECT_EQ(LanguageList->Count(), c.loaded ? 1 : 0) << c.comment;
        if (table)
            EXPECT_EQ(Text(table->GetText(20001)), Text(c.text20001)) << c.comment;
    }
    ResetMsgCatalogue();
    FakeBinRes::Clear();
    FakeBinRes::Set(21000, Utf16Bytes(longLine));
    ASSERT_TRUE(CreateMsgCatalogueFrom(FakeBinRes::Source, "ENG"));
    EXPECT_EQ(std::wstring(MessageText(20002)).size(), 100002u) << "the long text expanded whole";
    EXPECT_EQ(LoadLanguageFileFrom(FakeBinRes::Source, 0, "ENG"), nullptr) << "resource 0";
    EXPECT_EQ(LoadLanguageFileFrom(FakeBinRes::Source, 21001, "CHT"), nullptr) << "missing";
}

TEST_F(Catalogue, NativeLanguageNamesComeFromTheSystem)
{
    // The system's names differ between Windows and Wine, so only their presence is checked.
    EXPECT_NE(NativeLanguageName("ENG"), nullptr);
    EXPECT_NE(NativeLanguageName("KOR"), nullptr);
}

}  // namespace
