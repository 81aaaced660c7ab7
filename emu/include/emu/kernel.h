// The emulated NT kernel: every kernel name the driver uses, with the WDK's
// names, signatures, type widths and semantics, for the native build of the
// driver. The implementation runs on real threads in this process (emu/src).
//
// Only names that mingw-w64's kernel headers also provide belong here, so a
// driver that compiles against this header also compiles for the real images.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Base types (Windows LLP64 widths)
// ---------------------------------------------------------------------------

#define NTAPI
#define FASTCALL
#define NTKERNELAPI
#define IN
#define OUT
#define OPTIONAL
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Use_decl_annotations_
#define UNREFERENCED_PARAMETER(P) ((void)(P))

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef char CCHAR;
typedef uint8_t UCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t SIZE_T;
typedef intptr_t SSIZE_T;
typedef uint8_t BOOLEAN;
typedef char16_t WCHAR;
typedef int32_t NTSTATUS;
typedef void* HANDLE;
typedef UCHAR KIRQL;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG_PTR KSPIN_LOCK;
typedef ULONG_PTR PFN_NUMBER;

typedef CHAR* PCHAR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef ULONG64* PULONG64;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef const CHAR* PCSTR;
typedef HANDLE* PHANDLE;
typedef KIRQL* PKIRQL;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef NTSTATUS* PNTSTATUS;
typedef ACCESS_MASK* PACCESS_MASK;
typedef PFN_NUMBER* PPFN_NUMBER;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARGUMENT_PRESENT(p) ((p) != NULL)
#define MAXULONG 0xFFFFFFFFu
#define MAXLONG 0x7FFFFFFF
#define MAXUSHORT 0xFFFF

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "ULONG is 32-bit");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER layout");

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_INFORMATION(s) ((((ULONG)(s)) >> 30) == 1)
#define NT_WARNING(s) ((((ULONG)(s)) >> 30) == 2)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_USER_APC ((NTSTATUS)0x000000C0L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#define STATUS_NO_MEDIA_IN_DEVICE ((NTSTATUS)0xC0000013L)
#define STATUS_NONEXISTENT_SECTOR ((NTSTATUS)0xC0000015L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_DATA_ERROR ((NTSTATUS)0xC000003EL)
#define STATUS_CRC_ERROR ((NTSTATUS)0xC000003FL)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)

// ---------------------------------------------------------------------------
// Lists
// ---------------------------------------------------------------------------

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

static_assert(sizeof(LIST_ENTRY) == 2 * sizeof(void*), "LIST_ENTRY layout");

inline VOID InitializeListHead(PLIST_ENTRY head)
{
    head->Flink = head->Blink = head;
}
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head)
{
    return head->Flink == head;
}

inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry)
{
    PLIST_ENTRY next = entry->Flink;
    PLIST_ENTRY prev = entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return next == prev;
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head)
{
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head)
{
    PLIST_ENTRY entry = head->Blink;
    RemoveEntryList(entry);
    return entry;
}

inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    PLIST_ENTRY prev = head->Blink;
    entry->Flink = head;
    entry->Blink = prev;
    prev->Flink = entry;
    head->Blink = entry;
}

inline VOID InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    PLIST_ENTRY next = head->Flink;
    entry->Flink = next;
    entry->Blink = head;
    next->Blink = entry;
    head->Flink = entry;
}

inline VOID PushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry)
{
    entry->Next = head->Next;
    head->Next = entry;
}

inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY head)
{
    PSINGLE_LIST_ENTRY first = head->Next;
    if (first != NULL)
        head->Next = first->Next;
    return first;
}

// ---------------------------------------------------------------------------
// Memory and strings
// ---------------------------------------------------------------------------

#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminating NUL
    USHORT MaximumLength;  // bytes of Buffer
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

static_assert(sizeof(UNICODE_STRING) == 2 * sizeof(void*), "UNICODE_STRING layout");

