// Tolvarn's chief header: the device extensions, the per-disk counters and the
// driver-wide state that every part of the driver reads.
#pragma once

#include "kernel.h"
#include "worker.h"
#include "identity.h"
#include "config.h"
#include "requests.h"
#include "cachemap.h"
#include "cachestate.h"
#include "metadata.h"
#include "lifecycle.h"

// ---- Pool -------------------------------------------------------------------

// Every allocation of the driver is nonpaged pool with this tag (bytes in
// memory 2D 4F 5D FD). The top bit marks it protected: every free passes it.
const ULONG PoolTag = 0xFD5D4F2D;

inline PVOID AllocatePool(SIZE_T bytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, bytes, PoolTag);
}

inline void FreePool(PVOID block)
{
    ExFreePoolWithTag(block, PoolTag);
}

// ---- Driver-wide state --------------------------------------------------------

enum : UCHAR { PhaseBoot = 0, PhaseRunning = 1, PhaseShutdown = 2, PhaseUnload = 3 };
enum DiskRole : UCHAR { RoleNone = 0, RoleMaster = 1, RoleSsd = 2 };

extern PDRIVER_OBJECT DriverObject;       // null while the driver is not loaded
extern PDEVICE_OBJECT ControlDevice;      // null when it does not exist
extern volatile UCHAR DriverPhase;        // PhaseBoot .. PhaseUnload
extern volatile ULONG HibernateFlag;      // 1 from an S4 request until every disk is back at S0
extern volatile ULONGLONG PoolBytes;      // pool held by cache structures
extern UNICODE_STRING RegistryPath;       // owned copy of the service key path
extern WCHAR *ServiceName;                // text after the last backslash of RegistryPath, or null
extern volatile ULONG OpenSequence;       // opens of the control device since load
extern volatile ULONG OpenCount;          // opens minus closes of the control device

// Adds (or, with a negative delta, subtracts) the size of a cache structure.
void PoolBytesAdd(LONGLONG delta);

// Statistics are plain adds: nothing relies on their exactness, and the x86
// kernel headers offer no 64-bit interlocked add.
inline void StatAdd32(volatile ULONG *counter, ULONG amount)
{
    *counter = *counter + amount;
}

inline void StatAdd64(volatile ULONGLONG *counter, ULONGLONG amount)
{
    *counter = *counter + amount;
}

// ---- Counted strings ----------------------------------------------------------

void InitCountedString(UNICODE_STRING *string);
void FreeCountedString(UNICODE_STRING *string);
ULONG CountedStringChars(const UNICODE_STRING *string);
NTSTATUS CopyCountedString(UNICODE_STRING *dest, const UNICODE_STRING *source);
NTSTATUS ConcatToCountedString(UNICODE_STRING *dest, const WCHAR *first, const WCHAR *second);

// ---- Device extensions --------------------------------------------------------

// Request counters of one filter device; the field order is the order in which
// the disk-statistics control request returns them.
struct DiskStats {
    ULONG ReadsIn;
    ULONG WritesIn;
    ULONG ReadsDown;
    ULONG WritesDown;
    ULONGLONG SectorsReadIn;
    ULONGLONG SectorsWrittenIn;
    ULONGLONG SectorsReadDown;
    ULONGLONG SectorsWrittenDown;
};

struct ControlExtension {
    ULONG Size;
    UNICODE_STRING DeviceName;   // owned
    UNICODE_STRING LinkName;     // owned; empty while no link exists
};

// The extension of every filter device, one per disk.
struct FilterExtension {
    ULONG Size;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;      // every request passed down or sent goes here
    WorkerContext Worker;
    ULONG IdentityRead;              // 1 once the stack below is started and the identity read
    ULONG DeviceNumber;              // 0xFFFFFFFF until known
    ULONG MaxTransfer;
    ULONG SectorShift;
    ULONGLONG LengthSectors;
    ULONG PowerState;                // last system power state: 1 = S0 ... 5 = S4
    DiskStats Stats;
    UCHAR *Identify;                 // 512 bytes of ATA IDENTIFY data (owned), or null
    UNICODE_STRING KeyPath;          // owned
    ULONG KeyPathValid;
    ULONGLONG DiskId;
    UCHAR Role;                      // a DiskRole
    ULONGLONG TimeStamp;
    MasterConfig Master;
    CacheGeometry Geometry;
    CacheState Cache;
    CacheAreaConfig Area;
    ULONG Removing;                  // 1 once REMOVE or the shutdown sweep has begun
};

inline FilterExtension *FilterExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<FilterExtension *>(device->DeviceExtension);
}

// ---- Entry and dispatch (entry.cpp) --------------------------------------------

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD UnloadDriver;
VOID NTAPI OnBootReinitialize(PDRIVER_OBJECT driver, PVOID context, ULONG count);
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchShutdown;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchDefault;

// Skips this driver's stack location and calls the filter device's lower device.
NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp);
// Completes a request with a status and no information; returns the status.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status);
// A filter device's read or write entering the cache (the worker's or the caller's thread).
NTSTATUS HandleRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HandleWrite(PDEVICE_OBJECT device, PIRP irp);

// ---- Control device (control.cpp) ----------------------------------------------

NTSTATUS ControlCreate(PIRP irp);
NTSTATUS ControlClose(PIRP irp);
NTSTATUS DispatchControlIoctl(PIRP irp);

// ---- Filter devices, PnP and power (pnp.cpp) ------------------------------------

DRIVER_ADD_DEVICE AddDevice;
NTSTATUS OnStartDevice(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS OnQueryRemoveDevice(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS OnRemoveDevice(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS OnStopDevice(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS PowerFilter(PDEVICE_OBJECT device, PIRP irp);

// Lookups over the driver's filter devices; null when none matches. The result
// is used without a reference held.
PDEVICE_OBJECT FindDeviceByDiskId(ULONGLONG diskId);
PDEVICE_OBJECT FindDeviceByNumber(ULONG deviceNumber);

void ShutdownAllMasters();
void FlushAllMasters();
bool AllDevicesAtS0();
void LateStartDevices();
