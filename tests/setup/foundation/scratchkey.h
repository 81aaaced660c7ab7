// Test helper: a private registry key, deleted with its subtree when the test ends.
#pragma once

#include <windows.h>
#include <string>

class ScratchKey {
public:
    ScratchKey(HKEY root, const std::string& path) : root_(root), path_(path)
    {
        RegDeleteTreeA(root_, path_.c_str());
        RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    }
    ~ScratchKey()
    {
        if (key_)
            RegCloseKey(key_);
        RegDeleteTreeA(root_, path_.c_str());
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY get() const { return key_; }
    const std::string& path() const { return path_; }

    void Set(const char* name, DWORD type, const std::string& bytes) const
    {
        RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    }
    // False when the value is missing; otherwise its type and bytes.
    bool Get(const char* name, DWORD* type, std::string* bytes) const
    {
        DWORD size = 0;
        if (RegQueryValueExA(key_, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS)
            return false;
        bytes->assign(size, '\0');
        return RegQueryValueExA(key_, name, nullptr, type, reinterpret_cast<BYTE*>(&(*bytes)[0]), &size) ==
               ERROR_SUCCESS;
    }

private:
    HKEY root_;
    std::string path_;
    HKEY key_ = nullptr;
};

// One value of the key at path below root: false when the key or value is missing.
inline bool ReadValueAt(HKEY root, const std::string& path, const char* name, DWORD* type, std::string* bytes)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char data[2048];
    DWORD size = sizeof data;
    bool found =
        RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (found)
        bytes->assign(data, size);
    return found;
}

// Writes one value, creating the key.
inline void WriteValueAt(HKEY root, const std::string& path, const char* name, DWORD type,
                         const std::string& bytes)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    if (name)
        RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

inline bool KeyExistsAt(HKEY root, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}
