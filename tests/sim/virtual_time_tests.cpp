// The clock and the scheduler: virtual time jumps only when every simulated thread waits,
// instants resolve deterministically, realtime follows the host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/kernel.h"
#include "sim/kernel/machine.h"

namespace {

constexpr int64_t kMillisecond = 1000000;
constexpr int64_t kMinute = 60LL * 1000 * kMillisecond;

LARGE_INTEGER RelativeNs(int64_t nanoseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -(nanoseconds / 100);
    return interval;
}

TEST(VirtualTime, TenMinuteDelayAdvancesTheClockExactly)
{
    sim::Machine machine;
    int64_t before = machine.Now();
    LARGE_INTEGER counterBefore = KeQueryPerformanceCounter(nullptr);

    LARGE_INTEGER interval = RelativeNs(10 * kMinute);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);

    EXPECT_EQ(machine.Now() - before, 10 * kMinute);
    LARGE_INTEGER frequency;
    LARGE_INTEGER counterAfter = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_EQ(counterAfter.QuadPart - counterBefore.QuadPart, 10LL * 60 * 10000000);
}

TEST(VirtualTime, WaitTimesOutAtItsDeadlineAndAbsoluteTimeoutsWork)
{
    sim::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    LARGE_INTEGER relative = RelativeNs(250 * kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative), STATUS_TIMEOUT);
    EXPECT_EQ(machine.Now(), 250 * kMillisecond);

    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 5000000;  // 500 ms from now, in system time
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(machine.Now(), 750 * kMillisecond);

    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(machine.Now(), 750 * kMillisecond);
}

struct TimerRace {
    KTIMER timer;
    KDPC dpc;
    KEVENT event;
};

void SetRaceEvent(KDPC*, PVOID context, PVOID, PVOID)
{
    KeSetEvent(&static_cast<TimerRace*>(context)->event, IO_NO_INCREMENT, FALSE);
}

TEST(VirtualTime, TimerSignalBeatsTimeoutAtTheSameInstant)
{
    for (int round = 0; round < 20; ++round) {
        sim::Machine machine;
        TimerRace race;
        KeInitializeEvent(&race.event, SynchronizationEvent, FALSE);
        KeInitializeDpc(&race.dpc, &SetRaceEvent, &race);
        KeInitializeTimer(&race.timer);
        KeSetTimer(&race.timer, RelativeNs(10 * kMillisecond), &race.dpc);

        LARGE_INTEGER timeout = RelativeNs(10 * kMillisecond);
        ASSERT_EQ(KeWaitForSingleObject(&race.event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS)
            << "round " << round;
        EXPECT_EQ(machine.Now(), 10 * kMillisecond);
    }
}

struct SleeperSignal {
    KEVENT event;
};

void SleepThenSignal(PVOID context)
{
    LARGE_INTEGER interval = RelativeNs(10 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeSetEvent(&static_cast<SleeperSignal*>(context)->event, IO_NO_INCREMENT, FALSE);
}

TEST(VirtualTime, WaitsDueAtTheSameInstantTimeOutTogether)
{
    // Both the sleeper's delay and the waiter's time-out fall due at 10 ms: the waiter times out
    // even though the sleeper signals at that same instant, every time.
    for (int round = 0; round < 20; ++round) {
        sim::Machine machine;
        SleeperSignal shared;
        KeInitializeEvent(&shared.event, NotificationEvent, FALSE);
        HANDLE thread;
        ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &SleepThenSignal,
                                       &shared),
                  STATUS_SUCCESS);
        LARGE_INTEGER timeout = RelativeNs(10 * kMillisecond);
        EXPECT_EQ(KeWaitForSingleObject(&shared.event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT)
            << "round " << round;
        EXPECT_EQ(machine.Now(), 10 * kMillisecond);

        PVOID object;
        ASSERT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(object);
        ZwClose(thread);
        EXPECT_EQ(KeReadStateEvent(&shared.event), 1) << "the sleeper did signal, at the same instant";
        EXPECT_EQ(machine.Now(), 10 * kMillisecond);
    }
}

struct Computation {
    std::atomic<bool> started{false};
    int64_t clockAtStart = 0;
    int64_t clockAtEnd = 0;
};

void ComputeForAWhile(PVOID context)
{
    auto* work = static_cast<Computation*>(context);
    work->clockAtStart = sim::Machine::Current().Now();
    work->started = true;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (std::chrono::steady_clock::now() < until) {
    }
    work->clockAtEnd = sim::Machine::Current().Now();
}

TEST(VirtualTime, AComputingThreadHoldsTimeStill)
{
    sim::Machine machine;
    Computation work;
    HANDLE thread;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &ComputeForAWhile, &work),
              STATUS_SUCCESS);
    // The owner sleeps 1 ms of simulated time while the other thread computes for 30 ms of host
    // time; the clock may not move until the computation ends.
    LARGE_INTEGER interval = RelativeNs(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_TRUE(work.started);

    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    ZwClose(thread);
    EXPECT_EQ(work.clockAtStart, 0);
    EXPECT_EQ(work.clockAtEnd, 0);
    EXPECT_EQ(machine.Now(), kMillisecond);
}

