// The system language and the font character sets of languages.
#include "foundation/langutil.h"

#include <windows.h>

#include <gtest/gtest.h>

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

}  // namespace
