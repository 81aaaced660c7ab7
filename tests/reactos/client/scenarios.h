// The client's scenarios, each run by name from the command line.
#pragma once
#include <windows.h>

// The kit's two data disks: the hard disk, then the SSD.
const int FirstDataDisk = 1;
const int LastDataDisk = 2;

// Where the host seeds each image before the boot.
const ULONGLONG SeedOffset = 8u << 20;
const DWORD SeedBytes = 64u << 10;

void RunPassThrough();
void RunBadInput();
void RunWriteThrough();
void RunWriteBack();
void RunPersistenceSave();
void RunPersistenceReuse();
void RunFatVolumeSave();
void RunFatVolumeReuse();

// Asks for a clean shutdown of the system once the report has ended.
void ShutDownAfterReport();
