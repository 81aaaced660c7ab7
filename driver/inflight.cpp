// Reads and writes in flight below a filter device, and the hold-back of a
// new one that overlaps one of them (inflight.h).
#include "tolvarn.h"
#include "inflight.h"

const LONG EntryFree = 0;
const LONG EntryClaimed = 1;
const LONG EntryLive = 2;

void InitInFlightTable(InFlightTable* table)
{
    table->Top = 0;
    table->Waiters = 0;
    KeInitializeEvent(&table->Released, NotificationEvent, FALSE);
    for (LONG i = 0; i < InFlightEntries; i++) {
        table->Entries[i].State = EntryFree;
        table->Entries[i].Table = table;
    }
}

// The order of the two matters: they overlap, one writes, one is the driver's.
static bool MustFollow(const InFlightEntry* entry, const InFlightEntry* request)
{
    return entry->State == EntryLive && entry->First < request->End && request->First < entry->End &&
           (entry->Write || request->Write) && (entry->Own || request->Own);
}

static bool OverlapsOneInFlight(InFlightTable* table, const InFlightEntry* request)
{
    LONG top = table->Top;
    for (LONG i = 0; i < top; i++) {
        if (MustFollow(&table->Entries[i], request))
            return true;
    }
    return false;
}

// A free entry, claimed; null when all are in use.
static InFlightEntry* ClaimEntry(InFlightTable* table)
{
    for (LONG i = 0; i < InFlightEntries; i++) {
        InFlightEntry* entry = &table->Entries[i];
        if (entry->State != EntryFree ||
            InterlockedCompareExchange(&entry->State, EntryClaimed, EntryFree) != EntryFree)
            continue;
        LONG top = table->Top;
        while (top <= i && InterlockedCompareExchange(&table->Top, i + 1, top) != top)
            top = table->Top;
        return entry;
    }
    return NULL;
}

// Takes an entry for the request once nothing in flight must come first;
// waits (PASSIVE_LEVEL only) for completions meanwhile. Null only above
// PASSIVE_LEVEL with the table full.
static InFlightEntry* EnterInOrder(InFlightTable* table, const InFlightEntry* request, bool mayWait)
{
    // The common case: nothing in the way, no wait, no event touched.
    if (!OverlapsOneInFlight(table, request)) {
        InFlightEntry* entry = ClaimEntry(table);
        if (entry || !mayWait)
            return entry;
    } else if (!mayWait) {
        return ClaimEntry(table);
    }
    // The event is cleared before the waiter is counted and the table looked
    // at again: a completion that gives back an entry after that look sees
    // the waiter and sets the event, and one before it is seen by the look.
    for (;;) {
        KeClearEvent(&table->Released);
        InterlockedIncrement(&table->Waiters);
        InFlightEntry* entry = OverlapsOneInFlight(table, request) ? NULL : ClaimEntry(table);
        if (!entry)
            KeWaitForSingleObject(&table->Released, Executive, KernelMode, FALSE, NULL);
        InterlockedDecrement(&table->Waiters);
        if (entry)
            return entry;
    }
}

static NTSTATUS NTAPI InFlightDone(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    InFlightEntry* entry = (InFlightEntry*)context;
    InFlightTable* table = entry->Table;
    PIO_COMPLETION_ROUTINE routine = entry->Routine;
    PVOID routineContext = entry->Context;
    // The disk has answered: whatever overlaps this request may go now.
    InterlockedExchange(&entry->State, EntryFree);
    if (InterlockedCompareExchange(&table->Waiters, 0, 0) != 0)
        KeSetEvent(&table->Released, IO_NO_INCREMENT, FALSE);
    return routine(device, irp, routineContext);
}

NTSTATUS SendDownInOrder(PDEVICE_OBJECT device, PIRP irp, bool own, PIO_COMPLETION_ROUTINE routine,
                         PVOID context)
{
    FilterExtension* ext = FilterExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    InFlightEntry* entry = NULL;
    if ((stack->MajorFunction == IRP_MJ_READ || stack->MajorFunction == IRP_MJ_WRITE) &&
        stack->Parameters.Read.Length != 0) {
        // Read and Write parameters share one layout.
        InFlightEntry request;
        request.State = EntryLive;
        request.Write = stack->MajorFunction == IRP_MJ_WRITE ? 1 : 0;
        request.Own = own ? 1 : 0;
        request.First = (ULONGLONG)stack->Parameters.Read.ByteOffset.QuadPart;
        request.End = request.First + stack->Parameters.Read.Length;
        entry = EnterInOrder(&ext->InFlight, &request, KeGetCurrentIrql() == PASSIVE_LEVEL);
        if (entry) {
            entry->Write = request.Write;
            entry->Own = request.Own;
            entry->First = request.First;
            entry->End = request.End;
            entry->Routine = routine;
            entry->Context = context;
            InterlockedExchange(&entry->State, EntryLive);
        }
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (entry)
        IoSetCompletionRoutine(irp, InFlightDone, entry, TRUE, TRUE, TRUE);
    else
        IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    return IoCallDriver(ext->LowerDevice, irp);
}

static bool AnyInFlight(InFlightTable* table)
{
    LONG top = table->Top;
    for (LONG i = 0; i < top; i++) {
        if (table->Entries[i].State != EntryFree)
            return true;
    }
    return false;
}

void WaitUntilNothingInFlight(PDEVICE_OBJECT device)
{
    PAGED_CODE();
    InFlightTable* table = &FilterExtensionOf(device)->InFlight;
    // As in EnterInOrder: cleared, counted, looked at, waited for.
    for (;;) {
        KeClearEvent(&table->Released);
        InterlockedIncrement(&table->Waiters);
        bool busy = AnyInFlight(table);
        if (busy)
            KeWaitForSingleObject(&table->Released, Executive, KernelMode, FALSE, NULL);
        InterlockedDecrement(&table->Waiters);
        if (!busy)
            return;
    }
}

LONG CountInFlight(PDEVICE_OBJECT device)
{
    InFlightTable* table = &FilterExtensionOf(device)->InFlight;
    LONG count = 0;
    for (LONG i = 0; i < table->Top; i++)
        count += table->Entries[i].State == EntryLive;
    return count;
}
