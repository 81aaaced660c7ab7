// Per-disk worker thread: two spin-locked queues (caller requests and work
// items) drained one entry at a time by a priority-31 system thread, which
// also drives the drain and the idle write-back of an active master.
#pragma once

#include "kernel.h"

struct FilterExtension;

const LONG WorkerPriority = 31;

// Relative time-out of the worker's wait, and the least time between two
// attempts at a destage piece after one has failed: 100 ms in 100 ns units.
const LONGLONG WorkerTick = 1000000;

// An active master starts idle write-back after this many idle waits in a row.
const ULONG IdleWaitsBeforeWriteBack = 2;

enum WorkKind {
    WorkInvalidate = 1,   // clear the valid bits of an SSD range
    WorkSetValid = 2,     // set the valid bits of an SSD range
    WorkFill = 3,         // write data read from the master into the cache
};

struct WorkItem {
    LIST_ENTRY Links;
    ULONG Kind;
    ULONGLONG Sector;     // SSD sector for kinds 1 and 2, master sector for kind 3
    ULONG Count;
    PVOID Buffer;         // kind 3 only: pool owned by the item once posted
};

struct WorkerContext {
    PVOID Thread;                 // referenced thread object, null when none
    KEVENT ExitEvent;             // signalled by the worker just before it ends
    KEVENT WorkEvent;             // signalled by every post and by a stop
    // 1 from StartWorkerThread until the stopping worker closes its queues
    // (under both queue locks); posts and queued requests are taken only
    // while it is 1.
    volatile UCHAR Running;
    volatile ULONG Stop;          // 1 asks the worker to end
    KSPIN_LOCK RequestLock;
    LIST_ENTRY RequestQueue;      // IRPs, linked through Tail.Overlay.ListEntry
    KSPIN_LOCK ItemLock;
    LIST_ENTRY ItemQueue;         // WorkItem records
};

void InitWorkerContext(WorkerContext* worker);

// Creates the device's worker unless one is running. The worker is marked
// running before its thread exists, so a stop that comes before the thread
// has begun still waits for it.
NTSTATUS StartWorkerThread(PDEVICE_OBJECT device);

// Asks the worker to end and returns once its thread has ended. Requests and
// items queued before the worker closed its queues have been run by then; later
// ones are refused (their callers handle them on their own threads).
void StopWorkerThread(WorkerContext* worker);

// Marks the request pending and queues it; false when the device has no
// running worker (the caller then handles the request itself).
bool QueueIrpToWorker(PDEVICE_OBJECT device, PIRP irp);

// Posts a job to the master's worker; false when it has no running worker,
// when memory is short, or (fill only) when filling is not possible. On false
// the caller keeps its buffer.
bool PostInvalidateWork(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count);
bool PostSetValidWork(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count);
bool PostFillWork(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer);

KSTART_ROUTINE WorkerThreadMain;

// ---------------------------------------------------------------------------
// Jobs the worker runs, defined by the cache's fill, lifecycle and destage
// code. DrainStep and IdleDestage report through *pieceStatus the status of
// the destage piece they attempted (STATUS_SUCCESS when none failed), so that
// the worker can hold back the next attempt after a failure.
// ---------------------------------------------------------------------------
void InvalidateSsdRange(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count);
void SetSsdRangeValid(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count);
bool CanFill(PDEVICE_OBJECT master);
// True when it kept the buffer; false and the worker frees it.
bool FillCache(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer);
bool DrainStep(PDEVICE_OBJECT master, NTSTATUS* pieceStatus);
// True when it found a dirty run and attempted one piece.
bool IdleDestage(PDEVICE_OBJECT master, NTSTATUS* pieceStatus);
void InvalidateLayoutSector(PDEVICE_OBJECT master, PIRP irp);
