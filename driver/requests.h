// Requests of a filter device to the device below it: the pass-down of a
// caller's request (whole, with its statistics), the driver's own read and
// write IRPs over nonpaged buffers, and synchronous transfers split into
// pieces of at most the device's MaxTransfer. None of them touches the cache
// map. The DiskRequest record is in tolvarn.h.
#pragma once

#include "kernel.h"

struct DiskRequest;

// Skips this driver's stack location and calls the filter device's lower
// device; returns what it returns. Any thread, IRQL <= DISPATCH_LEVEL.
NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp);
// Passes the request down with this driver's stack location copied to the
// next, so that the routine is called with the context on its way back. A
// read or write is held back while it overlaps an own request in flight on
// that disk (inflight.h).
NTSTATUS PassDownWatched(PDEVICE_OBJECT device, PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context);
// Completes a request with a status and no information; returns the status.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status);

// Sector range of a byte range (a trailing partial sector is dropped); the
// Irp field is left to the caller.
void InitDiskRequest(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, DiskRequest* request);
// A caller's read or write entering the driver (the worker's thread, or the
// caller's when the disk has no worker): marks it pending and describes its
// range in the disk's sectors.
void StartCallerRequest(PDEVICE_OBJECT device, PIRP irp, DiskRequest* request);

// A caller's request passed down whole, counted in the device's statistics,
// in order with the driver's own requests in flight (inflight.h).
NTSTATUS PassDownRead(const DiskRequest* request);
NTSTATUS PassDownWrite(const DiskRequest* request);
// The same with a completion routine of the caller's own (which marks the
// request pending when PendingReturned and returns STATUS_SUCCESS).
NTSTATUS PassDownWriteWatched(const DiskRequest* request, PIO_COMPLETION_ROUTINE routine, PVOID context);

// System address of the caller's buffer; false when it has no MDL or the MDL
// cannot be mapped.
bool GetCallerBuffer(const DiskRequest* request, PVOID* address);

// Own IRPs, built on any thread at IRQL <= DISPATCH_LEVEL.
PMDL BuildMdlForBuffer(PVOID buffer, ULONG bytes);
PIRP BuildOwnReadIrp(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PVOID buffer);
PIRP BuildOwnWriteIrp(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PVOID buffer);
// An own read into the first bytes of a caller's buffer, through a partial MDL
// built from the caller's MDL (the caller's buffer is not pool).
PIRP BuildOwnReadIrpIntoMdl(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PMDL callerMdl);
// An own write of bytes of a caller's buffer from callerOffset on, through a
// partial MDL of the caller's MDL; null when the range is not inside it.
PIRP BuildOwnWriteIrpFromMdl(PDEVICE_OBJECT device, ULONGLONG byteOffset, ULONG bytes, PMDL callerMdl,
                             ULONG callerOffset);

// Sends an own IRP to the device's lower device with a completion routine
// that is called on success, error and cancel and must end with FreeOwnIrp
// and STATUS_MORE_PROCESSING_REQUIRED. A non-zero sector count is counted in
// the device's statistics. At PASSIVE_LEVEL the request is held back while
// it overlaps one in flight on that disk where one of the two writes
// (inflight.h).
NTSTATUS SendOwnReadIrp(PDEVICE_OBJECT device, PIRP irp, ULONG sectors, PIO_COMPLETION_ROUTINE routine,
                        PVOID context);
NTSTATUS SendOwnWriteIrp(PDEVICE_OBJECT device, PIRP irp, ULONG sectors, PIO_COMPLETION_ROUTINE routine,
                         PVOID context);
// The stack flags of a caller's request that the drivers below read: an own
// request that carries the caller's data for it keeps them, above all
// SL_WRITE_THROUGH (force unit access), which a file system's log write or a
// database commit relies on.
const UCHAR CallerReadStackFlags = SL_OVERRIDE_VERIFY_VOLUME | SL_WRITE_THROUGH;
const UCHAR CallerWriteStackFlags =
    SL_OVERRIDE_VERIFY_VOLUME | SL_WRITE_THROUGH | SL_FT_SEQUENTIAL_WRITE | SL_FORCE_DIRECT_WRITE;
// An own IRP (built, not sent) takes the caller's IRP flags and current stack
// location flags within the two masks.
void TakeCallerFlags(PIRP own, PIRP caller, ULONG irpFlags, UCHAR stackFlags);

// Frees the IRP and its MDL; returns the IRP's final status.
NTSTATUS FreeOwnIrp(PIRP irp);

// Synchronous transfers over a nonpaged buffer of SectorCount << SectorShift
// bytes, at PASSIVE_LEVEL (they wait): STATUS_SUCCESS, or the status of the
// first piece that failed. A range of 0 sectors sends nothing and succeeds;
// one whose single piece would not fit 32 bits of bytes is refused with
// STATUS_INVALID_PARAMETER.
NTSTATUS ReadSectorsSync(const DiskRequest* request, PVOID buffer);
NTSTATUS WriteSectorsSync(const DiskRequest* request, PVOID buffer);
// WriteSectorsSync whose pieces carry SL_WRITE_THROUGH: done only once the
// data is on the medium, past the disk's volatile cache.
NTSTATUS WriteSectorsSyncThrough(const DiskRequest* request, PVOID buffer);
// ReadSectorsSync that first counts one read of the whole range.
NTSTATUS ReadSectorsSyncCounted(const DiskRequest* request, PVOID buffer);
