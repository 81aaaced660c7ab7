// Languages: the system language, language codes, LANGIDs and charsets, the interface font,
// the language choice box and the licence texts.
#pragma once

#include "foundation/fileutil.h"

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

// ---- Language codes ----------------------------------------------------------------------
// Three upper-case letters ("ENG", "CHT" ...), the letters of the Windows abbreviated
// language names, stored zero-terminated in four bytes.

// The code for a system abbreviated language name ("ENU", "DES" ...), letters compared
// without regard to case; "ENG" for a name the table lacks.
const char* AbbrevNameToLangCode(const char* abbreviatedName);
// The code of a locale, by its abbreviated language name; "ENG" when the system knows none.
const char* LocaleToLangCode(uint16_t langId);
// The code of the system language, worked out on the first call and kept.
const char* GetSystemLangCode();
// The LANGID of a code; the first three letters count, without regard to case; 2057 for a
// null code or one the table lacks.
uint16_t LangCodeToLangId(const char* code);
uint8_t LangCodeToCharset(const char* code);
// Hebrew and Arabic read from right to left.
bool IsRightToLeftCharset(uint8_t charset);

// ---- The user interface's language -------------------------------------------------------

// The charset of the current language; CharsetDefault without a catalogue.
uint8_t GetUiCharset();
// "MS UI Gothic" while Japanese is current, else "Arial".
const char* GetUiFontName();

class TComboBox;  // the class library's TTntComboBox
// Lists every language of the catalogue, by its message nameId or else the system's name
// for it, with its table as the item's object; selects the current one (else the first)
// and sets the box's charset. False without a box or a catalogue.
bool FillLanguageCombo(TComboBox* combo, int nameId);
// Makes the selected item's language current; false without a box, a catalogue or a
// selection.
bool SelectComboLanguage(TComboBox* combo);

// ---- Licence texts -------------------------------------------------------------------------

constexpr uint16_t EnglishLicenceId = 21100;
// The licence resource of a code (its message file's number + 100), codes compared byte for
// byte; EnglishLicenceId for a null code or one without a language slot.
uint16_t LicenceResourceId(const char* code);
// A new zero-terminated copy of the current language's licence text, else the English one,
// byte-order mark included; null when neither exists or memory runs out. The caller frees
// it with free.
wchar_t* LoadLicenceText();
// The same for a given code and resource source.
wchar_t* LoadLicenceTextFrom(BinResSource source, const char* code);
