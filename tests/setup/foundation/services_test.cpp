// Service helpers against Wine's service manager: a fake driver service's life, and the
// placeholder proxy driver started and stopped.
#include "foundation/serviceutil.h"

#include <gtest/gtest.h>
#include <string>

namespace {

const char FakeService[] = "TolvarnHelperFake";
const char FakeImage[] = "C:\\tolvarn-helpers\\missing.sys";

std::string ServiceKeyValue(const char* service, const char* value, DWORD* type)
{
    std::string path = std::string("System\\CurrentControlSet\\Services\\") + service;
    char data[512] = {};
    DWORD size = sizeof data - 1;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, path.c_str(), value, RRF_RT_ANY | RRF_NOEXPAND, type, data, &size) !=
        ERROR_SUCCESS)
        return "<missing>";
    return std::string(data, size);
}

DWORD ServiceKeyDword(const char* service, const char* value)
{
    DWORD type = 0;
    std::string data = ServiceKeyValue(service, value, &type);
    if (type != REG_DWORD || data.size() != 4)
        return 0xFFFFFFFF;
    return *reinterpret_cast<const DWORD*>(data.data());
}

class FakeServiceTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteServiceByName(FakeService); }
    void TearDown() override { DeleteServiceByName(FakeService); }
};

TEST_F(FakeServiceTest, LifeOfADriverService)
{
    // 1. Created as a boot-start kernel driver; the manager writes what it was given.
    ASSERT_EQ(CreateDriverService(FakeService, FakeImage, "System Reserved", SERVICE_BOOT_START), 0);
    EXPECT_EQ(ServiceKeyDword(FakeService, "Type"), static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(ServiceKeyDword(FakeService, "Start"), static_cast<DWORD>(SERVICE_BOOT_START));
    EXPECT_EQ(ServiceKeyDword(FakeService, "ErrorControl"), static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    DWORD type = 0;
    EXPECT_EQ(ServiceKeyValue(FakeService, "Group", &type), std::string("System Reserved") + '\0');
    EXPECT_EQ(ServiceKeyValue(FakeService, "DisplayName", &type), std::string(FakeService) + '\0');

    // 2. It exists, is stopped, and a stop of a stopped service is no error.
    EXPECT_TRUE(ServiceExists(FakeService));
    uint32_t state = 0;
    EXPECT_EQ(QueryServiceStateByName(FakeService, &state), 0);
    EXPECT_EQ(state, ServiceStateStopped);
    state = 0;
    EXPECT_EQ(StopServiceByName(FakeService, &state), 0);
    EXPECT_EQ(state, ServiceStateStopped);

    // 3. The stop request itself is refused with 1062 on a stopped service.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE held = OpenServiceA(manager, FakeService, SERVICE_ALL_ACCESS);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(SendServiceControl(held, SERVICE_CONTROL_STOP, &state), ERROR_SERVICE_NOT_ACTIVE);

    // 4. A second creation gives 1073.
    EXPECT_EQ(CreateDriverService(FakeService, FakeImage, nullptr, SERVICE_DEMAND_START),
              ERROR_SERVICE_EXISTS);

    // 5. Deleted while a handle is held: marked, so a second delete gives 1072.
    EXPECT_EQ(DeleteServiceByName(FakeService), 0);
    EXPECT_EQ(DeleteServiceByName(FakeService), ERROR_SERVICE_MARKED_FOR_DELETE);
    CloseServiceHandle(held);
    CloseServiceHandle(manager);

    // 6. Gone: it counts as stopped and deleted, and cannot be started.
    EXPECT_FALSE(ServiceExists(FakeService));
    state = 0;
    EXPECT_EQ(QueryServiceStateByName(FakeService, &state), 0);
    EXPECT_EQ(state, ServiceStateStopped);
    state = 0;
    EXPECT_EQ(StopServiceByName(FakeService, &state), 0);
    EXPECT_EQ(state, ServiceStateStopped);
    EXPECT_EQ(StartServiceByName(FakeService), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(DeleteServiceByName(FakeService), 0);
}

TEST(ServiceNames, NullNameNamesNoService)
{
    uint32_t state = 0;
    EXPECT_FALSE(ServiceExists(nullptr));
    EXPECT_EQ(QueryServiceStateByName(nullptr, &state), 0);
    EXPECT_EQ(state, ServiceStateStopped);
    EXPECT_NE(StartServiceByName(nullptr), 0);
    EXPECT_EQ(DeleteServiceByName(nullptr), 0);
    EXPECT_NE(CreateDriverService(nullptr, FakeImage, nullptr, SERVICE_DEMAND_START), 0);
}

#ifdef PROXY_DRIVER_X64
const char ProxyService[] = "TolvarnHelperProxy";
const char ProxyDir[] = "C:\\tolvarn-helpers";
const char ProxyImage[] = "C:\\tolvarn-helpers\\SablinexHelper.sys";

std::string UnixToWine(const char* unixPath)
{
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

uint32_t WaitForState(const char* name, uint32_t wanted)
{
    uint32_t state = 0;
    for (int i = 0; i < 100; ++i) {
        if (QueryServiceStateByName(name, &state) == 0 && state == wanted)
            break;
        Sleep(50);
    }
    return state;
}

TEST(ProxyDriverService, StartedAndStoppedThroughTheHelpers)
{
    DeleteServiceByName(ProxyService);
    CreateDirectoryA(ProxyDir, nullptr);
    ASSERT_TRUE(CopyFileA(UnixToWine(PROXY_DRIVER_X64).c_str(), ProxyImage, FALSE)) << GetLastError();
    ASSERT_EQ(CreateDriverService(ProxyService, ProxyImage, nullptr, SERVICE_DEMAND_START), 0);

    // 1. Started: it runs and its device opens; a second start leaves it alone.
    EXPECT_EQ(StartServiceByName(ProxyService), 0);
    EXPECT_EQ(WaitForState(ProxyService, ServiceStateRunning), ServiceStateRunning);
    EXPECT_EQ(StartServiceByName(ProxyService), 0) << "a running service is left alone";
    HANDLE device = CreateFileA("\\\\.\\SABLINEX", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    if (device != INVALID_HANDLE_VALUE)
        CloseHandle(device);

    // 2. Stopped: the request is sent, the service reaches the stopped state.
    uint32_t state = 0;
    EXPECT_EQ(StopServiceByName(ProxyService, &state), 0);
    EXPECT_TRUE(state == SERVICE_STOP_PENDING || state == ServiceStateStopped) << state;
    EXPECT_EQ(WaitForState(ProxyService, ServiceStateStopped), ServiceStateStopped);

    // 3. Deleted.
    EXPECT_EQ(DeleteServiceByName(ProxyService), 0);
    EXPECT_FALSE(ServiceExists(ProxyService));
    DeleteFileA(ProxyImage);
}
#endif

}  // namespace
