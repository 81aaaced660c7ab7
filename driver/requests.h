// The driver's own reads and writes to the device below a filter device, the
// pass-down of a caller's request with its statistics, and synchronous
// transfers split into pieces of at most the device's MaxTransfer.
#pragma once

#include "kernel.h"

// A sector range on one disk, with the caller's request it belongs to (null
// for a transfer of the driver's own).
struct DiskRequest {
    PDEVICE_OBJECT Device;        // the filter device of the disk addressed
    ULONGLONG StartSector;
    ULONG SectorCount;
    PIRP Irp;
};

// Held in the frame of the thread waiting for a synchronous transfer. The
// waiter holds one count while it issues the pieces and each piece holds one
// until its completion; only the drop to zero signals Done, so no completion
// touches the counter after the waiter may have left.
struct TransferCounter {
    volatile LONG Outstanding;
    KEVENT Done;
    volatile LONG Status;         // STATUS_PENDING until a piece fails
};

// Sector range of a byte range (a trailing partial sector is dropped); the
// Irp field is left to the caller.
void InitDiskRequest(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, DiskRequest* request);

PMDL BuildMdlForBuffer(PVOID buffer, ULONG bytes);
PIRP BuildOwnReadIrp(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PVOID buffer);
PIRP BuildOwnWriteIrp(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PVOID buffer);

// Sends an own IRP to the device's lower device with a completion routine
// that is called on success, error and cancel and must end with FreeOwnIrp
// and STATUS_MORE_PROCESSING_REQUIRED. A non-zero sector count is counted in
// the device's statistics.
NTSTATUS SendOwnReadIrp(PDEVICE_OBJECT device, PIRP irp, ULONG sectors,
                        PIO_COMPLETION_ROUTINE routine, PVOID context);
NTSTATUS SendOwnWriteIrp(PDEVICE_OBJECT device, PIRP irp, ULONG sectors,
                         PIO_COMPLETION_ROUTINE routine, PVOID context);
// Frees the IRP and its MDL; returns the IRP's final status.
NTSTATUS FreeOwnIrp(PIRP irp);

// System address of the caller's buffer; false when it has no MDL or the MDL
// cannot be mapped.
bool GetCallerBuffer(const DiskRequest* request, PVOID* address);

NTSTATUS PassDownRead(const DiskRequest* request);
NTSTATUS PassDownWrite(const DiskRequest* request);

// Synchronous transfers over a nonpaged buffer of SectorCount << SectorShift
// bytes: STATUS_SUCCESS, or the status of the first piece that failed. A range
// of 0 sectors sends nothing and succeeds; one whose single piece would not
// fit 32 bits of bytes is refused with STATUS_INVALID_PARAMETER.
NTSTATUS ReadSectorsSync(const DiskRequest* request, PVOID buffer);
NTSTATUS WriteSectorsSync(const DiskRequest* request, PVOID buffer);
// ReadSectorsSync that first counts one read of the whole range.
NTSTATUS ReadSectorsSyncCounted(const DiskRequest* request, PVOID buffer);
