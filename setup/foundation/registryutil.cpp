// Registry wrappers over the class library's TRegistry: open, typed writes and reads, key deletion.
#include "foundation/registryutil.h"

#include "classlib/exception.h"
#include "foundation/osinfo.h"

#include <cstring>
#include <new>

namespace {

const char ServicesKey[] = "System\\CurrentControlSet\\Services";

std::unique_ptr<TRegistry> OpenWith(HKEY root, const char* key, bool readOnly, bool create)
{
    if (!key)
        return nullptr;
    try {
        std::unique_ptr<TRegistry> registry = CreateRegistry(root);
        if (!registry)
            return nullptr;
        bool opened = readOnly ? registry->OpenKeyReadOnly(key) : registry->OpenKey(key, create);
        return opened ? std::move(registry) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

std::unique_ptr<TRegistry> CreateRegistry(HKEY root)
{
    std::unique_ptr<TRegistry> registry(new (std::nothrow) TRegistry());
    if (registry)
        registry->SetRootKey(root);
    return registry;
}

std::unique_ptr<TRegistry> OpenRegKey(HKEY root, const char* key, bool create)
{
    return OpenWith(root, key, false, create);
}

std::unique_ptr<TRegistry> OpenRegKeyReadOnly(HKEY root, const char* key)
{
    return OpenWith(root, key, true, false);
}

bool WriteRegInteger(HKEY root, const char* key, const char* valueName, int32_t value, bool create)
{
    std::unique_ptr<TRegistry> registry = OpenRegKey(root, key, create);
    if (!registry || !valueName)
        return false;
    registry->WriteInteger(valueName, value);  // a failed write raises to the caller
    return true;
}

bool WriteRegString(HKEY root, const char* key, const char* valueName, const char* text, bool create)
{
    std::unique_ptr<TRegistry> registry = OpenRegKey(root, key, create);
    if (!registry || !valueName || !text)
        return false;
    try {
        registry->WriteString(valueName, text);
    } catch (const Exception&) {
        return false;
    }
    return true;
}

bool WriteRegBinary(HKEY root, const char* key, const char* valueName, const void* data, int32_t size,
                    bool create)
{
    if (size < 0 || (size > 0 && !data))
        return false;
    std::unique_ptr<TRegistry> registry = OpenRegKey(root, key, create);
    if (!registry || !valueName)
        return false;
    try {
        registry->WriteBinaryData(valueName, data, size);
    } catch (const Exception&) {
        return false;
    }
    return true;
}

bool ReadRegInteger(HKEY root, const char* key, const char* valueName, int32_t* out)
{
    std::unique_ptr<TRegistry> registry = OpenRegKeyReadOnly(root, key);
    if (!registry || !valueName || !out)
        return false;
    // A value of another type raises to the caller.
    *out = registry->ValueExists(valueName) ? registry->ReadInteger(valueName) : 0;
    return true;
}

bool DeleteRegKey(HKEY root, const char* key)
{
    if (!key || !*key)
        return false;  // an empty key would be the root itself
    std::unique_ptr<TRegistry> registry = CreateRegistry(root);
    if (!registry)
        return false;
    if (!registry->KeyExists(key))
        return true;
    return registry->DeleteKey(key);
}

std::string ServiceKeyPath(const char* name)
{
    // An empty name, or one with a backslash, would name the Services key itself or
    // another key: deleting that would remove every service.
    if (!name || !*name || strchr(name, '\\') || !IsNtFamily())
        return std::string();
    return std::string(ServicesKey) + "\\" + name;
}

void DeleteServiceKey(const char* name)
{
    std::string path = ServiceKeyPath(name);
    if (!path.empty())
        DeleteRegKey(HKEY_LOCAL_MACHINE, path.c_str());
}
