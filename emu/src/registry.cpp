// The registry: a tree of keys with case-insensitive counted UTF-16 names,
// typed values, kernel handles, write counters and failure injection.
#include "core.h"

#include <functional>
#include <memory>

namespace emu {
namespace {

struct RegValue {
    std::u16string name;
    ULONG type = REG_NONE;
    ULONG titleIndex = 0;
    std::vector<uint8_t> data;
};

struct RegKey {
    std::u16string name;
    RegKey* parent = nullptr;
    bool deleted = false;
    std::vector<std::shared_ptr<RegKey>> children;
    std::vector<RegValue> values;
};

// What a key handle points to: keeps a deleted key alive until closed.
struct KeyRef {
    std::shared_ptr<RegKey> key;
};

struct Registry {
    std::mutex lock;
    std::shared_ptr<RegKey> root = std::make_shared<RegKey>();
    ULONG setValueCount = 0;
    ULONG failCountdown = 0;
    LONG failTimes = 0;
    NTSTATUS failStatus = STATUS_INSUFFICIENT_RESOURCES;
    std::function<void()> beforeSetValue;
};

Registry& Reg()
{
    static Registry* registry = new Registry;
    return *registry;
}

bool SameName(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i]))
            return false;
    return true;
}

std::shared_ptr<RegKey> Child(const RegKey& key, std::u16string_view name)
{
    for (auto& child : key.children)
        if (SameName(child->name, name))
            return child;
    return nullptr;
}

RegValue* FindValue(RegKey& key, std::u16string_view name)
{
    for (RegValue& v : key.values)
        if (SameName(v.name, name))
            return &v;
    return nullptr;
}

// Splits a path into components; false for an empty component.
bool Split(std::u16string_view path, std::vector<std::u16string_view>* parts)
{
    size_t i = (!path.empty() && path[0] == u'\\') ? 1 : 0;
    if (i == path.size())
        return true;
    for (;;) {
        size_t end = path.find(u'\\', i);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end == i)
            return false;
        parts->push_back(path.substr(i, end - i));
        if (end == path.size())
            return true;
        i = end + 1;
    }
}

// Walks from base along parts; null when a component is missing.
std::shared_ptr<RegKey> Walk(std::shared_ptr<RegKey> base, const std::vector<std::u16string_view>& parts,
                             size_t count)
{
    for (size_t i = 0; i < count && base != nullptr; ++i)
        base = Child(*base, parts[i]);
    return base;
}

std::shared_ptr<RegKey> CreatePath(std::u16string_view path)
{
    std::vector<std::u16string_view> parts;
    Split(path, &parts);
    std::shared_ptr<RegKey> key = Reg().root;
    for (auto part : parts) {
        std::shared_ptr<RegKey> next = Child(*key, part);
        if (next == nullptr) {
            next = std::make_shared<RegKey>();
            next->name = std::u16string(part);
            next->parent = key.get();
            key->children.push_back(next);
        }
        key = next;
    }
    return key;
}

std::shared_ptr<RegKey> FindPath(std::u16string_view path)
{
    std::vector<std::u16string_view> parts;
    if (!Split(path, &parts))
        return nullptr;
    return Walk(Reg().root, parts, parts.size());
}

