// The system's language and the font character sets of languages.
#include "foundation/langutil.h"

#include <windows.h>

namespace {

uint16_t SystemLangId = 0;  // 0 until read

}  // namespace

uint16_t GetSystemLangId()
{
    if (SystemLangId == 0)
        SystemLangId = static_cast<uint16_t>(GetSystemDefaultLCID() & 0xFFFF);
    return SystemLangId;
}

uint8_t LangIdToCharset(uint16_t langId)
{
    switch (langId) {
    case 1025:  // Arabic
        return CharsetArabic;
    case 1026:  // Bulgarian (Cyrillic, yet East European here)
    case 1029:  // Czech
    case 1045:  // Polish
    case 1048:  // Romanian
    case 1050:  // Croatian
    case 1051:  // Slovak
    case 1058:  // Ukrainian (Cyrillic, yet East European here)
    case 1060:  // Slovenian
    case 3098:  // Serbian (Cyrillic)
        return CharsetEastEurope;
    case 1028:  // Chinese (Traditional)
        return CharsetChineseBig5;
    case 1032:  // Greek
        return CharsetGreek;
    case 1037:  // Hebrew
        return CharsetHebrew;
    case 1041:  // Japanese
        return CharsetShiftJis;
    case 1042:  // Korean
        return CharsetHangul;
    case 1049:  // Russian
        return CharsetRussian;
    case 1054:  // Thai
        return CharsetThai;
    case 1055:  // Turkish
        return CharsetTurkish;
    case 1061:  // Estonian
    case 1062:  // Latvian
    case 1063:  // Lithuanian
        return CharsetBaltic;
    case 1066:  // Vietnamese
        return CharsetVietnamese;
    case 2052:  // Chinese (Simplified)
        return CharsetGb2312;
    default:    // Hungarian (1038) among them
        return CharsetDefault;
    }
}
