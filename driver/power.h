// Power requests of a filter device.
#pragma once

#include "kernel.h"

// Every power request of a filter device, on the system's power thread. A set
// of S4 flushes every master's cache on this thread (changing their maps while
// their workers run) before the request goes down.
NTSTATUS PowerFilter(PDEVICE_OBJECT device, PIRP irp);
