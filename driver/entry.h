// The driver's entry and unload, and the dispatch routine of every major
// function: each asks whether the request is for the control device, else
// routes it by the filter device's role. Dispatch routines run on the
// caller's thread.
#pragma once

#include "kernel.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD UnloadDriver;
// Boot-driver reinitialization: the driver leaves the boot phase.
VOID NTAPI OnBootReinitialize(PDRIVER_OBJECT driver, PVOID context, ULONG count);

DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
// Reads and writes of a filter device are queued to its worker, or handled
// on the caller's thread when it has none; either way they return pending.
DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;
DRIVER_DISPATCH DispatchDeviceControl;
// The first shutdown request sweeps every master on its thread.
DRIVER_DISPATCH DispatchShutdown;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchFlushBuffers;
DRIVER_DISPATCH DispatchDefault;
