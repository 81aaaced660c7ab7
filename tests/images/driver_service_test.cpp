// The kernel image rule end to end: Wine's kernel loads the x64 placeholder driver
// as a demand-start service, its control device opens, and it stops and goes.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>

namespace {

// The image is copied into the prefix and registered with an absolute path there.
const char ImageDir[] = "C:\\tolvarn-test";
const char ImagePath[] = "C:\\tolvarn-test\\Sablinex.sys";
const char ServiceName[] = "SablinexTest";

std::string UnixToWine(const char *unixPath)
{
    std::string path = std::string("Z:") + unixPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

struct Handle {
    SC_HANDLE h;
    explicit Handle(SC_HANDLE handle) : h(handle) {}
    ~Handle() { if (h) CloseServiceHandle(h); }
};

TEST(KernelImage, PlaceholderDriverRunsAsService)
{
    CreateDirectoryA(ImageDir, NULL);
    ASSERT_TRUE(CopyFileA(UnixToWine(PROXY_DRIVER_X64).c_str(), ImagePath, FALSE))
        << "copy failed: " << GetLastError();

    Handle manager(OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager.h) << GetLastError();
    Handle service(CreateServiceA(manager.h, ServiceName, ServiceName, SERVICE_ALL_ACCESS,
                                  SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, ImagePath, NULL, NULL, NULL, NULL, NULL));
    ASSERT_TRUE(service.h) << "CreateService: " << GetLastError();

    EXPECT_TRUE(StartServiceA(service.h, 0, NULL)) << "StartService: " << GetLastError();
    HANDLE device = CreateFileA("\\\\.\\SABLINEX", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                OPEN_EXISTING, 0, NULL);
    EXPECT_NE(device, INVALID_HANDLE_VALUE) << "open: " << GetLastError();
    if (device != INVALID_HANDLE_VALUE)
        CloseHandle(device);

    SERVICE_STATUS status = {};
    EXPECT_TRUE(ControlService(service.h, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_TRUE(DeleteService(service.h)) << GetLastError();

    HANDLE gone = CreateFileA("\\\\.\\SABLINEX", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(gone, INVALID_HANDLE_VALUE) << "the device outlived the service";
    if (gone != INVALID_HANDLE_VALUE)
        CloseHandle(gone);
}

} // namespace
