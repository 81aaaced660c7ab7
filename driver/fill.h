// Cache fill and bitmap work: the jobs that completion routines post to a
// master's worker (worker.h), run there one at a time. They change the
// master's cache map, which has no lock: only the worker's thread runs them.
#pragma once

#include "kernel.h"

// Clear (InvalidateSsdRange) or set (SetSsdRangeValid, with the clean bits in
// write-back mode) the valid bits of an SSD range of the master's map.
void InvalidateSsdRange(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count);
void SetSsdRangeValid(PDEVICE_OBJECT master, ULONGLONG ssdSector, ULONG count);
// Whether data read from the master may be copied into its cache now; asked
// by PostFillWork on any thread at IRQL <= DISPATCH_LEVEL, without a lock.
bool CanFill(PDEVICE_OBJECT master);
// Writes data read from the master into its cached blocks on the SSD. True
// when it kept the buffer; false and the worker frees it.
bool FillCache(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer);
