// DPCs, kernel timers and the machine's clocks.
#include "sim/api/kernel.h"
#include "sim/kernel/machine.h"

namespace {
using sim::Machine;

// KeQueryTimeIncrement's answer: the 15.625 ms clock tick of a default Windows machine.
constexpr ULONG kTimeIncrement = 156250;
constexpr LONGLONG kPerformanceFrequency = 10000000;

int64_t Now100ns() { return Machine::Current().Now() / 100; }
}  // namespace

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    sim::RequireResident(Dpc, "DPC object", __func__);
    Dpc->Type = 0x13;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    sim::RequireResident(Dpc, "DPC object", __func__);
    Machine& machine = Machine::Current();
    auto held = machine.Dispatcher().Lock();
    return machine.QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    Machine& machine = Machine::Current();
    auto held = machine.Dispatcher().Lock();
    return machine.RemoveDpcLocked(Dpc) ? TRUE : FALSE;
}

// As on Windows, a targeted DPC stores its processor offset by the processor limit, so that
// zero keeps meaning "the processor that queues it".
void KeSetTargetProcessorDpc(PRKDPC Dpc, CHAR Number) { Dpc->Number = USHORT(MAXIMUM_WAIT_OBJECTS + Number); }

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = UCHAR(Importance); }

void KeFlushQueuedDpcs()
{
    PAGED_CODE();
    Machine::Current().FlushDpcs();
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    sim::RequireResident(Timer, "timer", __func__);
    Timer->Header.Type = Type == NotificationTimer ? sim::kTimerNotificationObject : sim::kTimerSynchronizationObject;
    Timer->Header.SignalState = 0;
    Timer->Header.Reserved1 = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
    Timer->Processor = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    sim::RequireResident(Timer, "timer", __func__);
    if (Dpc != nullptr) {
        sim::RequireResident(Dpc, "DPC object", __func__);
    }
    sim::Scheduler& scheduler = Machine::Current().Dispatcher();
    int64_t deadline = scheduler.DeadlineFromTimeout(&DueTime);
    auto held = scheduler.Lock();
    Timer->DueTime.QuadPart = ULONGLONG(deadline / 100);
    return scheduler.SetTimerLocked(Timer, deadline, Period, Dpc) ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    sim::Scheduler& scheduler = Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    return scheduler.CancelTimerLocked(Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer)
{
    auto held = Machine::Current().Dispatcher().Lock();
    return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = kPerformanceFrequency;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = Now100ns();
    return counter;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = Machine::Current().Dispatcher().SystemTimeAtBoot() + Now100ns();
}

void KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = Now100ns() / kTimeIncrement; }

ULONG KeQueryTimeIncrement() { return kTimeIncrement; }

ULONGLONG KeQueryInterruptTime() { return ULONGLONG(Now100ns()); }

ULONG KeGetCurrentProcessorNumber() { return sim::RequireCurrentThread(__func__)->processorNumber; }

ULONG KeQueryActiveProcessorCount(PULONG_PTR ActiveProcessors)
{
    ULONG count = Machine::Current().ProcessorCount();
    if (ActiveProcessors != nullptr) {
        *ActiveProcessors = (ULONG_PTR(1) << count) - 1;
    }
    return count;
}

PKTHREAD KeGetCurrentThread() { return &sim::RequireCurrentThread(__func__)->kthread; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    // Host threads are not re-prioritised: in virtual time priority cannot change what happens
    // when, and the old priority is what Windows would report for a fresh system thread.
    return 8;
}
