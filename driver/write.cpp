// The write path: a filter device's writes as they enter the cache.
#include "tolvarn.h"
#include "requests.h"
#include "write.h"

// Masters will be served by the cache; until it exists every disk's writes
// pass down whole.
NTSTATUS HandleWrite(PDEVICE_OBJECT device, PIRP irp)
{
    DiskRequest request;
    StartCallerRequest(device, irp, &request);
    DiskStats* stats = &FilterExtensionOf(device)->Stats;
    StatAdd32(&stats->WritesIn, 1);
    StatAdd64(&stats->SectorsWrittenIn, request.SectorCount);
    return PassDownWrite(&request);
}
