// The real Tolvarn image under Wine's kernel: the x64 image in a 64-bit prefix,
// the x86 image in a 32-bit one (the test picks the image of the prefix it runs
// in). It loads as a demand-start service, its control device opens by the
// service name and answers the version query, and it stops and goes. Wine has
// no disk stack, so this covers the driver entry, the control device and the
// dispatch of the real binary.
#include <windows.h>
#include <gtest/gtest.h>

#include "kernel_service.h"

namespace {

const char ServiceName[] = "DORQPELKZEMK";
const char ControlPath[] = "\\\\.\\DORQPELKZEMK";

const DWORD IoctlGetVersion = 0x222000;
const DWORD IoctlUnknown = 0x2223FC;

struct VersionRecord {
    DWORD Size;
    DWORD DriverVersion;
    DWORD RecordVersion;
    DWORD OpenNumber;
};

// The image for the prefix's Windows: a 32-bit test runs under WoW64 in a
// 64-bit prefix.
const char* PrefixImage()
{
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    return wow64 ? TOLVARN_X64_IMAGE : TOLVARN_X86_IMAGE;
}

HANDLE OpenControlDevice()
{
    return OpenDevice(ControlPath);
}

bool QueryVersion(HANDLE device, DWORD outputBytes, VersionRecord* record, DWORD* error)
{
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, IoctlGetVersion, NULL, 0, record, outputBytes, &returned, NULL);
    *error = ok ? 0 : GetLastError();
    return ok && returned == sizeof(VersionRecord);
}

TEST(TolvarnImage, LoadsAsServiceAndAnswersVersionQuery)
{
    // 1. The image is copied into the prefix and registered with an absolute path there.
    ServiceHandle manager(OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager.h) << GetLastError();
    std::string error;
    ServiceHandle service(InstallKernelService(manager.h, PrefixImage(), "Tolvarn.sys", ServiceName, &error));
    ASSERT_TRUE(service.h) << error;

    // 2. It starts, and its control device opens through the service name.
    EXPECT_TRUE(StartServiceA(service.h, 0, NULL)) << "StartService: " << GetLastError();
    {
        FileHandle first(OpenControlDevice());
        ASSERT_NE(first.h, INVALID_HANDLE_VALUE) << "open: " << GetLastError();
        FileHandle second(OpenControlDevice());
        ASSERT_NE(second.h, INVALID_HANDLE_VALUE) << "second open: " << GetLastError();

        // 3. Each handle answers with its own open number, counting up per open.
        VersionRecord record = {};
        DWORD error = 0;
        ASSERT_TRUE(QueryVersion(first.h, sizeof(record), &record, &error)) << "error " << error;
        EXPECT_EQ(record.Size, 16u);
        EXPECT_EQ(record.DriverVersion, 204u);
        EXPECT_EQ(record.RecordVersion, 203u);
        EXPECT_EQ(record.OpenNumber, 1u) << "the first handle the driver saw";
        ASSERT_TRUE(QueryVersion(second.h, sizeof(record), &record, &error)) << "error " << error;
        EXPECT_EQ(record.OpenNumber, 2u) << "the second handle";

        // 4. A short output buffer and an unknown code are refused.
        EXPECT_FALSE(QueryVersion(first.h, sizeof(record) - 1, &record, &error));
        EXPECT_NE(error, 0u) << "a 15-byte output buffer must fail";
        DWORD returned = 0;
        EXPECT_FALSE(DeviceIoControl(first.h, IoctlUnknown, NULL, 0, NULL, 0, &returned, NULL));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION) << "STATUS_NOT_IMPLEMENTED expected";
    }

    // 5. It stops and is deleted; the control device goes with it.
    SERVICE_STATUS status = {};
    EXPECT_TRUE(ControlService(service.h, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_TRUE(DeleteService(service.h)) << GetLastError();
    FileHandle gone(OpenControlDevice());
    EXPECT_EQ(gone.h, INVALID_HANDLE_VALUE) << "the control device outlived the service";
}

}  // namespace
