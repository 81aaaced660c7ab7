// The driver service item's roads over a simulated machine, its update rule, its bounded
// waits and its errors; the paths and the default install folder.
#include "engine/driverservice.h"
#include "foundation/osinfo.h"

#include "fakemachine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char Proxy[] = "SABLINEX";
const std::string ProxyFile = std::string(FakeMachine::DriversDir) + "SABLINEX.SYS";

// What is on the machine before the run.
struct Installed {
    int32_t version = 0;    // the recorded "Version"; 0 for none
    int64_t fileSize = -1;  // the driver file's size; -1 for none
    bool service = false;
    uint32_t state = SERVICE_STOPPED;
    bool device = false;  // the control device answers
};

void Prepare(FakeMachine& machine, const Installed& before)
{
    if (before.version)
        machine.versions[Proxy] = before.version;
    if (before.fileSize >= 0)
        machine.files[ProxyFile] = before.fileSize;
    if (before.service) {
        FakeService service;
        service.state = before.state;
        machine.services[Proxy] = service;
    }
    if (before.device)
        machine.devices.insert(Proxy);
}

clWinSetupInstallSys* AddProxy(RoadList& list, FakeMachine& machine, int32_t startType)
{
    list.productKey = "JyxBrimvault";
    EXPECT_EQ(AddInstallSys(&list, Proxy, 103, 21410), 0);
    clWinSetupInstallSys* item = static_cast<clWinSetupInstallSys*>(list.First());
    item->platform = &machine;
    item->driverPath = ProxyFile;
    item->startType = startType;
    list.Start(item);
    return item;
}

}  // namespace

TEST(InstallSys, RoadsThroughTheStates)
{
    const int32_t Boot = SERVICE_BOOT_START;
    const int32_t System = SERVICE_SYSTEM_START;
    struct Case {
        const char* what;
        Installed before;
        int32_t startType;
        const char* road;
        const char* calls;
        int32_t versionAfter;
        uint8_t reboot;
    };
    const Case cases[] = {
        {"fresh install", {}, System, "0,6,8,9,10,11", "extract create start version=103", 103, 0},
        {"current, running", {103, 1000, true, SERVICE_RUNNING, true}, System, "0,1,11", "", 103, 0},
        {"current, stopped: started",
         {103, 1000, true, SERVICE_STOPPED, false},
         System,
         "0,1,9,10,11",
         "start version=103",
         103,
         0},
        {"newer recorded, running: left alone",
         {200, 900, true, SERVICE_RUNNING, true},
         System,
         "0,1,11",
         "",
         200,
         0},
        {"newer recorded, stopped: started, its record kept",
         {200, 900, true, SERVICE_STOPPED, false},
         System,
         "0,1,9,10,11",
         "start",
         200,
         0},
        {"newer recorded with its file, no service: the service made for it",
         {200, 900, false, SERVICE_STOPPED, false},
         System,
         "0,8,9,10,11",
         "create start",
         200,
         0},
        {"newer recorded without its file: ours written and recorded",
         {200, -1, true, SERVICE_STOPPED, false},
         System,
         "0,1,2,4,5,6,8,9,10,11",
         "stop delete extract create start version=103",
         103,
         0},
        {"older, running: stopped, deleted, replaced",
         {100, 900, true, SERVICE_RUNNING, true},
         System,
         "0,1,2,4,5,6,8,9,10,11",
         "stop delete extract create start version=103",
         103,
         0},
        {"older, stopped",
         {100, 900, true, SERVICE_STOPPED, false},
         System,
         "0,1,2,4,5,6,8,9,10,11",
         "stop delete extract create start version=103",
         103,
         0},
        {"same version, another size",
         {103, 999, true, SERVICE_RUNNING, true},
         System,
         "0,1,2,4,5,6,8,9,10,11",
         "stop delete extract create start version=103",
         103,
         0},
        {"same version, file missing",
         {103, -1, true, SERVICE_RUNNING, true},
         System,
         "0,1,2,4,5,6,8,9,10,11",
         "stop delete extract create start version=103",
         103,
         0},
        {"only the device answers (no service)",
         {100, 900, false, SERVICE_STOPPED, true},
         System,
         "0,1,2,4,5,6,8,9,10,11",
         "stop delete extract create start version=103",
         103,
         0},
        {"boot start, fresh: a restart instead of a start",
         {},
         Boot,
         "0,6,8,9,10,11",
         "extract create version=103",
         103,
         1},
        {"boot start, outdated: replaced in place",
         {100, 900, true, SERVICE_RUNNING, true},
         Boot,
         "0,1,7,10,11",
         "extract version=103",
         103,
         1},
        {"boot start, current", {103, 1000, true, SERVICE_RUNNING, true}, Boot, "0,1,11", "", 103, 0},
    };
    for (const Case& c : cases) {
        FakeMachine machine;
        Prepare(machine, c.before);
        RoadList list;
        clWinSetupInstallSys* item = AddProxy(list, machine, c.startType);
        EXPECT_EQ(RunSetupList(&list), 0) << c.what;
        EXPECT_EQ(list.road, c.road) << c.what;
        EXPECT_EQ(machine.log, c.calls) << c.what;
        EXPECT_EQ(machine.versions[Proxy], c.versionAfter) << c.what;
        EXPECT_EQ(item->reboot, c.reboot) << c.what;
        EXPECT_EQ(list.reboot, c.reboot) << c.what;
        EXPECT_EQ(machine.users[Proxy].count("JyxBrimvault"), 1u) << c.what << ": registered as a user";
        ASSERT_EQ(machine.services.count(Proxy), 1u) << c.what;
        EXPECT_EQ(machine.services[Proxy].state, c.startType == System ? SERVICE_RUNNING : c.before.state)
            << c.what;
    }
}

