// The real Tolvarn image under Wine's kernel: the x64 image in a 64-bit prefix,
// the x86 image in a 32-bit one (the test picks the image of the prefix it runs
// in). It loads as a demand-start service, its control device opens by the
// service name and answers the control requests, and it stops and goes. Wine
// has no disk stack, so this covers the driver entry, the control device and
// the dispatch of the real binary and the checks every request makes before it
// looks for a disk. The lookup itself is not reached here: it lists the
// driver's devices with IoEnumerateDeviceObjectList, which Wine's kernel
// exports only as a stub that ends the driver's host process (the emulated
// kernel's tests cover it).
#include <windows.h>
#include <winternl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The driver installed and started as the service for one test; stopped and
// deleted at the end.
class LoadedDriver {
public:
    LoadedDriver() : manager_(OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS)), service_(NULL)
    {
        if (!manager_.h) {
            error_ = "OpenSCManager: " + std::to_string(GetLastError());
            return;
        }
        service_.h = InstallKernelService(manager_.h, PrefixImage(), "Tolvarn.sys", ServiceName, &error_);
        if (service_.h && !StartServiceA(service_.h, 0, NULL))
            error_ = "StartService: " + std::to_string(GetLastError());
    }
    ~LoadedDriver()
    {
        if (service_.h)
            Remove();
    }
    // Empty when the driver runs.
    const std::string& Error() const { return error_; }
    SC_HANDLE Service() const { return service_.h; }
    // Stops and deletes the service; true when both worked.
    bool Remove()
    {
        SERVICE_STATUS status = {};
        bool stopped = ControlService(service_.h, SERVICE_CONTROL_STOP, &status);
        bool deleted = DeleteService(service_.h);
        CloseServiceHandle(service_.h);
        service_.h = NULL;
        return stopped && deleted;
    }

private:
    ServiceHandle manager_;
    ServiceHandle service_;
    std::string error_;
};

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

// ---- The control requests' check order ----------------------------------------------

const NTSTATUS StatusSuccess = 0;
const NTSTATUS StatusNotImplemented = (NTSTATUS)0xC0000002;
const NTSTATUS StatusInvalidParameter = (NTSTATUS)0xC000000D;
const NTSTATUS StatusInvalidBufferSize = (NTSTATUS)0xC0000206;

// The Win32 error a client sees for each status (the system's status-to-error
// table): two statuses share ERROR_INVALID_FUNCTION, so the tests also look at
// the status itself.
DWORD ClientError(NTSTATUS status)
{
    switch ((ULONG)status) {
    case 0: return ERROR_SUCCESS;
    case 0xC0000002: return ERROR_INVALID_FUNCTION;      // 1
    case 0xC000000D: return ERROR_INVALID_PARAMETER;     // 87
    case 0xC0000010: return ERROR_INVALID_FUNCTION;      // 1
    case 0xC0000206: return ERROR_INVALID_USER_BUFFER;   // 1784
    }
    return 0xFFFFFFFF;
}

const char* StatusName(NTSTATUS status)
{
    switch ((ULONG)status) {
    case 0: return "STATUS_SUCCESS";
    case 0xC0000002: return "STATUS_NOT_IMPLEMENTED";
    case 0xC000000D: return "STATUS_INVALID_PARAMETER";
    case 0xC0000010: return "STATUS_INVALID_DEVICE_REQUEST";
    case 0xC0000206: return "STATUS_INVALID_BUFFER_SIZE";
    }
    return "another status";
}

// One request of the control interface as a client sees it from outside: its
// code, its record size and whether the record comes back.
struct Request {
    const char* name;
    DWORD code;
    DWORD size;
    bool returnsData;
};

// The requests that name a disk (by device number or by id).
const Request DiskRequests[] = {
    {"GET_DISK_STATS", 0x222040, 60, true},      {"GET_DISK_ID", 0x222044, 20, true},
    {"SET_DISK_ID", 0x222048, 20, false},        {"DELETE_DISK_CONFIG", 0x22204C, 16, false},
    {"GET_ROLE", 0x222050, 17, true},            {"SET_ROLE", 0x222054, 17, false},
    {"SAVE_TIMESTAMP", 0x222058, 16, false},     {"GET_IDENTIFY", 0x22205C, 524, true},
    {"GET_MASTER_CONFIG", 0x222080, 26, true},   {"SAVE_MASTER_CONFIG", 0x222084, 16, false},
    {"GET_STATE", 0x222088, 25, true},           {"GET_USAGE", 0x22208C, 48, true},
    {"SET_OPTIONS", 0x222090, 18, false},        {"START", 0x222094, 25, false},
    {"STOP", 0x222098, 16, false},               {"GET_SSD_AREA", 0x2220C0, 40, true},
    {"SET_SSD_AREA", 0x2220C4, 32, false},       {"CLEAR_SSD_AREA", 0x2220C8, 16, false},
    {"PAIR", 0x2220CC, 25, false},               {"UNPAIR", 0x2220D0, 16, false},
};
const Request PoolUsage = {"GET_POOL_USAGE", 0x222004, 16, true};

