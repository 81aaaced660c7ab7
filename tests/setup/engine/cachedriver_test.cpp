// The cache driver's installation and the old filter driver's removal over a simulated
// machine, and the insertion into the "UpperFilters" data, malformed data included.
#include "engine/cachedriver.h"

#include "../foundation/guardedbytes.h"
#include "fakemachine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

const char Cache[] = "DORQPELKZEMK";
const std::string CacheFile = std::string(FakeMachine::DriversDir) + "DORQPELKZEMK.SYS";

struct CacheInstalled {
    int32_t version = 0;
    int64_t fileSize = -1;
    bool service = false;
    bool device = false;
};

clVornDriverInstall* AddCacheDriver(RoadList& list, FakeMachine& machine)
{
    clVornDriverInstall* item = new clVornDriverInstall;
    item->platform = &machine;
    item->usedValueName = "JyxBrimvault";
    item->componentKey = Cache;
    item->version = 204;
    item->resourceId = 21415;
    AddSetupItem(&list, item);
    list.Start(item);
    return item;
}

}  // namespace

TEST(InsertFilterName, NewUpperFiltersData)
{
    struct Case {
        const char* what;
        bool null;
        std::string old;
        std::string result;  // "-" when nothing is to be written
    };
    const Case cases[] = {
        {"no value", true, "", "Tolvarn\0\0"s},
        {"an empty value", false, "", "Tolvarn\0\0"s},
        {"only the closing NUL", false, "\0"s, "Tolvarn\0\0"s},
        {"one other filter", false, "PartMgr\0\0"s, "Tolvarn\0PartMgr\0\0"s},
        {"after Fastboot", false, "Fastboot\0PartMgr\0\0"s, "Fastboot\0Tolvarn\0PartMgr\0\0"s},
        {"after FASTBOOT in another case", false, "A\0FASTBOOT\0B\0\0"s, "A\0FASTBOOT\0Tolvarn\0B\0\0"s},
        {"already there in another case", false, "PartMgr\0TOLVARN\0\0"s, "-"},
        {"an empty first entry hides the rest", false, "\0Tolvarn\0\0"s, "Tolvarn\0\0Tolvarn\0\0"s},
        {"no terminator at all", false, "PartMgr"s, "Tolvarn\0PartMgr\0\0"s},
        {"no closing empty entry", false, "PartMgr\0"s, "Tolvarn\0PartMgr\0\0"s},
        {"an unterminated Fastboot at the end", false, "A\0Fastboot"s, "A\0Fastboot\0Tolvarn\0\0"s},
        {"a truncated Fastboot", false, "A\0Fastbo"s, "Tolvarn\0A\0Fastbo\0\0"s},
        {"the name unterminated at the end", false, "A\0Tolvarn"s, "-"},
    };
    for (const Case& c : cases) {
        GuardedBytes guarded(c.old);  // a read past the data faults
        char* out = reinterpret_cast<char*>(1);
        uint32_t outSize = 99;
        ASSERT_EQ(InsertFilterName(c.null ? nullptr : guarded.data(), static_cast<uint32_t>(c.old.size()),
                                   "Tolvarn", &out, &outSize),
                  0)
            << c.what;
        if (c.result == "-") {
            EXPECT_EQ(out, nullptr) << c.what;
            EXPECT_EQ(outSize, 0u) << c.what;
        } else {
            ASSERT_NE(out, nullptr) << c.what;
            EXPECT_EQ(std::string(out, outSize), c.result) << c.what;
        }
        free(out);
    }
    char* out = nullptr;
    uint32_t outSize = 0;
    EXPECT_EQ(InsertFilterName("A\0\0", 3, nullptr, &out, &outSize), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(InsertFilterName("A\0\0", 3, "", &out, &outSize), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);
}

TEST(CacheDriverInstall, RoadsThroughTheStates)
{
    struct Case {
        const char* what;
        CacheInstalled before;
        const char* road;
        const char* calls;
        int32_t versionAfter;
        uint8_t reboot;
    };
    const Case cases[] = {
        {"fresh install", {}, "0,2,4,5,6,7", "extract create filter version=204", 204, 1},
        {"installed, not loaded yet: the service is not made again",
         {204, 1000, true, false},
         "0,2,4,5,6,7",
         "extract filter version=204",
         204,
         1},
        {"running and current", {204, 1000, true, true}, "0,1,7", "", 204, 0},
        {"running and outdated",
         {203, 1000, true, true},
         "0,1,3,5,6,7",
         "extract filter version=204",
         204,
         1},
        {"running, same version, file missing",
         {204, -1, true, true},
         "0,1,3,5,6,7",
         "extract filter version=204",
         204,
         1},
        {"running, same version, another size",
         {204, 1200, true, true},
         "0,1,3,5,6,7",
         "extract filter version=204",
         204,
         1},
        {"running and newer", {300, 1200, true, true}, "0,1,7", "", 300, 0},
        {"newer, installed but not loaded: its file and record left, its filter entry made",
         {300, 1200, true, false},
         "0,4,5,6,7",
         "filter",
         300,
         1},
        {"newer recorded, its file missing: ours written and recorded",
         {300, -1, true, false},
         "0,2,4,5,6,7",
         "extract filter version=204",
         204,
         1},
        {"newer recorded with its file, no service: the service made for it",
         {300, 1200, false, false},
         "0,4,5,6,7",
         "create filter",
         300,
         1},
    };
    for (const Case& c : cases) {
        FakeMachine machine;
        if (c.before.version)
            machine.versions[Cache] = c.before.version;
        if (c.before.fileSize >= 0)
            machine.files[CacheFile] = c.before.fileSize;
        if (c.before.service)
            machine.services[Cache] = FakeService();
        if (c.before.device)
            machine.devices.insert(Cache);
        RoadList list;
        clVornDriverInstall* item = AddCacheDriver(list, machine);
        EXPECT_EQ(RunSetupList(&list), 0) << c.what;
        EXPECT_EQ(list.road, c.road) << c.what;
        EXPECT_EQ(machine.log, c.calls) << c.what;
        EXPECT_EQ(machine.versions[Cache], c.versionAfter) << c.what;
        EXPECT_EQ(item->reboot, c.reboot) << c.what;
        EXPECT_EQ(list.reboot, c.reboot) << c.what;
        EXPECT_EQ(item->driverPath, CacheFile) << c.what;
        EXPECT_EQ(machine.users[Cache].count("JyxBrimvault"), 1u) << c.what << ": registered as a user";
        ASSERT_EQ(machine.services.count(Cache), 1u) << c.what;
        if (!c.before.service) {
            const FakeService& made = machine.services[Cache];
            EXPECT_EQ(made.startType, static_cast<uint32_t>(SERVICE_BOOT_START)) << c.what;
            EXPECT_EQ(made.group, "System Reserved") << c.what;
            EXPECT_EQ(made.imagePath, "System32\\drivers\\DORQPELKZEMK.SYS") << c.what;
        }
        EXPECT_EQ(machine.filters, c.reboot ? std::vector<std::string>{Cache} : std::vector<std::string>{})
            << c.what;
    }
}

TEST(CacheDriverInstall, AFailingStateKeepsItsStep)
{
    struct Case {
        const char* call;
        bool running;
        int32_t failingState;
    };
    const Case cases[] = {
        {"extract", false, 2}, {"extract", true, 3}, {"create", false, 4}, {"filter", false, 5}};
    for (const Case& c : cases) {
        FakeMachine machine;
        machine.errors[c.call] = ERROR_BAD_FORMAT;
        if (c.running) {
            machine.devices.insert(Cache);
            machine.versions[Cache] = 203;
        }
        RoadList list;
        clVornDriverInstall* item = AddCacheDriver(list, machine);
        EXPECT_EQ(RunSetupList(&list), ERROR_BAD_FORMAT) << c.call;
        EXPECT_EQ(item->currentStep, c.failingState) << c.call;
        EXPECT_EQ(item->reboot, 0) << c.call;
        EXPECT_EQ(list.reboot, 0) << c.call;
    }
    clVornDriverInstall item;
    item.currentStep = 8;
    EXPECT_EQ(item.ExecuteStep(), SETUP_ERR_UNKNOWN_STEP);
}

namespace {

clVornOldDriverUninstall* AddOldDriver(clWinSetupList& list, FakeMachine& machine, const char* name)
{
    clVornOldDriverUninstall* item = new clVornOldDriverUninstall;
    item->platform = &machine;
    item->usedValueName = "JyxBrimvault";
    item->componentName = name;
    AddSetupItem(&list, item);
    return item;
}

}  // namespace

TEST(OldDriverRemoval, RoadsThroughTheStates)
{
    struct Case {
        const char* what;
        std::vector<std::string> users;  // of "DORQVORN"
        std::vector<std::string> filters;
        const char* road;
        const char* calls;
        std::vector<std::string> filtersAfter;
        uint8_t reboot;
        bool recordsKept;
    };
    const std::vector<std::string> both = {"PartMgr", "DORQVORN", "DORQVORNZEMK"};
    const Case cases[] = {
        {"never installed",
         {},
         {"PartMgr"},
         "0,1,2,3,4,5",
         "delete-file delete-records delete-service-key",
         {"PartMgr"},
         0,
         false},
        {"only this product uses it",
         {"JyxBrimvault"},
         both,
         "0,1,2,3,4,5",
         "delete-file delete-records delete-service-key",
         {"PartMgr"},
         1,
         false},
        {"another product uses it: only our name goes",
         {"JyxBrimvault", "OtherProduct"},
         both,
         "0,5",
         "",
         both,
         0,
         true},
        {"another product alone uses it", {"OtherProduct"}, both, "0,5", "", both, 0, true},
    };
    for (const Case& c : cases) {
        FakeMachine machine;
        machine.versions["DORQVORN"] = 105;
        for (const std::string& user : c.users)
            machine.users["DORQVORN"][user] = "then";
        machine.filters = c.filters;
        machine.files[std::string(FakeMachine::DriversDir) + "DORQVORN.SYS"] = 10;
        RoadList list;
        clVornOldDriverUninstall* item = AddOldDriver(list, machine, "DORQVORN");
        list.Start(item);
        EXPECT_EQ(RunSetupList(&list), 0) << c.what;
        EXPECT_EQ(list.road, c.road) << c.what;
        EXPECT_EQ(machine.log, c.calls) << c.what;
        EXPECT_EQ(machine.filters, c.filtersAfter) << c.what;
        EXPECT_EQ(item->reboot, c.reboot) << c.what;
        EXPECT_EQ(machine.users["DORQVORN"].count("JyxBrimvault"), 0u) << c.what;
        EXPECT_EQ(machine.versions.count("DORQVORN"), c.recordsKept ? 1u : 0u) << c.what;
        EXPECT_EQ(machine.files.size(), c.recordsKept ? 1u : 0u) << c.what;
    }
}

TEST(OldDriverRemoval, TheBaseNameTakesTheLongerNamesEntriesToo)
{
    // Both generations listed in the filters: the first item removes every entry that begins
    // with its name, so the second finds none and asks for no restart of its own.
    FakeMachine machine;
    machine.filters = {"DORQVORNZEMK", "PartMgr", "DORQVORN"};
    RoadList list;
    clVornOldDriverUninstall* first = AddOldDriver(list, machine, "DORQVORN");
    clVornOldDriverUninstall* second = AddOldDriver(list, machine, "DORQVORNZEMK");
    AddOldDriver(list, machine, "DORQVORN");  // a duplicate: dropped
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(RunSetupList(&list), 0);
    EXPECT_EQ(machine.filters, std::vector<std::string>({"PartMgr"}));
    EXPECT_EQ(first->reboot, 1);
    EXPECT_EQ(second->reboot, 0);
    EXPECT_EQ(list.reboot, 1);
}

TEST(OldDriverRemoval, AFailingFilterRemovalKeepsItsStep)
{
    FakeMachine machine;
    machine.errors["remove"] = ERROR_BAD_FORMAT;
    RoadList list;
    clVornOldDriverUninstall* item = AddOldDriver(list, machine, "DORQVORN");
    EXPECT_EQ(RunSetupList(&list), ERROR_BAD_FORMAT);
    EXPECT_EQ(item->currentStep, 1);
    EXPECT_EQ(machine.log, "");
    item->currentStep = 6;
    EXPECT_EQ(item->ExecuteStep(), SETUP_ERR_UNKNOWN_STEP);
}