TEST(InstallSys, WaitsForTheServiceManagerWithinABound)
{
    struct Case {
        const char* what;
        FakeService service;
        int32_t result;
        const char* road;
    };
    auto running = [](int stopQueries, int linger) {
        FakeService service;
        service.state = SERVICE_RUNNING;
        service.stopQueries = stopQueries;
        service.lingerAfterDelete = linger;
        return service;
    };
    const Case cases[] = {
        {"a stop that takes three queries, a deletion seen late", running(3, 4), 0,
         "0,1,2,3,4,5,6,8,9,10,11"},
        {"a stop that never completes", running(1000000, 0), ERROR_SERVICE_REQUEST_TIMEOUT, "0,1,2,3"},
        {"a deletion that never completes", running(0, -1), ERROR_SERVICE_MARKED_FOR_DELETE, "0,1,2,4,5"},
    };
    for (const Case& c : cases) {
        FakeMachine machine;
        Prepare(machine, {100, 900, false, SERVICE_STOPPED, true});
        machine.services[Proxy] = c.service;
        RoadList list;
        clWinSetupInstallSys* item = AddProxy(list, machine, SERVICE_SYSTEM_START);
        EXPECT_EQ(item->waitLimitMs, DRIVER_SERVICE_WAIT_LIMIT_MS) << c.what;
        item->waitLimitMs = 200;
        DWORD start = GetTickCount();
        EXPECT_EQ(RunSetupList(&list), c.result) << c.what;
        DWORD elapsed = GetTickCount() - start;
        EXPECT_EQ(list.road, c.road) << c.what;
        EXPECT_LT(elapsed, 3000u) << c.what;
        if (c.result != 0) {
            EXPECT_GE(elapsed, 180u) << c.what;
            EXPECT_LT(list.hooks, 400) << c.what << ": a pause between the waiting passes";
            EXPECT_EQ(machine.versions[Proxy], 100) << c.what;
        }
    }

    // Cancel while waiting for the stop.
    FakeMachine machine;
    Prepare(machine, {100, 900, false, SERVICE_STOPPED, true});
    machine.services[Proxy] = running(1000000, 0);
    RoadList list;
    AddProxy(list, machine, SERVICE_SYSTEM_START);
    list.cancelAtHook = 6;
    EXPECT_EQ(RunSetupList(&list), SETUP_ERR_CANCELLED);
    EXPECT_EQ(list.road, "0,1,2,3");
}

TEST(InstallSys, ARefusedStopReplacesTheFileInPlaceAndAsksForARestart)
{
    // A driver without an unload routine, or one that other services depend on, keeps
    // running: its file is written over at once and the new build loads at the restart.
    for (int refusal : {ERROR_INVALID_SERVICE_CONTROL, ERROR_DEPENDENT_SERVICES_RUNNING}) {
        FakeMachine machine;
        Prepare(machine, {100, 900, true, SERVICE_RUNNING, true});
        machine.services[Proxy].stopError = refusal;
        RoadList list;
        clWinSetupInstallSys* item = AddProxy(list, machine, SERVICE_SYSTEM_START);
        item->waitLimitMs = 60000;
        EXPECT_EQ(RunSetupList(&list), 0) << refusal;
        EXPECT_EQ(list.road, "0,1,2,7,10,11") << refusal;
        EXPECT_EQ(machine.log, "stop extract version=103") << refusal;
        EXPECT_EQ(machine.files[ProxyFile], 1000) << refusal << ": the carried file";
        EXPECT_EQ(machine.services[Proxy].state, static_cast<uint32_t>(SERVICE_RUNNING)) << refusal;
        EXPECT_EQ(item->reboot, 1) << refusal;
        EXPECT_EQ(list.reboot, 1) << refusal;
        EXPECT_LT(list.hooks, 10) << refusal << ": no waiting";
    }
}

