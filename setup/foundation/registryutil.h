// Registry wrappers over the class library's TRegistry: open, typed writes and reads, key deletion.
#pragma once

#include "classlib/registry.h"

#include <windows.h>
#include <cstdint>
#include <memory>
#include <string>

// A registry object on root with no key open; null when it cannot be created.
std::unique_ptr<TRegistry> CreateRegistry(HKEY root);

// An object with key (below root) open with full access, created when create;
// null for a null key, when the key does not open, or when anything raises.
std::unique_ptr<TRegistry> OpenRegKey(HKEY root, const char* key, bool create);
// The same, opened for reading.
std::unique_ptr<TRegistry> OpenRegKeyReadOnly(HKEY root, const char* key);

// Writes one value. False when the key does not open. A failed write of
// WriteRegInteger raises ERegistryException to the caller; the other two
// catch it and give false.
bool WriteRegInteger(HKEY root, const char* key, const char* valueName, int32_t value, bool create);
bool WriteRegString(HKEY root, const char* key, const char* valueName, const char* text, bool create);
bool WriteRegBinary(HKEY root, const char* key, const char* valueName, const void* data, int32_t size,
                    bool create);

// *out := the REG_DWORD value, or 0 when it is missing; false when the key does
// not open. A value of another type raises ERegistryException to the caller.
bool ReadRegInteger(HKEY root, const char* key, const char* valueName, int32_t* out);

// Deletes key with its whole subtree. True when it is gone or was never there;
// false when it could not be deleted, and for a null or empty key, which would
// name the root itself.
bool DeleteRegKey(HKEY root, const char* key);

// "System\CurrentControlSet\Services\<name>" on the NT family; empty for a null
// or empty name, a name holding a backslash, or outside the NT family.
std::string ServiceKeyPath(const char* name);
// Deletes the service's key with its subkeys; nothing when the path is empty.
void DeleteServiceKey(const char* name);
