// The driver actions on Wine's machine: the disk class's "UpperFilters" edited with a phantom
// disk present, the old filter driver's seeded state removed, the cache driver installed as a
// boot-start service, a newer recorded driver left alone, and the records' odd values.
#include "engine/cachedriver.h"
#include "engine/driverservice.h"
#include "foundation/fileutil.h"
#include "foundation/filterlistutil.h"
#include "foundation/osinfo.h"
#include "foundation/serviceutil.h"

#include <windows.h>
#include <setupapi.h>

#include "../foundation/scratchkey.h"
#include "../foundation/testfolder.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

const uint16_t PayloadId = 31001;  // winsetupactions_test.rc

// {4D36E967-E325-11CE-BFC1-08002BE10318}: the disk drive device class.
const GUID DiskDriveClass = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}: the disk device interface class.
const GUID DiskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// A non-present disk exposing the disk interface (a fresh prefix has no disk at all), and the
// class key's two filter values, put back as they were found.
class DiskClassFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { DetectOs(); }
    void SetUp() override
    {
        set_ = SetupDiCreateDeviceInfoList(&DiskDriveClass, nullptr);
        device_.cbSize = sizeof device_;
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof iface;
        ASSERT_TRUE(set_ != INVALID_HANDLE_VALUE &&
                    SetupDiCreateDeviceInfoA(set_, "DiskDrive", &DiskDriveClass, "Tolvarn test phantom disk",
                                             nullptr, DICD_GENERATE_ID, &device_) &&
                    SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr) &&
                    SetupDiCreateDeviceInterfaceA(set_, &device_, &DiskInterface, nullptr, 0, &iface))
            << GetLastError();
        ASSERT_NE(GetDiskClassGuid(), nullptr);
        key_ = OpenClassKey(GetDiskClassGuid(), false);
        ASSERT_NE(key_, static_cast<HKEY>(INVALID_HANDLE_VALUE));
        Save("UpperFilters", &upper_);
        Save("LowerFilters", &lower_);
    }
    void TearDown() override
    {
        if (key_ && key_ != static_cast<HKEY>(INVALID_HANDLE_VALUE)) {
            Restore("UpperFilters", upper_);
            Restore("LowerFilters", lower_);
            RegCloseKey(key_);
        }
        if (set_ != INVALID_HANDLE_VALUE) {
            SetupDiRemoveDevice(set_, &device_);
            SetupDiDestroyDeviceInfoList(set_);
        }
    }

    void Set(const char* name, DWORD type, const std::string& bytes)
    {
        RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    }
    void Remove(const char* name) { RegDeleteValueA(key_, name); }
    // "<missing>" or the stored bytes.
    std::string Stored(const char* name)
    {
        char data[512];
        DWORD size = sizeof data;
        if (RegQueryValueExA(key_, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS)
            return "<missing>";
        return std::string(data, size);
    }

private:
    struct Saved {
        bool exists = false;
        DWORD type = 0;
        std::string bytes;
    };
    void Save(const char* name, Saved* saved)
    {
        DWORD size = 0;
        saved->exists = RegQueryValueExA(key_, name, nullptr, &saved->type, nullptr, &size) == ERROR_SUCCESS;
        if (saved->exists) {
            saved->bytes.assign(size, '\0');
            RegQueryValueExA(key_, name, nullptr, &saved->type, reinterpret_cast<BYTE*>(&saved->bytes[0]),
                             &size);
        }
    }
    void Restore(const char* name, const Saved& saved)
    {
        if (saved.exists)
            Set(name, saved.type, saved.bytes);
        else
            RegDeleteValueA(key_, name);
    }

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device_ = {};
    HKEY key_ = nullptr;
    Saved upper_;
    Saved lower_;
};

std::string ComponentPath(const std::string& name)
{
    return "Software\\DORQ\\" + name;
}

std::string ServicePath(const std::string& name)
{
    return "System\\CurrentControlSet\\Services\\" + name;
}

