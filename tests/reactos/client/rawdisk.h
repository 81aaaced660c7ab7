// Whole disks through \\.\PhysicalDriveN: what Windows reports about them,
// their ATA IDENTIFY data, and raw transfers that bypass every cache above
// the disk stack.
#pragma once
#include <windows.h>

const DWORD SectorBytes = 512;

struct DiskFacts {
    ULONGLONG SizeBytes;
    DWORD BytesPerSector;
    DWORD DeviceNumber;
    BYTE Port;
    BYTE Target;
    char Model[41];   // ATA model and serial number as IDENTIFY gives them,
    char Serial[21];  // trailing blanks removed
};

// Opens a disk for reading and writing, for raw transfers (no buffering)
// or for queries. INVALID_HANDLE_VALUE on failure, with the
// error in *error.
HANDLE OpenDisk(int number, bool forTransfers, DWORD* error);

// The disk's size, sector size, device number and SCSI address. 0 or the error.
DWORD QueryDiskFacts(HANDLE disk, DiskFacts* facts);
// The disk's IDENTIFY DEVICE data through the SCSI miniport pass-through, in
// the request the driver sends from below; model and serial into *facts.
DWORD QueryAtaIdentity(HANDLE disk, DiskFacts* facts);
// Model and serial number from 512 bytes of IDENTIFY data.
void AtaIdentityStrings(const BYTE* identify, char model[41], char serial[21]);

// Sector-aligned transfers at a byte offset; the buffer must be sector-aligned
// too. 0 or the error (a short transfer is ERROR_HANDLE_EOF).
DWORD WriteAt(HANDLE disk, ULONGLONG offset, const void* buffer, DWORD bytes);
DWORD ReadAt(HANDLE disk, ULONGLONG offset, void* buffer, DWORD bytes);

// Page-aligned (hence sector-aligned) buffers for raw transfers.
BYTE* AllocateTransferBuffer(DWORD bytes);
void FreeTransferBuffer(BYTE* buffer);
