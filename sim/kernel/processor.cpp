#include "sim/kernel/processor.h"

#include <sstream>

#include "sim/api/kernel_rtl.h"
#include "sim/kernel/machine.h"

namespace sim {

void VerifyRoutineReturn(SimThread* thread, KIRQL expected, const char* what, const void* routine)
{
    if (thread->irql != expected || thread->spinLocksHeld != 0) {
        std::ostringstream detail;
        detail << what << " " << routine << " returned at IRQL " << int(thread->irql) << " holding "
               << thread->spinLocksHeld << " spin lock(s); it was called at IRQL " << int(expected);
        Machine::Current().Verify().Report("IRQL not restored", detail.str());
        thread->spinLocksHeld = 0;
        SetThreadIrql(thread, expected);
    }
}

Processor::Processor(Machine& machine, ULONG number) : machine_(machine), number_(number)
{
    InitializeListHead(&queue_);
    wake_.Header.Type = kEventSynchronizationObject;
    wake_.Header.SignalState = 0;
    InitializeListHead(&wake_.Header.WaitListHead);
}

void Processor::Start()
{
    thread_ = machine_.CreateThread("processor " + std::to_string(number_), &Processor::Run, this,
                                    MachineThreadKind::Processor, number_);
}

void Processor::Stop()
{
    {
        auto held = machine_.Dispatcher().Lock();
        exit_ = true;
        wake_.Header.SignalState = 1;
        machine_.Dispatcher().SignalLocked(&wake_.Header);
    }
    machine_.Dispatcher().JoinThread(thread_);
}

bool Processor::QueueLocked(KDPC* dpc)
{
    if (dpc->DpcData != nullptr) {
        return false;
    }
    dpc->DpcData = this;
    if (dpc->Importance == HighImportance) {
        InsertHeadList(&queue_, &dpc->DpcListEntry);
    } else {
        InsertTailList(&queue_, &dpc->DpcListEntry);
    }
    wake_.Header.SignalState = 1;
    machine_.Dispatcher().SignalLocked(&wake_.Header);
    return true;
}

bool Processor::TryRaiseLocked()
{
    if (runningDpc_) {
        return false;
    }
    ++raisedThreads_;
    return true;
}

void Processor::LowerLocked()
{
    if (--raisedThreads_ == 0 && !IsListEmpty(&queue_)) {
        wake_.Header.SignalState = 1;
        machine_.Dispatcher().SignalLocked(&wake_.Header);
    }
}

bool Processor::RemoveLocked(KDPC* dpc)
{
    if (dpc->DpcData == nullptr) {
        return false;
    }
    RemoveEntryList(&dpc->DpcListEntry);
    dpc->DpcData = nullptr;
    return true;
}

void Processor::Run(void* self) { static_cast<Processor*>(self)->Loop(); }

void Processor::Loop()
{
    Scheduler& scheduler = machine_.Dispatcher();
    SimThread* self = CurrentSimThread();
    auto held = scheduler.Lock();
    for (;;) {
        while ((IsListEmpty(&queue_) || raisedThreads_ > 0) && !exit_) {
            DISPATCHER_HEADER* wake = &wake_.Header;
            scheduler.WaitLocked(held, &wake, 1, WaitAny, kNoDeadline);
        }
        if (IsListEmpty(&queue_)) {
            break;
        }
        runningDpc_ = true;
        KDPC* dpc = CONTAINING_RECORD(RemoveHeadList(&queue_), KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        // The routine may free the DPC's storage, so nothing of it is read afterwards.
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        held.unlock();
        self->irql = DISPATCH_LEVEL;
        routine(dpc, context, argument1, argument2);
        VerifyRoutineReturn(self, DISPATCH_LEVEL, "DPC routine", reinterpret_cast<const void*>(routine));
        self->irql = PASSIVE_LEVEL;
        held.lock();
        runningDpc_ = false;
    }
    scheduler.DetachCurrentThreadLocked(held);
}

WorkQueue::WorkQueue(Machine& machine, ULONG workers) : machine_(machine), workerCount_(workers)
{
    InitializeListHead(&queue_);
    pending_.Header.Type = kSemaphoreObject;
    pending_.Header.SignalState = 0;
    pending_.Limit = MAXLONG;
    InitializeListHead(&pending_.Header.WaitListHead);
}

void WorkQueue::Start()
{
    for (ULONG i = 0; i < workerCount_; ++i) {
        workers_.push_back(machine_.CreateThread("system worker " + std::to_string(i), &WorkQueue::Run, this,
                                                MachineThreadKind::Worker));
    }
}

void WorkQueue::Stop()
{
    {
        auto held = machine_.Dispatcher().Lock();
        exit_ = true;
        pending_.Header.SignalState += LONG(workers_.size());
        machine_.Dispatcher().SignalLocked(&pending_.Header);
    }
    for (SimThread* worker : workers_) {
        machine_.Dispatcher().JoinThread(worker);
    }
}

void WorkQueue::Queue(PWORK_QUEUE_ITEM item)
{
    auto held = machine_.Dispatcher().Lock();
    if (item->List.Flink != nullptr) {
        machine_.Verify().Report("work item queued twice", "the item is still in the work queue");
        return;
    }
    InsertTailList(&queue_, &item->List);
    ++pending_.Header.SignalState;
    machine_.Dispatcher().SignalLocked(&pending_.Header);
}

void WorkQueue::Run(void* self) { static_cast<WorkQueue*>(self)->Loop(); }

void WorkQueue::Loop()
{
    Scheduler& scheduler = machine_.Dispatcher();
    SimThread* self = CurrentSimThread();
    auto held = scheduler.Lock();
    for (;;) {
        DISPATCHER_HEADER* pending = &pending_.Header;
        scheduler.WaitLocked(held, &pending, 1, WaitAny, kNoDeadline);
        if (IsListEmpty(&queue_)) {
            if (exit_) {
                break;
            }
            continue;
        }
        PWORK_QUEUE_ITEM item = CONTAINING_RECORD(RemoveHeadList(&queue_), WORK_QUEUE_ITEM, List);
        item->List.Flink = nullptr;
        PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
        PVOID parameter = item->Parameter;
        held.unlock();
        routine(parameter);
        VerifyRoutineReturn(self, PASSIVE_LEVEL, "work item", reinterpret_cast<const void*>(routine));
        held.lock();
    }
    scheduler.DetachCurrentThreadLocked(held);
}

}  // namespace sim
