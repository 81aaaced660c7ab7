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

} // namespace

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
        {2048, 2304}, {256, 512}, {100, 256}, {3000, 3072}, {1, 256}, {255, 256}, {257, 512},
        {0x7FFFFFFF, 0},    // would overflow: refused
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
        {20402, "2.04.02"},  // the product
        {204, "2.04"},       // the cache driver
        {103, "1.03"},       // the proxy driver
        {0, "0.00"},
        {5, "0.05"},
        {9999, "99.99"},     // the largest two-part code
        {10000, "1.00.00"},  // the smallest three-part code
        {10001, "1.00.01"},
        {99999, "9.99.99"},
        {4294967295u, "429496.72.95"},
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
        {nullptr, L"a", L"b", L""},                          // no format at all
    };
    for (const Case& c : cases) {
        wchar_t* result = FormatMsg2(c.format, c.argument1, c.argument2);
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result, c.expected) << (c.format ? c.format : L"(null)");
    }
    EXPECT_STREQ(FormatMsg1(L"%s, %s", L"one"), L"one, ");
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
        {L"ENG", L"eng", -1},
        {L"Tolvarn1", L"tOLVARN1", -1},
        {L"", L"", -1},
        {nullptr, L"", -1},
        {nullptr, nullptr, -1},
        {L"abc", L"abd", 2},
        {L"ab", L"abc", 2},       // one text ends first
        {L"abc", nullptr, 0},
        {L"[", L"{", 0},          // 0x5B and 0x7B differ by the case bit but are no letters
        {L"@", L"`", 0},
        {L"\u00C4", L"\u00E4", 0}, // only ASCII letters fold
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