void MakeFile(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string Dword(DWORD value)
{
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

int64_t RecordedVersion(const std::string& component)
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValueAt(HKEY_LOCAL_MACHINE, ComponentPath(component), "Version", &type, &bytes) ||
        type != REG_DWORD)
        return -1;
    return *reinterpret_cast<const DWORD*>(bytes.data());
}

bool HasUser(const std::string& component, const char* user)
{
    DWORD type = 0;
    std::string bytes;
    return ReadValueAt(HKEY_LOCAL_MACHINE, ComponentPath(component) + "\\Used", user, &type, &bytes) &&
           type == REG_SZ;
}

std::string PayloadBytes()
{
    uint32_t size = 0;
    const void* data = LockBinRes(PayloadId, &size);
    return data ? std::string(static_cast<const char*>(data), size) : std::string();
}

// Removes a test driver's service, files and records.
void RemoveTestDriver(const std::string& name)
{
    DeleteServiceByName(name.c_str());
    DeleteDriverFile(name);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ComponentPath(name).c_str());
}

}  // namespace

TEST_F(DiskClassFixture, UpperFilterInsertedIntoTheRealClassKey)
{
    struct Case {
        const char* what;
        DWORD type;  // 0: no value
        std::string stored;
        int32_t result;
        std::string after;
    };
    const Case cases[] = {
        {"no value", 0, "", 0, "TolvarnTest\0\0"s},
        {"after Fastboot, the others kept in order", REG_MULTI_SZ, "PartMgr\0Fastboot\0Other\0\0"s, 0,
         "PartMgr\0Fastboot\0TolvarnTest\0Other\0\0"s},
        {"in front of the others", REG_MULTI_SZ, "Other\0PartMgr\0\0"s, 0,
         "TolvarnTest\0Other\0PartMgr\0\0"s},
        {"already there in another case: left as it is", REG_MULTI_SZ, "PartMgr\0tolvarntest\0\0"s, 0,
         "PartMgr\0tolvarntest\0\0"s},
        {"no terminator at all", REG_MULTI_SZ, "PartMgr"s, 0, "TolvarnTest\0PartMgr\0\0"s},
        {"an unterminated Fastboot at the end", REG_MULTI_SZ, "A\0Fastboot"s, 0,
         "A\0Fastboot\0TolvarnTest\0\0"s},
        {"a truncated Fastboot", REG_MULTI_SZ, "A\0Fastbo"s, 0, "TolvarnTest\0A\0Fastbo\0\0"s},
        {"a single text instead of a list", REG_SZ, "PartMgr\0"s, ERROR_BAD_FORMAT, "PartMgr\0"s},
    };
    for (const Case& c : cases) {
        Remove("UpperFilters");
        if (c.type)
            Set("UpperFilters", c.type, c.stored);
        Set("LowerFilters", REG_MULTI_SZ, "Lower\0\0"s);
        EXPECT_EQ(AddDiskUpperFilter("TolvarnTest"), c.result) << c.what;
        EXPECT_EQ(Stored("UpperFilters"), c.after) << c.what;
        EXPECT_EQ(Stored("LowerFilters"), "Lower\0\0"s) << c.what << ": the other list is not touched";
    }
}