struct PingPong {
    KEVENT ping;
    KEVENT pong;
    int rounds = 0;
};

void Ponger(PVOID context)
{
    auto* game = static_cast<PingPong*>(context);
    for (int i = 0; i < game->rounds; ++i) {
        KeWaitForSingleObject(&game->ping, Executive, KernelMode, FALSE, nullptr);
        LARGE_INTEGER interval = RelativeNs(1000 + 100 * (i % 7));
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        KeSetEvent(&game->pong, IO_NO_INCREMENT, FALSE);
    }
}

int64_t PlayPingPong(int rounds)
{
    sim::Machine machine(sim::MachineOptions{sim::ClockMode::Virtual, 4, 2});
    PingPong game;
    game.rounds = rounds;
    KeInitializeEvent(&game.ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&game.pong, SynchronizationEvent, FALSE);
    HANDLE thread;
    PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &Ponger, &game);
    for (int i = 0; i < rounds; ++i) {
        KeSetEvent(&game.ping, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER timeout = RelativeNs(kMillisecond);
        EXPECT_EQ(KeWaitForSingleObject(&game.pong, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    }
    PVOID object;
    ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    ZwClose(thread);
    return machine.Now();
}

TEST(VirtualTime, ConcurrentThreadsGiveTheSameTimelineEveryRun)
{
    int64_t expected = 0;
    for (int i = 0; i < 2000; ++i) {
        expected += 1000 + 100 * (i % 7);
    }
    EXPECT_EQ(PlayPingPong(2000), expected);
    EXPECT_EQ(PlayPingPong(2000), expected);
}

void WaitForever(PVOID context)
{
    KeWaitForSingleObject(static_cast<KEVENT*>(context), Executive, KernelMode, FALSE, nullptr);
}

TEST(VirtualTimeDeathTest, DeadlockIsReportedInsteadOfHanging)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::Machine machine;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            HANDLE thread;
            PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &WaitForever, &never);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        "deadlock: every simulated thread waits and nothing is due to wake one: .*system thread");
}

TEST(RealtimeClock, FollowsTheHostClock)
{
    sim::Machine machine(sim::MachineOptions{sim::ClockMode::Realtime, 2, 2});
    auto hostBefore = std::chrono::steady_clock::now();
    int64_t simBefore = machine.Now();

    LARGE_INTEGER interval = RelativeNs(20 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);

    int64_t simElapsed = machine.Now() - simBefore;
    int64_t hostElapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - hostBefore).count();
    EXPECT_GE(simElapsed, 20 * kMillisecond);
    EXPECT_GE(hostElapsed, 20 * kMillisecond);
    EXPECT_LE(simElapsed, hostElapsed);
}

}  // namespace
