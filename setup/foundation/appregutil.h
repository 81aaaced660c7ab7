// The product's registry records: the Run value, the uninstall string and the shared components under "Software\DORQ".
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>

// "Software\DORQ\<component>" and its users key "...\Used"; empty for a null
// or empty component, or one holding a backslash.
std::string ComponentKeyPath(const char* component);
std::string ComponentUsersKeyPath(const char* component);

// Writes command as valueName under root's Run key when it is missing or
// differs (byte for byte). The Run key is never created: false when it does
// not open. Registry exceptions pass to the caller.
bool WriteRunValue(HKEY root, const char* valueName, const char* command);
// WriteRunValue under HKEY_LOCAL_MACHINE, else under HKEY_CURRENT_USER; an
// exception in either ends with false at once.
bool RegisterStartRun(const char* valueName, const char* command);

// "UninstallString" of the product's uninstall entry under HKEY_LOCAL_MACHINE;
// empty when the key or the value is missing. A value of another type raises.
std::string ReadUninstallString(const char* productKey);

// The component's "Version"; 0 without a record. A value of another type raises.
int32_t ReadComponentVersion(const char* component);
// Writing "Version" raises on a failed write; the string writes give false.
bool WriteComponentVersion(const char* component, int32_t version);
bool WriteComponentValue(const char* component, const char* valueName, const char* text);
// One value per product that uses the component, under its users key.
bool WriteComponentUser(const char* component, const char* valueName, const char* text);
// True also when the key or the value is missing.
bool DeleteComponentUser(const char* component, const char* valueName);
// True when the users key lists a product other than valueName.
bool ComponentHasOtherUsers(const char* component, const char* valueName);
