// Events, semaphores, mutexes and waits on them, with the documented IRQL rules.
#include <sstream>

#include "sim/api/kernel.h"
#include "sim/kernel/machine.h"

namespace {

using sim::Machine;
using sim::Scheduler;
using sim::SimThread;

void Violation(const char* rule, const std::string& detail) { Machine::Current().Verify().Report(rule, detail); }

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state)
{
    header->Type = type;
    header->Signalling = 0;
    header->Size = 0;
    header->Reserved1 = 0;
    header->SignalState = state;
    InitializeListHead(&header->WaitListHead);
}

// Sets the signal state and wakes whom it satisfies; returns the previous state.
LONG SignalObject(DISPATCHER_HEADER* header, LONG state)
{
    Scheduler& scheduler = Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    LONG previous = header->SignalState;
    header->SignalState = state;
    scheduler.SignalLocked(header);
    return previous;
}

// A wait that may block is only legal below DISPATCH_LEVEL and without a spin lock; a zero
// time-out is a poll and allowed at DISPATCH_LEVEL.
bool WaitIsLegal(SimThread* self, const LARGE_INTEGER* timeout, const char* function)
{
    bool mayBlock = timeout == nullptr || timeout->QuadPart != 0;
    if (mayBlock && (self->irql >= DISPATCH_LEVEL || self->spinLocksHeld > 0)) {
        std::ostringstream detail;
        detail << function << " on '" << self->name << "' at IRQL " << int(self->irql) << " holding "
               << self->spinLocksHeld << " spin lock(s)";
        Violation("wait at DISPATCH_LEVEL", detail.str());
        return false;
    }
    if (!mayBlock && self->irql > DISPATCH_LEVEL) {
        Violation("wait above DISPATCH_LEVEL", function);
        return false;
    }
    return true;
}

}  // namespace

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    sim::RequireResident(Event, "event", __func__);
    InitializeHeader(&Event->Header,
                     Type == NotificationEvent ? sim::kEventNotificationObject : sim::kEventSynchronizationObject,
                     State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    if (self->irql > DISPATCH_LEVEL) {
        Violation("IRQL too high", "KeSetEvent above DISPATCH_LEVEL");
    }
    return SignalObject(&Event->Header, 1);
}

LONG KeResetEvent(PRKEVENT Event)
{
    auto held = Machine::Current().Dispatcher().Lock();
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

void KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event)
{
    auto held = Machine::Current().Dispatcher().Lock();
    return Event->Header.SignalState;
}

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    sim::RequireResident(Semaphore, "semaphore", __func__);
    InitializeHeader(&Semaphore->Header, sim::kSemaphoreObject, Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    Scheduler& scheduler = Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
        // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here; the count is left unchanged.
        std::ostringstream detail;
        detail << "count " << previous << " + " << Adjustment << " exceeds the limit " << Semaphore->Limit;
        held.unlock();
        Violation("semaphore limit exceeded", detail.str());
        return previous;
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    scheduler.SignalLocked(&Semaphore->Header);
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    auto held = Machine::Current().Dispatcher().Lock();
    return Semaphore->Header.SignalState;
}

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    sim::RequireResident(Mutex, "mutex", __func__);
    InitializeHeader(&Mutex->Header, sim::kMutantObject, 1);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
    InitializeListHead(&Mutex->MutantListEntry);
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    Scheduler& scheduler = Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    LONG previous = 0;
    if (scheduler.ReleaseMutantLocked(Mutex, self, &previous) == STATUS_MUTANT_NOT_OWNED) {
        held.unlock();
        Violation("mutex released by a thread that does not own it", "KeReleaseMutex on '" + self->name + "'");
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    auto held = Machine::Current().Dispatcher().Lock();
    return Mutex->Header.SignalState;
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        // Windows bug-checks (MAXIMUM_WAIT_OBJECTS_EXCEEDED) on these.
        Violation("bad wait", "KeWaitForMultipleObjects with " + std::to_string(Count) +
                                  " objects and " + (WaitBlockArray ? "a" : "no") + " wait block array");
        return STATUS_INVALID_PARAMETER;
    }
    if (!WaitIsLegal(self, Timeout, __func__)) {
        return STATUS_TIMEOUT;
    }
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        headers[i] = static_cast<DISPATCHER_HEADER*>(Object[i]);
    }
    Scheduler& scheduler = Machine::Current().Dispatcher();
    int64_t deadline = scheduler.DeadlineFromTimeout(Timeout);
    auto held = scheduler.Lock();
    return scheduler.WaitLocked(held, headers, Count, WaitType, deadline);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    if (!WaitIsLegal(self, Timeout, __func__)) {
        return STATUS_TIMEOUT;
    }
    DISPATCHER_HEADER* header = static_cast<DISPATCHER_HEADER*>(Object);
    Scheduler& scheduler = Machine::Current().Dispatcher();
    int64_t deadline = scheduler.DeadlineFromTimeout(Timeout);
    auto held = scheduler.Lock();
    return scheduler.WaitLocked(held, &header, 1, WaitAny, deadline);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    if (self->irql > APC_LEVEL) {
        Violation("wait at DISPATCH_LEVEL", "KeDelayExecutionThread on '" + self->name + "' at IRQL " +
                                                std::to_string(self->irql));
        return STATUS_SUCCESS;
    }
    Scheduler& scheduler = Machine::Current().Dispatcher();
    int64_t deadline = scheduler.DeadlineFromTimeout(Interval);
    auto held = scheduler.Lock();
    scheduler.WaitLocked(held, nullptr, 0, WaitAny, deadline);
    return STATUS_SUCCESS;
}
