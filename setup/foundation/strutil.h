// Shared scratch buffers, version texts, message formatting and small string routines.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The two scratch buffers (8-bit and UTF-16; sizes in bytes). A getter returns a block of
// at least size bytes whose first size bytes are zero, destroying what the previous caller
// left there; null for a size of 0 or less, or when memory runs out. A result stays valid
// until the next request of the same buffer: copy it, never free it.
char* GetScratchBuffer(int size);
wchar_t* GetWideScratchBuffer(int size);
void ReleaseScratchBuffer();
void ReleaseWideScratchBuffer();
int ScratchBufferSize();
int WideScratchBufferSize();
// The next multiple of 256 above n.
int RoundScratchSize(int n);

// The allocator behind the scratch buffers (malloc unless a test replaces it);
// returns the previous one.
typedef void* (*ScratchAllocFn)(size_t bytes);
ScratchAllocFn SetScratchAllocator(ScratchAllocFn alloc);

// Version codes: below 10000 major*100 + minor ("2.04"), else
// major*10000 + minor*100 + build ("2.04.02").
enum { VERSION_TEXT_BUFFER = 32 };
int FormatVersion(char* buffer, uint32_t code);    // buffer of VERSION_TEXT_BUFFER bytes
char* VersionText(uint32_t code);                  // in the 8-bit scratch

// Message formatting in the UTF-16 scratch: "%s" takes the next argument (a missing one
// gives nothing), "%%" gives "%", anything else is copied as it stands. The result is cut
// after FORMAT_MSG_MAX_UNITS units and always terminated; a null format gives "".
enum { FORMAT_MSG_MAX_UNITS = 1024 };
wchar_t* FormatMsg1(const wchar_t* format, const wchar_t* argument);
wchar_t* FormatMsg2(const wchar_t* format, const wchar_t* argument1, const wchar_t* argument2);
// The formatter itself: writes at most capacity - 1 units and the terminator; returns the
// number of units written (without the terminator).
int FormatWideArgs(wchar_t* out, int capacity, const wchar_t* format,
                   const wchar_t* const* arguments, int argumentCount);

// New zero-terminated copies from the system allocator (the caller frees them); null for a
// null or empty text or when memory runs out.
char* DupString(const char* text);
wchar_t* DupStringW(const wchar_t* text);

// Letter comparisons: ASCII letters match without regard to case, every other unit exactly.
bool IsAsciiLetter(uint16_t c);
// -1 when the texts are equal, else the index of the first difference (a null text counts
// as empty).
int CompareLettersNoCase(const wchar_t* a, const wchar_t* b);
bool EqualsLettersNoCase(const wchar_t* a, const wchar_t* b);