TEST(InstallSys, AFailingStateKeepsItsStep)
{
    struct Case {
        const char* what;
        const char* call;
        Installed before;
        int32_t startType;
        int32_t failingState;
    };
    const Installed fresh = {};
    const Installed older = {100, 900, true, SERVICE_RUNNING, true};
    const Case cases[] = {
        {"the stop request", "stop", older, SERVICE_SYSTEM_START, 2},
        {"the state query", "query", older, SERVICE_SYSTEM_START, 3},
        {"the deletion", "delete", older, SERVICE_SYSTEM_START, 4},
        {"the file", "extract", fresh, SERVICE_SYSTEM_START, 6},
        {"the file in place", "extract", older, SERVICE_BOOT_START, 7},
        {"the creation", "create", fresh, SERVICE_SYSTEM_START, 8},
        {"the start", "start", fresh, SERVICE_SYSTEM_START, 9},
    };
    for (const Case& c : cases) {
        FakeMachine machine;
        Prepare(machine, c.before);
        machine.errors[c.call] = 1234;
        if (machine.services.count(Proxy))
            machine.services[Proxy].stopQueries = 5;  // a stop is pending at first
        RoadList list;
        clWinSetupInstallSys* item = AddProxy(list, machine, c.startType);
        EXPECT_EQ(RunSetupList(&list), 1234) << c.what;
        EXPECT_EQ(item->currentStep, c.failingState) << c.what;
        EXPECT_EQ(item->ExecuteStep(), 1234) << c.what << ": stepped again, fails again";
        EXPECT_EQ(item->currentStep, c.failingState) << c.what;
        EXPECT_EQ(machine.versions.count(Proxy) ? machine.versions[Proxy] : 0, c.before.version) << c.what;
    }

    clWinSetupInstallSys item;
    item.currentStep = 12;
    EXPECT_EQ(item.ExecuteStep(), SETUP_ERR_UNKNOWN_STEP);
}

TEST(InstallSys, NeedsUpdate)
{
    struct Case {
        const char* what;
        int32_t installed;
        int64_t fileSize;  // -1: no file
        const char* path;  // null: the item's usual path
        bool update;
    };
    const Case cases[] = {
        {"no record", 0, 1000, nullptr, true},
        {"older record", 102, 1000, nullptr, true},
        {"same version, same size", 103, 1000, nullptr, false},
        {"same version, another size", 103, 1001, nullptr, true},
        {"same version, file missing", 103, -1, nullptr, true},
        {"same version, no path: files are not compared", 103, -1, "", false},
        {"newer record with its file", 104, 5, nullptr, false},
        {"newer record without its file", 104, -1, nullptr, true},
        {"newer record, no path", 104, -1, "", true},
    };
    for (const Case& c : cases) {
        FakeMachine machine;
        Prepare(machine, {c.installed, c.fileSize, true, SERVICE_RUNNING, true});
        clWinSetupInstallSys item;
        item.platform = &machine;
        item.componentKey = Proxy;
        item.usedValueName = "JyxBrimvault";
        item.version = 103;
        item.driverPath = c.path ? c.path : ProxyFile;
        EXPECT_EQ(item.NeedsUpdate(), c.update) << c.what;
        EXPECT_EQ(machine.users[Proxy].count("JyxBrimvault"), c.update ? 0u : 1u)
            << c.what << ": every no registers the user";
        EXPECT_EQ(machine.log, "") << c.what << ": nothing else is written";
    }
}

