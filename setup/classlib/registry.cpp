// Registry keys.
#include "classlib/registry.h"

#include "classlib/exception.h"

#include <vector>

namespace {

void RaiseReadError(const std::string& name)
{
    throw ERegistryException("Invalid data type for '" + name + "'");
}

// Deletes every subkey of key, then key itself.
bool DeleteTree(HKEY base, const std::string& key)
{
    HKEY handle;
    if (RegOpenKeyExA(base, key.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE, &handle) !=
        ERROR_SUCCESS)
        return false;
    std::vector<std::string> subkeys;
    char name[256];
    for (DWORD index = 0;; index++) {
        DWORD length = sizeof name;
        if (RegEnumKeyExA(handle, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.emplace_back(name, length);
    }
    for (const std::string& subkey : subkeys)
        DeleteTree(handle, subkey);
    RegCloseKey(handle);
    return RegDeleteKeyA(base, key.c_str()) == ERROR_SUCCESS;
}

}  // namespace

TRegistry::TRegistry() = default;

TRegistry::~TRegistry()
{
    CloseKey();
}

void TRegistry::SetRootKey(HKEY root)
{
    CloseKey();
    rootKey_ = root;
}

bool TRegistry::Open(const std::string& key, bool canCreate, REGSAM access)
{
    bool relative = key.empty() || key[0] != '\\';
    std::string path = relative ? key : key.substr(1);
    HKEY opened = nullptr;
    LONG result;
    if (!canCreate || path.empty())
        result = RegOpenKeyExA(BaseKey(relative), path.c_str(), 0, access, &opened);
    else
        result = RegCreateKeyExA(BaseKey(relative), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                 nullptr, &opened, nullptr);
    if (result != ERROR_SUCCESS)
        return false;
    if (currentKey_ && relative && !path.empty())
        path = currentPath_ + "\\" + path;
    else if (currentKey_ && relative)
        path = currentPath_;
    CloseKey();
    currentKey_ = opened;
    currentPath_ = path;
    return true;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate)
{
    return Open(key, canCreate, access_);
}

bool TRegistry::OpenKeyReadOnly(const std::string& key)
{
    return Open(key, false, KEY_READ);
}

void TRegistry::CloseKey()
{
    if (currentKey_)
        RegCloseKey(currentKey_);
    currentKey_ = nullptr;
    currentPath_.clear();
}

bool TRegistry::KeyExists(const std::string& key)
{
    bool relative = key.empty() || key[0] != '\\';
    std::string path = relative ? key : key.substr(1);
    HKEY handle;
    if (RegOpenKeyExA(BaseKey(relative), path.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

bool TRegistry::ValueExists(const std::string& name)
{
    HKEY key = currentKey_ ? currentKey_ : rootKey_;
    return RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool TRegistry::GetKeyInfo(TRegKeyInfo& info)
{
    info = TRegKeyInfo();
    HKEY key = currentKey_ ? currentKey_ : rootKey_;
    return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &info.NumSubKeys, &info.MaxSubKeyLen, nullptr,
                            &info.NumValues, &info.MaxValueLen, &info.MaxDataLen, nullptr,
                            nullptr) == ERROR_SUCCESS;
}

std::string TRegistry::ReadString(const std::string& name)
{
    HKEY key = currentKey_ ? currentKey_ : rootKey_;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::string();
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        RaiseReadError(name);
    std::vector<char> data(size + 1, '\0');
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
        throw ERegistryException("Failed to get data for '" + name + "'");
    data[size < data.size() ? size : data.size() - 1] = '\0';
    return std::string(data.data());  // up to the first terminator
}

int TRegistry::ReadInteger(const std::string& name)
{
    HKEY key = currentKey_ ? currentKey_ : rootKey_;
    DWORD type = 0, value = 0, size = sizeof value;
    LONG result = RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (result == ERROR_MORE_DATA || (result == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof value)))
        RaiseReadError(name);
    if (result != ERROR_SUCCESS)
        throw ERegistryException("Failed to get data for '" + name + "'");
    return static_cast<int>(value);
}

void TRegistry::WriteData(const std::string& name, DWORD type, const void* data, DWORD size)
{
    HKEY key = currentKey_ ? currentKey_ : rootKey_;
    if (RegSetValueExA(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS)
        throw ERegistryException("Failed to set data for '" + name + "'");
}

void TRegistry::WriteString(const std::string& name, const std::string& value)
{
    WriteData(name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

void TRegistry::WriteInteger(const std::string& name, int value)
{
    DWORD data = static_cast<DWORD>(value);
    WriteData(name, REG_DWORD, &data, sizeof data);
}

void TRegistry::WriteBinaryData(const std::string& name, const void* data, int size)
{
    if (size < 0 || (size > 0 && !data))
        throw ERegistryException("Failed to set data for '" + name + "'");
    WriteData(name, REG_BINARY, data, static_cast<DWORD>(size));
}

bool TRegistry::DeleteValue(const std::string& name)
{
    HKEY key = currentKey_ ? currentKey_ : rootKey_;
    return RegDeleteValueA(key, name.c_str()) == ERROR_SUCCESS;
}

bool TRegistry::DeleteKey(const std::string& key)
{
    bool relative = key.empty() || key[0] != '\\';
    std::string path = relative ? key : key.substr(1);
    if (path.empty())
        return false;  // would name the base key itself
    return DeleteTree(BaseKey(relative), path);
}
