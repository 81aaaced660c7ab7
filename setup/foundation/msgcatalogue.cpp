// The message catalogue: message files, language tables and lookups.
#include "foundation/msgcatalogue.h"

#include "foundation/fileutil.h"
#include "foundation/langutil.h"
#include "foundation/osinfo.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <new>

clDorqObjectList* LanguageList = nullptr;
clMsgObject* DefaultLanguage = nullptr;
clMsgObject* CurrentLanguage = nullptr;

const LanguageSlot LanguageSlots[LanguageSlotCount] = {
    {"ENG", 21000}, {"CHT", 21001}, {"CHS", 21002}, {"JPN", 21003}, {"KOR", 21004}, {"ITA", 21008},
    {"FRA", 21005}, {"DEU", 21006}, {"ESN", 21007}, {"PTG", 21009}, {"LVI", 21017}, {"ETI", 21018},
    {"HUN", 21019}, {"CSY", 21020}, {"LTH", 21021}, {"HRV", 21022}, {"SRB", 21023}, {"SLV", 21024},
    {"ROM", 21025}, {"PLK", 21011}, {"NLD", 21014}, {"DAN", 21016}, {"SKY", 21026}, {"RUS", 21013},
    {"BGR", 21027}, {"TRK", 21010}, {"THA", 21012}, {"ARA", 21015}, {"UKR", 21028}, {"ELL", 21029},
    {"SVE", 21030},
};