const DWORD RecordVersion = 203;

// A record as the client builds it: little-endian fields at their byte
// offsets, the header {size, version} at offset 0.
struct Record {
    std::vector<BYTE> bytes;

    Record(DWORD length, DWORD headerSize, DWORD version) : bytes(length, 0)
    {
        Put32(0, headerSize);
        Put32(4, version);
    }
    void Put(DWORD offset, unsigned long long value, int width)
    {
        for (int i = 0; i < width && offset + i < bytes.size(); i++)
            bytes[offset + i] = (BYTE)(value >> (8 * i));
    }
    void Put32(DWORD offset, DWORD value) { Put(offset, value, 4); }
    void Put64(DWORD offset, unsigned long long value) { Put(offset, value, 8); }
};

// Arguments that pass every request's own tests, so that only the lookup can
// refuse it: a disk id or device number at 8, a non-zero id for SET_DISK_ID,
// an area whose start lies below its end.
void PutPassingArguments(const Request& request, Record* record)
{
    record->Put32(8, 0);
    if (request.code == 0x222048)  // SET_DISK_ID: number 0, id 0x1234
        record->Put64(12, 0x1234);
    if (request.code == 0x2220C4) {  // SET_SSD_AREA: [1 MiB, 2 MiB)
        record->Put64(16, 1u << 20);
        record->Put64(24, 2u << 20);
    }
}

struct Answer {
    NTSTATUS status;
    DWORD error;        // GetLastError after DeviceIoControl, 0 on success
    DWORD returned;     // bytes DeviceIoControl reports on success
    std::vector<BYTE> output;
};

// Sends the request twice: through NtDeviceIoControlFile for the driver's own
// status, then through DeviceIoControl for the error the client sees. The
// output buffer starts filled with 0xA5 each time.
Answer Send(HANDLE device, DWORD code, const std::vector<BYTE>& input, DWORD outputLength)
{
    Answer answer;
    std::vector<BYTE> in = input;
    std::vector<BYTE> out(outputLength + 1, 0xA5);
    IO_STATUS_BLOCK io = {};
    answer.status = NtDeviceIoControlFile(device, NULL, NULL, NULL, &io, code, in.empty() ? NULL : in.data(),
                                          (ULONG)in.size(), outputLength ? out.data() : NULL, outputLength);
    out.assign(outputLength + 1, 0xA5);
    in = input;
    answer.returned = 0;
    BOOL ok = DeviceIoControl(device, code, in.empty() ? NULL : in.data(), (DWORD)in.size(),
                              outputLength ? out.data() : NULL, outputLength, &answer.returned, NULL);
    answer.error = ok ? 0 : GetLastError();
    answer.output = out;
    return answer;
}

struct Case {
    std::string what;
    DWORD code;
    std::vector<BYTE> input;
    DWORD outputLength;
    NTSTATUS expected;
};

// The check order of one request: lengths first, then the header. A record
// that passes both gets `passing`; for the disk requests, whose next step here
// would be the lookup, such records are not sent (passing 0xFFFFFFFF).
const NTSTATUS NotSent = (NTSTATUS)0xFFFFFFFF;

void AddCheckOrderCases(const Request& r, NTSTATUS passing, std::vector<Case>* cases)
{
    const DWORD size = r.size;
    const DWORD out = r.returnsData ? size : 0;
    auto record = [&](DWORD length, DWORD headerSize, DWORD version) {
        Record rec(length, headerSize, version);
        PutPassingArguments(r, &rec);
        return rec.bytes;
    };
    std::string name = r.name;
    // A wrong length wins over a wrong header.
    cases->push_back({name + " input one byte short", r.code, record(size - 1, size - 1, 202), out,
                      StatusInvalidBufferSize});
    cases->push_back({name + " input one byte long", r.code, record(size + 1, size + 1, RecordVersion), out,
                      StatusInvalidBufferSize});
    if (r.returnsData) {
        cases->push_back({name + " output one byte short", r.code, record(size, size, RecordVersion), size - 1,
                          StatusInvalidBufferSize});
        cases->push_back({name + " output one byte long", r.code, record(size, size, RecordVersion), size + 1,
                          StatusInvalidBufferSize});
        cases->push_back({name + " no output", r.code, record(size, size, RecordVersion), 0,
                          StatusInvalidBufferSize});
    } else if (passing != NotSent) {
        cases->push_back({name + " an output buffer", r.code, record(size, size, RecordVersion), size,
                          passing});
    }
    cases->push_back({name + " header size one more", r.code, record(size, size + 1, RecordVersion), out,
                      StatusInvalidParameter});
    cases->push_back({name + " header size 0", r.code, record(size, 0, RecordVersion), out,
                      StatusInvalidParameter});
    cases->push_back({name + " version 202", r.code, record(size, size, 202), out, StatusInvalidParameter});
    cases->push_back({name + " version 204", r.code, record(size, size, 204), out, StatusInvalidParameter});
    if (passing != NotSent)
        cases->push_back({name + " right record", r.code, record(size, size, RecordVersion), out, passing});
}

