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
int FormatVersion(char* buffer, uint32_t code);  // buffer of VERSION_TEXT_BUFFER bytes
char* VersionText(uint32_t code);                // in the 8-bit scratch

// Message formatting in the UTF-16 scratch: "%s" takes the next argument (a missing one
// gives nothing), "%%" gives "%", anything else is copied as it stands. The result is cut
// after FORMAT_MSG_MAX_UNITS units and always terminated; a null format gives "".
enum { FORMAT_MSG_MAX_UNITS = 1024 };
wchar_t* FormatMsg1(const wchar_t* format, const wchar_t* argument);
wchar_t* FormatMsg2(const wchar_t* format, const wchar_t* argument1, const wchar_t* argument2);
// The formatter itself: writes at most capacity - 1 units and the terminator; returns the
// number of units written (without the terminator).
int FormatWideArgs(wchar_t* out, int capacity, const wchar_t* format, const wchar_t* const* arguments,
                   int argumentCount);

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

// ---- Further small routines -------------------------------------------------------------

// value / divisor rounded up; 0 for a value of 0 and for a divisor of 0.
uint64_t CeilDiv64(uint64_t value, uint64_t divisor);
// 0-15 for a hex digit, else -1.
int HexDigitValue(char c);
// The hex number at the start of text (up to the first other character); 0 for null.
// Digits beyond 64 bits push the high ones out. The wide form reads the low byte of each unit.
uint64_t ParseHex64(const char* text);
uint64_t ParseHex64W(const wchar_t* text);
uint16_t SwapBytes16(uint16_t value);
uint32_t SwapBytes32(uint32_t value);
const char* BoolText(bool value);
const wchar_t* BoolTextW(bool value);
// The first character that is neither TAB nor blank; null for a null text or one
// holding nothing else.
const char* SkipBlanks(const char* text);
const wchar_t* SkipBlanksW(const wchar_t* text);
// Always the three-part form "%i.%02i.%02i"; buffer of VERSION_TEXT_BUFFER units.
int FormatVersion3(char* buffer, uint32_t code);
int FormatVersion3W(wchar_t* buffer, uint32_t code);
// New texts (the caller frees them): "%02X " for each byte, or a copy with every byte below
// 32 or above 127 turned into a blank. Null for no bytes, a count of 0 or less, or no memory.
char* HexDump(const uint8_t* bytes, int count);
char* PrintableCopy(const uint8_t* bytes, int count);

// Multi-strings (entries each with its NUL, closed by an empty entry) of length bytes.
// Add: name in front of the old entries, or a list of name alone for a null list; when the
// list already holds name (ignoring case) *newList is null and *newLength 0.
// Remove: the list without name; not found gives null and 0, nothing left null and 1.
// Both are false for a null or empty name (an empty entry would end the list early) and
// when memory runs out; new lists come from the system allocator.
bool MultiSzAdd(const char* list, int length, const char* name, char** newList, int* newLength);
bool MultiSzRemove(const char* list, int length, const char* name, char** newList, int* newLength);
// The offset in units of the last entry equal to name (EqualsLettersNoCase) among the
// entries before the first empty one; -1 for none, a null list or a null name.
// *totalUnits (when given; 0 first) receives the offset of that closing empty entry.
int WideMultiSzFindLast(const wchar_t* list, const wchar_t* name, int* totalUnits);
