// Scratch buffers, version texts, message formatting and the letter comparisons.
#include "foundation/strutil.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

std::wstring Repeat(wchar_t c, size_t n)
{
    return std::wstring(n, c);
}

bool AllBytesAre(const void* block, int from, int to, unsigned char value)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    for (int i = from; i < to; i++)
        if (bytes[i] != value)
            return false;
    return true;
}

void* FailingAlloc(size_t)
{
    return nullptr;
}

}  // namespace

TEST(ScratchBuffer, GrowsZeroesAndKeepsItsBlock)
{
    ReleaseScratchBuffer();

    char* first = GetScratchBuffer(2048);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ScratchBufferSize(), 2304);
    EXPECT_TRUE(AllBytesAre(first, 0, 2304, 0)) << "a new block is zeroed whole";
    memset(first, 0xAB, 2304);

    char* smaller = GetScratchBuffer(1024);
    EXPECT_EQ(smaller, first) << "a smaller request reuses the block";
    EXPECT_TRUE(AllBytesAre(smaller, 0, 1024, 0)) << "the requested bytes are zeroed";
    EXPECT_TRUE(AllBytesAre(smaller, 1024, 2304, 0xAB)) << "the rest is left as it was";

    char* larger = GetScratchBuffer(3000);
    ASSERT_NE(larger, nullptr);
    EXPECT_EQ(ScratchBufferSize(), 3072);
    EXPECT_TRUE(AllBytesAre(larger, 0, 3072, 0));
    memset(larger, 0x5A, 3072);

    // Sizes of 0 and below give nothing and leave the block alone.
    for (int size : {0, -1, -100000}) {
        EXPECT_EQ(GetScratchBuffer(size), nullptr) << size;
        EXPECT_EQ(ScratchBufferSize(), 3072) << size;
        EXPECT_TRUE(AllBytesAre(larger, 0, 3072, 0x5A)) << size;
    }
}

TEST(ScratchBuffer, RoundsToTheNextMultipleOf256Above)
{
    struct Case {
        int request;
        int rounded;
    };
    const Case cases[] = {
        {2048, 2304}, {256, 512}, {100, 256}, {3000, 3072},
        {1, 256},     {255, 256}, {257, 512}, {0x7FFFFFFF, 0},  // would overflow: refused
    };
    for (const Case& c : cases)
        EXPECT_EQ(RoundScratchSize(c.request), c.rounded) << c.request;
}

TEST(ScratchBuffer, OutOfMemoryEmptiesTheBufferAndALaterRequestSucceeds)
{
    ASSERT_NE(GetScratchBuffer(100), nullptr);
    ScratchAllocFn previous = SetScratchAllocator(FailingAlloc);
    EXPECT_EQ(GetScratchBuffer(1 << 20), nullptr);
    EXPECT_EQ(ScratchBufferSize(), 0);
    EXPECT_EQ(VersionText(20402), nullptr);
    ReleaseWideScratchBuffer();
    EXPECT_EQ(FormatMsg1(L"%s", L"x"), nullptr);
    SetScratchAllocator(previous);

    char* text = VersionText(20402);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "2.04.02");
    wchar_t* message = FormatMsg1(L"<%s>", L"x");
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, L"<x>");
}

TEST(ScratchBuffer, NarrowAndWideBuffersAreIndependent)
{
    char* version = VersionText(20402);
    ASSERT_NE(version, nullptr);
    wchar_t* message = FormatMsg2(L"%s %s", Repeat(L'a', 900).c_str(), Repeat(L'b', 900).c_str());
    ASSERT_NE(message, nullptr);
    EXPECT_NE(static_cast<void*>(message), static_cast<void*>(version));
    EXPECT_STREQ(version, "2.04.02");
}

TEST(VersionText, FormatsVersionCodes)
{
    struct Case {
        uint32_t code;
        const char* text;
    };
    const Case cases[] = {
        {20402, "2.04.02"},                                       // the product
        {204, "2.04"},                                            // the cache driver
        {103, "1.03"},                                            // the proxy driver
        {0, "0.00"},        {5, "0.05"},        {9999, "99.99"},  // the largest two-part code
        {10000, "1.00.00"},                                       // the smallest three-part code
        {10001, "1.00.01"}, {99999, "9.99.99"}, {4294967295u, "429496.72.95"},
    };
    for (const Case& c : cases) {
        char buffer[VERSION_TEXT_BUFFER];
        memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(FormatVersion(buffer, c.code), int(strlen(c.text))) << c.code;
        EXPECT_STREQ(buffer, c.text) << c.code;
    }
}

