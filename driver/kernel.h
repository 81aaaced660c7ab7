// The driver's one door to the kernel: mingw-w64's kernel headers in the real
// images, the emulated kernel in the native build. Every driver file includes
// this header and no other platform header.
#pragma once

#if defined(TOLVARN_EMU)

#include <emu/kernel.h>
#define WSTR(s) u##s

#else

#include <ntddk.h>
#include <ntdddisk.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#define WSTR(s) L##s

// mingw-w64 declares this one only in ntifs.h, which does not mix with ntddk.h.
extern "C" NTKERNELAPI NTSTATUS NTAPI IoEnumerateDeviceObjectList(PDRIVER_OBJECT DriverObject,
                                                                  PDEVICE_OBJECT* DeviceObjectList,
                                                                  ULONG DeviceObjectListSize,
                                                                  PULONG ActualNumberDeviceObjects);

#endif
