// The client's handle of the driver's control device.
#include "control.h"

ControlDevice::ControlDevice() : handle(INVALID_HANDLE_VALUE) {}

ControlDevice::~ControlDevice()
{
    Close();
}

DWORD ControlDevice::Open()
{
    Close();
    handle = CreateFileA(ControlDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         NULL, OPEN_EXISTING, 0, NULL);
    return handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

void ControlDevice::Close()
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

DWORD ControlDevice::Send(DWORD code, void* input, DWORD inputBytes, void* output, DWORD outputBytes,
                          DWORD* returned)
{
    *returned = 0;
    if (!DeviceIoControl(handle, code, input, inputBytes, output, outputBytes, returned, NULL))
        return GetLastError();
    return 0;
}

DWORD ControlDevice::QueryVersion(VersionRecord* record, DWORD outputBytes)
{
    ZeroMemory(record, sizeof *record);
    DWORD returned = 0;
    DWORD error = Send(IoctlGetVersion, NULL, 0, record, outputBytes, &returned);
    if (error == 0 && returned != sizeof *record)
        error = ERROR_INVALID_DATA;
    return error;
}

typedef struct {
    Status Status;
    ULONG_PTR Information;
} IoStatusBlock;
extern "C" Status NTAPI NtDeviceIoControlFile(HANDLE file, HANDLE event, void* apcRoutine, void* apcContext,
                                              IoStatusBlock* ioStatus, ULONG code, void* input,
                                              ULONG inputBytes, void* output, ULONG outputBytes);

Status ControlDevice::Call(DWORD code, const void* input, DWORD inputBytes, void* output, DWORD outputBytes,
                           DWORD* information)
{
    IoStatusBlock io = {0, 0};
    // The handle is synchronous: the call returns when the request is complete.
    Status status = NtDeviceIoControlFile(handle, NULL, NULL, NULL, &io, code, (void*)input, inputBytes, output,
                                          outputBytes);
    *information = (DWORD)io.Information;
    return status;
}

const char* StatusName(Status status)
{
    switch (status) {
    case StatusSuccess: return "STATUS_SUCCESS";
    case StatusNotImplemented: return "STATUS_NOT_IMPLEMENTED";
    case StatusInvalidParameter: return "STATUS_INVALID_PARAMETER";
    case StatusInvalidDeviceRequest: return "STATUS_INVALID_DEVICE_REQUEST";
    case StatusInvalidBufferSize: return "STATUS_INVALID_BUFFER_SIZE";
    case StatusReturnedSize: return "a success of the wrong size";
    default: return "another status";
    }
}
