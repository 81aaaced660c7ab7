// The Windows uninstall entry of the product (the list of installed programs).
#pragma once

#include "engine/setupitem.h"

#include <stdint.h>
#include <string>

// The version that the entry shows: 2.04.02.
enum : int32_t { UninstallEntryVersionCode = 20402 };

// The key that the entry is written into: the registry, or a test's record of the calls.
// Reads and writes raise ERegistryException as the class library's registry does.
class UninstallEntryKey {
public:
    virtual ~UninstallEntryKey() = default;
    // Opens the key below HKEY_LOCAL_MACHINE, creating it when missing; false when it cannot.
    virtual bool Open(const std::string& path) = 0;
    // A missing value reads as empty; a value of another type raises.
    virtual std::string ReadString(const std::string& name) = 0;
    virtual void WriteString(const std::string& name, const std::string& value) = 0;
    virtual void WriteInteger(const std::string& name, int32_t value) = 0;
};

class clWinSetupRegUninstall : public clSetupItem {
public:
    clWinSetupRegUninstall();
    bool IsSame(const clSetupItem* other) const override;  // the product key
    // Writes the entry once; never fails.
    int32_t ExecuteStep() override;

    // Writes the entry into the registry.
    void WriteUninstallEntry();
    // Writes the entry into key. Every text is read first and written only when it differs;
    // the first refused call ends the writing, keeping what was written before.
    void WriteUninstallEntryTo(UninstallEntryKey& key);

    std::string productKey;        // the entry's key and its display name
    std::string uninstallCommand;  // the uninstaller's path, unquoted
    std::string iconPath;
    int32_t estimatedSize = 0;  // KiB; 0 leaves the value alone
};

// "Software\Microsoft\Windows\CurrentVersion\Uninstall\<productKey>".
std::string UninstallEntryPath(const std::string& productKey);