namespace {

MsgAllocFn msgAlloc = malloc;

bool IsLineEnd(wchar_t c)
{
    return c == 0x000D || c == 0x000A || c == 0x001A;
}

// Steps over the zeros at pos to the next run of non-zero units; false at the end.
bool NextRun(const wchar_t* text, size_t units, size_t& pos, size_t& start, size_t& length)
{
    while (pos < units && text[pos] == 0)
        pos++;
    if (pos >= units)
        return false;
    start = pos;
    while (pos < units && text[pos] != 0)
        pos++;
    length = pos - start;
    return true;
}

// The decimal number (optional sign, then digits) at the start of text; false when it does
// not fit an int32, so that no over-long number can wrap onto a real id.
bool ParseId(const wchar_t* text, size_t length, int32_t* id)
{
    size_t i = 0;
    bool negative = false;
    if (i < length && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        i++;
    }
    int64_t value = 0;
    for (; i < length && text[i] >= L'0' && text[i] <= L'9'; i++) {
        value = value * 10 + (text[i] - L'0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1)
            return false;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return false;
    *id = static_cast<int32_t>(value);
    return true;
}

// One run: the id, the first TAB or blank, the text. No separator, a separator first, or an
// id that does not fit define nothing.
MsgEntry ParseLine(const wchar_t* run, size_t length)
{
    MsgEntry entry = {0, nullptr, 0};
    size_t sep = 0;
    while (sep < length && run[sep] != L'\t' && run[sep] != L' ')
        sep++;
    if (sep == 0 || sep == length)
        return entry;
    int32_t id;
    if (!ParseId(run, sep, &id))
        return entry;
    entry.id = id;
    entry.text = run + sep + 1;
    entry.length = static_cast<int32_t>(length - sep - 1);
    return entry;
}

}  // namespace

clMsgObject::~clMsgObject()
{
    free(expansionBuffer);
    free(entries);
    free(fileText);
    expansionBuffer = nullptr;
    entries = nullptr;
    fileText = nullptr;
    expansionSize = 0;
    entryCount = 0;
    fileSize = 0;
}

bool clMsgObject::Load(const void* data, int bytes)
{
    if (bytes < 0 || (bytes > 0 && !data))
        return false;
    const size_t units = static_cast<size_t>(bytes) / 2;
    // One unit more than the data: the last line ends at that zero even without a line end.
    wchar_t* text = static_cast<wchar_t*>(msgAlloc((units + 1) * sizeof(wchar_t)));
    if (!text)
        return false;
    memcpy(text, data, units * sizeof(wchar_t));
    text[units] = 0;
    for (size_t i = 0; i < units; i++) {
        if (IsLineEnd(text[i]))
            text[i] = 0;
    }
    free(fileText);
    free(entries);
    fileText = text;
    fileSize = static_cast<uint32_t>(units * sizeof(wchar_t));
    entries = nullptr;
    entryCount = 0;

    size_t runs = 0, pos = 0, start, length;
    while (NextRun(text, units, pos, start, length))
        runs++;
    if (runs == 0)
        return true;
    entries = static_cast<MsgEntry*>(msgAlloc(runs * sizeof(MsgEntry)));
    if (!entries)
        return false;
    entryCount = static_cast<uint32_t>(runs);
    pos = 0;
    for (size_t n = 0; NextRun(text, units, pos, start, length); n++)
        entries[n] = ParseLine(text + start, length);
    return true;
}

const wchar_t* clMsgObject::Find(int id) const
{
    if (id == 0 || !entries)
        return nullptr;
    for (uint32_t i = 0; i < entryCount; i++) {
        if (entries[i].id == id)
            return entries[i].text;
    }
    return nullptr;
}

const wchar_t* clMsgObject::GetText(int id)
{
    const wchar_t* text = Find(id);
    if (!text || text[0] == 0)
        return nullptr;
    if (!HasEscapes(text))
        return text;
    const size_t units = wcslen(text);
    if (units > (INT_MAX - 512) / 2 || !EnsureBuffer(static_cast<int>(2 * units + 512)))
        return text;
    ExpandEscapes(text, expansionBuffer);
    return expansionBuffer;
}

bool clMsgObject::EnsureBuffer(int bytes)
{
    if (bytes <= 0)
        return false;
    if (expansionBuffer && expansionSize >= bytes) {
        memset(expansionBuffer, 0, expansionSize);
        return true;
    }
    free(expansionBuffer);
    expansionBuffer = nullptr;
    expansionSize = 0;
    void* block = msgAlloc(bytes);
    if (!block)
        return false;
    memset(block, 0, bytes);
    expansionBuffer = static_cast<wchar_t*>(block);
    expansionSize = bytes;
    return true;
}

bool clMsgObject::DefinesAnyMessage() const
{
    for (uint32_t i = 0; i < entryCount; i++) {
        if (entries[i].text)
            return true;
    }
    return false;
}

bool HasEscapes(const wchar_t* text)
{
    if (!text)
        return false;
    for (size_t i = 0; text[i]; i++) {
        if (text[i] == L'\\' || text[i] == L'%') {
            if (text[i + 1] != text[i])
                return true;
            i++;  // a doubled pair is no escape
        }
    }
    return false;
}

int ExpandEscapes(const wchar_t* source, wchar_t* destination)
{
    int written = 0;
    size_t i = 0;
    while (source && source[i]) {
        if (source[i] == L'\\' && source[i + 1] == L'n') {
            destination[written++] = L'\n';
            i += 2;
        } else if (source[i] == L'\\' && source[i + 1] == L'r') {
            destination[written++] = L'\r';
            i += 2;
        } else {
            destination[written++] = source[i++];
        }
    }
    destination[written] = 0;
    return written;
}

clMsgObject* LoadLanguageFileFrom(BinResSource source, int resourceId, const char* code)
{
    if (resourceId <= 0 || resourceId > 0xFFFF || !source || !LanguageList)
        return nullptr;
    uint32_t size = 0;
    const uint8_t* data = static_cast<const uint8_t*>(source(static_cast<uint16_t>(resourceId), &size));
    if (!data || size <= 2 || size > INT_MAX || data[0] != 0xFF || data[1] != 0xFE)
        return nullptr;
    clMsgObject* table = new (std::nothrow) clMsgObject;
    if (!table)
        return nullptr;
    if (!table->Load(data + 2, static_cast<int>(size - 2)) || !table->DefinesAnyMessage()) {
        delete table;
        return nullptr;
    }
    LanguageList->Append(table);
    table->owner = LanguageList;
    for (int i = 0; code && i < 3 && code[i]; i++)
        table->code[i] = code[i];
    return table;
}

clMsgObject* LoadLanguageFile(int resourceId, const char* code)
{
    return LoadLanguageFileFrom(LockBinRes, resourceId, code);
}

bool CreateMsgCatalogueFrom(BinResSource source, const char* systemCode)
{
    if (LanguageList)
        return true;  // built once
    LanguageList = new (std::nothrow) clDorqObjectList;
    if (!LanguageList)
        return false;
    char system[4] = {};
    if (systemCode)
        strncpy(system, systemCode, 3);
    DefaultLanguage = LoadLanguageFileFrom(source, LanguageSlots[0].resourceId, LanguageSlots[0].code);
    for (int slot = 1; slot < LanguageSlotCount; slot++)
        LoadLanguageFileFrom(source, LanguageSlots[slot].resourceId, LanguageSlots[slot].code);
    if (!DefaultLanguage)
        DefaultLanguage = static_cast<clMsgObject*>(LanguageList->First());
    SelectLanguageByCode(system);
    if (!CurrentLanguage)
        CurrentLanguage = DefaultLanguage;
    return true;
}

bool CreateMsgCatalogue()
{
    return CreateMsgCatalogueFrom(LockBinRes, GetSystemLangCode());
}

const wchar_t* MessageText(int id)
{
    if (!LanguageList)
        return nullptr;
    if (CurrentLanguage) {
        if (const wchar_t* text = CurrentLanguage->GetText(id))
            return text;
    }
    if (DefaultLanguage) {
        if (const wchar_t* text = DefaultLanguage->GetText(id))
            return text;
    }
    return nullptr;
}

const char* CurrentLanguageCode()
{
    if (!LanguageList)
        return nullptr;
    clMsgObject* language = CurrentLanguage ? CurrentLanguage : DefaultLanguage;
    return language ? language->code : nullptr;
}

void SetCurrentLanguage(clMsgObject* language)
{
    CurrentLanguage = language;
}

bool SelectLanguageByCode(const char* code)
{
    if (!LanguageList || !code)
        return false;
    for (clDorqObject* node = LanguageList->First(); node; node = node->next) {
        clMsgObject* table = static_cast<clMsgObject*>(node);
        if (strncmp(table->code, code, 3) == 0) {
            SetCurrentLanguage(table);
            return true;
        }
    }
    return false;
}

const wchar_t* NativeLanguageName(const char* code)
{
    static wchar_t name[513];
    memset(name, 0, sizeof(name));
    DynGetLocaleInfoW(LangCodeToLangId(code), LOCALE_SNATIVELANGNAME, name, 512);
    return name[0] ? name : nullptr;
}

bool HasSeveralLanguages()
{
    return LanguageList && LanguageList->Count() > 1;
}

void ResetMsgCatalogue()
{
    delete LanguageList;
    LanguageList = nullptr;
    DefaultLanguage = nullptr;
    CurrentLanguage = nullptr;
}

MsgAllocFn SetMsgAllocator(MsgAllocFn alloc)
{
    MsgAllocFn previous = msgAlloc;
    msgAlloc = alloc ? alloc : malloc;
    return previous;
}
