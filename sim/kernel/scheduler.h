// The simulated machine's dispatcher: one clock, the threads that take part in the simulation,
// waits on dispatcher objects, kernel timers and wait time-outs.
//
// Virtual time: the clock stands still while any simulated thread runs. When the last running
// thread blocks in a simulated wait, the clock jumps to the next deadline. At one instant kernel
// timers fire first; wait time-outs due at that instant expire only once everything the timers
// set running has blocked again. So a signal and a time-out that fall on the same instant always
// resolve the same way: the signal wins if it was given by a timer (or what a timer started),
// and all waits due at an instant time out together.
//
// Realtime: the clock follows the host's monotonic clock and a timekeeper thread fires timers and
// time-outs when they fall due.
//
// The dispatcher lock guards every object's signal state and wait list, the thread states, the
// running count, the timer and time-out queues, and the DPC and work queues built on top.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/api/kernel_dispatch.h"
#include "sim/kernel/object_manager.h"

// The kernel's thread object. Its header makes it waitable (signalled when the thread ends).
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    void* Owner;  // the sim::SimThread
};

namespace sim {

class Verifier;
class Scheduler;

enum class ClockMode { Virtual, Realtime };

// Dispatcher object types, with the kernel's values.
enum DispatcherType : UCHAR {
    kEventNotificationObject = 0,
    kEventSynchronizationObject = 1,
    kMutantObject = 2,
    kSemaphoreObject = 5,
    kThreadObject = 6,
    kTimerNotificationObject = 8,
    kTimerSynchronizationObject = 9,
};

constexpr int64_t kNoDeadline = -1;
using TimeoutKey = std::pair<int64_t, uint64_t>;  // (deadline in ns, arrival order)

struct WaitBlock {
    LIST_ENTRY entry;
    struct SimThread* thread;
    DISPATCHER_HEADER* object;
    ULONG key;
};

// A host thread that takes part in the simulation. Created by the machine (its creator thread,
// processors, workers) or by PsCreateSystemThread and the user-mode thread functions.
struct SimThread : KernelObject {
    explicit SimThread(std::string threadName);
    void* Body() override { return &kthread; }
    const char* TypeName() const override { return "Thread"; }

    std::string name;
    _KTHREAD kthread{};
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    ULONG processorNumber = 0;
    bool isProcessor = false;
    bool machineThread = false;
    bool userThread = false;

    // Wait state, guarded by the dispatcher lock.
    std::condition_variable wakeup;
    bool waiting = false;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    WAIT_TYPE waitType = WaitAny;
    ULONG waitCount = 0;
    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS]{};
    bool hasTimeout = false;
    TimeoutKey timeoutKey{};

    // Mutants the thread owns, in acquisition order. When the thread ends, user-mode mutants are
    // abandoned; a kernel mutex still held is a bug check on Windows.
    std::vector<KMUTANT*> ownedMutants;

    // User-mode APCs (completion routines, QueueUserAPC) wait here until the thread enters an
    // alertable wait; guarded by the dispatcher lock.
    std::deque<std::function<void()>> userApcs;
    bool alertable = false;
    bool userModeWait = false;
    // Set when the thread's process ends: its next user-mode wait ends the thread.
    bool terminationRequested = false;

    // The Win32 subsystem's per-thread state (KTHREAD.Win32Thread on Windows); null on threads
    // that never made a user-mode call.
    void* win32Thread = nullptr;

    bool started = false;
    bool terminated = false;
    NTSTATUS exitStatus = STATUS_SUCCESS;
    pthread_t host{};
    bool hostJoinable = false;
};

SimThread* CurrentSimThread();                 // null on a thread the machine does not know
SimThread* SimThreadFromKThread(PKTHREAD thread);

class Scheduler {
public:
    Scheduler(ClockMode mode, Verifier& verifier);
    ~Scheduler();

