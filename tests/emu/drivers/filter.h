// A tiny pass-through disk filter used to exercise the emulated kernel.
#pragma once

#include "kernel.h"

// How the filter passes reads and writes down.
enum FilterMode : ULONG {
    FilterSkip = 0,             // skip the stack location and pass down
    FilterPropagate = 1,        // copy, completion routine that propagates the pending flag
    FilterForward = 2,          // copy, completion routine that returns STATUS_MORE_PROCESSING_REQUIRED;
                                // the dispatch routine waits and completes the request again
    FilterForgetPending = 3,    // as FilterPropagate, but the routine forgets the pending flag (a bug)
    FilterQueue = 4,            // mark pending, queue; the filter's worker thread skips and passes down
    FilterQueueLateReturn = 5,  // as FilterQueue, but the dispatch routine returns STATUS_PENDING only
                                // once FilterState.ReturnGate is signalled
};

#define FILTER_POOL_TAG 0x746c6946u  // "Filt"

// Control requests of "\Device\EmuFilter": echo returns the input.
#define IOCTL_FILTER_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)

struct FilterGlobals {
    ULONG Mode;        // FilterMode, read at each request
    LONG Completions;  // completion routines run
    LONG PendingSeen;  // of those, with PendingReturned
    LONG Opens;
    LONG WorkerPasses;   // passes of the worker loop (it wakes every 100 ms)
    PKEVENT ReturnGate;  // FilterQueueLateReturn: set by the test
};

extern "C" FilterGlobals FilterState;
extern "C" NTSTATUS NTAPI FilterDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
