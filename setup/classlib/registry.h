// A registry key opened below a root, with typed reads and writes that raise
// ERegistryException.
#pragma once

#include <windows.h>

#include <string>

struct TRegKeyInfo {
    DWORD NumSubKeys = 0;
    DWORD MaxSubKeyLen = 0;
    DWORD NumValues = 0;
    DWORD MaxValueLen = 0;
    DWORD MaxDataLen = 0;
};

class TRegistry {
public:
    // Access KEY_ALL_ACCESS, root HKEY_CURRENT_USER, no key open.
    TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;
    ~TRegistry();

    HKEY RootKey() const { return rootKey_; }
    // Selects the root for the following calls; closes an open key.
    void SetRootKey(HKEY root);
    HKEY CurrentKey() const { return currentKey_; }
    const std::string& CurrentPath() const { return currentPath_; }

    // Opens key (relative to the open key, or to the root when none is open or
    // key starts with a backslash), creating missing keys when canCreate.
    // False on failure; the key open before stays open then.
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();

    bool KeyExists(const std::string& key);
    bool ValueExists(const std::string& name);
    bool GetKeyInfo(TRegKeyInfo& info);

    // REG_SZ or REG_EXPAND_SZ text (not expanded); "" for a missing value.
    // Another type raises.
    std::string ReadString(const std::string& name);
    // A REG_DWORD; a missing value or another type raises.
    int ReadInteger(const std::string& name);
    // Failed writes raise.
    void WriteString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, int value);
    void WriteBinaryData(const std::string& name, const void* data, int size);

    bool DeleteValue(const std::string& name);
    // Deletes key with its whole subtree; an empty key is refused (false).
    bool DeleteKey(const std::string& key);

private:
    bool Open(const std::string& key, bool canCreate, REGSAM access);
    HKEY BaseKey(bool relative) const { return currentKey_ && relative ? currentKey_ : rootKey_; }
    void WriteData(const std::string& name, DWORD type, const void* data, DWORD size);

    HKEY rootKey_ = HKEY_CURRENT_USER;
    HKEY currentKey_ = nullptr;
    std::string currentPath_;
    REGSAM access_ = KEY_ALL_ACCESS;
};
