// Per-disk configuration kept in a registry key under the service key, named
// by the disk's model and serial number: id, role, a master's pairing and
// modes, an SSD's cache area, the coherency stamp (records in tolvarn.h).
// Registry work runs at PASSIVE_LEVEL: at START on the PnP thread, and on
// the application's thread for control requests.
#pragma once

#include "kernel.h"

struct FilterExtension;

// Value names of the per-disk key.
const WCHAR ValueDiskId[] = WSTR("DorqBrimvaultId");
const WCHAR ValueConfigType[] = WSTR("ConfigType");
const WCHAR ValueTimeStamp[] = WSTR("TimeStamp");
const WCHAR ValueMasterStart[] = WSTR("MasterStart");
const WCHAR ValueSsdDiskId[] = WSTR("SsdCacheDiskId");
const WCHAR ValueSsdMode[] = WSTR("SsdCacheMode");
const WCHAR ValueSsdMinBoot[] = WSTR("SsdCacheMinBoot");
const WCHAR ValueSsdWriteMode[] = WSTR("SsdCacheWriteMode");
const WCHAR ValueSsdCacheStart[] = WSTR("SsdCacheStart");
const WCHAR ValueSsdCacheEnd[] = WSTR("SsdCacheEnd");
const WCHAR ValueMasterDiskId[] = WSTR("MasterDiskId");

const ULONG DiskKeyNameChars = 60;  // 40 model + 20 serial characters

// Key and value operations on full key paths (kernel handles).
NTSTATUS OpenKeyForRead(PUNICODE_STRING path, HANDLE* key);
NTSTATUS CreateKeyForWrite(PUNICODE_STRING path, HANDLE* key);
NTSTATUS DeleteKeyByPath(PUNICODE_STRING path);
// A value of another type or size reads as STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS ReadDwordValue(HANDLE key, const WCHAR* name, ULONG* value);
NTSTATUS ReadQwordValue(HANDLE key, const WCHAR* name, ULONGLONG* value);
// Written only when the stored value differs (type, size or number).
NTSTATUS WriteDwordValue(HANDLE key, const WCHAR* name, ULONG value);
NTSTATUS WriteQwordValue(HANDLE key, const WCHAR* name, ULONGLONG value);

// The 60-character key name and a NUL. Blanks, backslashes and control bytes
// become '_'; other bytes become one UTF-16 unit by sign extension.
void BuildDiskKeyName(const UCHAR* identify, WCHAR name[DiskKeyNameChars + 1]);
bool BuildDiskKeyPath(FilterExtension* ext, const UCHAR* identify);

// After the identity was read at START: names the disk's key after its
// IDENTIFY data, then loads the id, the role and the role's values from it.
void LoadDiskConfig(FilterExtension* ext);
void ClearDiskConfig(FilterExtension* ext);

// Saves for a disk without a key path report success and store nothing.
NTSTATUS DeleteDiskKey(FilterExtension* ext);
NTSTATUS SaveDiskDword(FilterExtension* ext, const WCHAR* name, ULONG value);
NTSTATUS SaveDiskQword(FilterExtension* ext, const WCHAR* name, ULONGLONG value);
NTSTATUS SaveMasterSettings(FilterExtension* ext);

// System time in 100 ns units since 1601 (UTC).
ULONGLONG ReadSystemTime();
