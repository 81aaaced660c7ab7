// A running driver that cannot be unloaded, on Wine's service manager: its stop is reported
// as refused at once, and the driver item writes the carried file over it and asks for a
// restart. Run in a prefix of its own: the driver stays loaded until the prefix ends.
#include "engine/driverservice.h"
#include "foundation/fileutil.h"
#include "foundation/osinfo.h"
#include "foundation/serviceutil.h"

#include <windows.h>

#include "../foundation/scratchkey.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char Service[] = "TOLVARNTESTPINNED";
const uint16_t PinnedDriverId = 31003;  // refusedstop_test.rc
const char Preinstalled[] = "C:\\tolvarn-pinned\\TOLVARNTESTPINNED.SYS";

std::string Dword(DWORD value)
{
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

int64_t RecordedVersion()
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValueAt(HKEY_LOCAL_MACHINE, std::string("Software\\DORQ\\") + Service, "Version", &type,
                     &bytes) ||
        type != REG_DWORD)
        return -1;
    return *reinterpret_cast<const DWORD*>(bytes.data());
}

// Records the states that the item passes through.
class RoadList : public clWinSetupList {
public:
    RoadList() { waitPauseMs = 20; }
    void StepHook() override
    {
        const clSetupItem* item = static_cast<const clSetupItem*>(First());
        if (item->currentStep != last) {
            last = item->currentStep;
            road += "," + std::to_string(last);
        }
    }
    int32_t last = 0;
    std::string road = "0";
};

}  // namespace

TEST(RefusedStopOnWine, TheFileIsReplacedInPlaceWithARestart)
{
    DetectOs();
    // The fixture: an older build running under the service (Wine starts a kernel service
    // only from an absolute image path).
    ASSERT_EQ(ExtractBinRes(nullptr, Preinstalled, PinnedDriverId), 0);
    ASSERT_EQ(CreateDriverService(Service, Preinstalled, "Base", SERVICE_DEMAND_START), 0);
    ASSERT_EQ(StartServiceByName(Service), 0);
    uint32_t state = 0;
    for (int i = 0; i < 100 && (QueryServiceStateByName(Service, &state) != 0 || state != SERVICE_RUNNING);
         ++i)
        Sleep(50);
    ASSERT_EQ(state, static_cast<uint32_t>(SERVICE_RUNNING));
    // The item, twice, as a second installation before the restart would: the stop is
    // refused at once each time, the file written over the running driver, the restart asked.
    for (int run = 1; run <= 2; ++run) {
        WriteValueAt(HKEY_LOCAL_MACHINE, std::string("Software\\DORQ\\") + Service, "Version", REG_DWORD,
                     Dword(100));
        RoadList list;
        list.productKey = "JyxBrimvault";
        ASSERT_EQ(AddInstallSys(&list, Service, 103, PinnedDriverId), 0);
        DWORD start = GetTickCount();
        EXPECT_EQ(RunSetupList(&list), 0) << run;
        EXPECT_LT(GetTickCount() - start, 5000u) << run << ": no wait for a stop that never comes";
        EXPECT_EQ(list.road, "0,1,2,7,10,11") << run;
        EXPECT_EQ(list.reboot, 1) << run;
        EXPECT_EQ(RecordedVersion(), 103) << run;
        uint32_t size = 0;
        LockBinRes(PinnedDriverId, &size);
        EXPECT_EQ(GetFileSizeByName(DriverFilePath(Service).c_str()), int64_t(size)) << run;
        EXPECT_EQ(QueryServiceStateByName(Service, &state), 0) << run;
        EXPECT_EQ(state, static_cast<uint32_t>(SERVICE_RUNNING)) << run;
    }
}
