// The driver service actions: a kernel driver carried as a resource installed or updated as a
// service, the shared-component records of its version and users, and their removal.
#include "engine/driverservice.h"

#include "classlib/exception.h"
#include "classlib/sysutils.h"
#include "engine/cachedriver.h"
#include "foundation/appregutil.h"
#include "foundation/fileutil.h"
#include "foundation/filterlistutil.h"
#include "foundation/osinfo.h"
#include "foundation/registryutil.h"
#include "foundation/serviceutil.h"

#include <new>

namespace {

class SystemDriverPlatform : public DriverSetupPlatform {
public:
    std::string DriverFilePath(const std::string& name) override { return ::DriverFilePath(name); }
    std::string DriverImagePath(const std::string& name) override
    {
        return ::DriverImagePath(name, GetOsArch(), IsVistaOrLater());
    }
    bool DeviceIsPresent(const std::string& name) override { return ::DeviceIsPresent(name); }

    bool ServiceExists(const std::string& name) override { return ::ServiceExists(name.c_str()); }
    int QueryServiceState(const std::string& name, uint32_t* state) override
    {
        return QueryServiceStateByName(name.c_str(), state);
    }
    int StopDriver(const std::string& name, uint32_t* state) override
    {
        return StopServiceByName(name.c_str(), state);
    }
    int DeleteDriverService(const std::string& name) override { return DeleteServiceByName(name.c_str()); }
    int CreateDriverService(const std::string& name, const std::string& imagePath, const std::string& group,
                            uint32_t startType) override
    {
        return ::CreateDriverService(name.c_str(), imagePath.c_str(), group.c_str(), startType);
    }
    int StartDriver(const std::string& name) override { return StartServiceByName(name.c_str()); }

    bool FileExists(const std::string& path) override { return IsExistingFile(path.c_str()); }
    int64_t FileSize(const std::string& path) override { return GetFileSizeByName(path.c_str()); }
    uint32_t ResourceSize(uint16_t id) override { return GetBinResSize(id); }
    int ExtractResource(const std::string& path, uint16_t id) override
    {
        return ExtractBinRes(nullptr, path.c_str(), id);
    }
    void DeleteDriverFile(const std::string& name) override { ::DeleteDriverFile(name); }

    int32_t ReadComponentVersion(const std::string& component) override
    {
        // A "Version" of another type is no version this product knows.
        try {
            return ::ReadComponentVersion(component.c_str());
        } catch (const Exception&) {
            return 0;
        }
    }
    void WriteComponentVersion(const std::string& component, int32_t version) override
    {
        try {
            ::WriteComponentVersion(component.c_str(), version);
        } catch (const Exception&) {
        }
    }
    void WriteComponentUser(const std::string& component, const std::string& user,
                            const std::string& text) override
    {
        ::WriteComponentUser(component.c_str(), user.c_str(), text.c_str());
    }
    bool ComponentHasOtherUsers(const std::string& component, const std::string& user) override
    {
        return ::ComponentHasOtherUsers(component.c_str(), user.c_str());
    }
    void DeleteComponentUser(const std::string& component, const std::string& user) override
    {
        ::DeleteComponentUser(component.c_str(), user.c_str());
    }
    void DeleteComponentKey(const std::string& component) override
    {
        std::string path = ComponentKeyPath(component.c_str());
        if (!path.empty())
            DeleteRegKey(HKEY_LOCAL_MACHINE, path.c_str());
    }
    void DeleteServiceKey(const std::string& name) override { ::DeleteServiceKey(name.c_str()); }

    int AddDiskUpperFilter(const std::string& name) override { return ::AddDiskUpperFilter(name.c_str()); }
    int RemoveDiskClassFilter(const std::string& name, bool* removed) override
    {
        return RemoveClassFilter(GetDiskClassGuid(), name.c_str(), removed);
    }

    std::string NowText() override
    {
        SYSTEMTIME now;
        GetLocalTime(&now);
        char date[80] = {};
        char time[80] = {};
        GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, sizeof date);
        GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, sizeof time);
        return std::string(date) + " " + time;
    }
};

bool IsAbsolutePath(const std::string& path)
{
    bool drive = path.size() >= 3 &&
                 ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                 path[1] == ':' && path[2] == '\\';
    bool share = path.size() >= 3 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\';
    return drive || share;
}

}  // namespace

DriverSetupPlatform& SystemDriverSetup()
{
    static SystemDriverPlatform platform;
    return platform;
}

// ---- Shared components

clWinSetupInstallService::clWinSetupInstallService()
{
    typeCode = SETUP_TYPE_INSTALL_SERVICE;
}

bool clWinSetupInstallService::IsSame(const clSetupItem* other) const
{
    return other && other->typeCode == typeCode &&
           static_cast<const clWinSetupInstallService*>(other)->componentKey == componentKey;
}