// Resolves object attributes into a base key and path components.
NTSTATUS Resolve(POBJECT_ATTRIBUTES attributes, std::shared_ptr<RegKey>* base,
                 std::vector<std::u16string_view>* parts)
{
    if (attributes == NULL || attributes->ObjectName == NULL)
        return STATUS_INVALID_PARAMETER;
    PUNICODE_STRING name = attributes->ObjectName;
    if ((name->Length & 1) != 0 || (name->Length > 0 && name->Buffer == NULL))
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string_view path(name->Buffer, name->Length / sizeof(WCHAR));
    if (attributes->RootDirectory != NULL) {
        HandleEntry entry;
        if (!LookupHandle(attributes->RootDirectory, &entry) || entry.kind != HandleKind::Key)
            return STATUS_INVALID_HANDLE;
        *base = ((KeyRef*)entry.target)->key;
        if ((*base)->deleted)
            return STATUS_KEY_DELETED;
    } else {
        if (path.empty() || path[0] != u'\\')
            return STATUS_OBJECT_PATH_NOT_FOUND;
        *base = Reg().root;
    }
    if (!Split(path, parts) || parts->empty())
        return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

NTSTATUS KeyOfHandle(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<RegKey>* key, const char* routine)
{
    HandleEntry entry;
    if (!LookupHandle(handle, &entry) || entry.kind != HandleKind::Key) {
        Report(Fault::BadHandle, "%s(%p): not a registry key handle", routine, handle);
        return STATUS_INVALID_HANDLE;
    }
    if ((entry.access & needed) != needed)
        return STATUS_ACCESS_DENIED;
    *key = ((KeyRef*)entry.target)->key;
    if ((*key)->deleted)
        return STATUS_KEY_DELETED;
    return STATUS_SUCCESS;
}

HANDLE OpenHandle(std::shared_ptr<RegKey> key, ACCESS_MASK access)
{
    return NewHandle(HandleKind::Key, new KeyRef{std::move(key)}, access);
}

std::u16string_view ValueNameOf(PUNICODE_STRING name)
{
    if (name == NULL || name->Buffer == NULL)
        return std::u16string_view();
    return std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
}

}  // namespace

void CloseKeyObject(void* key)
{
    delete (KeyRef*)key;
}

namespace reg {

void CreateKey(std::u16string_view path)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    CreatePath(path);
}

bool KeyExists(std::u16string_view path)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    return FindPath(path) != nullptr;
}

bool DeleteTree(std::u16string_view path)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> key = FindPath(path);
    if (key == nullptr || key->parent == nullptr)
        return false;
    std::function<void(RegKey&)> mark = [&](RegKey& k) {
        k.deleted = true;
        for (auto& c : k.children)
            mark(*c);
    };
    mark(*key);
    auto& siblings = key->parent->children;
    for (size_t i = 0; i < siblings.size(); ++i)
        if (siblings[i] == key)
            siblings.erase(siblings.begin() + i);
    return true;
}

void SetValue(std::u16string_view path, std::u16string_view name, ULONG type, const void* data, size_t size)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> key = CreatePath(path);
    RegValue* value = FindValue(*key, name);
    if (value == nullptr) {
        key->values.push_back(RegValue());
        value = &key->values.back();
        value->name = std::u16string(name);
    }
    value->type = type;
    value->data.assign((const uint8_t*)data, (const uint8_t*)data + size);
}

void SetDword(std::u16string_view path, std::u16string_view name, ULONG value)
{
    SetValue(path, name, REG_DWORD, &value, sizeof value);
}

void SetQword(std::u16string_view path, std::u16string_view name, ULONG64 value)
{
    SetValue(path, name, REG_QWORD, &value, sizeof value);
}

void SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value)
{
    std::u16string text(value);
    SetValue(path, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

bool DeleteValue(std::u16string_view path, std::u16string_view name)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> key = FindPath(path);
    if (key == nullptr)
        return false;
    for (size_t i = 0; i < key->values.size(); ++i)
        if (SameName(key->values[i].name, name)) {
            key->values.erase(key->values.begin() + i);
            return true;
        }
    return false;
}

std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> key = FindPath(path);
    if (key == nullptr)
        return std::nullopt;
    RegValue* value = FindValue(*key, name);
    if (value == nullptr)
        return std::nullopt;
    return Value{value->type, value->data};
}

std::optional<ULONG> GetDword(std::u16string_view path, std::u16string_view name)
{
    auto v = GetValue(path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4)
        return std::nullopt;
    ULONG out;
    memcpy(&out, v->data.data(), 4);
    return out;
}