TEST_F(DiskClassFixture, OldDriverSeededStateRemoved)
{
    // The older generation as an earlier product left it: both services' keys, their files
    // (in the 64-bit and the 32-bit drivers folders), their records and their filter entries.
    for (const char* name : {"DORQVORN", "DORQVORNZEMK"}) {
        WriteValueAt(HKEY_LOCAL_MACHINE, ServicePath(name), "ImagePath", REG_EXPAND_SZ,
                     "System32\\drivers\\"s + name + ".SYS\0"s);
        WriteValueAt(HKEY_LOCAL_MACHINE, ServicePath(name) + "\\Enum", "Count", REG_DWORD, Dword(1));
        MakeFile(DriverFilePath(name), "old driver");
        MakeFile(std::string(GetSystemWow64Dir()) + "\\drivers\\" + name + ".SYS", "old driver");
        WriteValueAt(HKEY_LOCAL_MACHINE, ComponentPath(name), "Version", REG_DWORD, Dword(105));
        WriteValueAt(HKEY_LOCAL_MACHINE, ComponentPath(name) + "\\Used", "JyxBrimvault", REG_SZ, "then\0"s);
    }
    // Another product still uses the longer-named one.
    WriteValueAt(HKEY_LOCAL_MACHINE, ComponentPath("DORQVORNZEMK") + "\\Used", "OtherProduct", REG_SZ,
                 "then\0"s);
    Set("UpperFilters", REG_MULTI_SZ, "PartMgr\0DORQVORN\0Other\0\0"s);
    Set("LowerFilters", REG_MULTI_SZ, "DorqVornZemk\0\0"s);

    clWinSetupList list;
    for (const char* name : {"DORQVORN", "DORQVORNZEMK"}) {
        clVornOldDriverUninstall* item = new clVornOldDriverUninstall;
        item->usedValueName = "JyxBrimvault";
        item->componentName = name;
        AddSetupItem(&list, item);
    }
    EXPECT_EQ(RunSetupList(&list), 0);
    EXPECT_EQ(list.reboot, 1) << "filter entries were removed";

    // The base name's entries and everything of its own are gone...
    EXPECT_EQ(Stored("UpperFilters"), "PartMgr\0Other\0\0"s);
    EXPECT_FALSE(KeyExistsAt(HKEY_LOCAL_MACHINE, ServicePath("DORQVORN")));
    EXPECT_FALSE(KeyExistsAt(HKEY_LOCAL_MACHINE, ComponentPath("DORQVORN")));
    EXPECT_EQ(FileBytes(DriverFilePath("DORQVORN")), "<missing>");
    EXPECT_EQ(FileBytes(std::string(GetSystemWow64Dir()) + "\\drivers\\DORQVORN.SYS"), "<missing>");
    // ...and so are the longer name's filter entries, taken by the base name's prefix, while its
    // file and records stay for the product that still uses it.
    EXPECT_EQ(Stored("LowerFilters"), "<missing>") << "emptied, so deleted";
    EXPECT_TRUE(KeyExistsAt(HKEY_LOCAL_MACHINE, ServicePath("DORQVORNZEMK")));
    EXPECT_EQ(RecordedVersion("DORQVORNZEMK"), 105);
    EXPECT_FALSE(HasUser("DORQVORNZEMK", "JyxBrimvault"));
    EXPECT_TRUE(HasUser("DORQVORNZEMK", "OtherProduct"));
    EXPECT_EQ(FileBytes(DriverFilePath("DORQVORNZEMK")), "old driver");

    // A second run finds nothing more to do and asks for no restart.
    clWinSetupList again;
    clVornOldDriverUninstall* item = new clVornOldDriverUninstall;
    item->usedValueName = "JyxBrimvault";
    item->componentName = "DORQVORN";
    AddSetupItem(&again, item);
    EXPECT_EQ(RunSetupList(&again), 0);
    EXPECT_EQ(again.reboot, 0);

    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ServicePath("DORQVORNZEMK").c_str());
    RemoveTestDriver("DORQVORNZEMK");
}

namespace {

clVornDriverInstall* AddTestCacheDriver(clWinSetupList& list, const char* name)
{
    clVornDriverInstall* item = new clVornDriverInstall;
    item->usedValueName = "JyxBrimvault";
    item->componentKey = name;
    item->version = 204;
    item->resourceId = PayloadId;
    AddSetupItem(&list, item);
    return item;
}

}  // namespace

