// Reads and writes in flight below a filter device. A disk with a command
// queue gives no order between two requests in flight that overlap: two
// writes of the same sectors may land in either order, and a read beside a
// write may return either version. So before the driver sends a read or
// write it looks here for one in flight on the same disk that it overlaps,
// where one of the two writes and one of the two is the driver's own, and
// holds the new one back until that one has completed. Callers' requests
// passed down are recorded too, so that the driver's own requests wait for
// them and they wait for the driver's, but they never wait for each other:
// their order is the callers' own, as without the driver.
//
// The table lives in the filter device's extension and needs no memory and
// no lock: an entry is claimed with an interlocked exchange by the sending
// thread and given back by the request's completion. Two threads that send
// overlapping requests to one disk at the same moment are not ordered
// against each other (the requests of one master are sent by its worker).
#pragma once

#include "kernel.h"

const LONG InFlightEntries = 64;

struct InFlightTable;

struct InFlightEntry {
    volatile LONG State;  // free, claimed (being filled) or live
    ULONG Write;
    ULONG Own;
    ULONGLONG First;  // byte range [First, End) on the disk below
    ULONGLONG End;
    InFlightTable* Table;
    PIO_COMPLETION_ROUTINE Routine;  // the sender's routine and context
    PVOID Context;
};

struct InFlightTable {
    volatile LONG Top;      // entries at and above this index have never been used
    volatile LONG Waiters;  // threads waiting for an entry to be given back
    KEVENT Released;        // notification: set when an entry is given back while someone waits
    InFlightEntry Entries[InFlightEntries];
};

// With the rest of the extension zeroed.
void InitInFlightTable(InFlightTable* table);

// Sends the IRP to the device's lower device with its stack location copied
// to the next and the routine called with the context on the way back (on
// success, error and cancel). A read or write is recorded while in flight;
// at PASSIVE_LEVEL it is first held back while it overlaps one in flight
// whose order matters (see above) or while the table is full. Above
// PASSIVE_LEVEL it goes at once (recorded when an entry is free).
NTSTATUS SendDownInOrder(PDEVICE_OBJECT device, PIRP irp, bool own, PIO_COMPLETION_ROUTINE routine,
                         PVOID context);

// PASSIVE_LEVEL: returns once no request recorded on the device's table is
// in flight, so that the device may go: their completions use its table.
void WaitUntilNothingInFlight(PDEVICE_OBJECT device);

// Requests recorded in flight on the device's table (for tests).
LONG CountInFlight(PDEVICE_OBJECT device);
