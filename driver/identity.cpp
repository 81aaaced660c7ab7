// Disk identity: synchronous device controls to the device below a filter
// device, read once per START on the START request's thread.
#include "tolvarn.h"
#include "identity.h"
#include "pool.h"

static void PutUlong(UCHAR* at, ULONG value)
{
    at[0] = (UCHAR)value;
    at[1] = (UCHAR)(value >> 8);
    at[2] = (UCHAR)(value >> 16);
    at[3] = (UCHAR)(value >> 24);
}

NTSTATUS SendDeviceControlSync(PDEVICE_OBJECT device, ULONG code, PVOID input, ULONG inputBytes, PVOID output,
                               ULONG outputBytes, ULONG* returnedBytes)
{
    *returnedBytes = 0;
    if (KeGetCurrentIrql() > APC_LEVEL)
        return STATUS_UNSUCCESSFUL;

    KEVENT event;
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_UNSUCCESSFUL;
    iosb.Information = 0;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputBytes, output, outputBytes, FALSE,
                                             &event, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;

    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    *returnedBytes = (ULONG)iosb.Information;
    return status;
}

// A device control whose answer must fill the whole output record: with
// buffered I/O only the bytes the device reported are copied back.
static NTSTATUS QueryRecord(PDEVICE_OBJECT lower, ULONG code, PVOID record, ULONG recordBytes)
{
    RtlZeroMemory(record, recordBytes);
    ULONG returned;
    NTSTATUS status = SendDeviceControlSync(lower, code, NULL, 0, record, recordBytes, &returned);
    if (NT_SUCCESS(status) && returned < recordBytes)
        status = STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS QueryDeviceNumber(PDEVICE_OBJECT lower, ULONG* number)
{
    STORAGE_DEVICE_NUMBER record;
    NTSTATUS status = QueryRecord(lower, IOCTL_STORAGE_GET_DEVICE_NUMBER, &record, sizeof record);
    *number = NT_SUCCESS(status) ? record.DeviceNumber : UnknownDeviceNumber;
    return status;
}

NTSTATUS QueryDriveGeometry(PDEVICE_OBJECT lower, DISK_GEOMETRY* geometry)
{
    return QueryRecord(lower, IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry, sizeof *geometry);
}

NTSTATUS QueryDiskLength(PDEVICE_OBJECT lower, LONGLONG* lengthBytes)
{
    GET_LENGTH_INFORMATION record;
    NTSTATUS status = QueryRecord(lower, IOCTL_DISK_GET_LENGTH_INFO, &record, sizeof record);
    *lengthBytes = NT_SUCCESS(status) ? record.Length.QuadPart : -1;
    return status;
}

NTSTATUS QueryScsiAddress(PDEVICE_OBJECT lower, SCSI_ADDRESS* address)
{
    return QueryRecord(lower, IOCTL_SCSI_GET_ADDRESS, address, sizeof *address);
}

NTSTATUS QueryAtaIdentify(PDEVICE_OBJECT lower, UCHAR driveNumber, ULONG controlCode,
                          const UCHAR registers[8], PVOID output, ULONG n)
{
    ULONG length = n + 16 > 32 ? n + 16 : 32;
    ULONG bufferBytes = length + SrbHeaderBytes;
    UCHAR* buffer = (UCHAR*)AllocatePool(bufferBytes);
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;

    RtlZeroMemory(buffer, bufferBytes);
    PutUlong(buffer + 0, SrbHeaderBytes);      // SRB_IO_CONTROL.HeaderLength
    RtlCopyMemory(buffer + 4, "SCSIDISK", 8);  // .Signature
    PutUlong(buffer + 12, 1000);               // .Timeout
    PutUlong(buffer + 16, controlCode);        // .ControlCode
    PutUlong(buffer + 24, length);             // .Length
    PutUlong(buffer + 28, 32);                 // SENDCMDINPARAMS.cBufferSize
    RtlCopyMemory(buffer + 32, registers, 8);  // .irDriveRegs
    buffer[40] = driveNumber;                  // .bDriveNumber

    ULONG answerBytes = n + IdentifyAnswerHeaderBytes;
    ULONG returned;
    NTSTATUS status = SendDeviceControlSync(lower, IOCTL_SCSI_MINIPORT, buffer, IdentifyRequestBytes, buffer,
                                            answerBytes, &returned);
    // A pass-through that claims success without the data, or whose
    // miniport reports a driver error, must not name the disk's key.
    if (NT_SUCCESS(status) && (returned < answerBytes || buffer[IdentifyDriverErrorOffset] != 0))
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status) && n != 0)
        RtlCopyMemory(output, buffer + IdentifyAnswerHeaderBytes, n);
    FreePool(buffer);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS SendAtaIdentify(PDEVICE_OBJECT lower, UCHAR driveNumber, UCHAR* data512)
{
    const UCHAR registers[8] = {0, 0, 0, 0, 0, 0, AtaCommandIdentify, 0};
    return QueryAtaIdentify(lower, driveNumber, MiniportIdentifyCode, registers, data512, IdentifyDataBytes);
}

