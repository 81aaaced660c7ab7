// The data the client writes and the host seeds: every 512-byte sector
// begins with a line naming its kind, disk and own byte offset, and is padded
// with one letter that changes from sector to sector. run-scenario.sh builds
// the same bytes on the host (pattern_bytes).
#pragma once
#include <windows.h>

// kind is "WRITE" for the client's writes, "SEED" for what the host put on
// the image before the boot.
void FillPattern(BYTE* buffer, const char* kind, int disk, ULONGLONG offset, DWORD bytes);
