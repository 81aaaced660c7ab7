// Disk identity read from the device below a filter device at START: device
// number, sector size, length, SCSI address and the ATA IDENTIFY data whose
// model and serial number name the disk's registry key.
#pragma once

#include "kernel.h"

struct FilterExtension;

const ULONG IdentifyDataBytes = 512;
const ULONG AtaModelChars = 40;         // IDENTIFY words 27..46
const ULONG AtaSerialChars = 20;        // IDENTIFY words 10..19
const ULONG OwnMaxTransfer = 0x100000;  // largest piece of an own synchronous transfer
const ULONG UnknownDeviceNumber = 0xFFFFFFFF;

// Offsets in the one buffer that carries the miniport IDENTIFY request and
// its answer (SRB_IO_CONTROL, then SENDCMDINPARAMS or SENDCMDOUTPARAMS).
const ULONG SrbHeaderBytes = 28;
const ULONG IdentifyRequestBytes = 60;
const ULONG IdentifyAnswerHeaderBytes = 44;  // header + SENDCMDOUTPARAMS before the data
const ULONG IdentifyDriverErrorOffset = 32;  // DRIVERSTATUS.bDriverError
const UCHAR AtaCommandIdentify = 0xEC;
const ULONG MiniportIdentifyCode = 0x1B0501;

// Sends a device control and waits for it; refused above APC_LEVEL.
NTSTATUS SendDeviceControlSync(PDEVICE_OBJECT device, ULONG code, PVOID input, ULONG inputBytes, PVOID output,
                               ULONG outputBytes, ULONG* returnedBytes);

// Each fails unless the device answered with the whole record. PASSIVE_LEVEL:
// they wait for the device below.
NTSTATUS QueryDeviceNumber(PDEVICE_OBJECT lower, ULONG* number);  // UnknownDeviceNumber on failure
NTSTATUS QueryDriveGeometry(PDEVICE_OBJECT lower, DISK_GEOMETRY* geometry);
NTSTATUS QueryDiskLength(PDEVICE_OBJECT lower, LONGLONG* lengthBytes);  // -1 on failure
NTSTATUS QueryScsiAddress(PDEVICE_OBJECT lower, SCSI_ADDRESS* address);

// Miniport ATA pass-through returning n data bytes. Fails when the answer is
// shorter than asked or the miniport reports a driver error.
NTSTATUS QueryAtaIdentify(PDEVICE_OBJECT lower, UCHAR driveNumber, ULONG controlCode,
                          const UCHAR registers[8], PVOID output, ULONG n);
NTSTATUS SendAtaIdentify(PDEVICE_OBJECT lower, UCHAR driveNumber, UCHAR* data512);

// 9 for 512-byte sectors, 12 for 4096-byte sectors, 0 for any other size.
ULONG SectorSizeToShift(ULONG bytesPerSector);

// At START (PnP thread, PASSIVE_LEVEL): reads the device number, the geometry
// and the IDENTIFY data. False when the device number or the geometry could
// not be read; the IDENTIFY data (Identify) is kept only when it was read.
bool ReadDiskIdentity(PDEVICE_OBJECT filter);
bool ReadDiskGeometry(PDEVICE_OBJECT filter);
NTSTATUS IdentifyDisk(FilterExtension* ext);

// ATA strings: each word gives its high byte, then its low byte; nothing is
// trimmed; the result ends with a NUL (out holds chars + 1 bytes).
void AtaModelString(const UCHAR* identify, UCHAR out[AtaModelChars + 1]);
void AtaSerialString(const UCHAR* identify, UCHAR out[AtaSerialChars + 1]);
