// Registry multi-string values and the disk device class's "UpperFilters"/"LowerFilters" lists.
#include "foundation/filterlistutil.h"

#include <cstdlib>
#include <cstring>

namespace {

// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}: the device interface class of disks.
const GUID DiskInterfaceGuid = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Set once found, never freed.
GUID* CachedDiskClassGuid = nullptr;

char FoldCase(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const char* a, const char* b, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    return true;
}

// Length of the entry at offset, never counting past the end of the data.
size_t EntryLength(const char* list, int size, int offset)
{
    return strnlen(list + offset, static_cast<size_t>(size - offset));
}

bool HasPrefixNoCase(const char* entry, size_t length, const char* prefix, size_t prefixLength)
{
    return length >= prefixLength && EqualNoCase(entry, prefix, prefixLength);
}

}  // namespace

int RegReadValue(HKEY key, const char* name, uint32_t expectedType, uint32_t* outType, void** outData,
                 uint32_t* outSize)
{
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS)
        return static_cast<int>(result);
    if (expectedType != 0 && type != expectedType)
        return ErrorValueOfOtherType;
    if (outType)
        *outType = type;
    if (outSize)
        *outSize = size;
    if (!outData)
        return 0;
    *outData = nullptr;
    if (size == 0)
        return 0;
    // Two spare zero bytes: text copies stay terminated whatever the stored data holds.
    BYTE* block = static_cast<BYTE*>(calloc(static_cast<size_t>(size) + 2, 1));
    if (!block)
        return ErrorNoMemory;
    DWORD read = size;
    result = RegQueryValueExA(key, name, nullptr, &type, block, &read);
    if (result != ERROR_SUCCESS) {
        free(block);
        return static_cast<int>(result);
    }
    if (read == 0) {
        free(block);
        block = nullptr;
    }
    // The count that was actually read: the value may have changed since the size query.
    if (outSize)
        *outSize = read;
    *outData = block;
    return 0;
}

int MultiSzFind(const char* list, int size, const char* text)
{
    if (!list || !text)
        return -1;
    size_t textLength = strlen(text);
    int offset = 0;
    while (offset < size) {
        size_t length = EntryLength(list, size, offset);
        if (length == 0)
            return -1;
        if (length == textLength && EqualNoCase(list + offset, text, length))
            return offset;
        offset += static_cast<int>(length) + 1;
    }
    return -1;
}

bool MultiSzRemovePrefix(const char* list, int size, const char* name, char** outList, int* outSize)
{
    if (!name)
        return false;
    *outList = nullptr;
    *outSize = 0;
    if (!list || size <= 0)
        return true;
    size_t nameLength = strlen(name);
    if (nameLength == 0)
        return true;  // every entry begins with "": dropping them all would wipe the list
    // Room for a NUL after an unterminated last entry and for the closing empty string.
    char* copy = static_cast<char*>(calloc(static_cast<size_t>(size) + 2, 1));
    if (!copy)
        return false;
    int kept = 0;
    int offset = 0;
    while (offset < size) {
        size_t length = EntryLength(list, size, offset);
        if (length == 0)
            break;
        if (!HasPrefixNoCase(list + offset, length, name, nameLength)) {
            memcpy(copy + kept, list + offset, length);
            kept += static_cast<int>(length) + 1;  // the NUL is already there: the copy is zeroed
        }
        offset += static_cast<int>(length) + 1;
    }
    if (kept == 0) {
        free(copy);
        *outSize = 1;
        return true;
    }
    int newSize = kept + 1;
    if (newSize == size && memcmp(copy, list, static_cast<size_t>(size)) == 0) {
        free(copy);
        return true;
    }
    *outList = copy;
    *outSize = newSize;
    return true;
}

int RegRemoveFromMultiSz(HKEY key, const char* valueName, const char* name, bool* outChanged)
{
    bool changed = false;
    void* data = nullptr;
    uint32_t size = 0;
    int result = RegReadValue(key, valueName, REG_MULTI_SZ, nullptr, &data, &size);
    if (result == ERROR_FILE_NOT_FOUND) {
        data = nullptr;
        result = 0;
    }
    if (result != 0)
        return result;
    if (!data) {
        if (outChanged)
            *outChanged = false;
        return 0;
    }
    char* newList = nullptr;
    int newSize = 0;
    bool ok =
        MultiSzRemovePrefix(static_cast<const char*>(data), static_cast<int>(size), name, &newList, &newSize);
    free(data);
    if (!ok)
        return ErrorNoMemory;
    if (newSize != 0) {
        changed = true;
        if (newSize == 1)
            result = static_cast<int>(RegDeleteValueA(key, valueName));
        else
            result = static_cast<int>(RegSetValueExA(key, valueName, 0, REG_MULTI_SZ,
                                                     reinterpret_cast<const BYTE*>(newList),
                                                     static_cast<DWORD>(newSize)));
        free(newList);
    }
    if (outChanged)
        *outChanged = changed;
    return result;
}

int RemoveDiskFilter(HKEY classKey, const char* name, bool* outRemoved)
{
    bool removed = false;
    bool changed = false;
    int result = RegRemoveFromMultiSz(classKey, "UpperFilters", name, &changed);
    removed = (result == 0 && changed);
    changed = false;
    int lowerResult = RegRemoveFromMultiSz(classKey, "LowerFilters", name, &changed);
    if (lowerResult == 0 && changed)
        removed = true;
    if (lowerResult != 0)
        result = lowerResult;
    if (outRemoved)
        *outRemoved = removed;
    return result;
}

int EnumDeviceInfo(HDEVINFO set, uint32_t index, SP_DEVINFO_DATA* data)
{
    memset(data, 0, sizeof *data);
    data->cbSize = sizeof *data;
    if (!SetupDiEnumDeviceInfo(set, index, data))
        return static_cast<int>(GetLastError());
    return 0;
}

int GetDeviceClassGuid(const GUID* interfaceGuid, GUID** outClassGuid)
{
    if (!interfaceGuid || !outClassGuid)
        return ERROR_INVALID_PARAMETER;
    HDEVINFO set = SetupDiGetClassDevsA(interfaceGuid, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    SP_DEVINFO_DATA device;
    int result = EnumDeviceInfo(set, 0, &device);
    if (result == 0) {
        GUID* block = static_cast<GUID*>(malloc(sizeof(GUID)));
        if (block) {
            *block = device.ClassGuid;
            *outClassGuid = block;
        } else {
            result = ErrorNoMemory;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

const GUID* GetDiskClassGuid()
{
    if (!CachedDiskClassGuid) {
        GUID* found = nullptr;
        if (GetDeviceClassGuid(&DiskInterfaceGuid, &found) == 0)
            CachedDiskClassGuid = found;
    }
    return CachedDiskClassGuid;
}

HKEY OpenClassKey(const GUID* classGuid, bool readOnly)
{
    if (!classGuid)
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    return SetupDiOpenClassRegKey(classGuid, readOnly ? KEY_READ : KEY_ALL_ACCESS);
}

int RemoveClassFilter(const GUID* classGuid, const char* name, bool* outRemoved)
{
    if (!classGuid)
        return ErrorNoClassGuid;
    HKEY key = OpenClassKey(classGuid, false);
    if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE))
        return static_cast<int>(GetLastError());
    int result = RemoveDiskFilter(key, name, outRemoved);
    RegCloseKey(key);
    return result;
}
