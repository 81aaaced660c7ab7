// Destage: copying dirty data of a write-back cache from the SSD to the master.
#pragma once

#include "kernel.h"

// On the master's worker, when it has been idle: destages one piece of the
// next dirty run. True when it found a dirty run and attempted a piece, whose
// status goes to *pieceStatus (STATUS_SUCCESS when none failed), so that the
// worker can hold back the next attempt after a failure.
bool IdleDestage(PDEVICE_OBJECT master, NTSTATUS* pieceStatus);
// Destages every dirty run of the master's cache, on the calling thread: the
// hibernation's power thread (while the worker runs) or the shutdown or
// removal thread (after the worker has stopped).
void FlushMaster(PDEVICE_OBJECT master);
