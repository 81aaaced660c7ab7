// Must not link: it defines a worker job and a lifecycle call that the
// driver defines too. Tests replace them through the tables of seams.h.
#include "tolvarn.h"
#include "fill.h"
#include "lifecycle.h"

bool FillCache(PDEVICE_OBJECT master, ULONGLONG masterSector, ULONG count, PVOID buffer)
{
    return false;
}

NTSTATUS ShutdownCache(PDEVICE_OBJECT master)
{
    return STATUS_SUCCESS;
}

int main()
{
    return 0;
}
