// Shared scratch buffers, version texts, message formatting and small string routines.
#include "foundation/strutil.h"

#include "foundation/filterlistutil.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

namespace {

// One growing block; freed only to make room for a larger one.
struct ScratchBuffer {
    void* block;
    int size;
};

ScratchBuffer narrowScratch = {nullptr, 0};
ScratchBuffer wideScratch = {nullptr, 0};
ScratchAllocFn scratchAlloc = malloc;

void ReleaseScratch(ScratchBuffer& scratch)
{
    free(scratch.block);
    scratch.block = nullptr;
    scratch.size = 0;
}

void* GetScratch(ScratchBuffer& scratch, int size)
{
    if (size <= 0)
        return nullptr;
    if (size <= scratch.size) {
        memset(scratch.block, 0, size);
        return scratch.block;
    }
    ReleaseScratch(scratch);
    int rounded = RoundScratchSize(size);
    if (rounded <= 0)
        return nullptr;
    void* block = scratchAlloc(rounded);
    if (!block)
        return nullptr;
    memset(block, 0, rounded);
    scratch.block = block;
    scratch.size = rounded;
    return block;
}

size_t WideLength(const wchar_t* text)
{
    size_t n = 0;
    while (text[n])
        n++;
    return n;
}

bool InScratch(const ScratchBuffer& scratch, const void* p)
{
    const char* block = static_cast<const char*>(scratch.block);
    const char* q = static_cast<const char*>(p);
    return block && q >= block && q < block + scratch.size;
}

wchar_t* FormatMsg(const wchar_t* format, const wchar_t* const* arguments, int argumentCount)
{
    // Getting the scratch wipes it, so a text that lives there (an earlier result) is
    // copied out first.
    std::wstring copies[3];
    const wchar_t* inputs[3] = {format, nullptr, nullptr};
    for (int i = 0; i < argumentCount && i < 2; i++)
        inputs[i + 1] = arguments[i];
    for (int i = 0; i < 3; i++) {
        if (inputs[i] && InScratch(wideScratch, inputs[i])) {
            copies[i] = inputs[i];
            inputs[i] = copies[i].c_str();
        }
    }
    // 2048 bytes hold the 1024 units of text; the terminator goes after them.
    wchar_t* block = GetWideScratchBuffer(FORMAT_MSG_MAX_UNITS * sizeof(wchar_t));
    if (!block)
        return nullptr;
    FormatWideArgs(block, FORMAT_MSG_MAX_UNITS + 1, inputs[0], inputs + 1,
                   argumentCount < 2 ? argumentCount : 2);
    return block;
}

wchar_t FoldLetter(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c;
}

}  // namespace

int RoundScratchSize(int n)
{
    long long rounded = ((static_cast<long long>(n) >> 8) + 1) << 8;
    return rounded > INT_MAX ? 0 : static_cast<int>(rounded);
}

char* GetScratchBuffer(int size)
{
    return static_cast<char*>(GetScratch(narrowScratch, size));
}

wchar_t* GetWideScratchBuffer(int size)
{
    return static_cast<wchar_t*>(GetScratch(wideScratch, size));
}

void ReleaseScratchBuffer()
{
    ReleaseScratch(narrowScratch);
}

void ReleaseWideScratchBuffer()
{
    ReleaseScratch(wideScratch);
}

int ScratchBufferSize()
{
    return narrowScratch.size;
}

int WideScratchBufferSize()
{
    return wideScratch.size;
}

ScratchAllocFn SetScratchAllocator(ScratchAllocFn alloc)
{
    ScratchAllocFn previous = scratchAlloc;
    scratchAlloc = alloc ? alloc : malloc;
    return previous;
}

int FormatVersion(char* buffer, uint32_t code)
{
    if (!buffer)
        return 0;
    int n;
    if (code < 10000)
        n = snprintf(buffer, VERSION_TEXT_BUFFER, "%u.%02u", code / 100, code % 100);
    else
        n = snprintf(buffer, VERSION_TEXT_BUFFER, "%u.%02u.%02u", code / 10000, code % 10000 / 100,
                     code % 100);
    return n < 0 ? 0 : n;
}