    ClockMode Mode() const { return mode_; }
    int64_t NowNanoseconds() const;

    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(lock_); }

    // Binds the calling host thread to `thread` and counts it as running.
    void AttachCurrentThread(SimThread* thread);
    // Starts a host thread that runs `body` as `thread`; the thread counts as running from this
    // call on, so the clock cannot move between creation and the thread's first step.
    void StartThread(SimThread* thread, void (*body)(void*), void* context);
    // Called by a thread that leaves the simulation (its host thread then ends or detaches).
    void DetachCurrentThreadLocked(std::unique_lock<std::mutex>& held);
    void JoinThread(SimThread* thread);

    // Blocks the current thread until the objects satisfy `type`, or until `deadline` (ns on the
    // machine clock; kNoDeadline waits forever). Returns STATUS_WAIT_0 + index or STATUS_TIMEOUT.
    // An abandoned mutant is acquired with STATUS_ABANDONED_WAIT_0 + index. A user-mode wait
    // (waitMode UserMode) ends with STATUS_THREAD_IS_TERMINATING once the thread's termination is
    // requested; an alertable user-mode wait also ends with STATUS_USER_APC when a user APC is
    // queued (the caller runs the APCs).
    NTSTATUS WaitLocked(std::unique_lock<std::mutex>& held, DISPATCHER_HEADER** objects, ULONG count,
                        WAIT_TYPE type, int64_t deadline, KPROCESSOR_MODE waitMode = KernelMode,
                        bool alertable = false);
    // Mutant release by `thread`: STATUS_MUTANT_NOT_OWNED when it is not the owner; the previous
    // signal state otherwise (through `previous`).
    NTSTATUS ReleaseMutantLocked(KMUTANT* mutant, SimThread* thread, LONG* previous);
    // Queues a user APC; an alertable waiter wakes to run it.
    void QueueUserApcLocked(SimThread* thread, std::function<void()> apc);
    // Asks a thread to end at its next user-mode wait, waking it if it waits in user mode.
    void RequestTerminationLocked(SimThread* thread);
    // What Windows does to an ending thread's mutants: user-mode ones are abandoned.
    void AbandonOwnedMutantsLocked(SimThread* thread);
    // Wakes every waiter that the object's new signal state satisfies.
    void SignalLocked(DISPATCHER_HEADER* object);
    bool IsSignaledFor(DISPATCHER_HEADER* object, SimThread* thread) const;

    // Kernel timers.
    bool SetTimerLocked(KTIMER* timer, int64_t deadline, LONG periodMs, KDPC* dpc);
    bool CancelTimerLocked(KTIMER* timer);
    using TimerDpcSink = void (*)(void* context, KDPC* dpc, LONG low, LONG high);
    void SetTimerDpcSink(TimerDpcSink sink, void* context);

    // Converts a kernel time-out (negative: relative in 100 ns; positive: absolute system time)
    // into a machine deadline.
    int64_t DeadlineFromTimeout(const LARGE_INTEGER* timeout) const;
    int64_t SystemTimeAtBoot() const { return systemTimeAtBoot_; }

    // Lets every other simulated thread run on until it blocks, while the clock stands still: what
    // was set running at this instant finishes before the caller goes on. The caller must be a
    // running simulated thread. Realtime has no instant to settle; there this returns at once.
    void SettleInstant();

    int RunningThreads() const { return running_; }
    int LiveThreads() const { return live_; }
    std::vector<std::string> BlockedThreadNames() const;  // caller holds the lock

    // Makes a later idle instant report a deadlock instead of staying silent; on by default.
    void Shutdown();

private:
    void BlockCurrentLocked(std::unique_lock<std::mutex>& held, SimThread* self);
    void WakeLocked(SimThread* thread, NTSTATUS status);
    // Returns true when the object was an abandoned mutant.
    bool ConsumeLocked(DISPATCHER_HEADER* object, SimThread* thread);
    bool TryWaitAllLocked(SimThread* thread, NTSTATUS& status);
    void AdvanceWhileIdleLocked();
    void FireDueTimersLocked(int64_t now);
    void ExpireDueTimeoutsLocked(int64_t now);
    int64_t EarliestDeadlineLocked() const;
    void TimekeeperLoop();

    const ClockMode mode_;
    Verifier& verifier_;
    std::mutex lock_;
    std::atomic<int64_t> virtualNow_{0};
    int64_t realtimeBase_ = 0;
    int64_t systemTimeAtBoot_ = 0;
    int running_ = 0;
    int live_ = 0;
    uint64_t arrivals_ = 0;
    bool shuttingDown_ = false;

    std::map<TimeoutKey, SimThread*> timeouts_;
    std::map<TimeoutKey, KTIMER*> timers_;
    std::map<KTIMER*, TimeoutKey> timerKeys_;
    TimerDpcSink timerDpcSink_ = nullptr;
    void* timerDpcSinkContext_ = nullptr;

    std::vector<SimThread*> attached_;

    std::condition_variable timekeeperWake_;
    std::condition_variable othersBlocked_;  // notified when the running count falls to one
    std::thread timekeeper_;
};

}  // namespace sim
