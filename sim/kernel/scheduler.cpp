#include "sim/kernel/scheduler.h"

#include <chrono>
#include <ctime>

#include "sim/api/kernel_rtl.h"
#include "sim/kernel/verifier.h"

namespace sim {

namespace {

thread_local SimThread* t_currentThread = nullptr;

// 2026-01-01 00:00 UTC in 100 ns units since 1601, the boot time of every virtual machine so that
// runs repeat exactly.
constexpr int64_t kVirtualBootSystemTime = 134116992000000000LL;
constexpr int64_t kUnixEpochAsSystemTime = 116444736000000000LL;

int64_t HostMonotonicNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

SimThread::SimThread(std::string threadName) : name(std::move(threadName))
{
    kthread.Header.Type = kThreadObject;
    kthread.Header.SignalState = 0;
    InitializeListHead(&kthread.Header.WaitListHead);
    kthread.Owner = this;
}

SimThread* CurrentSimThread() { return t_currentThread; }

SimThread* SimThreadFromKThread(PKTHREAD thread)
{
    return thread == nullptr ? nullptr : static_cast<SimThread*>(thread->Owner);
}

Scheduler::Scheduler(ClockMode mode, Verifier& verifier) : mode_(mode), verifier_(verifier)
{
    if (mode_ == ClockMode::Realtime) {
        realtimeBase_ = HostMonotonicNanoseconds();
        systemTimeAtBoot_ = kUnixEpochAsSystemTime + int64_t(std::time(nullptr)) * 10000000LL;
        timekeeper_ = std::thread([this] { TimekeeperLoop(); });
    } else {
        systemTimeAtBoot_ = kVirtualBootSystemTime;
    }
}

Scheduler::~Scheduler()
{
    Shutdown();
    if (timekeeper_.joinable()) {
        timekeeper_.join();
    }
}

void Scheduler::Shutdown()
{
    std::lock_guard<std::mutex> guard(lock_);
    shuttingDown_ = true;
    timekeeperWake_.notify_all();
}

int64_t Scheduler::NowNanoseconds() const
{
    if (mode_ == ClockMode::Realtime) {
        return HostMonotonicNanoseconds() - realtimeBase_;
    }
    return virtualNow_.load(std::memory_order_acquire);
}

int64_t Scheduler::DeadlineFromTimeout(const LARGE_INTEGER* timeout) const
{
    if (timeout == nullptr) {
        return kNoDeadline;
    }
    int64_t now = NowNanoseconds();
    if (timeout->QuadPart <= 0) {
        return now + (-timeout->QuadPart) * 100;
    }
    int64_t sinceBoot = (timeout->QuadPart - systemTimeAtBoot_) * 100;
    return sinceBoot < now ? now : sinceBoot;
}

void Scheduler::AttachCurrentThread(SimThread* thread)
{
    std::lock_guard<std::mutex> guard(lock_);
    t_currentThread = thread;
    thread->started = true;
    ++running_;
    ++live_;
    attached_.push_back(thread);
}

namespace {
struct ThreadStart {
    Scheduler* scheduler;
    SimThread* thread;
    void (*body)(void*);
    void* context;
};

void* ThreadTrampoline(void* parameter)
{
    ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    t_currentThread = start.thread;
    start.body(start.context);
    // A body that returns ends its thread the way PsTerminateSystemThread does.
    if (t_currentThread != nullptr) {
        auto held = start.scheduler->Lock();
        start.scheduler->DetachCurrentThreadLocked(held);
    }
    return nullptr;
}
}  // namespace

void Scheduler::StartThread(SimThread* thread, void (*body)(void*), void* context)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        thread->started = true;
        ++running_;
        ++live_;
        attached_.push_back(thread);
    }
    auto* start = new ThreadStart{this, thread, body, context};
    thread->hostJoinable = pthread_create(&thread->host, nullptr, ThreadTrampoline, start) == 0;
    if (!thread->hostJoinable) {
        delete start;
        std::lock_guard<std::mutex> guard(lock_);
        --running_;
        --live_;
        attached_.pop_back();
        thread->terminated = true;
        verifier_.Report("host thread creation failed", thread->name);
    }
}