extern "C" {
SIZE_T NTAPI RtlCompareMemory(const VOID* a, const VOID* b, SIZE_T length);
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING dest, PCWSTR source);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING dest, PCUNICODE_STRING source);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING dest, PCWSTR source);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING dest, PCUNICODE_STRING source);
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR c);
// The kernel debugger's output: printf formats, with %I64 for 64-bit values.
ULONG DbgPrint(PCSTR format, ...);
}

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
} POOL_TYPE;

#define PROTECTED_POOL 0x80000000u

extern "C" {
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE type, SIZE_T bytes);
VOID NTAPI ExFreePoolWithTag(PVOID block, ULONG tag);
VOID NTAPI ExFreePool(PVOID block);
}

// ---------------------------------------------------------------------------
// IRQL, spin locks, interlocked operations
// ---------------------------------------------------------------------------

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

extern "C" {
KIRQL NTAPI KeGetCurrentIrql(VOID);
KIRQL NTAPI KfRaiseIrql(KIRQL newIrql);
VOID NTAPI KeLowerIrql(KIRQL newIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID);
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock);
KIRQL NTAPI KfAcquireSpinLock(PKSPIN_LOCK lock);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock);
PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock);
PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry, PKSPIN_LOCK lock);
PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY head, PKSPIN_LOCK lock);

// Test hooks behind the WDK's checking macros below.
VOID EmuCheckPagedCode(const char* function);
VOID EmuAssertFailed(const char* expression, const char* file, int line);
}

#define KeRaiseIrql(newIrql, oldIrql) (*(oldIrql) = KfRaiseIrql(newIrql))
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KfAcquireSpinLock(lock))
#define PAGED_CODE() EmuCheckPagedCode(__func__)
#define ASSERT(e) ((e) ? (void)0 : EmuAssertFailed(#e, __FILE__, __LINE__))
#define NT_ASSERT(e) ASSERT(e)

inline LONG InterlockedIncrement(LONG volatile* p)
{
    return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* p)
{
    return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* p, LONG v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v)
{
    return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* p)
{
    return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* p)
{
    return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* p, LONG64 v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* p, LONG64 v)
{
    return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* p, LONG64 exchange, LONG64 comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v)
{
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

// ---------------------------------------------------------------------------
// Dispatcher objects: events, threads, waits, time
// ---------------------------------------------------------------------------

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;  // EVENT_TYPE for events, ThreadObject for threads
    UCHAR Absolute;
    UCHAR Size;  // in ULONGs; 0 means never initialised
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

static_assert(sizeof(KEVENT) == 8 + 2 * sizeof(void*), "KEVENT layout");

typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest
} KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode } MODE;

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _KTHREAD* PETHREAD;
typedef struct _KPROCESS* PEPROCESS;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID NTAPI KSTART_ROUTINE(PVOID startContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define IO_NO_INCREMENT 0
#define IO_DISK_INCREMENT 1
#define EVENT_INCREMENT 1
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31

extern "C" {
VOID NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
VOID NTAPI KeClearEvent(PRKEVENT event);
LONG NTAPI KeResetEvent(PRKEVENT event);
LONG NTAPI KeReadStateEvent(PRKEVENT event);
// Timeout: NULL waits forever; negative is relative, positive absolute system
// time, both in 100 ns units of the virtual clock.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                                     BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER currentTime);

PKTHREAD NTAPI KeGetCurrentThread(VOID);
PETHREAD NTAPI PsGetCurrentThread(VOID);
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
NTSTATUS NTAPI PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess,
                                    struct _OBJECT_ATTRIBUTES* objectAttributes, HANDLE processHandle,
                                    PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine, PVOID startContext);
[[noreturn]] NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS exitStatus);
[[noreturn]] VOID NTAPI KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4);
}

// ---------------------------------------------------------------------------
// Objects and handles
// ---------------------------------------------------------------------------

#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define SYNCHRONIZE 0x00100000u
#define STANDARD_RIGHTS_REQUIRED 0x000F0000u
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_ALL 0x10000000u
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFFu)

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

