// Languages: the system language, language codes, LANGIDs and charsets, the interface font,
// the language choice box and the licence texts.
#include "foundation/langutil.h"

#include "classlib/combobox.h"
#include "foundation/msgcatalogue.h"

#include <windows.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

namespace {

uint16_t SystemLangId = 0;    // 0 until read
char SystemLangCode[4] = {};  // empty until worked out

struct CodeLangId {
    const char* code;
    uint16_t langId;
};

const CodeLangId LangIdsByCode[] = {
    {"ENG", 1033}, {"CHT", 1028}, {"CHS", 2052}, {"JPN", 1041}, {"KOR", 1042}, {"DEU", 1031}, {"ESN", 3082},
    {"FRA", 1036}, {"ITA", 1040}, {"PTG", 2070}, {"TRK", 1055}, {"THA", 1054}, {"PLK", 1045}, {"RUS", 1049},
    {"NLD", 1043}, {"DAN", 1030}, {"ARA", 1025}, {"LVI", 1062}, {"ETI", 1061}, {"HUN", 1038}, {"CSY", 1029},
    {"LTH", 1063}, {"HRV", 1050}, {"SRB", 3098}, {"SLV", 1060}, {"ROM", 1048}, {"SKY", 1051}, {"BGR", 1026},
    {"UKR", 1058}, {"ELL", 1032}, {"SVE", 1053}, {"HEB", 1037}, {"VIT", 1066},
};
const uint16_t OtherLangId = 2057;  // English (United Kingdom)

// System abbreviated names to codes, in the order they are tried. A two-letter name
// matches the first two letters; the others the whole name.
struct AbbrevCode {
    const char* name;
    const char* code;
};

const AbbrevCode CodesByAbbrevName[] = {
    {"AR", "ARA"},  {"BGR", "BGR"}, {"CHT", "CHT"}, {"CHS", "CHS"}, {"CSY", "CSY"}, {"DAN", "DAN"},
    {"DE", "DEU"},  {"ELL", "ELL"}, {"ENG", "ENG"}, {"ES", "ESN"},  {"ETI", "ETI"}, {"FR", "FRA"},
    {"HEB", "HEB"}, {"HRB", "HRV"}, {"HRV", "HRV"}, {"HUN", "HUN"}, {"ITA", "ITA"}, {"ITS", "ITA"},
    {"JPN", "JPN"}, {"KOR", "KOR"}, {"LTH", "LTH"}, {"LVI", "LVI"}, {"NLB", "NLD"}, {"NLD", "NLD"},
    {"PLK", "PLK"}, {"PTB", "PTG"}, {"PTG", "PTG"}, {"RUS", "RUS"}, {"ROM", "ROM"}, {"SKY", "SKY"},
    {"SLV", "SLV"}, {"SRB", "SRB"}, {"SRL", "SRB"}, {"SRN", "SRB"}, {"SRS", "SRB"}, {"SVE", "SVE"},
    {"SVF", "SVE"}, {"THA", "THA"}, {"TRK", "TRK"}, {"UKR", "UKR"}, {"VIT", "VIT"}, {"ZHH", "CHT"},
    {"ZHI", "CHS"}, {"ZHM", "CHT"},
};
const char FallbackCode[] = "ENG";

char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The first count letters of text equal those of upper (upper case), without regard to
// case; a text that ends sooner differs.
bool StartsWithNoCase(const char* text, const char* upper, int count)
{
    for (int i = 0; i < count; i++) {
        if (!text[i] || UpperAscii(text[i]) != upper[i])
            return false;
    }
    return true;
}

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
    default:  // Hungarian (1038) among them
        return CharsetDefault;
    }
}

const char* AbbrevNameToLangCode(const char* abbreviatedName)
{
    if (!abbreviatedName)
        return FallbackCode;
    for (const AbbrevCode& entry : CodesByAbbrevName) {
        const int length = static_cast<int>(strlen(entry.name));
        if (StartsWithNoCase(abbreviatedName, entry.name, length) &&
            (length == 2 || abbreviatedName[length] == 0))
            return entry.code;
    }
    return FallbackCode;
}