char* VersionText(uint32_t code)
{
    char* block = GetScratchBuffer(2048);
    if (!block)
        return nullptr;
    int n = FormatVersion(block, code);
    block[n] = 0;
    return block;
}

int FormatWideArgs(wchar_t* out, int capacity, const wchar_t* format, const wchar_t* const* arguments,
                   int argumentCount)
{
    if (!out || capacity <= 0)
        return 0;
    int written = 0;
    int nextArgument = 0;
    auto put = [&](wchar_t c) {
        if (written < capacity - 1)
            out[written++] = c;
    };
    for (const wchar_t* p = format; p && *p && written < capacity - 1; p++) {
        if (p[0] == L'%' && p[1] == L's') {
            const wchar_t* argument = nextArgument < argumentCount ? arguments[nextArgument] : nullptr;
            nextArgument++;
            for (const wchar_t* a = argument; a && *a; a++)
                put(*a);
            p++;
        } else if (p[0] == L'%' && p[1] == L'%') {
            put(L'%');
            p++;
        } else {
            put(*p);
        }
    }
    out[written] = 0;
    return written;
}

wchar_t* FormatMsg1(const wchar_t* format, const wchar_t* argument)
{
    const wchar_t* arguments[] = {argument};
    return FormatMsg(format, arguments, 1);
}

wchar_t* FormatMsg2(const wchar_t* format, const wchar_t* argument1, const wchar_t* argument2)
{
    const wchar_t* arguments[] = {argument1, argument2};
    return FormatMsg(format, arguments, 2);
}

char* DupString(const char* text)
{
    if (!text || !*text)
        return nullptr;
    size_t bytes = strlen(text) + 1;
    char* copy = static_cast<char*>(malloc(bytes));
    if (copy)
        memcpy(copy, text, bytes);
    return copy;
}

