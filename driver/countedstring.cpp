// Counted strings owned by the driver.
#include "pool.h"
#include "countedstring.h"

// A counted string's byte sizes are 16-bit: this many characters plus a NUL fit.
static const ULONG MaxCountedChars = 0x7FFE;

void InitCountedString(UNICODE_STRING* string)
{
    string->Length = 0;
    string->MaximumLength = 0;
    string->Buffer = NULL;
}

void FreeCountedString(UNICODE_STRING* string)
{
    if (!string || !string->Buffer)
        return;
    FreePool(string->Buffer);
    string->Buffer = NULL;
    string->Length = 0;
    string->MaximumLength = 0;
}

ULONG CountedStringChars(const UNICODE_STRING* string)
{
    if (!string || !string->Buffer)
        return 0;
    USHORT bytes = string->Length < string->MaximumLength ? string->Length : string->MaximumLength;
    ULONG units = bytes / sizeof(WCHAR);
    ULONG n = 0;
    while (n < units && string->Buffer[n] != 0)
        n++;
    return n;
}

static ULONG TextChars(const WCHAR* text)
{
    ULONG n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

// The copy holds the characters before the source's first NUL and is
// NUL-terminated; its Length never counts a NUL.
NTSTATUS CopyCountedString(UNICODE_STRING* dest, const UNICODE_STRING* source)
{
    ULONG n = CountedStringChars(source);
    if (!dest || n == 0)
        return STATUS_UNSUCCESSFUL;
    if (n > MaxCountedChars)
        return STATUS_INVALID_PARAMETER;
    USHORT size = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
    WCHAR* buffer = static_cast<WCHAR*>(AllocatePool(size));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, size);
    RtlCopyMemory(buffer, source->Buffer, n * sizeof(WCHAR));
    dest->Buffer = buffer;
    dest->MaximumLength = size;
    dest->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS ConcatToCountedString(UNICODE_STRING* dest, const WCHAR* first, const WCHAR* second)
{
    ULONG firstChars = TextChars(first);
    ULONG secondChars = TextChars(second);
    if (firstChars + secondChars > MaxCountedChars)
        return STATUS_INVALID_PARAMETER;
    USHORT size = static_cast<USHORT>((firstChars + secondChars + 1) * sizeof(WCHAR));
    WCHAR* buffer = static_cast<WCHAR*>(AllocatePool(size));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, first, firstChars * sizeof(WCHAR));
    RtlCopyMemory(buffer + firstChars, second, secondChars * sizeof(WCHAR));
    buffer[firstChars + secondChars] = 0;
    dest->Buffer = buffer;
    dest->MaximumLength = size;
    dest->Length = static_cast<USHORT>(size - sizeof(WCHAR));
    return STATUS_SUCCESS;
}
