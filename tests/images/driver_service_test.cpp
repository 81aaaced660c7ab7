// The kernel image rule end to end: Wine's kernel loads the x64 placeholder driver
// as a demand-start service, its control device opens, and it stops and goes.
#include <windows.h>
#include <gtest/gtest.h>
#include "kernel_service.h"

namespace {

const char DevicePath[] = "\\\\.\\SABLINEX";

TEST(KernelImage, PlaceholderDriverRunsAsService)
{
    ServiceHandle manager(OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager.h) << GetLastError();
    std::string error;
    ServiceHandle service(
        InstallKernelService(manager.h, PROXY_DRIVER_X64, "Sablinex.sys", "SablinexTest", &error));
    ASSERT_TRUE(service.h) << error;

    EXPECT_TRUE(StartServiceA(service.h, 0, NULL)) << "StartService: " << GetLastError();
    {
        FileHandle device(OpenDevice(DevicePath));
        EXPECT_NE(device.h, INVALID_HANDLE_VALUE) << "open: " << GetLastError();
    }

    SERVICE_STATUS status = {};
    EXPECT_TRUE(ControlService(service.h, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_TRUE(DeleteService(service.h)) << GetLastError();
    FileHandle gone(OpenDevice(DevicePath));
    EXPECT_EQ(gone.h, INVALID_HANDLE_VALUE) << "the device outlived the service";
}

}  // namespace
