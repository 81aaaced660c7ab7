// The product's registry records: the Run value, the uninstall string and the shared components under "Software\DORQ".
#include "foundation/appregutil.h"

#include "classlib/exception.h"
#include "classlib/registry.h"
#include "foundation/registryutil.h"

#include <cstring>
#include <memory>

namespace {

const char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char UninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char MakerKey[] = "Software\\DORQ";
const char UsersSubkey[] = "Used";
const char UninstallValue[] = "UninstallString";
const char VersionValue[] = "Version";

// A name that is one key below its parent.
bool IsKeyName(const char* name)
{
    return name && *name && !strchr(name, '\\');
}

}  // namespace

std::string ComponentKeyPath(const char* component)
{
    if (!IsKeyName(component))
        return std::string();
    return std::string(MakerKey) + "\\" + component;
}

std::string ComponentUsersKeyPath(const char* component)
{
    std::string path = ComponentKeyPath(component);
    return path.empty() ? path : path + "\\" + UsersSubkey;
}

bool WriteRunValue(HKEY root, const char* valueName, const char* command)
{
    if (!valueName || !command)
        return false;
    std::unique_ptr<TRegistry> registry = CreateRegistry(root);
    if (!registry || !registry->OpenKey(RunKey, false))
        return false;
    if (!registry->ValueExists(valueName) || registry->ReadString(valueName) != command)
        registry->WriteString(valueName, command);
    return true;
}

bool RegisterStartRun(const char* valueName, const char* command)
{
    try {
        return WriteRunValue(HKEY_LOCAL_MACHINE, valueName, command) ||
               WriteRunValue(HKEY_CURRENT_USER, valueName, command);
    } catch (const Exception&) {
        return false;
    }
}

std::string ReadUninstallString(const char* productKey)
{
    if (!IsKeyName(productKey))
        return std::string();
    std::unique_ptr<TRegistry> registry = CreateRegistry(HKEY_LOCAL_MACHINE);
    if (!registry || !registry->OpenKey(std::string(UninstallKey) + "\\" + productKey, false))
        return std::string();
    return registry->ReadString(UninstallValue);  // another type raises to the caller
}

int32_t ReadComponentVersion(const char* component)
{
    std::string path = ComponentKeyPath(component);
    int32_t version = 0;
    if (path.empty() || !ReadRegInteger(HKEY_LOCAL_MACHINE, path.c_str(), VersionValue, &version))
        return 0;
    return version;
}

bool WriteComponentVersion(const char* component, int32_t version)
{
    std::string path = ComponentKeyPath(component);
    return !path.empty() && WriteRegInteger(HKEY_LOCAL_MACHINE, path.c_str(), VersionValue, version, true);
}

bool WriteComponentValue(const char* component, const char* valueName, const char* text)
{
    std::string path = ComponentKeyPath(component);
    return !path.empty() && WriteRegString(HKEY_LOCAL_MACHINE, path.c_str(), valueName, text, true);
}

bool WriteComponentUser(const char* component, const char* valueName, const char* text)
{
    std::string path = ComponentUsersKeyPath(component);
    return !path.empty() && WriteRegString(HKEY_LOCAL_MACHINE, path.c_str(), valueName, text, true);
}

bool DeleteComponentUser(const char* component, const char* valueName)
{
    std::unique_ptr<TRegistry> registry = CreateRegistry(HKEY_LOCAL_MACHINE);
    if (!registry)
        return false;
    std::string path = ComponentUsersKeyPath(component);
    if (path.empty() || !valueName || !registry->OpenKey(path, false))
        return true;
    if (registry->ValueExists(valueName))
        registry->DeleteValue(valueName);
    return true;
}

bool ComponentHasOtherUsers(const char* component, const char* valueName)
{
    std::unique_ptr<TRegistry> registry = CreateRegistry(HKEY_LOCAL_MACHINE);
    std::string path = ComponentUsersKeyPath(component);
    if (!registry || path.empty() || !registry->OpenKey(path, false))
        return false;
    TRegKeyInfo info;
    if (!registry->GetKeyInfo(info))
        return false;
    if (info.NumValues == 0)
        return false;
    if (info.NumValues >= 2)
        return true;
    return !valueName || !registry->ValueExists(valueName);
}