wchar_t* DupStringW(const wchar_t* text)
{
    if (!text || !*text)
        return nullptr;
    size_t bytes = (WideLength(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(malloc(bytes));
    if (copy)
        memcpy(copy, text, bytes);
    return copy;
}

bool IsAsciiLetter(uint16_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int CompareLettersNoCase(const wchar_t* a, const wchar_t* b)
{
    if (!a)
        a = L"";
    if (!b)
        b = L"";
    for (int i = 0;; i++) {
        if (FoldLetter(a[i]) != FoldLetter(b[i]))
            return i;
        if (!a[i])
            return -1;
    }
}

bool EqualsLettersNoCase(const wchar_t* a, const wchar_t* b)
{
    return CompareLettersNoCase(a, b) == -1;
}

uint64_t CeilDiv64(uint64_t value, uint64_t divisor)
{
    if (value == 0 || divisor == 0)
        return 0;
    return (value - 1) / divisor + 1;
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

uint64_t ParseHex64(const char* text)
{
    uint64_t value = 0;
    for (const char* p = text; p && HexDigitValue(*p) >= 0; p++)
        value = value * 16 + uint64_t(HexDigitValue(*p));
    return value;
}

uint64_t ParseHex64W(const wchar_t* text)
{
    uint64_t value = 0;
    for (const wchar_t* p = text; p && *p && HexDigitValue(char(*p & 0xFF)) >= 0; p++)
        value = value * 16 + uint64_t(HexDigitValue(char(*p & 0xFF)));
    return value;
}

uint16_t SwapBytes16(uint16_t value)
{
    return uint16_t((value >> 8) | (value << 8));
}

uint32_t SwapBytes32(uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00) | ((value << 8) & 0xFF0000) | (value << 24);
}

const char* BoolText(bool value)
{
    return value ? "true" : "false";
}

const wchar_t* BoolTextW(bool value)
{
    return value ? L"true" : L"false";
}

const char* SkipBlanks(const char* text)
{
    if (!text)
        return nullptr;
    while (*text == ' ' || *text == '\t')
        text++;
    return *text ? text : nullptr;
}

const wchar_t* SkipBlanksW(const wchar_t* text)
{
    if (!text)
        return nullptr;
    while (*text == L' ' || *text == L'\t')
        text++;
    return *text ? text : nullptr;
}

int FormatVersion3(char* buffer, uint32_t code)
{
    if (!buffer)
        return 0;
    int n =
        snprintf(buffer, VERSION_TEXT_BUFFER, "%u.%02u.%02u", code / 10000, code % 10000 / 100, code % 100);
    return n < 0 ? 0 : n;
}

int FormatVersion3W(wchar_t* buffer, uint32_t code)
{
    char narrow[VERSION_TEXT_BUFFER];
    int n = FormatVersion3(buffer ? narrow : nullptr, code);
    for (int i = 0; buffer && i <= n; i++)
        buffer[i] = wchar_t(narrow[i]);
    return n;
}

char* HexDump(const uint8_t* bytes, int count)
{
    if (!bytes || count <= 0 || count > (INT_MAX - 1) / 3)
        return nullptr;
    char* text = static_cast<char*>(malloc(size_t(count) * 3 + 1));
    if (!text)
        return nullptr;
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; i++) {
        text[i * 3] = digits[bytes[i] >> 4];
        text[i * 3 + 1] = digits[bytes[i] & 15];
        text[i * 3 + 2] = ' ';
    }
    text[count * 3] = 0;
    return text;
}

char* PrintableCopy(const uint8_t* bytes, int count)
{
    if (!bytes || count <= 0 || count == INT_MAX)
        return nullptr;
    char* text = static_cast<char*>(malloc(size_t(count) + 1));
    if (!text)
        return nullptr;
    for (int i = 0; i < count; i++)
        text[i] = (bytes[i] < 32 || bytes[i] > 127) ? ' ' : char(bytes[i]);
    text[count] = 0;
    return text;
}

bool MultiSzAdd(const char* list, int length, const char* name, char** newList, int* newLength)
{
    if (!newList || !newLength)
        return false;
    *newList = nullptr;
    *newLength = 0;
    if (!name || !*name)
        return false;
    if (length < 0)
        length = 0;
    int entry = int(strlen(name)) + 1;
    if (list && MultiSzFind(list, length, name) >= 0)
        return true;
    // A null list gives the name alone, closed by the empty entry.
    int oldBytes = list ? length : 1;
    char* result = static_cast<char*>(malloc(size_t(entry) + size_t(oldBytes)));
    if (!result)
        return false;
    memcpy(result, name, entry);
    if (list)
        memcpy(result + entry, list, length);
    else
        result[entry] = 0;
    *newList = result;
    *newLength = entry + oldBytes;
    return true;
}

bool MultiSzRemove(const char* list, int length, const char* name, char** newList, int* newLength)
{
    if (!newList || !newLength)
        return false;
    *newList = nullptr;
    *newLength = 0;
    if (!name || !*name)
        return false;
    int at = list && length > 0 ? MultiSzFind(list, length, name) : -1;
    if (at < 0)
        return true;
    int entry = int(strlen(name)) + 1;
    if (entry > length - at)
        entry = length - at;  // the last entry lacked its NUL
    int remaining = length - entry;
    if (remaining <= 1) {
        *newLength = 1;
        return true;
    }
    char* result = static_cast<char*>(malloc(size_t(remaining)));
    if (!result)
        return false;
    memcpy(result, list, at);
    memcpy(result + at, list + at + entry, length - at - entry);
    *newList = result;
    *newLength = remaining;
    return true;
}

int WideMultiSzFindLast(const wchar_t* list, const wchar_t* name, int* totalUnits)
{
    if (totalUnits)
        *totalUnits = 0;
    if (!list || !name)
        return -1;
    int found = -1;
    int offset = 0;
    while (list[offset]) {
        if (EqualsLettersNoCase(list + offset, name))
            found = offset;
        offset += int(WideLength(list + offset)) + 1;
    }
    if (totalUnits)
        *totalUnits = offset;
    return found;
}