std::optional<ULONG64> GetQword(std::u16string_view path, std::u16string_view name)
{
    auto v = GetValue(path, name);
    if (!v || v->type != REG_QWORD || v->data.size() != 8)
        return std::nullopt;
    ULONG64 out;
    memcpy(&out, v->data.data(), 8);
    return out;
}

std::vector<std::u16string> SubKeys(std::u16string_view path)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::vector<std::u16string> names;
    std::shared_ptr<RegKey> key = FindPath(path);
    if (key != nullptr)
        for (auto& c : key->children)
            names.push_back(c->name);
    return names;
}

std::vector<std::u16string> ValueNames(std::u16string_view path)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::vector<std::u16string> names;
    std::shared_ptr<RegKey> key = FindPath(path);
    if (key != nullptr)
        for (auto& v : key->values)
            names.push_back(v.name);
    return names;
}

ULONG SetValueCount()
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    return Reg().setValueCount;
}

void ClearCounts()
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    Reg().setValueCount = 0;
}

void FailSetValue(ULONG nth, NTSTATUS status, LONG count)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    Reg().failCountdown = nth;
    Reg().failTimes = count == 0 ? 1 : count;
    Reg().failStatus = status;
}

void Reset()
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    Registry& r = Reg();
    r.root = std::make_shared<RegKey>();
    r.setValueCount = 0;
    r.failCountdown = 0;
    r.failTimes = 0;
    r.beforeSetValue = nullptr;
}

void BeforeNextSetValue(std::function<void()> hook)
{
    std::lock_guard<std::mutex> guard(Reg().lock);
    Reg().beforeSetValue = std::move(hook);
}

}  // namespace reg
}  // namespace emu

using namespace emu;

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                                    POBJECT_ATTRIBUTES objectAttributes)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::ZwAtRaisedIrql, "ZwOpenKey");
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> base;
    std::vector<std::u16string_view> parts;
    NTSTATUS status = Resolve(objectAttributes, &base, &parts);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<RegKey> key = Walk(base, parts, parts.size());
    if (key == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *keyHandle = OpenHandle(key, desiredAccess);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                                      POBJECT_ATTRIBUTES objectAttributes, ULONG titleIndex,
                                      PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::ZwAtRaisedIrql, "ZwCreateKey");
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> base;
    std::vector<std::u16string_view> parts;
    NTSTATUS status = Resolve(objectAttributes, &base, &parts);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<RegKey> parent = Walk(base, parts, parts.size() - 1);
    if (parent == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::shared_ptr<RegKey> key = Child(*parent, parts.back());
    ULONG result = REG_OPENED_EXISTING_KEY;
    if (key == nullptr) {
        key = std::make_shared<RegKey>();
        key->name = std::u16string(parts.back());
        key->parent = parent.get();
        parent->children.push_back(key);
        result = REG_CREATED_NEW_KEY;
    }
    if (disposition != NULL)
        *disposition = result;
    *keyHandle = OpenHandle(key, desiredAccess);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwDeleteKey(HANDLE keyHandle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::ZwAtRaisedIrql, "ZwDeleteKey");
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> key;
    NTSTATUS status = KeyOfHandle(keyHandle, DELETE, &key, "ZwDeleteKey");
    if (!NT_SUCCESS(status))
        return status;
    if (!key->children.empty() || key->parent == nullptr)
        return STATUS_CANNOT_DELETE;
    key->deleted = true;
    auto& siblings = key->parent->children;
    for (size_t i = 0; i < siblings.size(); ++i)
        if (siblings[i] == key) {
            siblings.erase(siblings.begin() + i);
            break;
        }
    key->parent = nullptr;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                                          KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                                          ULONG length, PULONG resultLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::ZwAtRaisedIrql, "ZwQueryValueKey");
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> key;
    NTSTATUS status = KeyOfHandle(keyHandle, KEY_QUERY_VALUE, &key, "ZwQueryValueKey");
    if (!NT_SUCCESS(status))
        return status;
    RegValue* value = FindValue(*key, ValueNameOf(valueName));
    if (value == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG dataLength = (ULONG)value->data.size();
    ULONG nameBytes = (ULONG)(value->name.size() * sizeof(WCHAR));
    ULONG fixed, required;
    switch (informationClass) {
    case KeyValuePartialInformation:
        fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        required = fixed + dataLength;
        break;
    case KeyValueBasicInformation:
        fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        required = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
        fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        required = ((fixed + nameBytes + 7) & ~7u) + dataLength;
        break;
    default: return STATUS_INVALID_PARAMETER;
    }
    if (resultLength != NULL)
        *resultLength = required;
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;
    if (information == NULL)
        return STATUS_INVALID_PARAMETER;
    uint8_t* out = (uint8_t*)information;
    bool fits = length >= required;
    switch (informationClass) {
    case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION head = {value->titleIndex, value->type, dataLength, {0}};
        memcpy(out, &head, fixed);
        if (fits)
            memcpy(out + fixed, value->data.data(), dataLength);
        break;
    }
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION head = {value->titleIndex, value->type, nameBytes, {0}};
        memcpy(out, &head, fixed);
        if (fits)
            memcpy(out + fixed, value->name.data(), nameBytes);
        break;
    }
    default: {
        ULONG dataOffset = (fixed + nameBytes + 7) & ~7u;
        KEY_VALUE_FULL_INFORMATION head = {value->titleIndex, value->type, dataOffset,
                                           dataLength,        nameBytes,   {0}};
        memcpy(out, &head, fixed);
        if (fits) {
            memcpy(out + fixed, value->name.data(), nameBytes);
            memcpy(out + dataOffset, value->data.data(), dataLength);
        }
        break;
    }
    }
    return fits ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