TEST_F(DiskClassFixture, CacheDriverInstalledAsABootStartFilter)
{
    const char Name[] = "TOLVARNTESTCACHE";
    RemoveTestDriver(Name);
    Set("UpperFilters", REG_MULTI_SZ, "Fastboot\0PartMgr\0\0"s);

    clWinSetupList list;
    clVornDriverInstall* item = AddTestCacheDriver(list, Name);
    EXPECT_EQ(RunSetupList(&list), 0);
    EXPECT_EQ(item->currentStep, 7);
    EXPECT_EQ(list.reboot, 1);
    EXPECT_EQ(FileBytes(DriverFilePath(Name)), PayloadBytes());
    EXPECT_EQ(Stored("UpperFilters"), "Fastboot\0TOLVARNTESTCACHE\0PartMgr\0\0"s);
    EXPECT_EQ(RecordedVersion(Name), 204);
    EXPECT_TRUE(HasUser(Name, "JyxBrimvault"));

    // The service as the service manager wrote it.
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(ReadValueAt(HKEY_LOCAL_MACHINE, ServicePath(Name), "Start", &type, &bytes));
    EXPECT_EQ(bytes, Dword(SERVICE_BOOT_START));
    ASSERT_TRUE(ReadValueAt(HKEY_LOCAL_MACHINE, ServicePath(Name), "Group", &type, &bytes));
    EXPECT_EQ(std::string(bytes.c_str()), "System Reserved");
    ASSERT_TRUE(ReadValueAt(HKEY_LOCAL_MACHINE, ServicePath(Name), "ImagePath", &type, &bytes));
    EXPECT_EQ(std::string(bytes.c_str()), "System32\\drivers\\TOLVARNTESTCACHE.SYS");

    // Installed again before the restart: the file and the entry are made sure of, and the
    // restart is asked for again.
    clWinSetupList again;
    AddTestCacheDriver(again, Name);
    EXPECT_EQ(RunSetupList(&again), 0);
    EXPECT_EQ(again.reboot, 1);
    EXPECT_EQ(Stored("UpperFilters"), "Fastboot\0TOLVARNTESTCACHE\0PartMgr\0\0"s);

    RemoveTestDriver(Name);
}

TEST_F(DiskClassFixture, ANewerRecordedDriverIsLeftAlone)
{
    const char Name[] = "TOLVARNTESTNEWER";
    RemoveTestDriver(Name);
    ASSERT_EQ(CreateDriverService(Name, "C:\\tolvarn-none.sys", "System Reserved", SERVICE_DEMAND_START), 0);
    MakeFile(DriverFilePath(Name), "a newer build");
    WriteValueAt(HKEY_LOCAL_MACHINE, ComponentPath(Name), "Version", REG_DWORD, Dword(300));
    Set("UpperFilters", REG_MULTI_SZ, "PartMgr\0\0"s);

    // 1. Its filter entry lost: the entry is made again and the restart asked for; the file
    //    and the record stay.
    clWinSetupList list;
    clVornDriverInstall* item = AddTestCacheDriver(list, Name);
    EXPECT_EQ(RunSetupList(&list), 0);
    EXPECT_EQ(item->currentStep, 7);
    EXPECT_EQ(list.reboot, 1);
    EXPECT_EQ(FileBytes(DriverFilePath(Name)), "a newer build");
    EXPECT_EQ(RecordedVersion(Name), 300);
    EXPECT_TRUE(HasUser(Name, "JyxBrimvault")) << "only this product is added as a user";
    EXPECT_EQ(Stored("UpperFilters"), "TOLVARNTESTNEWER\0PartMgr\0\0"s);

    // 2. Again, with its entry there: the value is not written twice.
    clWinSetupList again;
    AddTestCacheDriver(again, Name);
    EXPECT_EQ(RunSetupList(&again), 0);
    EXPECT_EQ(FileBytes(DriverFilePath(Name)), "a newer build");
    EXPECT_EQ(RecordedVersion(Name), 300);
    EXPECT_EQ(Stored("UpperFilters"), "TOLVARNTESTNEWER\0PartMgr\0\0"s);

    RemoveTestDriver(Name);
}

