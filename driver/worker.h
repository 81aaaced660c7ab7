// Per-disk worker thread: two spin-locked queues (caller requests and work
// items) drained one entry at a time by a priority-31 system thread, which
// also drives the drain and the idle write-back of an active master. The
// WorkerContext and WorkItem records are in tolvarn.h; the jobs it runs are
// reached through the table in seams.h.
#pragma once

#include "kernel.h"

struct WorkerContext;

const LONG WorkerPriority = 31;

// Relative time-out of the worker's wait, and the least time between two
// attempts at a destage piece after one has failed: 100 ms in 100 ns units.
const LONGLONG WorkerTick = 1000000;

// An active master starts idle write-back after this many idle waits in a row.
const ULONG IdleWaitsBeforeWriteBack = 2;

// When the filter device is created (AddDevice): no thread, queues empty.
void InitWorkerContext(WorkerContext* worker);

// At START (PnP thread, PASSIVE_LEVEL): creates the device's worker unless one
// is running. The worker is marked running before its thread exists, so a
// stop that comes before the thread has begun still waits for it.
NTSTATUS StartWorkerThread(PDEVICE_OBJECT device);

// At removal or a cache's shutdown (PASSIVE_LEVEL): asks the worker to end
// and returns once its thread has ended. Requests and items queued before the
// worker closed its queues have been run by then; later ones are refused
// (their callers handle them on their own threads).
void StopWorkerThread(WorkerContext* worker);

// Any thread, IRQL <= DISPATCH_LEVEL: marks the request pending and queues
// it; false when the device has no running worker (the caller then handles
// the request itself).
bool QueueIrpToWorker(PDEVICE_OBJECT device, PIRP irp);
// On the device's worker (from one of its jobs): serves, in order, the
// requests queued so far; those queued meanwhile wait for the worker's loop.
void ServeQueuedRequests(PDEVICE_OBJECT device);

// Any thread, IRQL <= DISPATCH_LEVEL (completion routines included): posts a
// job to the master's worker; false when it has no running worker, when
// memory is short, or (fill only) when filling is not possible. On false the
// caller keeps its buffer.
bool PostInvalidateWork(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG assignments);
// A set-valid range lies inside one slot and applies only while the slot is
// at the given generation (SlotGeneration).
bool PostSetValidWork(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count, ULONG generation);
bool PostFillWork(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer);

// A routine run on a device's worker for a caller that waits for it.
typedef void WORKER_CALL_ROUTINE(PDEVICE_OBJECT device, PVOID context);

// PASSIVE_LEVEL: runs the routine on the device's worker, after the work items
// queued before it, and returns once it has run, so that it keeps the map's
// one-thread rule and is ordered against the master's requests. False, with
// nothing run, when the device has no running worker: the caller then runs
// it on its own thread. Needs no memory; on the worker itself it runs at once.
bool RunOnWorker(PDEVICE_OBJECT device, WORKER_CALL_ROUTINE* routine, PVOID context);

KSTART_ROUTINE WorkerThreadMain;
