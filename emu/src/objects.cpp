// Kernel objects with reference counts, and the kernel handle table.
#include "core.h"

#include <stdlib.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <unordered_map>
#include <unordered_set>

namespace emu {
namespace {

struct ObjectTable {
    std::mutex lock;
    std::unordered_set<const void*> live;
};

ObjectTable& Objects()
{
    static ObjectTable* table = new ObjectTable;
    return *table;
}

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, HandleEntry> entries;
    uintptr_t next = 0;
};

HandleTable& Handles()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

POBJECT_TYPE threadType = (POBJECT_TYPE)(uintptr_t)0x7468;
POBJECT_TYPE fileType = (POBJECT_TYPE)(uintptr_t)0x6669;

}  // namespace

Counters& Count()
{
    static Counters* counters = new Counters;
    return *counters;
}

void* NewObject(ObjectType type, size_t bodySize, void (*destroy)(ObjectHeader*))
{
    ObjectHeader* h = (ObjectHeader*)aligned_alloc(16, (sizeof(ObjectHeader) + bodySize + 15) & ~size_t(15));
    memset((void*)h, 0, sizeof(ObjectHeader) + bodySize);
    h->magic = kObjectMagic;
    h->type = type;
    h->refs = 1;
    h->destroy = destroy;
    void* body = BodyOf(h);
    ObjectTable& table = Objects();
    std::lock_guard<std::mutex> guard(table.lock);
    table.live.insert(body);
    return body;
}

bool IsLiveObject(const void* body)
{
    ObjectTable& table = Objects();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.live.count(body) != 0;
}

void AddReference(void* body, bool byDriver)
{
    HeaderOf(body)->refs++;
    if (byDriver)
        Count().driverReferences++;
}

void DropReference(void* body, bool byDriver)
{
    if (byDriver)
        Count().driverReferences--;
    ObjectHeader* h = HeaderOf(body);
    if (--h->refs != 0)
        return;
    {
        ObjectTable& table = Objects();
        std::lock_guard<std::mutex> guard(table.lock);
        table.live.erase(body);
    }
    h->destroy(h);
}

LONG ReferenceCount(PVOID object)
{
    if (!IsLiveObject(object))
        return 0;
    return HeaderOf(object)->refs;
}

void CloseKeyObject(void* key);  // registry.cpp

HANDLE NewHandle(HandleKind kind, void* target, ACCESS_MASK access)
{
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    table.next += 4;
    uintptr_t value = (uintptr_t)0xFFFFFFFF80000000ull + table.next;
    table.entries[value] = HandleEntry{kind, target, access};
    return (HANDLE)value;
}

bool LookupHandle(HANDLE handle, HandleEntry* entry)
{
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.entries.find((uintptr_t)handle);
    if (it == table.entries.end())
        return false;
    *entry = it->second;
    return true;
}

bool RemoveHandle(HANDLE handle, HandleEntry* entry)
{
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.entries.find((uintptr_t)handle);
    if (it == table.entries.end())
        return false;
    *entry = it->second;
    table.entries.erase(it);
    return true;
}

ULONG HandleCount()
{
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    return (ULONG)table.entries.size();
}

void ReportHandles()
{
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    ULONG keys = 0, objects = 0;
    for (auto& [value, entry] : table.entries)
        (entry.kind == HandleKind::Key ? keys : objects)++;
    if (!table.entries.empty())
        Report(Fault::HandleLeak, "%u registry key handle(s) and %u object handle(s) still open", keys,
               objects);
    for (auto& [value, entry] : table.entries)
        if (entry.kind == HandleKind::Key)
            CloseKeyObject(entry.target);
    table.entries.clear();
}

// Objects still referenced after a reference leak was reported are left
// alone for good; the leak checker of the test build is told so.
void IgnoreLiveObjects()
{
#if defined(__SANITIZE_ADDRESS__)
    ObjectTable& table = Objects();
    std::lock_guard<std::mutex> guard(table.lock);
    for (const void* body : table.live)
        __lsan_ignore_object(HeaderOf(body));
#endif
}

}  // namespace emu

using namespace emu;

extern "C" {
POBJECT_TYPE* PsThreadType = &threadType;
POBJECT_TYPE* IoFileObjectType = &fileType;
}

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess,
                                                    POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                                                    PVOID* object,
                                                    POBJECT_HANDLE_INFORMATION handleInformation)
{
    RequireIrqlAtMost(APC_LEVEL, Fault::PassiveOnlyAtRaisedIrql, "ObReferenceObjectByHandle");
    *object = NULL;
    HandleEntry entry;
    if (!LookupHandle(handle, &entry)) {
        Report(Fault::BadHandle, "ObReferenceObjectByHandle(%p): no such handle", handle);
        return STATUS_INVALID_HANDLE;
    }
    if (entry.kind != HandleKind::Object)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (objectType != NULL && objectType == threadType && HeaderOf(entry.target)->type != ObjectType::Thread)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (ShouldFail(Resource::Reference))
        return STATUS_INSUFFICIENT_RESOURCES;
    AddReference(entry.target, true);
    *object = entry.target;
    if (handleInformation != NULL) {
        handleInformation->HandleAttributes = 0;
        handleInformation->GrantedAccess = entry.access;
    }
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID object)
{
    if (!IsLiveObject(object)) {
        Report(Fault::BadObject, "ObfReferenceObject(%p): not a live object", object);
        return 0;
    }
    AddReference(object, true);
    return HeaderOf(object)->refs;
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID object)
{
    if (!IsLiveObject(object)) {
        Report(Fault::BadObject, "ObfDereferenceObject(%p): not a live object (dropped once too often?)",
               object);
        return 0;
    }
    LONG left = HeaderOf(object)->refs - 1;
    DropReference(object, true);
    return left;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE handle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, Fault::ZwAtRaisedIrql, "ZwClose");
    HandleEntry entry;
    if (!RemoveHandle(handle, &entry)) {
        Report(Fault::BadHandle, "ZwClose(%p): no such handle", handle);
        return STATUS_INVALID_HANDLE;
    }
    if (entry.kind == HandleKind::Key)
        CloseKeyObject(entry.target);
    else
        DropReference(entry.target, false);
    return STATUS_SUCCESS;
}
