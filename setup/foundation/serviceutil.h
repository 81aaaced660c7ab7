// Service control manager helpers: existence, state, start, stop, delete and creation of kernel-driver services.
#pragma once

#include <windows.h>
#include <cstdint>

// Service states tested by the callers (dwCurrentState of SERVICE_STATUS_PROCESS).
const uint32_t ServiceStateStopped = SERVICE_STOPPED;  // 1
const uint32_t ServiceStateRunning = SERVICE_RUNNING;  // 4

// Every operation opens the manager (SC_MANAGER_ALL_ACCESS) and the service
// (SERVICE_ALL_ACCESS) itself and closes both before it returns. Results are
// Win32 error codes, 0 for success. Out pointers may be null.

// True when both the manager and the service open.
bool ServiceExists(const char* name);

// The current state; a service that cannot be opened counts as stopped (1), result 0.
int QueryServiceStateByName(const char* name, uint32_t* outState);

// Starts the service unless it already runs. A missing service gives 1060.
int StartServiceByName(const char* name);

// Sends a stop request unless the service is stopped; a service that cannot be opened
// counts as stopped. *outState is the state after the request (or the queried one).
// A refused request gives its error: 1052 for a driver that cannot be unloaded (also
// when a running service takes the request but stays running, or cannot take it, as
// Wine answers for such a driver), 1051 while services that depend on it run. A service
// that stopped meanwhile (1062) counts as stopped; one that cannot take the request
// while it starts or stops (1061) gives 0 with the queried state, for the caller to
// wait on.
int StopServiceByName(const char* name, uint32_t* outState);

// Marks the service for deletion; a service that cannot be opened counts as deleted.
int DeleteServiceByName(const char* name);

// Creates a kernel-driver service (error control normal, display name = name).
// An existing service gives 1073.
int CreateDriverService(const char* name, const char* binaryPath, const char* loadOrderGroup,
                        uint32_t startType);

// The steps over an open service handle.
int QueryServiceState(SC_HANDLE service, uint32_t* outState);
int SendServiceControl(SC_HANDLE service, uint32_t control, uint32_t* outState);
