// The calls the worker and the PnP code make into the cache, gathered in two
// tables. The driver always runs the production tables; the worker's and the
// PnP code's tests point these at recording fakes while the rest of the
// driver, the real cache code included, is linked whole, so a fake never
// replaces a definition by its name.
#pragma once

#include "kernel.h"

// The jobs the worker runs on its thread (declared in fill.h, lifecycle.h,
// layoutrequests.h and destage.h, where their rules are stated).
struct WorkerJobs {
    void (*InvalidateSsdRange)(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG assignments);
    void (*SetSsdRangeValid)(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG generation);
    bool (*CanFill)(PDEVICE_OBJECT master);
    bool (*FillCache)(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer);
    bool (*DrainStep)(PDEVICE_OBJECT master, NTSTATUS* pieceStatus);
    bool (*IdleDestage)(PDEVICE_OBJECT master, NTSTATUS* pieceStatus);
    void (*InvalidateLayoutSector)(PDEVICE_OBJECT master, PIRP irp);
};

// The cache lifecycle as PnP, power and shutdown reach it (declared in
// lifecycle.h and destage.h).
struct LifecycleCalls {
    bool (*AttachCacheAtBoot)(PDEVICE_OBJECT master);
    NTSTATUS (*ShutdownCache)(PDEVICE_OBJECT master);
    NTSTATUS (*SaveCacheAtShutdown)(PDEVICE_OBJECT master);
    bool (*MayRemoveSsd)(PDEVICE_OBJECT ssd);
    void (*RemoveSsdFromMaster)(PDEVICE_OBJECT ssd);
    void (*FlushMaster)(PDEVICE_OBJECT master);
};

extern const WorkerJobs ProductionWorkerJobs;
extern const LifecycleCalls ProductionLifecycleCalls;

// The tables in use; they point at the production tables unless a test has
// set them (before any disk is started, and back after its machine is gone).
extern const WorkerJobs* Jobs;
extern const LifecycleCalls* Lifecycle;
