// Run-time library: counted strings, memory comparison and the debugger's
// output.
#include "core.h"

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

namespace emu {

std::u16string Upcase(std::u16string_view s)
{
    std::u16string out(s);
    for (char16_t& c : out)
        c = RtlUpcaseUnicodeChar(c);
    return out;
}

std::u16string FromCounted(PCUNICODE_STRING s)
{
    if (s == NULL || s->Buffer == NULL)
        return std::u16string();
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string Narrow(std::u16string_view s)
{
    std::string out;
    for (char16_t c : s)
        out += (c >= 0x20 && c < 0x7F) ? (char)c : '?';
    return out;
}

}  // namespace emu

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR c)
{
    if (c >= u'a' && c <= u'z')
        return (WCHAR)(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return (WCHAR)(c - 32);  // Latin-1 letters
    return c;
}

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* a, const VOID* b, SIZE_T length)
{
    const uint8_t* x = (const uint8_t*)a;
    const uint8_t* y = (const uint8_t*)b;
    SIZE_T i = 0;
    while (i < length && x[i] == y[i])
        ++i;
    return i;
}

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR source)
{
    dest->Buffer = (PWSTR)source;
    if (source == NULL) {
        dest->Length = dest->MaximumLength = 0;
        return;
    }
    size_t n = 0;
    while (source[n] != 0)
        ++n;
    if (n > 32766)
        n = 32766;  // the longest string a USHORT length can describe with its NUL
    dest->Length = (USHORT)(n * sizeof(WCHAR));
    dest->MaximumLength = (USHORT)(dest->Length + sizeof(WCHAR));
}

// Copies as much as fits; adds a NUL when there is room for it.
extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING source)
{
    if (source == NULL) {
        dest->Length = 0;
        return;
    }
    USHORT bytes = source->Length < dest->MaximumLength ? source->Length : dest->MaximumLength;
    bytes &= ~USHORT(1);
    memmove(dest->Buffer, source->Buffer, bytes);
    dest->Length = bytes;
    if (bytes + sizeof(WCHAR) <= dest->MaximumLength)
        dest->Buffer[bytes / sizeof(WCHAR)] = 0;
}

extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    size_t na = a->Length / sizeof(WCHAR), nb = b->Length / sizeof(WCHAR);
    size_t n = na < nb ? na : nb;
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = a->Buffer[i], y = b->Buffer[i];
        if (caseInsensitive) {
            x = RtlUpcaseUnicodeChar(x);
            y = RtlUpcaseUnicodeChar(y);
        }
        if (x != y)
            return (LONG)x - (LONG)y;
    }
    return (LONG)na - (LONG)nb;
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b,
                                               BOOLEAN caseInsensitive)
{
    return a->Length == b->Length && RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING dest, PCUNICODE_STRING source)
{
    if (source->Length == 0)
        return STATUS_SUCCESS;
    if ((ULONG)dest->Length + source->Length > dest->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((PCHAR)dest->Buffer + dest->Length, source->Buffer, source->Length);
    dest->Length = (USHORT)(dest->Length + source->Length);
    if (dest->Length + sizeof(WCHAR) <= dest->MaximumLength)
        dest->Buffer[dest->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING dest, PCWSTR source)
{
    if (source == NULL)
        return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, source);
    return RtlAppendUnicodeStringToString(dest, &s);
}

namespace emu {
namespace {
std::mutex debugLock;
std::vector<std::string>& DebugLines()
{
    static std::vector<std::string> lines;
    return lines;
}
}  // namespace

std::vector<std::string> DebugOutput()
{
    std::lock_guard<std::mutex> hold(debugLock);
    return DebugLines();
}

void ClearDebugOutput()
{
    std::lock_guard<std::mutex> hold(debugLock);
    DebugLines().clear();
}
}  // namespace emu

extern "C" ULONG DbgPrint(PCSTR format, ...)
{
    // Windows' %I64 size prefix becomes the C library's ll.
    std::string converted;
    for (const char* p = format; *p; ++p) {
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            converted += "ll";
            p += 2;
        } else {
            converted += *p;
        }
    }
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, converted.c_str(), args);
    va_end(args);
    std::lock_guard<std::mutex> hold(emu::debugLock);
    emu::DebugLines().push_back(text);
    return 0;
}
