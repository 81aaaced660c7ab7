// The control device's requests after the version query: the table of their
// codes and record sizes, and their handlers.
#pragma once

#include "kernel.h"

// Runs on the client's thread at PASSIVE_LEVEL under the control lock. The
// record is a local copy whose length and header have been checked; a
// request that returns data writes its answer into it.
typedef NTSTATUS ControlHandler(UCHAR* record);

struct ControlRequest {
    ULONG Code;
    ULONG Size;        // the record's size in bytes
    bool ReturnsData;  // the record goes back, so the output length must be Size too
    ControlHandler* Handle;
};

// The largest record a request of the table takes.
const ULONG MaxControlRecordSize = 524;

// The request with that code, or null for a code the driver does not serve
// (the version query included: it has no record header).
const ControlRequest* FindControlRequest(ULONG code);