TEST(VersionText, UsesTheScratchBuffer)
{
    char* first = VersionText(20402);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "2.04.02");
    char* second = VersionText(204);
    EXPECT_EQ(second, first);
    EXPECT_STREQ(first, "2.04");
}

TEST(FormatMsg, FillsPlaceholders)
{
    struct Case {
        const wchar_t* format;
        const wchar_t* argument1;
        const wchar_t* argument2;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"%s does not support %s.", L"Brimvault", L"Windows 98", L"Brimvault does not support Windows 98."},
        {L"%s setup", L"Brimvault", nullptr, L"Brimvault setup"},
        {L"100%%", nullptr, nullptr, L"100%"},
        {L"%%s is %s", L"x", nullptr, L"%s is x"},
        {L"%s%%%s", L"a", L"b", L"a%b"},
        {L"%s and %s and %s", L"a", L"b", L"a and b and "},  // a placeholder without argument
        {L"[%s]", nullptr, nullptr, L"[]"},                  // a null argument
        {L"%d %i %", L"a", nullptr, L"%d %i %"},             // other sequences stay as they are
        {L"", L"a", L"b", L""},
        {nullptr, L"a", L"b", L""},  // no format at all
    };
    for (const Case& c : cases) {
        wchar_t* result = FormatMsg2(c.format, c.argument1, c.argument2);
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result, c.expected) << (c.format ? c.format : L"(null)");
    }
    EXPECT_STREQ(FormatMsg1(L"%s, %s", L"one"), L"one, ");

    // An earlier result may be handed back in.
    wchar_t* name = FormatMsg1(L"%s 10", L"Windows");
    wchar_t* message = FormatMsg2(L"%s does not support %s.", L"Brimvault", name);
    EXPECT_STREQ(message, L"Brimvault does not support Windows 10.");
    EXPECT_STREQ(FormatMsg1(FormatMsg1(L"[%s]", L"%s"), L"x"), L"[x]");
}

TEST(FormatMsg, CutsLongResultsAndAlwaysTerminates)
{
    // Leave no zero beyond the text area, so a missing terminator would show.
    wchar_t* block = GetWideScratchBuffer(WideScratchBufferSize() > 0 ? WideScratchBufferSize() : 2304);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < WideScratchBufferSize() / 2; i++)
        block[i] = L'Z';

    struct Case {
        const wchar_t* format;
        std::wstring argument;
        size_t length;
    };
    const Case cases[] = {
        {L"%s", Repeat(L'x', 1500), 1024},
        {L"ab%s", Repeat(L'x', 1022), 1024},
        {L"ab%s", Repeat(L'x', 1023), 1024},
        {L"ab%s", Repeat(L'x', 1021), 1023},
    };
    for (const Case& c : cases) {
        wchar_t* result = FormatMsg1(c.format, c.argument.c_str());
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(wcslen(result), c.length) << c.argument.size();
        EXPECT_EQ(result[c.length - 1], L'x');
    }
    std::wstring longFormat = Repeat(L'y', 1500);
    wchar_t* result = FormatMsg1(longFormat.c_str(), L"");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(wcslen(result), 1024u);
}

TEST(FormatMsg, FormatterRespectsItsCapacity)
{
    const wchar_t* arguments[] = {L"abcdef"};
    wchar_t out[8];
    for (int capacity : {1, 2, 5, 8}) {
        wmemset(out, L'#', 8);
        int written = FormatWideArgs(out, capacity, L"%s", arguments, 1);
        EXPECT_EQ(written, capacity - 1 < 6 ? capacity - 1 : 6) << capacity;
        EXPECT_EQ(out[written], 0) << capacity;
        for (int i = capacity; i < 8; i++)
            EXPECT_EQ(out[i], L'#') << "wrote beyond its capacity " << capacity;
    }
    wmemset(out, L'#', 8);
    EXPECT_EQ(FormatWideArgs(out, 0, L"%s", arguments, 1), 0);
    EXPECT_EQ(out[0], L'#');
    EXPECT_EQ(FormatWideArgs(nullptr, 8, L"%s", arguments, 1), 0);
}

