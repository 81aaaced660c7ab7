// Per-disk registry configuration: the key named by the disk's model and
// serial number under the service key, loaded at START and written value by
// value when a control request changes it.
#include "tolvarn.h"
#include "config.h"
#include "countedstring.h"
#include "identity.h"
#include "pool.h"

// KEY_VALUE_PARTIAL_INFORMATION: TitleIndex, Type and DataLength, then data.
const ULONG PartialInfoHeaderBytes = 12;
const ULONG DwordQueryBytes = PartialInfoHeaderBytes + 8;
const ULONG QwordQueryBytes = PartialInfoHeaderBytes + 12;

static void InitKeyAttributes(OBJECT_ATTRIBUTES* attributes, PUNICODE_STRING path)
{
    InitializeObjectAttributes(attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
}

NTSTATUS OpenKeyForRead(PUNICODE_STRING path, HANDLE* key)
{
    OBJECT_ATTRIBUTES attributes;
    InitKeyAttributes(&attributes, path);
    return ZwOpenKey(key, KEY_READ, &attributes);
}

NTSTATUS CreateKeyForWrite(PUNICODE_STRING path, HANDLE* key)
{
    OBJECT_ATTRIBUTES attributes;
    InitKeyAttributes(&attributes, path);
    ULONG disposition;
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, &disposition);
}

NTSTATUS DeleteKeyByPath(PUNICODE_STRING path)
{
    OBJECT_ATTRIBUTES attributes;
    InitKeyAttributes(&attributes, path);
    HANDLE key;
    NTSTATUS status = ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    status = ZwDeleteKey(key);
    ZwClose(key);
    return status;
}

// Reads a value of exactly the given type and size into data.
static NTSTATUS ReadFixedValue(HANDLE key, const WCHAR* name, ULONG type, ULONG queryBytes, PVOID data,
                               ULONG dataBytes)
{
    ULONGLONG buffer[(QwordQueryBytes + 7) / 8];
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG resultBytes;
    NTSTATUS status =
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, queryBytes, &resultBytes);
    if (!NT_SUCCESS(status))
        return status;
    const KEY_VALUE_PARTIAL_INFORMATION* info = (const KEY_VALUE_PARTIAL_INFORMATION*)buffer;
    if (info->Type != type || info->DataLength != dataBytes)
        return STATUS_INVALID_DEVICE_REQUEST;
    RtlCopyMemory(data, (const UCHAR*)buffer + PartialInfoHeaderBytes, dataBytes);
    return STATUS_SUCCESS;
}

NTSTATUS ReadDwordValue(HANDLE key, const WCHAR* name, ULONG* value)
{
    return ReadFixedValue(key, name, REG_DWORD, DwordQueryBytes, value, sizeof *value);
}

NTSTATUS ReadQwordValue(HANDLE key, const WCHAR* name, ULONGLONG* value)
{
    return ReadFixedValue(key, name, REG_QWORD, QwordQueryBytes, value, sizeof *value);
}

static NTSTATUS SetValue(HANDLE key, const WCHAR* name, ULONG type, PVOID data, ULONG dataBytes)
{
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    return ZwSetValueKey(key, &valueName, 0, type, data, dataBytes);
}

NTSTATUS WriteDwordValue(HANDLE key, const WCHAR* name, ULONG value)
{
    ULONG stored;
    if (NT_SUCCESS(ReadDwordValue(key, name, &stored)) && stored == value)
        return STATUS_SUCCESS;
    return SetValue(key, name, REG_DWORD, &value, sizeof value);
}

NTSTATUS WriteQwordValue(HANDLE key, const WCHAR* name, ULONGLONG value)
{
    ULONGLONG stored;
    if (NT_SUCCESS(ReadQwordValue(key, name, &stored)) && stored == value)
        return STATUS_SUCCESS;
    return SetValue(key, name, REG_QWORD, &value, sizeof value);
}

// Device-supplied bytes must not choose a path: the backslash and every
// control byte (NUL included) become '_' as the blank does.
static WCHAR KeyNameChar(UCHAR byte)
{
    if (byte <= 0x20 || byte == '\\')
        return (WCHAR)'_';
    return byte >= 0x80 ? (WCHAR)(0xFF00 | byte) : (WCHAR)byte;  // sign extension
}

void BuildDiskKeyName(const UCHAR* identify, WCHAR name[DiskKeyNameChars + 1])
{
    UCHAR model[AtaModelChars + 1];
    UCHAR serial[AtaSerialChars + 1];
    AtaModelString(identify, model);
    AtaSerialString(identify, serial);
    for (ULONG i = 0; i < AtaModelChars; i++)
        name[i] = KeyNameChar(model[i]);
    for (ULONG i = 0; i < AtaSerialChars; i++)
        name[AtaModelChars + i] = KeyNameChar(serial[i]);
    name[DiskKeyNameChars] = 0;
}

bool BuildDiskKeyPath(FilterExtension* ext, const UCHAR* identify)
{
    WCHAR name[DiskKeyNameChars + 1];
    BuildDiskKeyName(identify, name);

    ULONG p = CountedStringChars(&RegistryPath);
    ULONG bufferBytes = (p + DiskKeyNameChars + 2) * sizeof(WCHAR);
    if (bufferBytes > 0xFFFF)
        return false;
    WCHAR* buffer = (WCHAR*)AllocatePool(bufferBytes);
    if (!buffer)
        return false;
    RtlCopyMemory(buffer, RegistryPath.Buffer, p * sizeof(WCHAR));
    buffer[p] = (WCHAR)'\\';
    RtlCopyMemory(buffer + p + 1, name, sizeof name);

    FreeCountedString(&ext->KeyPath);
    ext->KeyPath.Buffer = buffer;
    ext->KeyPath.MaximumLength = (USHORT)bufferBytes;
    ext->KeyPath.Length = (USHORT)(bufferBytes - sizeof(WCHAR));
    ext->KeyPathValid = 1;
    return true;
}