void Scheduler::DetachCurrentThreadLocked(std::unique_lock<std::mutex>& held)
{
    SimThread* self = t_currentThread;
    AbandonOwnedMutantsLocked(self);
    self->userApcs.clear();
    self->terminated = true;
    self->kthread.Header.SignalState = 1;
    SignalLocked(&self->kthread.Header);
    if (--running_ == 1) {
        othersBlocked_.notify_all();
    }
    --live_;
    t_currentThread = nullptr;
    for (auto it = attached_.begin(); it != attached_.end(); ++it) {
        if (*it == self) {
            attached_.erase(it);
            break;
        }
    }
    AdvanceWhileIdleLocked();
}

void Scheduler::SettleInstant()
{
    if (mode_ != ClockMode::Virtual || t_currentThread == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> held(lock_);
    othersBlocked_.wait(held, [this] { return running_ <= 1; });
}

void Scheduler::JoinThread(SimThread* thread)
{
    if (thread->hostJoinable && !pthread_equal(thread->host, pthread_self())) {
        pthread_join(thread->host, nullptr);
        thread->hostJoinable = false;
    }
}

bool Scheduler::IsSignaledFor(DISPATCHER_HEADER* object, SimThread* thread) const
{
    if (object->Type == kMutantObject) {
        auto* mutex = reinterpret_cast<KMUTEX*>(object);
        return object->SignalState > 0 || mutex->OwnerThread == &thread->kthread;
    }
    return object->SignalState > 0;
}

bool Scheduler::ConsumeLocked(DISPATCHER_HEADER* object, SimThread* thread)
{
    switch (object->Type) {
    case kEventSynchronizationObject:
    case kTimerSynchronizationObject:
        object->SignalState = 0;
        break;
    case kSemaphoreObject:
        --object->SignalState;
        break;
    case kMutantObject: {
        auto* mutant = reinterpret_cast<KMUTANT*>(object);
        if (object->SignalState-- == 1) {
            mutant->OwnerThread = &thread->kthread;
            thread->ownedMutants.push_back(mutant);
        }
        if (mutant->Abandoned) {
            mutant->Abandoned = FALSE;
            return true;
        }
        break;
    }
    default:
        break;  // notification objects stay signalled
    }
    return false;
}

bool Scheduler::TryWaitAllLocked(SimThread* thread, NTSTATUS& status)
{
    for (ULONG i = 0; i < thread->waitCount; ++i) {
        if (!IsSignaledFor(thread->blocks[i].object, thread)) {
            return false;
        }
    }
    status = STATUS_WAIT_0;
    for (ULONG i = 0; i < thread->waitCount; ++i) {
        if (ConsumeLocked(thread->blocks[i].object, thread)) {
            status = STATUS_ABANDONED_WAIT_0 + LONG(i);
        }
    }
    return true;
}

NTSTATUS Scheduler::ReleaseMutantLocked(KMUTANT* mutant, SimThread* thread, LONG* previous)
{
    *previous = mutant->Header.SignalState;
    if (mutant->OwnerThread != &thread->kthread || mutant->Header.SignalState > 0) {
        return STATUS_MUTANT_NOT_OWNED;
    }
    if (++mutant->Header.SignalState == 1) {
        mutant->OwnerThread = nullptr;
        auto& owned = thread->ownedMutants;
        for (auto it = owned.begin(); it != owned.end(); ++it) {
            if (*it == mutant) {
                owned.erase(it);
                break;
            }
        }
        SignalLocked(&mutant->Header);
    }
    return STATUS_SUCCESS;
}

// A kernel mutex (ApcDisable set) held by an ending thread is THREAD_TERMINATE_HELD_MUTEX on
// Windows; a user-mode mutant is released as abandoned, and its next owner is told so.
void Scheduler::AbandonOwnedMutantsLocked(SimThread* thread)
{
    std::vector<KMUTANT*> owned;
    owned.swap(thread->ownedMutants);
    for (KMUTANT* mutant : owned) {
        if (mutant->ApcDisable != 0) {
            verifier_.Report("thread ended holding a mutex", "'" + thread->name + "'");
        }
        mutant->Header.SignalState = 1;
        mutant->OwnerThread = nullptr;
        mutant->Abandoned = TRUE;
        SignalLocked(&mutant->Header);
    }
}

void Scheduler::QueueUserApcLocked(SimThread* thread, std::function<void()> apc)
{
    if (thread->terminated) {
        return;
    }
    thread->userApcs.push_back(std::move(apc));
    if (thread->waiting && thread->alertable) {
        WakeLocked(thread, STATUS_USER_APC);
    }
}

void Scheduler::RequestTerminationLocked(SimThread* thread)
{
    thread->terminationRequested = true;
    if (thread->waiting && thread->userModeWait) {
        WakeLocked(thread, STATUS_THREAD_IS_TERMINATING);
    }
}

NTSTATUS Scheduler::WaitLocked(std::unique_lock<std::mutex>& held, DISPATCHER_HEADER** objects,
                               ULONG count, WAIT_TYPE type, int64_t deadline, KPROCESSOR_MODE waitMode,
                               bool alertable)
{
    SimThread* self = t_currentThread;
    alertable = alertable && waitMode == UserMode;
    if (waitMode == UserMode && self->terminationRequested) {
        return STATUS_THREAD_IS_TERMINATING;
    }
    if (count > 0) {
        if (type == WaitAny) {
            for (ULONG i = 0; i < count; ++i) {
                if (IsSignaledFor(objects[i], self)) {
                    const bool abandoned = ConsumeLocked(objects[i], self);
                    return (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + LONG(i);
                }
            }
        } else {
            bool all = true;
            for (ULONG i = 0; i < count && all; ++i) {
                all = IsSignaledFor(objects[i], self);
            }
            if (all) {
                NTSTATUS status = STATUS_WAIT_0;
                for (ULONG i = 0; i < count; ++i) {
                    if (ConsumeLocked(objects[i], self)) {
                        status = STATUS_ABANDONED_WAIT_0 + LONG(i);
                    }
                }
                return status;
            }
        }
    }
    if (alertable && !self->userApcs.empty()) {
        return STATUS_USER_APC;
    }
    if (deadline != kNoDeadline && deadline <= NowNanoseconds()) {
        return STATUS_TIMEOUT;
    }

    self->waitType = type;
    self->waitCount = count;
    for (ULONG i = 0; i < count; ++i) {
        WaitBlock& block = self->blocks[i];
        block.thread = self;
        block.object = objects[i];
        block.key = i;
        InsertTailList(&objects[i]->WaitListHead, &block.entry);
    }
    self->hasTimeout = deadline != kNoDeadline;
    if (self->hasTimeout) {
        self->timeoutKey = TimeoutKey(deadline, arrivals_++);
        timeouts_[self->timeoutKey] = self;
    }
    self->waitStatus = STATUS_TIMEOUT;
    self->alertable = alertable;
    self->userModeWait = waitMode == UserMode;
    BlockCurrentLocked(held, self);
    self->alertable = false;
    self->userModeWait = false;
    return self->waitStatus;
}

void Scheduler::BlockCurrentLocked(std::unique_lock<std::mutex>& held, SimThread* self)
{
    self->waiting = true;
    if (--running_ == 1) {
        othersBlocked_.notify_all();
    }
    if (mode_ == ClockMode::Virtual) {
        AdvanceWhileIdleLocked();
    } else {
        timekeeperWake_.notify_all();
    }
    self->wakeup.wait(held, [self] { return !self->waiting; });
}

void Scheduler::WakeLocked(SimThread* thread, NTSTATUS status)
{
    for (ULONG i = 0; i < thread->waitCount; ++i) {
        RemoveEntryList(&thread->blocks[i].entry);
    }
    thread->waitCount = 0;
    if (thread->hasTimeout) {
        timeouts_.erase(thread->timeoutKey);
        thread->hasTimeout = false;
    }
    thread->waitStatus = status;
    thread->waiting = false;
    ++running_;
    thread->wakeup.notify_one();
}

void Scheduler::SignalLocked(DISPATCHER_HEADER* object)
{
    // Waiters are served in arrival order; after every wake the list may have changed shape, so
    // the walk starts again until a full pass wakes nobody.
    bool woke = true;
    while (woke) {
        woke = false;
        for (PLIST_ENTRY entry = object->WaitListHead.Flink; entry != &object->WaitListHead;
             entry = entry->Flink) {
            WaitBlock* block = CONTAINING_RECORD(entry, WaitBlock, entry);
            SimThread* waiter = block->thread;
            NTSTATUS status = STATUS_WAIT_0;
            if (waiter->waitType == WaitAny) {
                if (IsSignaledFor(object, waiter)) {
                    const bool abandoned = ConsumeLocked(object, waiter);
                    WakeLocked(waiter, (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + LONG(block->key));
                    woke = true;
                    break;
                }
            } else if (TryWaitAllLocked(waiter, status)) {
                WakeLocked(waiter, status);
                woke = true;
                break;
            }
        }
    }
}

bool Scheduler::SetTimerLocked(KTIMER* timer, int64_t deadline, LONG periodMs, KDPC* dpc)
{
    bool wasSet = CancelTimerLocked(timer);
    timer->Header.SignalState = 0;
    timer->Dpc = dpc;
    timer->Period = periodMs;
    TimeoutKey key(deadline, arrivals_++);
    timers_[key] = timer;
    timerKeys_[timer] = key;
    timer->Header.Reserved1 = 1;  // inserted
    if (mode_ == ClockMode::Realtime) {
        timekeeperWake_.notify_all();
    }
    return wasSet;
}

bool Scheduler::CancelTimerLocked(KTIMER* timer)
{
    auto found = timerKeys_.find(timer);
    if (found == timerKeys_.end()) {
        return false;
    }
    timers_.erase(found->second);
    timerKeys_.erase(found);
    timer->Header.Reserved1 = 0;
    return true;
}

void Scheduler::SetTimerDpcSink(TimerDpcSink sink, void* context)
{
    std::lock_guard<std::mutex> guard(lock_);
    timerDpcSink_ = sink;
    timerDpcSinkContext_ = context;
}

int64_t Scheduler::EarliestDeadlineLocked() const
{
    int64_t earliest = kNoDeadline;
    if (!timers_.empty()) {
        earliest = timers_.begin()->first.first;
    }
    if (!timeouts_.empty() && (earliest == kNoDeadline || timeouts_.begin()->first.first < earliest)) {
        earliest = timeouts_.begin()->first.first;
    }
    return earliest;
}

void Scheduler::FireDueTimersLocked(int64_t now)
{
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
        auto first = timers_.begin();
        int64_t due = first->first.first;
        KTIMER* timer = first->second;
        timers_.erase(first);
        timerKeys_.erase(timer);
        timer->Header.Reserved1 = 0;
        timer->Header.SignalState = 1;
        SignalLocked(&timer->Header);
        if (timer->Period > 0) {
            TimeoutKey key(due + int64_t(timer->Period) * 1000000, arrivals_++);
            timers_[key] = timer;
            timerKeys_[timer] = key;
            timer->Header.Reserved1 = 1;
        }
        if (timer->Dpc != nullptr && timerDpcSink_ != nullptr) {
            int64_t systemTime = systemTimeAtBoot_ + due / 100;
            timerDpcSink_(timerDpcSinkContext_, timer->Dpc, LONG(systemTime & 0xffffffff),
                          LONG(systemTime >> 32));
        }
    }
}

void Scheduler::ExpireDueTimeoutsLocked(int64_t now)
{
    while (!timeouts_.empty() && timeouts_.begin()->first.first <= now) {
        WakeLocked(timeouts_.begin()->second, STATUS_TIMEOUT);
    }
}

void Scheduler::AdvanceWhileIdleLocked()
{
    if (mode_ != ClockMode::Virtual) {
        return;
    }
    while (running_ == 0 && live_ > 0) {
        int64_t next = EarliestDeadlineLocked();
        if (next == kNoDeadline) {
            if (!shuttingDown_) {
                std::string blocked;
                for (const std::string& name : BlockedThreadNames()) {
                    blocked += " " + name;
                }
                verifier_.Report("deadlock",
                                 "every simulated thread waits and nothing is due to wake one:" + blocked);
            }
            return;
        }
        if (next > virtualNow_.load()) {
            virtualNow_.store(next, std::memory_order_release);
        }
        if (!timers_.empty() && timers_.begin()->first.first <= next) {
            FireDueTimersLocked(next);
        } else {
            ExpireDueTimeoutsLocked(next);
        }
    }
}

std::vector<std::string> Scheduler::BlockedThreadNames() const
{
    std::vector<std::string> names;
    for (SimThread* thread : attached_) {
        if (thread->waiting) {
            names.push_back(thread->name);
        }
    }
    return names;
}

void Scheduler::TimekeeperLoop()
{
    std::unique_lock<std::mutex> held(lock_);
    while (!shuttingDown_) {
        int64_t next = EarliestDeadlineLocked();
        int64_t now = NowNanoseconds();
        if (next != kNoDeadline && next <= now) {
            FireDueTimersLocked(now);
            ExpireDueTimeoutsLocked(now);
            continue;
        }
        if (next == kNoDeadline) {
            timekeeperWake_.wait(held);
        } else {
            timekeeperWake_.wait_for(held, std::chrono::nanoseconds(next - now));
        }
    }
}

}  // namespace sim
