// DPCs, timers, work items and system threads: where and at which IRQL they run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/machine.h"

namespace {

constexpr int64_t kMillisecond = 1000000;

LARGE_INTEGER Relative(int64_t nanoseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -(nanoseconds / 100);
    return interval;
}

struct DpcProbe {
    KDPC dpc;
    KEVENT done;
    KIRQL irql = 0xff;
    ULONG processor = 0xff;
    PVOID argument1 = nullptr;
    int runs = 0;
    std::vector<int64_t> times;
};

void RecordDpc(KDPC*, PVOID context, PVOID argument1, PVOID)
{
    auto* probe = static_cast<DpcProbe*>(context);
    probe->irql = KeGetCurrentIrql();
    probe->processor = KeGetCurrentProcessorNumber();
    probe->argument1 = argument1;
    probe->runs += 1;
    probe->times.push_back(sim::Machine::Current().Now());
    KeSetEvent(&probe->done, IO_NO_INCREMENT, FALSE);
}

TEST(Dpcs, RunAtDispatchLevelOnTheTargetProcessorOncePerQueueing)
{
    sim::Machine machine(sim::MachineOptions{sim::ClockMode::Virtual, 3, 1});
    DpcProbe probe;
    KeInitializeEvent(&probe.done, SynchronizationEvent, FALSE);
    KeInitializeDpc(&probe.dpc, &RecordDpc, &probe);
    KeSetTargetProcessorDpc(&probe.dpc, 2);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    // The target processor may run the DPC between the two insertions, as on a real
    // multiprocessor; either way it runs exactly once per successful insertion.
    int queued = 0;
    queued += KeInsertQueueDpc(&probe.dpc, reinterpret_cast<PVOID>(7), nullptr) ? 1 : 0;
    queued += KeInsertQueueDpc(&probe.dpc, reinterpret_cast<PVOID>(7), nullptr) ? 1 : 0;
    KeLowerIrql(old);

    KeFlushQueuedDpcs();
    EXPECT_GE(queued, 1);
    EXPECT_EQ(probe.runs, queued);
    EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
    EXPECT_EQ(probe.processor, 2u);
    EXPECT_EQ(probe.argument1, reinterpret_cast<PVOID>(7));
}

TEST(Dpcs, ARemovedDpcDoesNotRun)
{
    sim::Machine machine;
    DpcProbe probe;
    KeInitializeEvent(&probe.done, SynchronizationEvent, FALSE);
    KeInitializeDpc(&probe.dpc, &RecordDpc, &probe);
    KIRQL old;
    // At DISPATCH_LEVEL this thread's processor runs no DPC: the queue cannot drain before the
    // removal.
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetTargetProcessorDpc(&probe.dpc, CHAR(KeGetCurrentProcessorNumber()));
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&probe.dpc));
    KeLowerIrql(old);
    KeFlushQueuedDpcs();
    EXPECT_EQ(probe.runs, 0);
    EXPECT_FALSE(KeRemoveQueueDpc(&probe.dpc));
}

