// The cache driver's installation as a boot-start disk upper filter, and the removal of the
// older filter driver.
#include "engine/cachedriver.h"

#include "foundation/filterlistutil.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

const char CacheDriverGroup[] = "System Reserved";
const char UpperFiltersValue[] = "UpperFilters";
const char FastbootEntry[] = "Fastboot";

// The data of a multi-string value with the terminators that it lacks added: its last entry
// ends with a NUL and the list with an empty entry. Empty for no data.
std::string WellFormedMultiSz(const char* list, uint32_t size)
{
    if (!list || size == 0)
        return std::string();
    std::string data(list, size);
    if (data.back() != '\0')
        data += '\0';
    if (data.size() >= 2 && data[data.size() - 2] != '\0')
        data += '\0';
    return data;
}

}  // namespace

int32_t InsertFilterName(const char* list, uint32_t size, const char* name, char** outList, uint32_t* outSize)
{
    *outList = nullptr;
    *outSize = 0;
    if (!name || !*name)
        return ERROR_INVALID_PARAMETER;
    try {
        std::string entry(name, strlen(name) + 1);
        std::string old = WellFormedMultiSz(list, size);
        std::string result;
        if (old.empty()) {
            result = entry + '\0';
        } else {
            int oldSize = static_cast<int>(old.size());
            if (MultiSzFind(old.data(), oldSize, name) >= 0)
                return 0;
            int fastboot = MultiSzFind(old.data(), oldSize, FastbootEntry);
            if (fastboot < 0) {
                result = entry + old;
            } else {
                // The entry found ends with its NUL inside the data.
                size_t after = static_cast<size_t>(fastboot) + sizeof FastbootEntry;
                result = old.substr(0, after) + entry + old.substr(after);
            }
        }
        char* block = static_cast<char*>(malloc(result.size()));
        if (!block)
            return ERROR_NO_SYSTEM_RESOURCES;
        memcpy(block, result.data(), result.size());
        *outList = block;
        *outSize = static_cast<uint32_t>(result.size());
        return 0;
    } catch (const std::bad_alloc&) {
        return ERROR_NO_SYSTEM_RESOURCES;
    }
}

int32_t AddDiskUpperFilter(const char* name)
{
    const GUID* diskClass = GetDiskClassGuid();
    if (!diskClass)
        return ERROR_INVALID_DATA;
    HKEY key = OpenClassKey(diskClass, false);
    if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
        DWORD error = GetLastError();
        return error != 0 ? static_cast<int32_t>(error) : ERROR_INVALID_HANDLE;
    }
    void* data = nullptr;
    uint32_t size = 0;
    int32_t result = RegReadValue(key, UpperFiltersValue, REG_MULTI_SZ, nullptr, &data, &size);
    if (result == ERROR_FILE_NOT_FOUND) {
        data = nullptr;
        size = 0;
        result = 0;
    }
    if (result == 0) {
        char* newList = nullptr;
        uint32_t newSize = 0;
        result = InsertFilterName(static_cast<const char*>(data), size, name, &newList, &newSize);
        if (result == 0 && newList)
            result = RegSetValueExA(key, UpperFiltersValue, 0, REG_MULTI_SZ,
                                    reinterpret_cast<const BYTE*>(newList), newSize);
        free(newList);
    }
    free(data);
    RegCloseKey(key);
    return result;
}

// ---- The cache driver

clVornDriverInstall::clVornDriverInstall()
{
    targetStep = 7;
}

int32_t clVornDriverInstall::Next(int32_t state)
{
    currentStep = state;
    return 0;
}

int32_t clVornDriverInstall::ExecuteStep()
{
    switch (currentStep) {
    case 0: return CheckRunning();
    case 1: return Next(NeedsUpdate() ? 3 : 7);
    case 2: return WriteDriverFile(4);
    case 3: return WriteDriverFile(5);
    case 4: return CreateServiceUnlessThere();
    case 5: return AddFilter();
    case 6: RegisterComponent(); return Next(7);
    case 7: return 0;
    default: return SETUP_ERR_UNKNOWN_STEP;
    }
}

int32_t clVornDriverInstall::CheckRunning()
{
    driverPath = platform->DriverFilePath(componentKey);
    if (platform->DeviceIsPresent(componentKey))
        return Next(1);
    if (!NewerFileIsInstalled())
        return Next(2);
    // A newer build installed by another product and not loaded yet: its file and version
    // record stay, but its service and its filter entry are made when they are missing, or
    // it would never be loaded.
    return Next(4);
}

int32_t clVornDriverInstall::WriteDriverFile(int32_t next)
{
    int32_t result = ExtractDriverFile();
    return result != 0 ? result : Next(next);
}

int32_t clVornDriverInstall::CreateServiceUnlessThere()
{
    if (!platform->ServiceExists(componentKey)) {
        int32_t result = platform->CreateDriverService(componentKey, platform->DriverImagePath(componentKey),
                                                       CacheDriverGroup, SERVICE_BOOT_START);
        if (result != 0)
            return result;
    }
    return Next(5);
}

int32_t clVornDriverInstall::AddFilter()
{
    int32_t result = platform->AddDiskUpperFilter(componentKey);
    if (result != 0)
        return result;
    reboot = 1;
    return Next(6);
}

// ---- The older filter driver

clVornOldDriverUninstall::clVornOldDriverUninstall()
{
    targetStep = 5;
}

int32_t clVornOldDriverUninstall::ExecuteStep()
{
    switch (currentStep) {
    case 0: currentStep = IsLastComponentUser() ? 1 : 5; return 0;
    case 1: {
        // Every entry that begins with the name goes, in both filter lists.
        bool removed = false;
        int32_t result = platform->RemoveDiskClassFilter(componentName, &removed);
        if (result != 0)
            return result;
        if (removed)
            reboot = 1;
        currentStep = 2;
        return 0;
    }
    case 2:
        platform->DeleteDriverFile(componentName);
        currentStep = 3;
        return 0;
    case 3:
        UnregisterComponent();
        currentStep = 4;
        return 0;
    case 4:
        platform->DeleteServiceKey(componentName);
        currentStep = 5;
        return 0;
    case 5: return 0;
    default: return SETUP_ERR_UNKNOWN_STEP;
    }
}