TEST(DriverRecordsOnWine, OddValuesReadAsNothing)
{
    DetectOs();
    const char Name[] = "TOLVARNTESTODD";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ComponentPath(Name).c_str());
    WriteValueAt(HKEY_LOCAL_MACHINE, ComponentPath(Name), "Version", REG_SZ, "1.03\0"s);

    // A "Version" stored as a text is no version: the driver counts as not installed...
    DriverSetupPlatform& system = SystemDriverSetup();
    EXPECT_EQ(system.ReadComponentVersion(Name), 0);
    clWinSetupInstallSys item;
    item.componentKey = Name;
    item.usedValueName = "JyxBrimvault";
    item.version = 103;
    item.driverPath = DriverFilePath(Name);
    EXPECT_TRUE(item.NeedsUpdate());
    // ...and its record is written over.
    item.RegisterComponent();
    EXPECT_EQ(RecordedVersion(Name), 103);
    EXPECT_TRUE(HasUser(Name, "JyxBrimvault"));
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ComponentPath(Name).c_str());

    // The install folder from an old uninstall entry: a full path, or else the default.
    const std::string entry = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TolvarnEngineTest";
    std::string programFiles = GetProgramFilesDir();
    struct Case {
        const char* what;
        DWORD type;  // 0: no entry
        std::string data;
        std::string folder;
    };
    const Case cases[] = {
        {"no entry", 0, "", programFiles + "\\TolvarnEngineTest"},
        {"the uninstaller's folder", REG_SZ, "D:\\Brim vault\\Uninstall.exe\0"s, "D:\\Brim vault"},
        {"a quoted command", REG_SZ, "\"D:\\Brim vault\\Uninstall.exe\"\0"s,
         programFiles + "\\TolvarnEngineTest"},
        {"a bare name", REG_SZ, "Uninstall.exe\0"s, programFiles + "\\TolvarnEngineTest"},
        {"a number", REG_DWORD, Dword(7), programFiles + "\\TolvarnEngineTest"},
    };
    for (const Case& c : cases) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, entry.c_str());
        if (c.type)
            WriteValueAt(HKEY_LOCAL_MACHINE, entry, "UninstallString", c.type, c.data);
        EXPECT_EQ(DefaultInstallDir("TolvarnEngineTest"), c.folder) << c.what;
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, entry.c_str());
}

TEST(DriverFilesOnWine, PathsAndDeletion)
{
    DetectOs();
    ASSERT_EQ(GetOsArch(), OS_ARCH_X64) << "the 64-bit prefix";
    EXPECT_EQ(DriverFilePath("SABLINEX"),
              std::string(GetWindowsDir()) + "\\Sysnative\\drivers\\SABLINEX.SYS");
    const std::string wow64 = std::string(GetSystemWow64Dir()) + "\\drivers\\TOLVARNTESTFILE.SYS";
    MakeFile(DriverFilePath("TOLVARNTESTFILE"), "x");
    MakeFile(wow64, "y");
    SetFileAttributesA(wow64.c_str(), FILE_ATTRIBUTE_READONLY);
    DeleteDriverFile("TOLVARNTESTFILE");
    EXPECT_EQ(FileBytes(DriverFilePath("TOLVARNTESTFILE")), "<missing>");
    EXPECT_EQ(FileBytes(wow64), "<missing>");
    DeleteDriverFile("TOLVARNTESTFILE");  // nothing there: nothing happens

    EXPECT_FALSE(DeviceIsPresent("TOLVARNTESTNODEVICE"));
}