// Whether the thread raised its IRQL itself or by taking a spin lock, its processor runs no DPC
// until the thread is back below DISPATCH_LEVEL; other processors carry on.
TEST(Dpcs, ARaisedThreadHoldsOffItsProcessorsDpcs)
{
    for (bool spinLock : {false, true}) {
        SCOPED_TRACE(spinLock ? "spin lock held" : "KeRaiseIrql");
        sim::Machine machine;
        const CHAR here = CHAR(KeGetCurrentProcessorNumber());
        DpcProbe local;
        DpcProbe other;
        for (DpcProbe* probe : {&local, &other}) {
            KeInitializeEvent(&probe->done, NotificationEvent, FALSE);
            KeInitializeDpc(&probe->dpc, &RecordDpc, probe);
        }
        KeSetTargetProcessorDpc(&other.dpc, CHAR(here + 1));
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        if (spinLock) {
            KeAcquireSpinLock(&lock, &old);
        } else {
            KeRaiseIrql(DISPATCH_LEVEL, &old);
        }
        KeInsertQueueDpc(&local.dpc, nullptr, nullptr);
        KeInsertQueueDpc(&other.dpc, nullptr, nullptr);
        // A poll is all a thread at DISPATCH_LEVEL may do; the other processor's DPC runs meanwhile.
        LARGE_INTEGER poll{};
        while (KeWaitForSingleObject(&other.done, Executive, KernelMode, FALSE, &poll) == STATUS_TIMEOUT) {
        }
        EXPECT_EQ(local.runs, 0);
        const int64_t lowered = machine.Now();
        if (spinLock) {
            KeReleaseSpinLock(&lock, old);
        } else {
            KeLowerIrql(old);
        }
        KeWaitForSingleObject(&local.done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(local.runs, 1);
        EXPECT_EQ(local.processor, ULONG(here));
        EXPECT_EQ(local.times.front(), lowered);
        EXPECT_TRUE(machine.Verify().Reports().empty());
    }
}

struct LongDpc {
    KDPC dpc;
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
};

void RunLong(KDPC*, PVOID context, PVOID, PVOID)
{
    auto* probe = static_cast<LongDpc*>(context);
    probe->started = true;
    // Host time, not simulated time: the DPC is busy, as one copying a large buffer is.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    probe->finished = true;
}

// A DPC running on the thread's processor has interrupted that thread: the thread raising its IRQL
// continues only once the DPC has returned.
TEST(Dpcs, RaisingTheIrqlWaitsForTheProcessorsRunningDpc)
{
    sim::Machine machine;
    LongDpc probe;
    KeInitializeDpc(&probe.dpc, &RunLong, &probe);
    KeSetTargetProcessorDpc(&probe.dpc, CHAR(KeGetCurrentProcessorNumber()));
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    while (!probe.started) {
        std::this_thread::yield();
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(probe.finished);
    KeLowerIrql(old);
}

TEST(Timers, PeriodicTimerQueuesItsDpcEveryPeriodAndSignals)
{
    sim::Machine machine;
    DpcProbe probe;
    KeInitializeEvent(&probe.done, SynchronizationEvent, FALSE);
    KeInitializeDpc(&probe.dpc, &RecordDpc, &probe);
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    EXPECT_FALSE(KeSetTimerEx(&timer, Relative(5 * kMillisecond), 10, &probe.dpc));

    for (int i = 0; i < 3; ++i) {
        KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    ASSERT_EQ(probe.times.size(), 3u);
    EXPECT_EQ(probe.times[0], 5 * kMillisecond);
    EXPECT_EQ(probe.times[1], 15 * kMillisecond);
    EXPECT_EQ(probe.times[2], 25 * kMillisecond);
}

TEST(Timers, WaitOnATimerObjectEndsAtItsDueTime)
{
    sim::Machine machine;
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(3 * kMillisecond), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(machine.Now(), 3 * kMillisecond);
}

struct WorkProbe {
    WORK_QUEUE_ITEM item;
    PIO_WORKITEM ioItem = nullptr;
    KEVENT done;
    KIRQL irql = 0xff;
    PDEVICE_OBJECT device = nullptr;
};

void RecordWork(PVOID context)
{
    auto* probe = static_cast<WorkProbe*>(context);
    probe->irql = KeGetCurrentIrql();
    KeSetEvent(&probe->done, IO_NO_INCREMENT, FALSE);
}

void RecordIoWork(PDEVICE_OBJECT device, PVOID context)
{
    auto* probe = static_cast<WorkProbe*>(context);
    probe->device = device;
    RecordWork(context);
}

TEST(WorkItems, RunAtPassiveLevelOnAWorkerThread)
{
    sim::Machine machine;
    WorkProbe probe;
    KeInitializeEvent(&probe.done, SynchronizationEvent, FALSE);
    ExInitializeWorkItem(&probe.item, &RecordWork, &probe);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queueing is legal from a DPC
    ExQueueWorkItem(&probe.item, DelayedWorkQueue);
    KeLowerIrql(old);
    KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);

    probe.irql = 0xff;
    probe.ioItem = IoAllocateWorkItem(reinterpret_cast<PDEVICE_OBJECT>(&probe));
    ASSERT_NE(probe.ioItem, nullptr);
    IoQueueWorkItem(probe.ioItem, &RecordIoWork, DelayedWorkQueue, &probe);
    KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    EXPECT_EQ(probe.device, reinterpret_cast<PDEVICE_OBJECT>(&probe));
    LARGE_INTEGER settle = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    IoFreeWorkItem(probe.ioItem);
}

struct ThreadProbe {
    KIRQL irql = 0xff;
    KEVENT go;
};

void TerminatingThread(PVOID context)
{
    auto* probe = static_cast<ThreadProbe*>(context);
    probe->irql = KeGetCurrentIrql();
    KeWaitForSingleObject(&probe->go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(SystemThreads, ThreadObjectIsSignalledWhenTheThreadTerminates)
{
    sim::Machine machine;
    ThreadProbe probe;
    KeInitializeEvent(&probe.go, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &TerminatingThread, &probe),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, KernelMode, &thread, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(handle);

    LARGE_INTEGER timeout = Relative(5 * kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    KeSetEvent(&probe.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    ObDereferenceObject(thread);
}

}  // namespace
