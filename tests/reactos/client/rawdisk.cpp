// Raw whole-disk access through \\.\PhysicalDriveN.
#include "rawdisk.h"
#include <winioctl.h>
#include <ntddscsi.h>
#include <stdio.h>
#include <string.h>

HANDLE OpenDisk(int number, bool forTransfers, DWORD* error)
{
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", number);
    // The miniport pass-through needs read and write access like transfers.
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    // Ordinary writes, not write-through ones: the driver sends a caller's
    // write-through write to the master in every cache mode, and the
    // write-back scenarios count the writes that stay on the SSD.
    DWORD flags = forTransfers ? FILE_FLAG_NO_BUFFERING : 0;
    HANDLE disk =
        CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, flags, NULL);
    *error = disk == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return disk;
}

static DWORD Control(HANDLE disk, DWORD code, void* input, DWORD inputBytes, void* output, DWORD outputBytes,
                     DWORD* returned)
{
    *returned = 0;
    if (!DeviceIoControl(disk, code, input, inputBytes, output, outputBytes, returned, NULL))
        return GetLastError();
    return 0;
}

DWORD QueryDiskFacts(HANDLE disk, DiskFacts* facts)
{
    ZeroMemory(facts, sizeof *facts);
    DWORD returned;
    DISK_GEOMETRY_EX geometry;
    DWORD error =
        Control(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, NULL, 0, &geometry, sizeof geometry, &returned);
    if (error)
        return error;
    facts->SizeBytes = (ULONGLONG)geometry.DiskSize.QuadPart;
    facts->BytesPerSector = geometry.Geometry.BytesPerSector;
    STORAGE_DEVICE_NUMBER number;
    error = Control(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &number, sizeof number, &returned);
    if (error)
        return error;
    facts->DeviceNumber = number.DeviceNumber;
    SCSI_ADDRESS address;
    error = Control(disk, IOCTL_SCSI_GET_ADDRESS, NULL, 0, &address, sizeof address, &returned);
    if (error)
        return error;
    facts->Port = address.PortNumber;
    facts->Target = address.TargetId;
    return 0;
}

static void AtaString(const BYTE* identify, int firstWord, int chars, char* out)
{
    for (int i = 0; i < chars; i += 2) {
        const BYTE* word = identify + 2 * (firstWord + i / 2);
        out[i] = (char)word[1];
        out[i + 1] = (char)word[0];
    }
    out[chars] = 0;
    for (int i = chars - 1; i >= 0 && out[i] == ' '; i--)
        out[i] = 0;
}

void AtaIdentityStrings(const BYTE* identify, char model[41], char serial[21])
{
    AtaString(identify, 27, 40, model);
    AtaString(identify, 10, 20, serial);
}

// SRB_IO_CONTROL, SENDCMDINPARAMS for IDENTIFY DEVICE, byte for byte as the
// driver sends it at a disk's start; the answer's data begins at byte 44 of
// the same buffer, after the header and the miniport's DRIVERSTATUS.
DWORD QueryAtaIdentity(HANDLE disk, DiskFacts* facts)
{
    const DWORD headerBytes = 28, requestBytes = 60, answerBytes = 556, dataOffset = 44;
    const DWORD driverErrorOffset = 32;
    BYTE buffer[answerBytes];
    ZeroMemory(buffer, sizeof buffer);
    SRB_IO_CONTROL* header = (SRB_IO_CONTROL*)buffer;
    header->HeaderLength = headerBytes;
    memcpy(header->Signature, "SCSIDISK", 8);
    header->Timeout = 1000;
    header->ControlCode = 0x1B0501;  // IOCTL_SCSI_MINIPORT_IDENTIFY
    header->Length = answerBytes - headerBytes;
    buffer[28] = 32;             // SENDCMDINPARAMS.cBufferSize
    buffer[38] = 0xEC;           // bCommandReg: IDENTIFY DEVICE
    buffer[40] = facts->Target;  // bDriveNumber
    DWORD returned;
    DWORD error = Control(disk, IOCTL_SCSI_MINIPORT, buffer, requestBytes, buffer, answerBytes, &returned);
    if (error)
        return error;
    if (returned < answerBytes || buffer[driverErrorOffset] != 0)
        return ERROR_INVALID_DATA;
    AtaIdentityStrings(buffer + dataOffset, facts->Model, facts->Serial);
    return 0;
}

static DWORD Seek(HANDLE disk, ULONGLONG offset)
{
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    return SetFilePointerEx(disk, at, NULL, FILE_BEGIN) ? 0 : GetLastError();
}

DWORD WriteAt(HANDLE disk, ULONGLONG offset, const void* buffer, DWORD bytes)
{
    DWORD error = Seek(disk, offset);
    if (error)
        return error;
    DWORD done = 0;
    if (!WriteFile(disk, buffer, bytes, &done, NULL))
        return GetLastError();
    return done == bytes ? 0 : ERROR_HANDLE_EOF;
}

DWORD ReadAt(HANDLE disk, ULONGLONG offset, void* buffer, DWORD bytes)
{
    DWORD error = Seek(disk, offset);
    if (error)
        return error;
    DWORD done = 0;
    if (!ReadFile(disk, buffer, bytes, &done, NULL))
        return GetLastError();
    return done == bytes ? 0 : ERROR_HANDLE_EOF;
}

BYTE* AllocateTransferBuffer(DWORD bytes)
{
    return (BYTE*)VirtualAlloc(NULL, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void FreeTransferBuffer(BYTE* buffer)
{
    if (buffer)
        VirtualFree(buffer, 0, MEM_RELEASE);
}
