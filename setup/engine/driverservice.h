// The driver service actions: a kernel driver carried as a resource installed or updated as a
// service, the shared-component records of its version and users, and their removal.
#pragma once

#include "engine/setupitem.h"
#include "engine/winsetuplist.h"

#include <windows.h>
#include <stdint.h>
#include <string>

// What the driver actions ask of the system; a test puts a simulated machine in place.
class DriverSetupPlatform {
public:
    virtual ~DriverSetupPlatform() = default;

    // Where the driver file of a service goes, and the image path its service names.
    virtual std::string DriverFilePath(const std::string& name) = 0;
    virtual std::string DriverImagePath(const std::string& name) = 0;
    // Whether the driver's control device "\\.\<name>" answers (also with access denied).
    virtual bool DeviceIsPresent(const std::string& name) = 0;

    // The service manager; results are Win32 error codes.
    virtual bool ServiceExists(const std::string& name) = 0;
    virtual int QueryServiceState(const std::string& name, uint32_t* state) = 0;
    // A stop that the driver refuses gives 1052 (it cannot be unloaded) or 1051 (services
    // that depend on it run).
    virtual int StopDriver(const std::string& name, uint32_t* state) = 0;
    virtual int DeleteDriverService(const std::string& name) = 0;
    virtual int CreateDriverService(const std::string& name, const std::string& imagePath,
                                    const std::string& group, uint32_t startType) = 0;
    virtual int StartDriver(const std::string& name) = 0;

    // Files and Setup's own "BINRES" resources.
    virtual bool FileExists(const std::string& path) = 0;
    virtual int64_t FileSize(const std::string& path) = 0;  // -1 when it cannot be read
    virtual uint32_t ResourceSize(uint16_t id) = 0;         // 0 when missing
    virtual int ExtractResource(const std::string& path, uint16_t id) = 0;
    virtual void DeleteDriverFile(const std::string& name) = 0;

    // The records of shared components under "Software\DORQ". A "Version" that is missing
    // or not a number reads as 0; failed writes are not reported.
    virtual int32_t ReadComponentVersion(const std::string& component) = 0;
    virtual void WriteComponentVersion(const std::string& component, int32_t version) = 0;
    virtual void WriteComponentUser(const std::string& component, const std::string& user,
                                    const std::string& text) = 0;
    virtual bool ComponentHasOtherUsers(const std::string& component, const std::string& user) = 0;
    virtual void DeleteComponentUser(const std::string& component, const std::string& user) = 0;
    virtual void DeleteComponentKey(const std::string& component) = 0;
    virtual void DeleteServiceKey(const std::string& name) = 0;

    // The disk class filter lists.
    virtual int AddDiskUpperFilter(const std::string& name) = 0;
    virtual int RemoveDiskClassFilter(const std::string& name, bool* removed) = 0;

    // The local date and time as the users' records show it.
    virtual std::string NowText() = 0;
};

// The real machine.
DriverSetupPlatform& SystemDriverSetup();

// How long a driver action waits for the service manager (a stop, a deletion) before the
// run ends with the wait's error.
enum : int32_t { DRIVER_SERVICE_WAIT_LIMIT_MS = 15000 };

// A shared component carried by Setup: its records and its users. No steps of its own.
class clWinSetupInstallService : public clSetupItem {
public:
    clWinSetupInstallService();
    bool IsSame(const clSetupItem* other) const override;  // the component key

    // Records the carried version (never over a higher recorded one) and this product as
    // a user.
    virtual void RegisterComponent();
    // Records this product as a user, with the date and time; nothing for an empty name.
    virtual void RegisterComponentUser();

    int32_t version = 0;
    std::string usedValueName;
    std::string componentKey;
    DriverSetupPlatform* platform = &SystemDriverSetup();
};

// A component whose file is one of Setup's resources. No steps of its own.
class clWinSetupInstallServiceResource : public clWinSetupInstallService {
public:
    // Records the carried version when this item wrote the file, whatever was recorded
    // before; for a file left alone, as the base does. Then this product as a user.
    void RegisterComponent() override;
    // Whether the carried file must replace what is installed: a newer carried version, or
    // at equal versions a missing file or one of another size. Every "no" records this
    // product as a user.
    virtual bool NeedsUpdate();
    // Writes the carried file to the driver path; 3 for an empty path.
    int32_t ExtractDriverFile();
    // Whether a newer build than the carried one is recorded and its file is there: such a
    // file is never replaced by the carried one.
    bool NewerFileIsInstalled();

    int32_t resourceId = 0;
    std::string driverPath;
    bool fileWritten = false;  // by ExtractDriverFile
};

// A kernel driver installed, updated and started as a service.
class clWinSetupInstallSys : public clWinSetupInstallServiceResource {
public:
    clWinSetupInstallSys();
    int32_t ExecuteStep() override;
    // Starts a system-start driver, or asks for a restart for a boot-start one.
    virtual int32_t ActivateDriver();

    int32_t startType = SERVICE_SYSTEM_START;
    std::string loadOrderGroup = "Base";
    std::string serviceName;

private:
    int32_t Next(int32_t state);
    int32_t CheckInstalled();
    int32_t DecideUpdate();
    int32_t StopOld();
    int32_t WaitStopped();
    int32_t DeleteOld();
    int32_t WaitDeleted();
    int32_t WriteDriverFile();
    int32_t ReplaceInPlace();
    int32_t CreateNewService();
};

// A shared component that this product no longer uses. No steps of its own.
class clWinSetupUninstallService : public clSetupItem {
public:
    clWinSetupUninstallService();
    bool IsSame(const clSetupItem* other) const override;  // the component name

    // True when no other product uses the component; otherwise removes this product from its
    // users and gives false.
    bool IsLastComponentUser();
    // Removes this product from the users, then the component's records.
    void UnregisterComponent();

    std::string usedValueName;
    std::string componentName;
    DriverSetupPlatform* platform = &SystemDriverSetup();
};

// Adds a system-start driver in the "Base" group for the list's product.
int32_t AddInstallSys(clWinSetupList* list, const std::string& serviceName, int32_t version,
                      int32_t resourceId);

// The folder of the product's uninstaller as its uninstall entry names it, when that is an
// absolute path; otherwise "<Program Files>\<productKey>", or empty without such a folder.
std::string DefaultInstallDir(const std::string& productKey);
// The choice itself, over the entry's "UninstallString" and the program files folder.
std::string ChooseInstallDir(const std::string& uninstallString, const std::string& programFiles,
                             const std::string& productKey);

// "<native drivers folder>\<name>.SYS"; empty when there is no such folder.
std::string DriverFilePath(const std::string& name);
// The service's image path, relative to the Windows folder: "SysWOW64\drivers\<name>.SYS" on
// 64-bit Windows before Vista, else "System32\drivers\<name>.SYS".
std::string DriverImagePath(const std::string& name, int32_t arch, bool vistaOrLater);
// Whether "\\.\<name>" opens; a refusal (access denied) also shows that it is there.
bool DeviceIsPresent(const std::string& name);
bool IsPresentWhenOpenFails(uint32_t error);
// Deletes the driver file, on 64-bit Windows from the WOW64 system folder as well.
void DeleteDriverFile(const std::string& name);
