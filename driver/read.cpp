// The read path: a filter device's reads as they enter the cache.
#include "tolvarn.h"
#include "read.h"
#include "requests.h"

// Masters will be served by the cache; until it exists every disk's reads
// pass down whole.
NTSTATUS HandleRead(PDEVICE_OBJECT device, PIRP irp)
{
    DiskRequest request;
    StartCallerRequest(device, irp, &request);
    DiskStats* stats = &FilterExtensionOf(device)->Stats;
    StatAdd32(&stats->ReadsIn, 1);
    StatAdd64(&stats->SectorsReadIn, request.SectorCount);
    return PassDownRead(&request);
}
