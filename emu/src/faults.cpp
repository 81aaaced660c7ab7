// Verifier faults and resource failure injection.
#include "core.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace emu {
namespace {

struct FaultLog {
    std::mutex lock;
    bool catching = false;
    std::vector<FaultRecord> caught;
};

FaultLog& Log()
{
    static FaultLog* log = new FaultLog;
    return *log;
}

struct Injection {
    ULONG countdown = 0;  // requests left before the first failure; 0 = disarmed
    LONG failures = 0;    // failures left once triggered; -1 = forever
    bool triggered = false;
};

std::mutex& InjectionLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

Injection injections[int(Resource::Reference) + 1];

std::string Format(const char* format, va_list args)
{
    char buffer[1024];
    vsnprintf(buffer, sizeof buffer, format, args);
    return buffer;
}

void Deliver(Fault kind, const std::string& text)
{
    std::string message = std::string(FaultName(kind)) + ": " + text;
    FaultLog& log = Log();
    {
        std::lock_guard<std::mutex> guard(log.lock);
        if (log.catching) {
            log.caught.push_back({kind, message});
            return;
        }
    }
    ADD_FAILURE() << "emu verifier: " << message;
}

}  // namespace

const char* FaultName(Fault fault)
{
    switch (fault) {
    case Fault::DoubleCompletion: return "DoubleCompletion";
    case Fault::CompletedWithPending: return "CompletedWithPending";
    case Fault::PendingNotMarked: return "PendingNotMarked";
    case Fault::MarkedPendingNotReturned: return "MarkedPendingNotReturned";
    case Fault::IrpNeverCompleted: return "IrpNeverCompleted";
    case Fault::IrpLeak: return "IrpLeak";
    case Fault::BadIrp: return "BadIrp";
    case Fault::StackOverflow: return "StackOverflow";
    case Fault::OwnIrpCompletedToTop: return "OwnIrpCompletedToTop";
    case Fault::WaitAtRaisedIrql: return "WaitAtRaisedIrql";
    case Fault::ZwAtRaisedIrql: return "ZwAtRaisedIrql";
    case Fault::PassiveOnlyAtRaisedIrql: return "PassiveOnlyAtRaisedIrql";
    case Fault::IrqlMismatch: return "IrqlMismatch";
    case Fault::SpinLockMisuse: return "SpinLockMisuse";
    case Fault::WrongPoolTag: return "WrongPoolTag";
    case Fault::BadPoolFree: return "BadPoolFree";
    case Fault::PoolOverrun: return "PoolOverrun";
    case Fault::PoolLeak: return "PoolLeak";
    case Fault::DeviceLeak: return "DeviceLeak";
    case Fault::LinkLeak: return "LinkLeak";
    case Fault::ReferenceLeak: return "ReferenceLeak";
    case Fault::HandleLeak: return "HandleLeak";
    case Fault::ThreadLeak: return "ThreadLeak";
    case Fault::MdlLeak: return "MdlLeak";
    case Fault::BadHandle: return "BadHandle";
    case Fault::BadObject: return "BadObject";
    case Fault::DeviceMisuse: return "DeviceMisuse";
    case Fault::BadMdl: return "BadMdl";
    case Fault::PnpStatusNotInitialised: return "PnpStatusNotInitialised";
    case Fault::AssertionFailed: return "AssertionFailed";
    case Fault::BugCheck: return "BugCheck";
    case Fault::Deadlock: return "Deadlock";
    case Fault::OverlappingRequests: return "OverlappingRequests";
    }
    return "UnknownFault";
}

void Report(Fault kind, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    Deliver(kind, text);
}

static std::atomic<void (*)()> fatalReport{nullptr};

void OnFatalFault(void (*report)())
{
    fatalReport = report;
}

void ReportFatal(Fault kind, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    fprintf(stderr, "emu verifier (fatal): %s: %s\n", FaultName(kind), text.c_str());
    fflush(stderr);
    if (void (*report)() = fatalReport.load())
        report();
    fflush(NULL);
    abort();
}

FaultCatcher::FaultCatcher()
{
    FaultLog& log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.catching = true;
    log.caught.clear();
}

FaultCatcher::~FaultCatcher()
{
    FaultLog& log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.catching = false;
    log.caught.clear();
}

bool FaultCatcher::Saw(Fault kind) const
{
    return Count(kind) > 0;
}

size_t FaultCatcher::Count(Fault kind) const
{
    FaultLog& log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    size_t n = 0;
    for (const FaultRecord& r : log.caught)
        n += r.kind == kind;
    return n;
}

std::vector<FaultRecord> FaultCatcher::Records() const
{
    FaultLog& log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    return log.caught;
}

void FaultCatcher::Clear()
{
    FaultLog& log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.caught.clear();
}

void FailNth(Resource resource, ULONG nth, LONG count)
{
    std::lock_guard<std::mutex> guard(InjectionLock());
    Injection& i = injections[int(resource)];
    i.countdown = nth;
    i.failures = count;
    i.triggered = false;
}

namespace {
ULONG enumerationUndercount = 0;  // guarded by InjectionLock()
}  // namespace

void UndercountNextEnumeration(ULONG devices)
{
    std::lock_guard<std::mutex> guard(InjectionLock());
    enumerationUndercount = devices;
}

ULONG TakeEnumerationUndercount()
{
    std::lock_guard<std::mutex> guard(InjectionLock());
    ULONG devices = enumerationUndercount;
    enumerationUndercount = 0;
    return devices;
}

void ClearFailures()
{
    std::lock_guard<std::mutex> guard(InjectionLock());
    for (Injection& i : injections)
        i = Injection();
    enumerationUndercount = 0;
}

bool ShouldFail(Resource resource)
{
    std::lock_guard<std::mutex> guard(InjectionLock());
    Injection& i = injections[int(resource)];
    if (!i.triggered) {
        if (i.countdown == 0)
            return false;
        if (--i.countdown > 0)
            return false;
        i.triggered = true;
    }
    if (i.failures >= 0 && --i.failures <= 0)
        i = Injection();
    return true;
}

}  // namespace emu

extern "C" VOID EmuAssertFailed(const char* expression, const char* file, int line)
{
    emu::Report(emu::Fault::AssertionFailed, "ASSERT(%s) at %s:%d", expression, file, line);
}

extern "C" VOID EmuCheckPagedCode(const char* function)
{
    emu::RequireIrqlAtMost(APC_LEVEL, emu::Fault::PassiveOnlyAtRaisedIrql, function);
}

extern "C" VOID NTAPI KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    emu::ReportFatal(emu::Fault::BugCheck, "KeBugCheckEx(0x%x, %#lx, %#lx, %#lx, %#lx)", code,
                     (unsigned long)p1, (unsigned long)p2, (unsigned long)p3, (unsigned long)p4);
}