#ifdef PROXY_DRIVER_ID
namespace {

const char ProxyService[] = "TOLVARNTESTPROXY";
const std::string ProxyPreinstalled = "C:\\tolvarn-proxy\\TOLVARNTESTPROXY.SYS";

uint32_t WaitForServiceState(const char* name, uint32_t wanted)
{
    uint32_t state = 0;
    for (int i = 0; i < 100; ++i) {
        if (QueryServiceStateByName(name, &state) == 0 && state == wanted)
            break;
        Sleep(50);
    }
    return state;
}

void WaitUntilGone(const char* name)
{
    for (int i = 0; i < 100 && ServiceExists(name); ++i)
        Sleep(50);
}

// Points the service at an absolute path. Wine does not start a kernel service whose image
// path is relative to the Windows folder, as Windows does; this stands in for that.
void MakeImagePathAbsolute(const char* name, const std::string& path)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, path.c_str(),
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// Records the road and applies the image-path stand-in right before the start.
class ProxyRoadList : public clWinSetupList {
public:
    ProxyRoadList() { waitPauseMs = 20; }
    void StepHook() override
    {
        const clSetupItem* item = static_cast<const clSetupItem*>(First());
        if (item->currentStep == last)
            return;
        last = item->currentStep;
        road += "," + std::to_string(last);
        if (last == 9) {
            DWORD type = 0;
            std::string bytes;
            if (ReadValueAt(HKEY_LOCAL_MACHINE, ServicePath(ProxyService), "ImagePath", &type, &bytes))
                imagePathMade = bytes.c_str();
            MakeImagePathAbsolute(ProxyService, "C:\\windows\\system32\\drivers\\TOLVARNTESTPROXY.SYS");
        }
    }
    int32_t last = 0;
    std::string road = "0";
    std::string imagePathMade;
};

}  // namespace

TEST(ProxyDriverOnWine, ARunningOlderDriverIsStoppedReplacedAndStarted)
{
    DetectOs();
    // The fixture: an older build running under the service, installed from elsewhere.
    RemoveTestDriver(ProxyService);
    WaitUntilGone(ProxyService);
    ASSERT_EQ(ExtractBinRes(nullptr, ProxyPreinstalled.c_str(), PROXY_DRIVER_ID), 0);
    ASSERT_EQ(CreateDriverService(ProxyService, ProxyPreinstalled.c_str(), "Base", SERVICE_DEMAND_START), 0);
    ASSERT_EQ(StartServiceByName(ProxyService), 0);
    ASSERT_EQ(WaitForServiceState(ProxyService, SERVICE_RUNNING), ServiceStateRunning);
    WriteValueAt(HKEY_LOCAL_MACHINE, ComponentPath(ProxyService), "Version", REG_DWORD, Dword(100));

    ProxyRoadList list;
    list.productKey = "JyxBrimvault";
    ASSERT_EQ(AddInstallSys(&list, ProxyService, 103, PROXY_DRIVER_ID), 0);
    EXPECT_EQ(RunSetupList(&list), 0);
    // Stopped (state 3 when the stop takes a while), deleted, written, made anew, started.
    std::string road = list.road;
    if (road.compare(0, 8, "0,1,2,3,") == 0)
        road.erase(5, 2);
    EXPECT_EQ(road, "0,1,2,4,5,6,8,9,10,11") << list.road;
    EXPECT_EQ(list.imagePathMade, "System32\\drivers\\TOLVARNTESTPROXY.SYS");
    EXPECT_EQ(WaitForServiceState(ProxyService, SERVICE_RUNNING), ServiceStateRunning);
    EXPECT_EQ(RecordedVersion(ProxyService), 103);
    EXPECT_TRUE(HasUser(ProxyService, "JyxBrimvault"));
    uint32_t size = 0;
    LockBinRes(PROXY_DRIVER_ID, &size);
    EXPECT_EQ(GetFileSizeByName(DriverFilePath(ProxyService).c_str()), int64_t(size));

    // Run again: current, running, nothing to do but to be a user.
    ProxyRoadList again;
    again.productKey = "JyxBrimvault";
    ASSERT_EQ(AddInstallSys(&again, ProxyService, 103, PROXY_DRIVER_ID), 0);
    EXPECT_EQ(RunSetupList(&again), 0);
    EXPECT_EQ(again.road, "0,1,9,10,11") << "its device has another name: the start finds it running";

    uint32_t state = 0;
    StopServiceByName(ProxyService, &state);
    WaitForServiceState(ProxyService, SERVICE_STOPPED);
    RemoveTestDriver(ProxyService);
    DeleteFileForced(ProxyPreinstalled.c_str());
}
#endif