extern "C" {
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* IoFileObjectType;
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                         KPROCESSOR_MODE accessMode, PVOID* object,
                                         POBJECT_HANDLE_INFORMATION handleInformation);
LONG_PTR FASTCALL ObfReferenceObject(PVOID object);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID object);
NTSTATUS NTAPI ZwClose(HANDLE handle);
}

#define ObReferenceObject ObfReferenceObject
#define ObDereferenceObject ObfDereferenceObject

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "KEY_VALUE_PARTIAL_INFORMATION layout");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "KEY_VALUE_PARTIAL_INFORMATION layout");

extern "C" {
NTSTATUS NTAPI ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes);
NTSTATUS NTAPI ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                           ULONG titleIndex, PUNICODE_STRING keyClass, ULONG createOptions,
                           PULONG disposition);
NTSTATUS NTAPI ZwDeleteKey(HANDLE keyHandle);
NTSTATUS NTAPI ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                               KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information, ULONG length,
                               PULONG resultLength);
NTSTATUS NTAPI ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type,
                             PVOID data, ULONG dataSize);
NTSTATUS NTAPI ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName);
}

// ---------------------------------------------------------------------------
// I/O manager: constants
// ---------------------------------------------------------------------------

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SCSI IRP_MJ_INTERNAL_DEVICE_CONTROL
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define SL_FORCE_ACCESS_CHECK 0x01
#define SL_OPEN_PAGING_FILE 0x02
#define SL_OPEN_TARGET_DIRECTORY 0x04
#define SL_OVERRIDE_VERIFY_VOLUME 0x02
#define SL_WRITE_THROUGH 0x04
#define SL_FT_SEQUENTIAL_WRITE 0x08
#define SL_FORCE_DIRECT_WRITE 0x10

#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_SYNCHRONOUS_PAGING_IO 0x00000040

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SHUTDOWN_REGISTERED 0x00000800
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_FLOPPY_DISKETTE 0x00000004
#define FILE_WRITE_ONCE_MEDIA 0x00000008
#define FILE_REMOTE_DEVICE 0x00000010
#define FILE_DEVICE_IS_MOUNTED 0x00000020
#define FILE_VIRTUAL_VOLUME 0x00000040
#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define FILE_DEVICE_CONTROLLER 0x00000004
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_FILE_SYSTEM 0x00000009
#define FILE_DEVICE_NULL 0x00000015
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_MASS_STORAGE 0x0000002d

#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(type, function, method, access) \
    (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))
#define DEVICE_TYPE_FROM_CTL_CODE(code) (((ULONG)(code)&0xffff0000) >> 16)
#define METHOD_FROM_CTL_CODE(code) ((ULONG)((code)&3))

#define IO_TYPE_DRIVER 4
#define IO_TYPE_DEVICE 3
#define IO_TYPE_IRP 6
#define IO_TYPE_FILE 5

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12
#define BYTE_OFFSET(va) ((ULONG)((ULONG_PTR)(va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(va) ((PVOID)((ULONG_PTR)(va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, size) \
    ((ULONG)((((ULONG_PTR)(va) & (PAGE_SIZE - 1)) + (size) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))

// ---------------------------------------------------------------------------
// Power
// ---------------------------------------------------------------------------

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7,
} SYSTEM_POWER_STATE,
    *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum,
} DEVICE_POWER_STATE,
    *PDEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef enum _POWER_STATE_TYPE {
    SystemPowerState = 0,
    DevicePowerState
} POWER_STATE_TYPE,
    *PPOWER_STATE_TYPE;

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject,
} POWER_ACTION,
    *PPOWER_ACTION;

// ---------------------------------------------------------------------------
// I/O manager: objects
// ---------------------------------------------------------------------------

typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _IO_STACK_LOCATION IO_STACK_LOCATION, *PIO_STACK_LOCATION;
typedef struct _MDL MDL, *PMDL;
typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;

