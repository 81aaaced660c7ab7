// The system's language and the font character sets of languages.
#pragma once

#include <stdint.h>

// Font character sets as the class library's fonts take them.
enum : uint8_t {
    CharsetDefault = 1,
    CharsetShiftJis = 128,
    CharsetHangul = 129,
    CharsetGb2312 = 134,
    CharsetChineseBig5 = 136,
    CharsetGreek = 161,
    CharsetTurkish = 162,
    CharsetVietnamese = 163,
    CharsetHebrew = 177,
    CharsetArabic = 178,
    CharsetBaltic = 186,
    CharsetRussian = 204,
    CharsetThai = 222,
    CharsetEastEurope = 238,
};

// The LANGID of the system default locale, read on the first call and kept.
uint16_t GetSystemLangId();

// The font character set for a LANGID; CharsetDefault for any language not
// known to need another one.
uint8_t LangIdToCharset(uint16_t langId);
