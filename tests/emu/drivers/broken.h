// A test driver that breaks one kernel rule per control request, so that each
// verifier check of the emulated kernel can be shown to fire.
#pragma once

#include "kernel.h"

#define BROKEN_IOCTL(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

enum BrokenRequest : ULONG {
    BreakNothing = 0,       // completes with success
    BreakCompleteTwice,     // IoCompleteRequest twice
    BreakCompletePending,   // completes with STATUS_PENDING as status
    BreakPendingUnmarked,   // returns STATUS_PENDING without IoMarkIrpPending; a thread completes it
    BreakMarkedNotPending,  // marks pending, completes, returns STATUS_SUCCESS
    BreakNeverComplete,     // keeps the request (marked pending) for ever
    BreakWaitAtDispatch,    // waits with a time-out at DISPATCH_LEVEL
    BreakZwAtDispatch,      // ZwOpenKey at DISPATCH_LEVEL
    BreakWrongTag,          // frees pool with another tag
    BreakStackOverrun,      // sends an IRP with no stack location left
    BreakLeakPool,
    BreakLeakThread,  // a thread that never ends
    BreakLeakReference,
    BreakLeakHandle,  // a registry key handle never closed
    BreakLeakLink,
    BreakLeakDevice,
    BreakLeakIrp,
    BreakCount
};

extern "C" NTSTATUS NTAPI BrokenDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