typedef NTSTATUS NTAPI DRIVER_INITIALIZE(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef VOID NTAPI DRIVER_UNLOAD(PDRIVER_OBJECT driverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS NTAPI DRIVER_DISPATCH(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS NTAPI DRIVER_ADD_DEVICE(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID(NTAPI* PDRIVER_REINITIALIZE)(PDRIVER_OBJECT driverObject, PVOID context, ULONG count);
typedef NTSTATUS NTAPI IO_COMPLETION_ROUTINE(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(void*), "IO_STATUS_BLOCK layout");

typedef struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;  // newest device first, linked through NextDevice
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;  // the device attached on top of this one
    PIRP CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
    USHORT SectorSize;
    USHORT Spare1;
    struct _DEVOBJ_EXTENSION* DeviceObjectExtension;
    PVOID Reserved;
};

struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    PFILE_OBJECT RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
};

struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PEPROCESS Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};

static_assert(sizeof(void*) != 8 || sizeof(MDL) == 0x30, "MDL layout (x64)");

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080

typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;
typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32,
} MM_PAGE_PRIORITY;

struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            POWER_ACTION ShutdownType;
        } Power;
        struct {
            PCM_RESOURCE_LIST AllocatedResources;
            PCM_RESOURCE_LIST AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            ULONG Type;
        } QueryDeviceRelations;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};

static_assert(sizeof(void*) != 8 || sizeof(IO_STACK_LOCATION) == 0x48, "IO_STACK_LOCATION layout (x64)");

struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PVOID CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    PIO_STACK_LOCATION CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        PVOID CompletionKey;
    } Tail;
};

// ---------------------------------------------------------------------------
// I/O manager: stack location helpers
// ---------------------------------------------------------------------------

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp)
{
    return irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp)
{
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}

inline VOID IoSetNextIrpStackLocation(PIRP irp)
{
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
}

inline VOID IoSkipCurrentIrpStackLocation(PIRP irp)
{
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

// Copies everything up to the completion routine; the copy has no routine,
// no context and no Control bits.
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP irp)
{
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
    next->CompletionRoutine = NULL;
    next->Context = NULL;
}

inline VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (invokeOnSuccess)
        next->Control |= SL_INVOKE_ON_SUCCESS;
    if (invokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (invokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}

inline VOID IoMarkIrpPending(PIRP irp)
{
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}

#define IoSizeOfIrp(stackSize) ((USHORT)(sizeof(IRP) + (stackSize) * sizeof(IO_STACK_LOCATION)))

#define MmGetMdlVirtualAddress(mdl) ((PVOID)((PCHAR)((mdl)->StartVa) + (mdl)->ByteOffset))
#define MmGetMdlByteCount(mdl) ((mdl)->ByteCount)
#define MmGetMdlByteOffset(mdl) ((mdl)->ByteOffset)
#define MmGetSystemAddressForMdlSafe(mdl, priority)                              \
    (((mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) \
         ? ((mdl)->MappedSystemVa)                                               \
         : MmMapLockedPagesSpecifyCache((mdl), KernelMode, MmCached, NULL, FALSE, (priority)))

// ---------------------------------------------------------------------------
// I/O manager: routines
// ---------------------------------------------------------------------------

extern "C" {
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                              PUNICODE_STRING deviceName, DEVICE_TYPE deviceType, ULONG deviceCharacteristics,
                              BOOLEAN exclusive, PDEVICE_OBJECT* deviceObject);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT deviceObject);
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName);
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName);
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice);
VOID NTAPI IoDetachDevice(PDEVICE_OBJECT targetDevice);
PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject);
PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT deviceObject);
// Two-call protocol: a too small array gives STATUS_BUFFER_TOO_SMALL and the
// count; a big enough one is filled newest first, with a reference per device.
NTSTATUS NTAPI IoEnumerateDeviceObjectList(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT* deviceObjectList,
                                           ULONG deviceObjectListSize, PULONG actualNumberDeviceObjects);
BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR majorVersion, UCHAR minorVersion);
VOID NTAPI IoRegisterBootDriverReinitialization(PDRIVER_OBJECT driverObject, PDRIVER_REINITIALIZE routine,
                                                PVOID context);
VOID NTAPI IoRegisterDriverReinitialization(PDRIVER_OBJECT driverObject, PDRIVER_REINITIALIZE routine,
                                            PVOID context);
NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT deviceObject);
NTSTATUS NTAPI IoRegisterLastChanceShutdownNotification(PDEVICE_OBJECT deviceObject);
VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT deviceObject);

PIRP NTAPI IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
VOID NTAPI IoFreeIrp(PIRP irp);
VOID NTAPI IoReuseIrp(PIRP irp, NTSTATUS status);
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
VOID FASTCALL IofCompleteRequest(PIRP irp, CCHAR priorityBoost);
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject, PVOID inputBuffer,
                                         ULONG inputBufferLength, PVOID outputBuffer,
                                         ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                         PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock);
PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT deviceObject, PVOID buffer,
                                        ULONG length, PLARGE_INTEGER startingOffset, PKEVENT event,
                                        PIO_STATUS_BLOCK ioStatusBlock);
PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT deviceObject, PVOID buffer,
                                         ULONG length, PLARGE_INTEGER startingOffset,
                                         PIO_STATUS_BLOCK ioStatusBlock);

PMDL NTAPI IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota,
                         PIRP irp);
VOID NTAPI IoFreeMdl(PMDL mdl);
VOID NTAPI IoBuildPartialMdl(PMDL sourceMdl, PMDL targetMdl, PVOID virtualAddress, ULONG length);
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL mdl);
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType,
                                         PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority);
VOID NTAPI MmUnmapLockedPages(PVOID baseAddress, PMDL mdl);
VOID NTAPI MmPrepareMdlForReuse(PMDL mdl);

VOID NTAPI PoStartNextPowerIrp(PIRP irp);
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
}

#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest

// ---------------------------------------------------------------------------
// Disk, storage and SCSI control codes and records
// ---------------------------------------------------------------------------

#define IOCTL_DISK_BASE FILE_DEVICE_DISK
#define IOCTL_STORAGE_BASE FILE_DEVICE_MASS_STORAGE
#define IOCTL_SCSI_BASE FILE_DEVICE_CONTROLLER