static void LoadMasterConfig(MasterConfig* master, HANDLE key)
{
    ULONG dword;
    if (NT_SUCCESS(ReadDwordValue(key, ValueMasterStart, &dword)))
        master->MasterStart = dword != 0;
    ReadQwordValue(key, ValueSsdDiskId, &master->SsdCacheDiskId);
    if (NT_SUCCESS(ReadDwordValue(key, ValueSsdMode, &dword)))
        master->SsdCacheMode = (UCHAR)dword;
    ReadDwordValue(key, ValueSsdMinBoot, &master->SsdCacheMinBoot);
    if (NT_SUCCESS(ReadDwordValue(key, ValueSsdWriteMode, &dword)))
        master->SsdCacheWriteMode = (UCHAR)dword;
}

static void LoadCacheAreaConfig(CacheAreaConfig* area, HANDLE key)
{
    ReadQwordValue(key, ValueSsdCacheStart, &area->SsdCacheStart);
    ReadQwordValue(key, ValueSsdCacheEnd, &area->SsdCacheEnd);
    ReadQwordValue(key, ValueMasterDiskId, &area->MasterDiskId);
}

// Reads the id, the role and the role's values; a missing value leaves its
// field as it was.
static void LoadFromKey(FilterExtension* ext, HANDLE key)
{
    ULONGLONG id;
    if (!NT_SUCCESS(ReadQwordValue(key, ValueDiskId, &id)))
        return;
    ext->DiskId = id;

    ULONG configType;
    if (!NT_SUCCESS(ReadDwordValue(key, ValueConfigType, &configType))) {
        ext->Role = RoleNone;
        return;
    }
    ReadQwordValue(key, ValueTimeStamp, &ext->TimeStamp);
    if (configType == RoleMaster) {
        ext->Role = RoleMaster;
        LoadMasterConfig(&ext->Master, key);
    } else if (configType == RoleSsd) {
        ext->Role = RoleSsd;
        LoadCacheAreaConfig(&ext->Area, key);
    } else {
        ext->Role = RoleNone;
    }
}

void LoadDiskConfig(FilterExtension* ext)
{
    PAGED_CODE();
    if (ext->Identify)
        BuildDiskKeyPath(ext, ext->Identify);
    if (!ext->KeyPathValid)
        return;
    HANDLE key;
    if (!NT_SUCCESS(OpenKeyForRead(&ext->KeyPath, &key)))
        return;
    LoadFromKey(ext, key);
    ZwClose(key);
}

void ClearDiskConfig(FilterExtension* ext)
{
    ext->DiskId = 0;
    ext->Role = RoleNone;
    ext->TimeStamp = 0;
    RtlZeroMemory(&ext->Master, sizeof ext->Master);
    RtlZeroMemory(&ext->Geometry, sizeof ext->Geometry);
    RtlZeroMemory(&ext->Area, sizeof ext->Area);
}

NTSTATUS DeleteDiskKey(FilterExtension* ext)
{
    if (!ext->KeyPathValid)
        return STATUS_INVALID_DEVICE_REQUEST;
    return DeleteKeyByPath(&ext->KeyPath);
}

// One value of a save: a DWORD or a QWORD.
struct DiskValue {
    const WCHAR* Name;
    ULONG Type;  // REG_DWORD or REG_QWORD
    ULONGLONG Value;
};

// Opens (or creates) the disk's key once and writes the values in order,
// stopping at the first that fails. A disk without a key path stores nothing
// and succeeds.
static NTSTATUS SaveDiskValues(FilterExtension* ext, const DiskValue* values, ULONG count)
{
    if (!ext->KeyPathValid)
        return STATUS_SUCCESS;
    HANDLE key;
    NTSTATUS status = CreateKeyForWrite(&ext->KeyPath, &key);
    if (!NT_SUCCESS(status))
        return status;
    for (ULONG i = 0; i < count && NT_SUCCESS(status); i++) {
        const DiskValue* v = &values[i];
        status = v->Type == REG_DWORD ? WriteDwordValue(key, v->Name, (ULONG)v->Value)
                                      : WriteQwordValue(key, v->Name, v->Value);
    }
    ZwClose(key);
    return status;
}

NTSTATUS SaveDiskDword(FilterExtension* ext, const WCHAR* name, ULONG value)
{
    const DiskValue values[] = {{name, REG_DWORD, value}};
    return SaveDiskValues(ext, values, 1);
}

NTSTATUS SaveDiskQword(FilterExtension* ext, const WCHAR* name, ULONGLONG value)
{
    const DiskValue values[] = {{name, REG_QWORD, value}};
    return SaveDiskValues(ext, values, 1);
}

NTSTATUS SaveMasterSettings(FilterExtension* ext)
{
    const MasterConfig* master = &ext->Master;
    const DiskValue values[] = {
        {ValueSsdMinBoot, REG_DWORD, master->SsdCacheMinBoot},
        {ValueSsdWriteMode, REG_DWORD, master->SsdCacheWriteMode},
        {ValueMasterStart, REG_DWORD, master->MasterStart != 0 ? 1u : 0u},
    };
    return SaveDiskValues(ext, values, sizeof(values) / sizeof(values[0]));
}

ULONGLONG ReadSystemTime()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return (ULONGLONG)now.QuadPart;
}
