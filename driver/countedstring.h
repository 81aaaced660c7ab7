// Counted UTF-16 strings (UNICODE_STRING) owned by the driver: buffers from
// the driver's pool, NUL-terminated, Length never counting the NUL. Any
// thread at IRQL <= DISPATCH_LEVEL.
#pragma once

#include "kernel.h"

// Length 0, no buffer.
void InitCountedString(UNICODE_STRING* string);
// Frees the buffer, if any; a null string is ignored.
void FreeCountedString(UNICODE_STRING* string);
// UTF-16 units before the first NUL within min(Length, MaximumLength).
ULONG CountedStringChars(const UNICODE_STRING* string);
// STATUS_UNSUCCESSFUL for a null dest or an empty source.
NTSTATUS CopyCountedString(UNICODE_STRING* dest, const UNICODE_STRING* source);
// dest := first followed by second (both NUL-terminated).
NTSTATUS ConcatToCountedString(UNICODE_STRING* dest, const WCHAR* first, const WCHAR* second);
