// The entry point of the filter test driver built as a real kernel image.
#include "filter.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return FilterDriverEntry(driverObject, registryPath);
}
