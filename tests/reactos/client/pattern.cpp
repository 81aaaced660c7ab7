// The sector pattern shared by the client and the host-side checks.
#include "pattern.h"
#include "rawdisk.h"
#include <stdio.h>
#include <string.h>

void FillPattern(BYTE* buffer, const char* kind, int disk, ULONGLONG offset, DWORD bytes)
{
    for (DWORD at = 0; at + SectorBytes <= bytes; at += SectorBytes) {
        ULONGLONG sectorOffset = offset + at;
        BYTE* sector = buffer + at;
        memset(sector, 'a' + (int)((sectorOffset / SectorBytes) % 26), SectorBytes);
        char line[64];
        int length = snprintf(line, sizeof line, "TVC%s disk=%d offset=%012llu\n", kind, disk, sectorOffset);
        memcpy(sector, line, length);
    }
}
