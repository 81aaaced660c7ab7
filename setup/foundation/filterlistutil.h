// Registry multi-string values and the disk device class's "UpperFilters"/"LowerFilters" lists.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <cstdint>

// Codes of these operations besides the system's own.
const int ErrorValueOfOtherType = ERROR_BAD_FORMAT;   // 11
const int ErrorNoClassGuid = ERROR_INVALID_DATA;      // 13
const int ErrorNoMemory = ERROR_NO_SYSTEM_RESOURCES;  // 1450

// A multi-string is a run of NUL-terminated 8-bit entries closed by an empty
// one, held as a pointer and a byte size. Every walk here is bounded by the
// size: the end of the data ends the list, whatever terminators are missing.

// Reads a value: its type, its size and a copy of its data (malloc'ed, the
// receiver frees it; null for an empty value). The copy is zeroed and has two
// spare zero bytes after the data. expectedType 0 accepts any type; another
// type gives 11. A missing value gives 2. Every out pointer may be null.
int RegReadValue(HKEY key, const char* name, uint32_t expectedType, uint32_t* outType, void** outData,
                 uint32_t* outSize);

// Byte offset of the first entry equal to text ignoring case, -1 when none.
// Entries after the first empty one are not seen.
int MultiSzFind(const char* list, int size, const char* text);

// Drops every entry that begins with name, ignoring case. *outSize is 0 when
// nothing changed (*outList null), 1 when nothing is left (*outList null), and
// the new size otherwise, with *outList a new well-formed list (malloc'ed).
// A list whose data lacks terminators or holds extra closing NULs counts as
// changed and comes back well formed. An empty name drops nothing.
// False only for a null name or no memory.
bool MultiSzRemovePrefix(const char* list, int size, const char* name, char** outList, int* outSize);

// Applies MultiSzRemovePrefix to a REG_MULTI_SZ value: a list left empty is
// deleted, a changed one rewritten. A missing value is no change.
int RegRemoveFromMultiSz(HKEY key, const char* valueName, const char* name, bool* outChanged);

// Removes name's entries from both "UpperFilters" and "LowerFilters" of a class
// key; both are always processed, the "LowerFilters" error wins.
int RemoveDiskFilter(HKEY classKey, const char* name, bool* outRemoved);

// SetupDiEnumDeviceInfo with a freshly initialised record.
int EnumDeviceInfo(HDEVINFO set, uint32_t index, SP_DEVINFO_DATA* data);

// The class GUID of the first device exposing interfaceGuid, present or not,
// in a new 16-byte block (malloc'ed). No device gives 259.
int GetDeviceClassGuid(const GUID* interfaceGuid, GUID** outClassGuid);

// The disk drive class GUID, looked up through the disk interface class and
// kept for the life of the process once found; null while there is none.
const GUID* GetDiskClassGuid();

// The class's registry key, INVALID_HANDLE_VALUE (as an HKEY) on failure;
// the receiver closes it with RegCloseKey.
HKEY OpenClassKey(const GUID* classGuid, bool readOnly);

// RemoveDiskFilter on the class key of classGuid. Null classGuid gives 13.
int RemoveClassFilter(const GUID* classGuid, const char* name, bool* outRemoved);