#define IOCTL_DISK_GET_DRIVE_GEOMETRY CTL_CODE(IOCTL_DISK_BASE, 0x0000, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_DISK_SET_DRIVE_LAYOUT \
    CTL_CODE(IOCTL_DISK_BASE, 0x0004, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_DISK_SET_DRIVE_LAYOUT_EX \
    CTL_CODE(IOCTL_DISK_BASE, 0x0015, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_DISK_GET_LENGTH_INFO CTL_CODE(IOCTL_DISK_BASE, 0x0017, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_DISK_DELETE_DRIVE_LAYOUT \
    CTL_CODE(IOCTL_DISK_BASE, 0x0040, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_DISK_SET_PARTITION_INFO \
    CTL_CODE(IOCTL_DISK_BASE, 0x0002, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_DISK_SET_PARTITION_INFO_EX \
    CTL_CODE(IOCTL_DISK_BASE, 0x0013, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_DISK_CREATE_DISK \
    CTL_CODE(IOCTL_DISK_BASE, 0x0016, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_STORAGE_GET_DEVICE_NUMBER CTL_CODE(IOCTL_STORAGE_BASE, 0x0420, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SCSI_MINIPORT \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0402, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_GET_ADDRESS CTL_CODE(IOCTL_SCSI_BASE, 0x0406, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY == 0x70000, "control code");
static_assert(IOCTL_DISK_GET_LENGTH_INFO == 0x7405C, "control code");
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == 0x2D1080, "control code");
static_assert(IOCTL_SCSI_GET_ADDRESS == 0x41018, "control code");
static_assert(IOCTL_SCSI_MINIPORT == 0x4D008, "control code");
static_assert(IOCTL_DISK_SET_DRIVE_LAYOUT == 0x7C010, "control code");
static_assert(IOCTL_DISK_SET_DRIVE_LAYOUT_EX == 0x7C054, "control code");
static_assert(IOCTL_DISK_DELETE_DRIVE_LAYOUT == 0x7C100, "control code");
static_assert(IOCTL_DISK_SET_PARTITION_INFO == 0x7C008, "control code");
static_assert(IOCTL_DISK_SET_PARTITION_INFO_EX == 0x7C04C, "control code");
static_assert(IOCTL_DISK_CREATE_DISK == 0x7C058, "control code");

typedef enum _MEDIA_TYPE { Unknown = 0, RemovableMedia = 11, FixedMedia = 12 } MEDIA_TYPE;

typedef struct _STORAGE_DEVICE_NUMBER {
    DEVICE_TYPE DeviceType;
    ULONG DeviceNumber;
    ULONG PartitionNumber;
} STORAGE_DEVICE_NUMBER, *PSTORAGE_DEVICE_NUMBER;

typedef struct _DISK_GEOMETRY {
    LARGE_INTEGER Cylinders;
    MEDIA_TYPE MediaType;
    ULONG TracksPerCylinder;
    ULONG SectorsPerTrack;
    ULONG BytesPerSector;
} DISK_GEOMETRY, *PDISK_GEOMETRY;

typedef struct _GET_LENGTH_INFORMATION {
    LARGE_INTEGER Length;
} GET_LENGTH_INFORMATION, *PGET_LENGTH_INFORMATION;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;

typedef enum _PARTITION_STYLE {
    PARTITION_STYLE_MBR,
    PARTITION_STYLE_GPT,
    PARTITION_STYLE_RAW
} PARTITION_STYLE;

typedef struct _PARTITION_INFORMATION {
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER PartitionLength;
    ULONG HiddenSectors;
    ULONG PartitionNumber;
    UCHAR PartitionType;
    BOOLEAN BootIndicator;
    BOOLEAN RecognizedPartition;
    BOOLEAN RewritePartition;
} PARTITION_INFORMATION, *PPARTITION_INFORMATION;

typedef struct _DRIVE_LAYOUT_INFORMATION {
    ULONG PartitionCount;
    ULONG Signature;
    PARTITION_INFORMATION PartitionEntry[1];
} DRIVE_LAYOUT_INFORMATION, *PDRIVE_LAYOUT_INFORMATION;

typedef struct _PARTITION_INFORMATION_MBR {
    UCHAR PartitionType;
    BOOLEAN BootIndicator;
    BOOLEAN RecognizedPartition;
    ULONG HiddenSectors;
} PARTITION_INFORMATION_MBR, *PPARTITION_INFORMATION_MBR;

typedef struct _PARTITION_INFORMATION_GPT {
    GUID PartitionType;
    GUID PartitionId;
    ULONG64 Attributes;
    WCHAR Name[36];
} PARTITION_INFORMATION_GPT, *PPARTITION_INFORMATION_GPT;

typedef struct _PARTITION_INFORMATION_EX {
    PARTITION_STYLE PartitionStyle;
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER PartitionLength;
    ULONG PartitionNumber;
    BOOLEAN RewritePartition;
    union {
        PARTITION_INFORMATION_MBR Mbr;
        PARTITION_INFORMATION_GPT Gpt;
    };
} PARTITION_INFORMATION_EX, *PPARTITION_INFORMATION_EX;

typedef struct _DRIVE_LAYOUT_INFORMATION_MBR {
    ULONG Signature;
} DRIVE_LAYOUT_INFORMATION_MBR, *PDRIVE_LAYOUT_INFORMATION_MBR;

typedef struct _DRIVE_LAYOUT_INFORMATION_GPT {
    GUID DiskId;
    LARGE_INTEGER StartingUsableOffset;
    LARGE_INTEGER UsableLength;
    ULONG MaxPartitionCount;
} DRIVE_LAYOUT_INFORMATION_GPT, *PDRIVE_LAYOUT_INFORMATION_GPT;

typedef struct _DRIVE_LAYOUT_INFORMATION_EX {
    ULONG PartitionStyle;
    ULONG PartitionCount;
    union {
        DRIVE_LAYOUT_INFORMATION_MBR Mbr;
        DRIVE_LAYOUT_INFORMATION_GPT Gpt;
    };
    PARTITION_INFORMATION_EX PartitionEntry[1];
} DRIVE_LAYOUT_INFORMATION_EX, *PDRIVE_LAYOUT_INFORMATION_EX;

typedef struct _SCSI_ADDRESS {
    ULONG Length;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
} SCSI_ADDRESS, *PSCSI_ADDRESS;

typedef struct _SRB_IO_CONTROL {
    ULONG HeaderLength;
    UCHAR Signature[8];
    ULONG Timeout;
    ULONG ControlCode;
    ULONG ReturnCode;
    ULONG Length;
} SRB_IO_CONTROL, *PSRB_IO_CONTROL;

#pragma pack(push, 1)
typedef struct _IDEREGS {
    UCHAR bFeaturesReg;
    UCHAR bSectorCountReg;
    UCHAR bSectorNumberReg;
    UCHAR bCylLowReg;
    UCHAR bCylHighReg;
    UCHAR bDriveHeadReg;
    UCHAR bCommandReg;
    UCHAR bReserved;
} IDEREGS, *PIDEREGS;

typedef struct _SENDCMDINPARAMS {
    ULONG cBufferSize;
    IDEREGS irDriveRegs;
    UCHAR bDriveNumber;
    UCHAR bReserved[3];
    ULONG dwReserved[4];
    UCHAR bBuffer[1];
} SENDCMDINPARAMS, *PSENDCMDINPARAMS;

typedef struct _DRIVERSTATUS {
    UCHAR bDriverError;
    UCHAR bIDEError;
    UCHAR bReserved[2];
    ULONG dwReserved[2];
} DRIVERSTATUS, *PDRIVERSTATUS;

typedef struct _SENDCMDOUTPARAMS {
    ULONG cBufferSize;
    DRIVERSTATUS DriverStatus;
    UCHAR bBuffer[1];
} SENDCMDOUTPARAMS, *PSENDCMDOUTPARAMS;
#pragma pack(pop)

static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "STORAGE_DEVICE_NUMBER layout");
static_assert(sizeof(DISK_GEOMETRY) == 24, "DISK_GEOMETRY layout");
static_assert(sizeof(GET_LENGTH_INFORMATION) == 8, "GET_LENGTH_INFORMATION layout");
static_assert(sizeof(PARTITION_INFORMATION) == 32, "PARTITION_INFORMATION layout");
static_assert(FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION, PartitionEntry) == 8, "DRIVE_LAYOUT_INFORMATION layout");
static_assert(sizeof(PARTITION_INFORMATION_EX) == 144, "PARTITION_INFORMATION_EX layout");
static_assert(FIELD_OFFSET(PARTITION_INFORMATION_EX, Mbr) == 32, "PARTITION_INFORMATION_EX layout");
static_assert(FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48,
              "DRIVE_LAYOUT_INFORMATION_EX layout");
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS layout");
static_assert(sizeof(SRB_IO_CONTROL) == 28, "SRB_IO_CONTROL layout");
static_assert(sizeof(IDEREGS) == 8, "IDEREGS layout");
static_assert(sizeof(SENDCMDINPARAMS) == 33, "SENDCMDINPARAMS layout");
static_assert(sizeof(DRIVERSTATUS) == 12, "DRIVERSTATUS layout");
static_assert(sizeof(SENDCMDOUTPARAMS) == 17, "SENDCMDOUTPARAMS layout");
