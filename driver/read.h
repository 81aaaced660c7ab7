// The read path of a filter device.
#pragma once

#include "kernel.h"

// A read entering the cache: run by the worker for a queued request, or on
// the caller's thread when the disk has no worker (PASSIVE_LEVEL either way).
// Marks the request pending and counts it; every disk's reads pass down whole
// for now. The result is not used by its callers.
NTSTATUS HandleRead(PDEVICE_OBJECT device, PIRP irp);
