// Events, semaphores, mutexes and multi-object waits with their documented semantics.
#include <gtest/gtest.h>

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

NTSTATUS WaitMs(PVOID object, int64_t milliseconds)
{
    LARGE_INTEGER timeout = Relative(milliseconds * kMillisecond);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

// Starts `count` system threads that each wait once on `object` and count their wake-ups.
struct Waiters {
    PVOID object = nullptr;
    LONG woken = 0;
    HANDLE threads[4]{};
    int count = 0;

    static void Body(PVOID context)
    {
        auto* self = static_cast<Waiters*>(context);
        if (KeWaitForSingleObject(self->object, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) {
            InterlockedIncrement(&self->woken);
            if (static_cast<DISPATCHER_HEADER*>(self->object)->Type == sim::kMutantObject) {
                KeReleaseMutex(static_cast<PRKMUTEX>(self->object), FALSE);
            }
        }
    }

    void Start(PVOID waitObject, int threadCount)
    {
        object = waitObject;
        count = threadCount;
        for (int i = 0; i < count; ++i) {
            PsCreateSystemThread(&threads[i], THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &Body, this);
        }
        LARGE_INTEGER settle = Relative(kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &settle);  // every waiter is now blocked
    }

    void Join()
    {
        for (int i = 0; i < count; ++i) {
            PVOID thread;
            ObReferenceObjectByHandle(threads[i], SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(thread);
            ZwClose(threads[i]);
        }
    }
};

TEST(Events, NotificationWakesEveryWaiterAndStaysSignalled)
{
    sim::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiters waiters;
    waiters.Start(&event, 3);
    EXPECT_EQ(waiters.woken, 0);

    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    waiters.Join();
    EXPECT_EQ(waiters.woken, 3);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(WaitMs(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(WaitMs(&event, 1), STATUS_TIMEOUT);
}

TEST(Events, SynchronizationWakesOneWaiterPerSignal)
{
    sim::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiters waiters;
    waiters.Start(&event, 2);

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER settle = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    EXPECT_EQ(waiters.woken, 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the wake consumed the signal";

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiters.Join();
    EXPECT_EQ(waiters.woken, 2);

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitMs(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitMs(&event, 0), STATUS_TIMEOUT) << "auto-reset after one satisfied wait";
}

TEST(Semaphores, CountLimitsAndReleaseAboveTheLimitIsRefused)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 1, 2);
    EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_TIMEOUT);

    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 2, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
    EXPECT_FALSE(machine.Verify().HasReport("semaphore limit exceeded"));

    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE), 2);
    EXPECT_TRUE(machine.Verify().HasReport("semaphore limit exceeded"));
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2) << "a refused release leaves the count alone";
}

TEST(Mutexes, RecursiveForTheOwnerExclusiveForOthers)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(WaitMs(&mutex, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitMs(&mutex, 0), STATUS_SUCCESS) << "the owner acquires again";
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);

    Waiters other;
    other.Start(&mutex, 1);
    EXPECT_EQ(other.woken, 0);

    KeReleaseMutex(&mutex, FALSE);
    LARGE_INTEGER settle = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    EXPECT_EQ(other.woken, 0) << "still held once";

    KeReleaseMutex(&mutex, FALSE);
    other.Join();
    EXPECT_EQ(other.woken, 1);
    EXPECT_FALSE(machine.Verify().HasReport("mutex released"));

    EXPECT_EQ(KeReadStateMutex(&mutex), 1) << "the other thread released it before it ended";

    KeReleaseMutex(&mutex, FALSE);
    EXPECT_TRUE(machine.Verify().HasReport("mutex released by a thread that does not own it"));
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(MultipleObjects, WaitAnyReportsTheIndexAndWaitAllNeedsEveryObject)
{
    sim::Machine machine;
    KEVENT first, second;
    KSEMAPHORE semaphore;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, SynchronizationEvent, FALSE);
    KeInitializeSemaphore(&semaphore, 0, 10);
    PVOID objects[] = {&first, &second, &semaphore};
    LARGE_INTEGER timeout = Relative(5 * kMillisecond);

    KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&second), 0);

    KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&second), 1) << "a wait-all that fails consumes nothing";

    KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&first), 1);
    EXPECT_EQ(KeReadStateEvent(&second), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

TEST(MultipleObjects, MoreThanThreeObjectsNeedAWaitBlockArray)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    KEVENT events[4];
    PVOID objects[4];
    for (int i = 0; i < 4; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, TRUE);
        objects[i] = &events[i];
    }
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(machine.Verify().HasReport("bad wait"));

    KWAIT_BLOCK blocks[4];
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, blocks),
              STATUS_WAIT_0);
}

}  // namespace
