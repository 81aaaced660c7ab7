// Destage of dirty data. Until write-back exists no cache holds dirty data:
// there is nothing to write back or flush.
#include "tolvarn.h"
#include "destage.h"

bool IdleDestage(PDEVICE_OBJECT master, NTSTATUS* pieceStatus)
{
    *pieceStatus = STATUS_SUCCESS;
    return false;
}

void FlushMaster(PDEVICE_OBJECT master)
{
}