void clWinSetupInstallService::RegisterComponent()
{
    // Another product may have recorded a newer build of the shared driver: its record stays.
    if (platform->ReadComponentVersion(componentKey) <= version)
        platform->WriteComponentVersion(componentKey, version);
    RegisterComponentUser();
}

void clWinSetupInstallService::RegisterComponentUser()
{
    if (!usedValueName.empty())
        platform->WriteComponentUser(componentKey, usedValueName, platform->NowText());
}

void clWinSetupInstallServiceResource::RegisterComponent()
{
    // The file on disk is the carried build now: a higher record would describe a file that
    // is not there.
    if (!fileWritten) {
        clWinSetupInstallService::RegisterComponent();
        return;
    }
    platform->WriteComponentVersion(componentKey, version);
    RegisterComponentUser();
}

bool clWinSetupInstallServiceResource::NeedsUpdate()
{
    int32_t installed = platform->ReadComponentVersion(componentKey);
    if (installed < version)
        return true;
    bool haveFile = !driverPath.empty() && platform->FileExists(driverPath);
    if (installed == version && !driverPath.empty()) {
        int64_t size = haveFile ? platform->FileSize(driverPath) : -1;
        uint32_t carried = platform->ResourceSize(static_cast<uint16_t>(resourceId));
        if (size < 0 || static_cast<uint32_t>(size) != carried)
            return true;
    }
    if (installed > version && !haveFile)
        return true;
    RegisterComponentUser();
    return false;
}

int32_t clWinSetupInstallServiceResource::ExtractDriverFile()
{
    if (driverPath.empty())
        return ERROR_PATH_NOT_FOUND;
    int32_t result = platform->ExtractResource(driverPath, static_cast<uint16_t>(resourceId));
    if (result == 0)
        fileWritten = true;
    return result;
}

bool clWinSetupInstallServiceResource::NewerFileIsInstalled()
{
    return platform->ReadComponentVersion(componentKey) > version && !driverPath.empty() &&
           platform->FileExists(driverPath);
}

// ---- A driver service

clWinSetupInstallSys::clWinSetupInstallSys()
{
    targetStep = 11;
    waitLimitMs = DRIVER_SERVICE_WAIT_LIMIT_MS;
}

int32_t clWinSetupInstallSys::Next(int32_t state)
{
    currentStep = state;
    return 0;
}

int32_t clWinSetupInstallSys::ExecuteStep()
{
    switch (currentStep) {
    case 0: return CheckInstalled();
    case 1: return DecideUpdate();
    case 2: return StopOld();
    case 3: return WaitStopped();
    case 4: return DeleteOld();
    case 5: return WaitDeleted();
    case 6: return WriteDriverFile();
    case 7: return ReplaceInPlace();
    case 8: return CreateNewService();
    case 9: return ActivateDriver();
    case 10: RegisterComponent(); return Next(11);
    case 11: return 0;
    default: return SETUP_ERR_UNKNOWN_STEP;
    }
}

int32_t clWinSetupInstallSys::CheckInstalled()
{
    if (platform->DeviceIsPresent(serviceName) || platform->ServiceExists(serviceName))
        return Next(1);
    // No service, but a newer build's file: the service is made for that file.
    return Next(NewerFileIsInstalled() ? 8 : 6);
}

int32_t clWinSetupInstallSys::DecideUpdate()
{
    if (NeedsUpdate())
        return Next(startType == SERVICE_SYSTEM_START ? 2 : 7);
    if (startType == SERVICE_SYSTEM_START)
        return Next(platform->DeviceIsPresent(serviceName) ? 11 : 9);
    return Next(11);
}

int32_t clWinSetupInstallSys::StopOld()
{
    uint32_t state = 0;
    int32_t result = platform->StopDriver(serviceName, &state);
    if (result == ERROR_INVALID_SERVICE_CONTROL || result == ERROR_DEPENDENT_SERVICES_RUNNING) {
        // It cannot be stopped: its file is replaced while it runs, and the new build is
        // loaded at the restart.
        reboot = 1;
        return Next(7);
    }
    if (result != 0)
        return result;
    return Next(state == SERVICE_STOPPED ? 4 : 3);
}

int32_t clWinSetupInstallSys::WaitStopped()
{
    uint32_t state = 0;
    int32_t result = platform->QueryServiceState(serviceName, &state);
    if (result != 0)
        return result;
    if (state == SERVICE_STOPPED)
        return Next(4);
    // A driver that never finishes stopping ends the run at the bound.
    waitError = ERROR_SERVICE_REQUEST_TIMEOUT;
    return 0;
}

int32_t clWinSetupInstallSys::DeleteOld()
{
    int32_t result = platform->DeleteDriverService(serviceName);
    return result != 0 ? result : Next(5);
}