TEST(StringCopies, AllocateOnlyForNonEmptyTexts)
{
    EXPECT_EQ(DupString(nullptr), nullptr);
    EXPECT_EQ(DupString(""), nullptr);
    const char* text = "C:\\Program Files\\JyxBrimvault";
    char* copy = DupString(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    free(copy);

    EXPECT_EQ(DupStringW(nullptr), nullptr);
    EXPECT_EQ(DupStringW(L""), nullptr);
    wchar_t* wide = DupStringW(L"Brimvault");
    ASSERT_NE(wide, nullptr);
    EXPECT_STREQ(wide, L"Brimvault");
    free(wide);
}

TEST(LetterComparison, IgnoresCaseOfAsciiLettersOnly)
{
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        int result;
    };
    const Case cases[] = {
        {L"ENG", L"eng", -1},   {L"Tolvarn1", L"tOLVARN1", -1},
        {L"", L"", -1},         {nullptr, L"", -1},
        {nullptr, nullptr, -1}, {L"abc", L"abd", 2},
        {L"ab", L"abc", 2},                       // one text ends first
        {L"abc", nullptr, 0},   {L"[", L"{", 0},  // 0x5B and 0x7B differ by the case bit but are no letters
        {L"@", L"`", 0},        {L"\u00C4", L"\u00E4", 0},  // only ASCII letters fold
        {L"a1", L"A2", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CompareLettersNoCase(c.a, c.b), c.result)
            << (c.a ? c.a : L"(null)") << " / " << (c.b ? c.b : L"(null)");
        EXPECT_EQ(EqualsLettersNoCase(c.a, c.b), c.result == -1);
    }

    for (uint16_t c : {uint16_t('A'), uint16_t('Z'), uint16_t('a'), uint16_t('z'), uint16_t('m')})
        EXPECT_TRUE(IsAsciiLetter(c)) << c;
    for (int c : {0x40, 0x5B, 0x60, 0x7B, 0x30, 0xC4, 0x141, 0})  // @ [ ` { 0 and two non-ASCII letters
        EXPECT_FALSE(IsAsciiLetter(uint16_t(c))) << c;
}

TEST(SmallRoutines, NumbersAndTexts)
{
    struct Division {
        uint64_t value, divisor, result;
    };
    const Division divisions[] = {
        {0, 512, 0}, {1, 512, 1}, {512, 512, 1}, {513, 512, 2}, {~0ull, 1, ~0ull}, {~0ull, 2, 1ull << 63},
        {10, 0, 0},  // no divisor: nothing, rather than a crash
    };
    for (const Division& d : divisions)
        EXPECT_EQ(CeilDiv64(d.value, d.divisor), d.result) << d.value << " / " << d.divisor;

    struct Hex {
        const char* text;
        uint64_t value;
    };
    const Hex hexes[] = {
        {"0", 0},
        {"ff", 0xFF},
        {"DORQ", 0xD},
        {"1A2b3C", 0x1A2B3C},
        {"", 0},
        {nullptr, 0},
        {"g1", 0},
        {"FFFFFFFFFFFFFFFF", ~0ull},
        {"123456789ABCDEF01", 0x23456789ABCDEF01ull},  // the top digit is lost
    };
    for (const Hex& h : hexes)
        EXPECT_EQ(ParseHex64(h.text), h.value) << (h.text ? h.text : "(null)");
    EXPECT_EQ(ParseHex64W(L"7fZ"), 0x7Fu);
    EXPECT_EQ(ParseHex64W(nullptr), 0u);
    for (char c : std::string("/:@G`g "))
        EXPECT_EQ(HexDigitValue(c), -1) << c;

    EXPECT_EQ(SwapBytes16(0x1234), 0x3412);
    EXPECT_EQ(SwapBytes32(0x12345678u), 0x78563412u);
    EXPECT_STREQ(BoolText(true), "true");
    EXPECT_STREQ(BoolTextW(false), L"false");

    EXPECT_STREQ(SkipBlanks(" \t x y"), "x y");
    EXPECT_EQ(SkipBlanks(" \t "), nullptr);
    EXPECT_EQ(SkipBlanks(""), nullptr);
    EXPECT_EQ(SkipBlanks(nullptr), nullptr);
    EXPECT_STREQ(SkipBlanksW(L"\tx"), L"x");
    EXPECT_EQ(SkipBlanksW(L"  "), nullptr);

    char narrow[VERSION_TEXT_BUFFER];
    wchar_t wide[VERSION_TEXT_BUFFER];
    EXPECT_EQ(FormatVersion3(narrow, 204), 7);
    EXPECT_STREQ(narrow, "0.02.04");
    EXPECT_EQ(FormatVersion3W(wide, 20402), 7);
    EXPECT_STREQ(wide, L"2.04.02");
}