ULONG SectorSizeToShift(ULONG bytesPerSector)
{
    switch (bytesPerSector) {
    case 512: return 9;
    case 4096: return 12;
    default: return 0;
    }
}

bool ReadDiskGeometry(PDEVICE_OBJECT filter)
{
    FilterExtension* ext = FilterExtensionOf(filter);
    DISK_GEOMETRY geometry;
    if (!NT_SUCCESS(QueryDriveGeometry(ext->LowerDevice, &geometry)))
        return false;
    ext->SectorShift = SectorSizeToShift(geometry.BytesPerSector);
    if (ext->SectorShift == 0)
        return false;
    LONGLONG length;
    if (!NT_SUCCESS(QueryDiskLength(ext->LowerDevice, &length)) || length < 0)
        return false;
    ext->MaxTransfer = OwnMaxTransfer;
    ext->LengthSectors = (ULONGLONG)length >> ext->SectorShift;
    return true;
}

bool ReadDiskIdentity(PDEVICE_OBJECT filter)
{
    PAGED_CODE();
    FilterExtension* ext = FilterExtensionOf(filter);
    ULONG number;
    QueryDeviceNumber(ext->LowerDevice, &number);
    if (number == UnknownDeviceNumber)
        return false;
    ext->DeviceNumber = number;
    if (!ReadDiskGeometry(filter))
        return false;
    IdentifyDisk(ext);
    return true;
}

NTSTATUS IdentifyDisk(FilterExtension* ext)
{
    SCSI_ADDRESS address;
    NTSTATUS status = QueryScsiAddress(ext->LowerDevice, &address);
    if (!NT_SUCCESS(status))
        return status;

    UCHAR* data = (UCHAR*)AllocatePool(IdentifyDataBytes);
    if (!data)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = SendAtaIdentify(ext->LowerDevice, address.TargetId, data);
    if (!NT_SUCCESS(status)) {
        FreePool(data);
        return status;
    }
    if (ext->Identify)
        FreePool(ext->Identify);
    ext->Identify = data;
    return STATUS_SUCCESS;
}

static void AtaString(const UCHAR* identify, ULONG firstWord, ULONG chars, UCHAR* out)
{
    for (ULONG i = 0; i < chars; i += 2) {
        const UCHAR* word = identify + 2 * (firstWord + i / 2);
        out[i] = word[1];
        out[i + 1] = word[0];
    }
    out[chars] = 0;
}

void AtaModelString(const UCHAR* identify, UCHAR out[AtaModelChars + 1])
{
    AtaString(identify, 27, AtaModelChars, out);
}

void AtaSerialString(const UCHAR* identify, UCHAR out[AtaSerialChars + 1])
{
    AtaString(identify, 10, AtaSerialChars, out);
}