const char* LocaleToLangCode(uint16_t langId)
{
    char name[4] = {};
    GetLocaleInfoA(langId, LOCALE_SABBREVLANGNAME, name, sizeof(name));
    name[3] = 0;
    return AbbrevNameToLangCode(name);
}

const char* GetSystemLangCode()
{
    if (SystemLangCode[0] == 0)
        strncpy(SystemLangCode, LocaleToLangCode(GetSystemLangId()), 3);
    return SystemLangCode;
}

uint16_t LangCodeToLangId(const char* code)
{
    if (!code)
        return OtherLangId;
    for (const CodeLangId& entry : LangIdsByCode) {
        if (StartsWithNoCase(code, entry.code, 3))
            return entry.langId;
    }
    return OtherLangId;
}

uint8_t LangCodeToCharset(const char* code)
{
    return LangIdToCharset(LangCodeToLangId(code));
}

bool IsRightToLeftCharset(uint8_t charset)
{
    return charset == CharsetHebrew || charset == CharsetArabic;
}

uint8_t GetUiCharset()
{
    const char* code = CurrentLanguageCode();
    return code ? LangCodeToCharset(code) : CharsetDefault;
}

const char* GetUiFontName()
{
    return LangCodeToLangId(CurrentLanguageCode()) == 1041 ? "MS UI Gothic" : "Arial";
}

bool FillLanguageCombo(TComboBox* combo, int nameId)
{
    if (!combo || !LanguageList)
        return false;
    uint8_t charset = CharsetDefault;
    combo->ClearItems();
    for (clDorqObject* node = LanguageList->First(); node; node = node->next) {
        clMsgObject* table = static_cast<clMsgObject*>(node);
        const wchar_t* name = table->GetText(nameId);
        if (!name)
            name = NativeLanguageName(table->code);
        if (!name)
            continue;
        combo->AddItem(name, table);
        if (table == CurrentLanguage)
            combo->SetItemIndex(combo->ItemCount() - 1);
        // Korean wins wherever it stands; otherwise the first language that needs a
        // charset of its own.
        if (StartsWithNoCase(table->code, "KOR", 3))
            charset = CharsetHangul;
        else if (charset == CharsetDefault)
            charset = LangCodeToCharset(table->code);
    }
    combo->Font()->SetCharset(charset);
    if (combo->ItemIndex() == -1)
        combo->SetItemIndex(0);
    return true;
}

bool SelectComboLanguage(TComboBox* combo)
{
    if (!LanguageList || !combo)
        return false;
    const int index = combo->ItemIndex();
    if (index < 0 || index >= combo->ItemCount())
        return false;
    SetCurrentLanguage(static_cast<clMsgObject*>(combo->ItemObject(index)));
    return true;
}

uint16_t LicenceResourceId(const char* code)
{
    if (!code)
        return EnglishLicenceId;
    for (const LanguageSlot& slot : LanguageSlots) {
        if (strncmp(slot.code, code, 3) == 0)
            return static_cast<uint16_t>(slot.resourceId + 100);
    }
    return EnglishLicenceId;
}

wchar_t* LoadLicenceTextFrom(BinResSource source, const char* code)
{
    if (!source)
        return nullptr;
    uint32_t size = 0;
    const void* data = source(LicenceResourceId(code), &size);
    if (!data)
        data = source(EnglishLicenceId, &size);
    if (!data || size > INT_MAX - 2)
        return nullptr;
    char* copy = static_cast<char*>(malloc(size + 2));
    if (!copy)
        return nullptr;
    memcpy(copy, data, size);
    const uint32_t end = size & ~1u;  // a trailing odd byte is dropped
    copy[end] = 0;
    copy[end + 1] = 0;
    return reinterpret_cast<wchar_t*>(copy);
}

wchar_t* LoadLicenceText()
{
    return LoadLicenceTextFrom(LockBinRes, CurrentLanguageCode());
}