std::vector<Case> ControlCases()
{
    std::vector<Case> cases;
    for (const Request& r : DiskRequests)
        AddCheckOrderCases(r, NotSent, &cases);
    AddCheckOrderCases(PoolUsage, StatusSuccess, &cases);

    // Argument tests come before the lookup.
    Record anyNumber(20, 20, RecordVersion);
    anyNumber.Put32(8, 0xFFFFFFFF);
    cases.push_back({"GET_DISK_ID number 0xFFFFFFFF", 0x222044, anyNumber.bytes, 20, StatusInvalidParameter});
    Record idZero(20, 20, RecordVersion);
    cases.push_back({"SET_DISK_ID id 0", 0x222048, idZero.bytes, 0, StatusInvalidParameter});
    Record emptyArea(32, 32, RecordVersion);
    emptyArea.Put64(16, 1u << 20);
    emptyArea.Put64(24, 1u << 20);
    cases.push_back({"SET_SSD_AREA start equal to end", 0x2220C4, emptyArea.bytes, 0, StatusInvalidParameter});
    Record backwards(32, 32, RecordVersion);
    backwards.Put64(16, 2u << 20);
    backwards.Put64(24, 1u << 20);
    cases.push_back({"SET_SSD_AREA start above end", 0x2220C4, backwards.bytes, 0, StatusInvalidParameter});
    // The argument tests come after the header.
    Record idZeroOldVersion(20, 20, 202);
    cases.push_back({"SET_DISK_ID id 0 with version 202", 0x222048, idZeroOldVersion.bytes, 0,
                     StatusInvalidParameter});

    // The version query looks at its output length only.
    cases.push_back({"GET_VERSION output 15", 0x222000, {}, 15, StatusInvalidBufferSize});
    cases.push_back({"GET_VERSION output 17", 0x222000, {}, 17, StatusInvalidBufferSize});
    cases.push_back({"GET_VERSION no output", 0x222000, {}, 0, StatusInvalidBufferSize});
    cases.push_back({"GET_VERSION with any input", 0x222000, std::vector<BYTE>(7, 0x5A), 16, StatusSuccess});

    // Codes outside the table, next to it and of the same device type.
    for (DWORD code : {0x222008u, 0x22203Cu, 0x2220D4u, 0x220000u, 0x2223FCu})
        cases.push_back({"unknown code " + std::to_string(code), code, {}, 0, StatusNotImplemented});
    return cases;
}

std::string Hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%lX", (unsigned long)value);
    return text;
}

TEST(TolvarnImage, ControlRequestsAnswerInCheckOrder)
{
    LoadedDriver driver;
    ASSERT_TRUE(driver.Error().empty()) << driver.Error();
    FileHandle device(OpenControlDevice());
    ASSERT_NE(device.h, INVALID_HANDLE_VALUE) << "open: " << GetLastError();

    for (const Case& c : ControlCases()) {
        SCOPED_TRACE(c.what + " (code " + Hex(c.code) + ")");
        Answer answer = Send(device.h, c.code, c.input, c.outputLength);
        EXPECT_EQ(answer.status, c.expected) << StatusName(answer.status) << ", expected " << StatusName(c.expected);
        EXPECT_EQ(answer.error, ClientError(c.expected));
        if (c.expected == StatusSuccess)
            continue;
        // A failure copies nothing back.
        EXPECT_EQ(answer.output, std::vector<BYTE>(c.outputLength + 1, 0xA5)) << "the output buffer was written";
    }
}

// GET_POOL_USAGE and GET_VERSION answer in full: the record comes back whole,
// with no cache there is no pool held, and the version query ignores its input.
TEST(TolvarnImage, DataRequestsReturnWholeRecords)
{
    LoadedDriver driver;
    ASSERT_TRUE(driver.Error().empty()) << driver.Error();
    FileHandle device(OpenControlDevice());
    ASSERT_NE(device.h, INVALID_HANDLE_VALUE) << "open: " << GetLastError();

    Record pool(16, 16, RecordVersion);
    pool.Put64(8, 0x1122334455667788ull);
    Answer usage = Send(device.h, PoolUsage.code, pool.bytes, 16);
    ASSERT_EQ(usage.status, StatusSuccess) << StatusName(usage.status);
    EXPECT_EQ(usage.returned, 16u);
    const std::vector<BYTE> expectedUsage = {16, 0, 0, 0, 203, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA5};
    EXPECT_EQ(usage.output, expectedUsage) << "header kept, PoolBytes 0, nothing past the record";

    Answer version = Send(device.h, IoctlGetVersion, std::vector<BYTE>(40, 0x5A), 16);
    ASSERT_EQ(version.status, StatusSuccess) << StatusName(version.status);
    EXPECT_EQ(version.returned, 16u);
    ASSERT_EQ(version.output.size(), 17u);
    const BYTE expectedHead[12] = {16, 0, 0, 0, 204, 0, 0, 0, 203, 0, 0, 0};
    EXPECT_EQ(memcmp(version.output.data(), expectedHead, 12), 0);
    EXPECT_EQ(version.output[16], 0xA5) << "nothing past the record";
}

}  // namespace