// Outside the registry's lock, so that the hook may use the registry.
static void RunBeforeSetValueHook()
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(Reg().lock);
        hook.swap(Reg().beforeSetValue);
    }
    if (hook)
        hook();
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex,
                                        ULONG type, PVOID data, ULONG dataSize)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::ZwAtRaisedIrql, "ZwSetValueKey");
    RunBeforeSetValueHook();
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> key;
    NTSTATUS status = KeyOfHandle(keyHandle, KEY_SET_VALUE, &key, "ZwSetValueKey");
    if (!NT_SUCCESS(status))
        return status;
    if (dataSize > 0 && data == NULL)
        return STATUS_INVALID_PARAMETER;
    Registry& r = Reg();
    if (r.failCountdown > 0 && --r.failCountdown == 0) {
        NTSTATUS injected = r.failStatus;
        if (r.failTimes < 0 || --r.failTimes > 0)
            r.failCountdown = 1;
        return injected;
    }
    std::u16string_view name = ValueNameOf(valueName);
    RegValue* value = FindValue(*key, name);
    if (value == nullptr) {
        key->values.push_back(RegValue());
        value = &key->values.back();
        value->name = std::u16string(name);
    }
    value->type = type;
    value->titleIndex = titleIndex;
    value->data.assign((const uint8_t*)data, (const uint8_t*)data + dataSize);
    r.setValueCount++;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::ZwAtRaisedIrql, "ZwDeleteValueKey");
    std::lock_guard<std::mutex> guard(Reg().lock);
    std::shared_ptr<RegKey> key;
    NTSTATUS status = KeyOfHandle(keyHandle, KEY_SET_VALUE, &key, "ZwDeleteValueKey");
    if (!NT_SUCCESS(status))
        return status;
    std::u16string_view name = ValueNameOf(valueName);
    for (size_t i = 0; i < key->values.size(); ++i)
        if (SameName(key->values[i].name, name)) {
            key->values.erase(key->values.begin() + i);
            return STATUS_SUCCESS;
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}