TEST(SmallRoutines, ByteTexts)
{
    const uint8_t bytes[] = {0x00, 0x1F, 'A', 0x7F, 0x80, 0xFF, ' '};
    char* dump = HexDump(bytes, 7);
    ASSERT_NE(dump, nullptr);
    EXPECT_STREQ(dump, "00 1F 41 7F 80 FF 20 ");
    free(dump);
    char* copy = PrintableCopy(bytes, 7);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "  A\x7F   ");
    free(copy);
    for (int count : {0, -1}) {
        EXPECT_EQ(HexDump(bytes, count), nullptr);
        EXPECT_EQ(PrintableCopy(bytes, count), nullptr);
    }
    EXPECT_EQ(HexDump(nullptr, 4), nullptr);
    EXPECT_EQ(PrintableCopy(nullptr, 4), nullptr);
}

TEST(SmallRoutines, MultiStrings)
{
    auto text = [](const char* list, int length) { return std::string(list ? list : "", list ? length : 0); };
    struct Case {
        const char* what;
        std::string list;  // empty: no list
        const char* name;
        bool ok;
        std::string added;  // empty: nothing new
        int addedLength;
    };
    const Case adds[] = {
        {"no list", "", "Tolvarn", true, std::string("Tolvarn\0\0", 9), 9},
        {"in front", std::string("a\0b\0\0", 5), "n", true, std::string("n\0a\0b\0\0", 7), 7},
        {"already there in another case", std::string("a\0TOL\0\0", 7), "tol", true, "", 0},
        {"no name", std::string("a\0\0", 3), nullptr, false, "", 0},
        {"an empty name would end the list", std::string("a\0\0", 3), "", false, "", 0},
    };
    for (const Case& c : adds) {
        char* result = reinterpret_cast<char*>(1);
        int length = -5;
        EXPECT_EQ(MultiSzAdd(c.list.empty() ? nullptr : c.list.data(), int(c.list.size()), c.name, &result,
                             &length),
                  c.ok)
            << c.what;
        EXPECT_EQ(text(result, length), c.added) << c.what;
        EXPECT_EQ(length, c.addedLength) << c.what;
        free(result);
    }

    const Case removes[] = {
        {"the middle entry", std::string("a\0bb\0c\0\0", 8), "BB", true, std::string("a\0c\0\0", 5), 5},
        {"not there", std::string("a\0\0", 3), "b", true, "", 0},
        {"after the closing entry", std::string("a\0\0b\0\0", 6), "b", true, "", 0},
        {"the only entry", std::string("a\0\0", 3), "a", true, "", 1},
        {"an unterminated last entry", std::string("a\0bc", 4), "bc", true, std::string("a\0", 2), 2},
        {"no list", "", "a", true, "", 0},
        {"no name", std::string("a\0\0", 3), nullptr, false, "", 0},
    };
    for (const Case& c : removes) {
        char* result = reinterpret_cast<char*>(1);
        int length = -5;
        EXPECT_EQ(MultiSzRemove(c.list.empty() ? nullptr : c.list.data(), int(c.list.size()), c.name, &result,
                                &length),
                  c.ok)
            << c.what;
        EXPECT_EQ(text(result, length), c.added) << c.what;
        EXPECT_EQ(length, c.addedLength) << c.what;
        free(result);
    }

    const wchar_t list[] = L"ENG\0deu\0eng\0\0fra\0";
    int total = -1;
    EXPECT_EQ(WideMultiSzFindLast(list, L"Eng", &total), 8);
    EXPECT_EQ(total, 12);
    EXPECT_EQ(WideMultiSzFindLast(list, L"fra", &total), -1) << "entries after the closing one are not seen";
    EXPECT_EQ(WideMultiSzFindLast(list, L"DEU", nullptr), 4);
    EXPECT_EQ(WideMultiSzFindLast(nullptr, L"a", &total), -1);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(WideMultiSzFindLast(list, nullptr, nullptr), -1);
}
