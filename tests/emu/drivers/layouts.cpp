// Records whose layout Windows fixes: the same sizes against the emulated
// kernel's headers and against the real kernel headers.
#include "kernel.h"

static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");
static_assert(sizeof(WCHAR) == 2, "WCHAR");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG");
static_assert(sizeof(UNICODE_STRING) == 2 * sizeof(void*), "UNICODE_STRING");
static_assert(sizeof(LIST_ENTRY) == 2 * sizeof(void*), "LIST_ENTRY");
static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(void*), "IO_STATUS_BLOCK");
static_assert(sizeof(KEVENT) == 8 + 2 * sizeof(void*), "KEVENT");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "KEY_VALUE_PARTIAL_INFORMATION");
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "KEY_VALUE_PARTIAL_INFORMATION.Data");
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "STORAGE_DEVICE_NUMBER");
static_assert(sizeof(DISK_GEOMETRY) == 24, "DISK_GEOMETRY");
static_assert(sizeof(GET_LENGTH_INFORMATION) == 8, "GET_LENGTH_INFORMATION");
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS");
static_assert(sizeof(SRB_IO_CONTROL) == 28, "SRB_IO_CONTROL");
static_assert(sizeof(IDEREGS) == 8, "IDEREGS");
static_assert(sizeof(SENDCMDINPARAMS) == 33, "SENDCMDINPARAMS");
static_assert(sizeof(DRIVERSTATUS) == 12, "DRIVERSTATUS");
static_assert(sizeof(SENDCMDOUTPARAMS) == 17, "SENDCMDOUTPARAMS");
static_assert(sizeof(void*) != 8 || sizeof(IO_STACK_LOCATION) == 0x48, "IO_STACK_LOCATION (x64)");
static_assert(sizeof(void*) != 8 || sizeof(MDL) == 0x30, "MDL (x64)");
static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY == 0x70000 && IOCTL_DISK_GET_LENGTH_INFO == 0x7405C &&
                  IOCTL_STORAGE_GET_DEVICE_NUMBER == 0x2D1080 && IOCTL_SCSI_GET_ADDRESS == 0x41018 &&
                  IOCTL_SCSI_MINIPORT == 0x4D008,
              "control codes");
static_assert(IOCTL_DISK_SET_DRIVE_LAYOUT == 0x7C010 && IOCTL_DISK_SET_DRIVE_LAYOUT_EX == 0x7C054 &&
                  IOCTL_DISK_DELETE_DRIVE_LAYOUT == 0x7C100 && IOCTL_DISK_CREATE_DISK == 0x7C058 &&
                  IOCTL_DISK_SET_PARTITION_INFO == 0x7C008 && IOCTL_DISK_SET_PARTITION_INFO_EX == 0x7C04C,
              "layout control codes");
static_assert(sizeof(PARTITION_INFORMATION) == 32, "PARTITION_INFORMATION");
static_assert(FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION, PartitionEntry) == 8, "DRIVE_LAYOUT_INFORMATION");
static_assert(sizeof(PARTITION_INFORMATION_EX) == 144, "PARTITION_INFORMATION_EX");
static_assert(FIELD_OFFSET(PARTITION_INFORMATION_EX, Mbr) == 32, "PARTITION_INFORMATION_EX.Mbr");
static_assert(FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48, "DRIVE_LAYOUT_INFORMATION_EX");