TEST(InstallSys, RegisterComponentLowersTheRecordOnlyForAFileItWrote)
{
    struct Case {
        int32_t recorded;
        bool written;  // the item wrote its file before
        int32_t after;
    };
    const Case cases[] = {{0, false, 103},       {100, false, 103}, {103, false, 103}, {104, false, 104},
                          {30000, false, 30000}, {0, true, 103},    {104, true, 103},  {30000, true, 103}};
    for (const Case& c : cases) {
        FakeMachine machine;
        if (c.recorded)
            machine.versions[Proxy] = c.recorded;
        clWinSetupInstallSys item;
        item.platform = &machine;
        item.componentKey = Proxy;
        item.version = 103;
        item.driverPath = ProxyFile;
        if (c.written)
            ASSERT_EQ(item.ExtractDriverFile(), 0);
        item.RegisterComponent();
        EXPECT_EQ(machine.versions[Proxy], c.after) << c.recorded << (c.written ? ", written" : "");
        EXPECT_EQ(machine.users[Proxy].size(), 0u) << "an empty user name registers nothing";
        item.usedValueName = "JyxBrimvault";
        item.RegisterComponentUser();
        EXPECT_EQ(machine.users[Proxy]["JyxBrimvault"], "10.12.2026 14:00:00");
    }
}

TEST(DriverPaths, ImagePathAndDefaultFolder)
{
    EXPECT_EQ(DriverImagePath("SABLINEX", OS_ARCH_X86, false), "System32\\drivers\\SABLINEX.SYS");
    EXPECT_EQ(DriverImagePath("SABLINEX", OS_ARCH_X86, true), "System32\\drivers\\SABLINEX.SYS");
    EXPECT_EQ(DriverImagePath("SABLINEX", OS_ARCH_X64, true), "System32\\drivers\\SABLINEX.SYS");
    EXPECT_EQ(DriverImagePath("DORQPELKZEMK", OS_ARCH_X64, false), "SysWOW64\\drivers\\DORQPELKZEMK.SYS")
        << "64-bit Windows XP and Server 2003";

    struct Case {
        const char* uninstallString;
        const char* folder;
    };
    const Case cases[] = {
        {"", "C:\\Program Files\\JyxBrimvault"},
        {"D:\\Tools\\Brim vault\\Uninstall.exe", "D:\\Tools\\Brim vault"},
        {"\\\\server\\share\\Brim\\Uninstall.exe", "\\\\server\\share\\Brim"},
        {"Uninstall.exe", "C:\\Program Files\\JyxBrimvault"},
        {"\"D:\\Tools\\Uninstall.exe\"", "C:\\Program Files\\JyxBrimvault"},
        {"Tools\\Uninstall.exe", "C:\\Program Files\\JyxBrimvault"},
        {"\\Tools\\Uninstall.exe", "C:\\Program Files\\JyxBrimvault"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChooseInstallDir(c.uninstallString, "C:\\Program Files", "JyxBrimvault"), c.folder)
            << c.uninstallString;
    // Without a program files folder there is no default: never a folder on the current drive.
    EXPECT_EQ(ChooseInstallDir("", "", "JyxBrimvault"), "");
    EXPECT_EQ(ChooseInstallDir("Uninstall.exe", "", "JyxBrimvault"), "");
    EXPECT_EQ(ChooseInstallDir("D:\\Tools\\Uninstall.exe", "", "JyxBrimvault"), "D:\\Tools");

    EXPECT_TRUE(IsPresentWhenOpenFails(ERROR_ACCESS_DENIED));
    for (uint32_t error : {ERROR_FILE_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_INVALID_FUNCTION})
        EXPECT_FALSE(IsPresentWhenOpenFails(error)) << error;
}

TEST(InstallSys, FactoryAndDuplicates)
{
    clWinSetupList list;
    list.productKey = "JyxBrimvault";
    EXPECT_EQ(AddInstallSys(&list, "SABLINEX", 103, 21410), 0);
    EXPECT_EQ(AddInstallSys(&list, "SABLINEX", 104, 21412), 0);
    EXPECT_EQ(AddInstallSys(&list, "sablinex", 103, 21410), 0);
    ASSERT_EQ(list.Count(), 2);
    const clWinSetupInstallSys* item = static_cast<const clWinSetupInstallSys*>(list.First());
    EXPECT_EQ(item->typeCode, SETUP_TYPE_INSTALL_SERVICE);
    EXPECT_EQ(item->targetStep, 11);
    EXPECT_EQ(item->version, 103);
    EXPECT_EQ(item->resourceId, 21410);
    EXPECT_EQ(item->usedValueName, "JyxBrimvault");
    EXPECT_EQ(item->componentKey, "SABLINEX");
    EXPECT_EQ(item->serviceName, "SABLINEX");
    EXPECT_EQ(item->startType, SERVICE_SYSTEM_START);
    EXPECT_EQ(item->loadOrderGroup, "Base");
    EXPECT_EQ(item->driverPath, DriverFilePath("SABLINEX"));
    EXPECT_NE(item->driverPath.find("\\drivers\\SABLINEX.SYS"), std::string::npos) << item->driverPath;
}