int32_t clWinSetupInstallSys::WaitDeleted()
{
    if (!platform->ServiceExists(serviceName))
        return Next(6);
    waitError = ERROR_SERVICE_MARKED_FOR_DELETE;
    return 0;
}

int32_t clWinSetupInstallSys::WriteDriverFile()
{
    int32_t result = ExtractDriverFile();
    return result != 0 ? result : Next(8);
}

int32_t clWinSetupInstallSys::ReplaceInPlace()
{
    int32_t result = ExtractDriverFile();
    if (result != 0)
        return result;
    if (startType == SERVICE_BOOT_START)
        reboot = 1;
    bool there = platform->ServiceExists(serviceName) || platform->DeviceIsPresent(serviceName);
    return Next(there ? 10 : 8);
}

int32_t clWinSetupInstallSys::CreateNewService()
{
    int32_t result = platform->CreateDriverService(serviceName, platform->DriverImagePath(serviceName),
                                                   loadOrderGroup, static_cast<uint32_t>(startType));
    return result != 0 ? result : Next(9);
}

int32_t clWinSetupInstallSys::ActivateDriver()
{
    if (startType == SERVICE_BOOT_START) {
        reboot = 1;
    } else if (startType == SERVICE_SYSTEM_START) {
        int32_t result = platform->StartDriver(serviceName);
        if (result != 0)
            return result;
    }
    return Next(10);
}

// ---- Removal of a shared component

clWinSetupUninstallService::clWinSetupUninstallService()
{
    typeCode = SETUP_TYPE_UNINSTALL_SERVICE;
}

bool clWinSetupUninstallService::IsSame(const clSetupItem* other) const
{
    return other && other->typeCode == typeCode &&
           static_cast<const clWinSetupUninstallService*>(other)->componentName == componentName;
}

bool clWinSetupUninstallService::IsLastComponentUser()
{
    if (!platform->ComponentHasOtherUsers(componentName, usedValueName))
        return true;
    platform->DeleteComponentUser(componentName, usedValueName);
    return false;
}

void clWinSetupUninstallService::UnregisterComponent()
{
    platform->DeleteComponentUser(componentName, usedValueName);
    platform->DeleteComponentKey(componentName);
}

// ---- Free functions

int32_t AddInstallSys(clWinSetupList* list, const std::string& serviceName, int32_t version,
                      int32_t resourceId)
{
    clWinSetupInstallSys* item = new (std::nothrow) clWinSetupInstallSys;
    if (item) {
        item->usedValueName = list ? list->productKey : std::string();
        item->componentKey = serviceName;
        item->serviceName = serviceName;
        item->version = version;
        item->resourceId = resourceId;
        item->driverPath = DriverFilePath(serviceName);
    }
    return AddNewSetupItem(list, item);
}

std::string ChooseInstallDir(const std::string& uninstallString, const std::string& programFiles,
                             const std::string& productKey)
{
    // Only a folder named in full is taken over; anything else (a bare name, a quoted
    // command) would install into wherever the process happens to stand.
    std::string folder = ExtractFileDir(uninstallString);
    if (IsAbsolutePath(folder))
        return folder;
    if (programFiles.empty())
        return std::string();
    return programFiles + "\\" + productKey;
}

std::string DefaultInstallDir(const std::string& productKey)
{
    std::string uninstallString;
    try {
        uninstallString = ReadUninstallString(productKey.c_str());
    } catch (const Exception&) {
        // An entry of another type names no folder.
    }
    const char* programFiles = GetProgramFilesDir();
    return ChooseInstallDir(uninstallString, programFiles ? programFiles : "", productKey);
}

std::string DriverFilePath(const std::string& name)
{
    const char* drivers = GetNativeDriversDir();
    if (!drivers)
        return std::string();
    return std::string(drivers) + "\\" + name + ".SYS";
}

std::string DriverImagePath(const std::string& name, int32_t arch, bool vistaOrLater)
{
    const char* folder = arch == OS_ARCH_X64 && !vistaOrLater ? "SysWOW64" : "System32";
    return std::string(folder) + "\\drivers\\" + name + ".SYS";
}

bool IsPresentWhenOpenFails(uint32_t error)
{
    return error == ERROR_ACCESS_DENIED;
}

bool DeviceIsPresent(const std::string& name)
{
    std::string device = "\\\\.\\" + name;
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return IsPresentWhenOpenFails(GetLastError());
    CloseHandle(handle);
    return true;
}

void DeleteDriverFile(const std::string& name)
{
    std::string path = DriverFilePath(name);
    if (!path.empty())
        DeleteFileForced(path.c_str());
    if (GetOsArch() != OS_ARCH_X64)
        return;
    const char* wow64 = GetSystemWow64Dir();
    if (wow64)
        DeleteFileForced((std::string(wow64) + "\\drivers\\" + name + ".SYS").c_str());
}
