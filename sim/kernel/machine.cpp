#include "sim/kernel/machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "sim/kernel/processor.h"

namespace sim {

namespace {
std::atomic<Machine*> g_currentMachine{nullptr};

void QueueTimerDpc(void* context, KDPC* dpc, LONG low, LONG high)
{
    static_cast<Machine*>(context)->QueueDpcLocked(dpc, reinterpret_cast<PVOID>(intptr_t(low)),
                                                   reinterpret_cast<PVOID>(intptr_t(high)));
}
}  // namespace

Machine::Machine(MachineOptions options) : options_(options)
{
    Machine* expected = nullptr;
    if (!g_currentMachine.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "simulated machine: a second machine was created while one exists\n");
        std::abort();
    }
    if (options_.processors == 0) {
        options_.processors = 1;
    }
    if (options_.workerThreads == 0) {
        options_.workerThreads = 1;
    }
    pool_ = std::make_unique<Pool>(verifier_);
    scheduler_ = std::make_unique<Scheduler>(options_.clock, verifier_);
    scheduler_->SetTimerDpcSink(&QueueTimerDpc, this);

    creator_ = new SimThread("machine owner");
    objects_.Register(creator_);
    scheduler_->AttachCurrentThread(creator_);

    for (ULONG i = 0; i < options_.processors; ++i) {
        processors_.push_back(std::make_unique<Processor>(*this, i));
    }
    for (auto& processor : processors_) {
        processor->Start();
    }
    workQueue_ = std::make_unique<WorkQueue>(*this, options_.workerThreads);
    workQueue_->Start();
}

Machine::~Machine()
{
    std::vector<std::string> stuck = LiveSystemThreads();
    for (auto& processor : processors_) {
        processor->Stop();
    }
    workQueue_->Stop();
    if (!stuck.empty()) {
        std::string names;
        for (const std::string& name : stuck) {
            names += " '" + name + "'";
        }
        verifier_.Report("system thread left running", "at shutdown:" + names);
    }

    // Later components may build on earlier ones (a bus on the I/O manager): undo in reverse.
    for (auto it = componentOrder_.rbegin(); it != componentOrder_.rend(); ++it) {
        for (auto& [type, component] : components_) {
            (void)type;
            if (component.get() == *it) {
                component.reset();
            }
        }
    }
    components_.clear();

    std::vector<SimThread*> threads;
    {
        std::lock_guard<std::mutex> guard(threadsLock_);
        threads.swap(systemThreads_);
    }
    for (SimThread* thread : threads) {
        if (thread->terminated) {
            scheduler_->JoinThread(thread);
        }
    }
    if (pool_->LiveAllocations().size() != 0) {
        verifier_.Report("pool leaked", "at shutdown:\n" + pool_->LeakReport());
    }
    scheduler_->Shutdown();
    {
        auto held = scheduler_->Lock();
        scheduler_->DetachCurrentThreadLocked(held);
    }
    if (!stuck.empty()) {
        // A thread still blocked inside the scheduler would touch it after it is gone: keep it.
        (void)scheduler_.release();
    }
    for (SimThread* thread : threads) {
        if (thread->terminated) {
            objects_.Release(thread);
        }
    }
    objects_.Release(creator_);
    g_currentMachine.store(nullptr);
}

Machine& Machine::Current()
{
    Machine* machine = g_currentMachine.load();
    if (machine == nullptr) {
        std::fprintf(stderr, "simulated machine: a kernel or Win32 call was made with no machine running\n");
        std::abort();
    }
    return *machine;
}

bool Machine::Exists() { return g_currentMachine.load() != nullptr; }

SimThread* RequireCurrentThread(const char* function)
{
    SimThread* thread = CurrentSimThread();
    if (thread == nullptr) {
        std::fprintf(stderr, "simulated machine: %s called on a host thread the machine does not know\n",
                     function);
        std::abort();
    }
    return thread;
}

void SetThreadIrql(SimThread* thread, KIRQL irql)
{
    const bool wasRaised = thread->irql >= DISPATCH_LEVEL;
    const bool raised = irql >= DISPATCH_LEVEL;
    if (thread->isProcessor || wasRaised == raised) {
        thread->irql = irql;
        return;
    }
    Machine& machine = Machine::Current();
    Processor& processor = machine.ProcessorOf(thread);
    if (raised) {
        // The DPC running on this processor interrupted the thread; it goes on once that returns.
        for (;;) {
            {
                auto held = machine.Dispatcher().Lock();
                if (processor.TryRaiseLocked()) {
                    break;
                }
            }
            std::this_thread::yield();
        }
        thread->irql = irql;
        return;
    }
    thread->irql = irql;
    auto held = machine.Dispatcher().Lock();
    processor.LowerLocked();
}

void Machine::RunFor(int64_t nanoseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -(nanoseconds / 100);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool Machine::QueueDpcLocked(KDPC* dpc, PVOID argument1, PVOID argument2)
{
    if (dpc->DpcData != nullptr) {
        return false;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    ULONG target;
    if (dpc->Number >= MAXIMUM_WAIT_OBJECTS) {
        target = ULONG(dpc->Number - MAXIMUM_WAIT_OBJECTS) % ProcessorCount();
    } else {
        SimThread* current = CurrentSimThread();
        target = current == nullptr ? 0 : current->processorNumber % ProcessorCount();
    }
    return processors_[target]->QueueLocked(dpc);
}

bool Machine::RemoveDpcLocked(KDPC* dpc) { return Processor::RemoveLocked(dpc); }

Processor& Machine::ProcessorOf(const SimThread* thread)
{
    return *processors_[thread->processorNumber % ProcessorCount()];
}

namespace {
struct FlushMarker {
    KDPC dpc;
    KEVENT done;
};

void SignalFlushMarker(KDPC*, PVOID context, PVOID, PVOID)
{
    KeSetEvent(&static_cast<FlushMarker*>(context)->done, IO_NO_INCREMENT, FALSE);
}
}  // namespace

void Machine::FlushDpcs()
{
    // A marker queued behind everything on each processor has run once all earlier DPCs have.
    std::vector<FlushMarker> markers(ProcessorCount());
    for (ULONG i = 0; i < ProcessorCount(); ++i) {
        KeInitializeDpc(&markers[i].dpc, &SignalFlushMarker, &markers[i]);
        KeSetTargetProcessorDpc(&markers[i].dpc, CHAR(i));
        KeInitializeEvent(&markers[i].done, NotificationEvent, FALSE);
        KeInsertQueueDpc(&markers[i].dpc, nullptr, nullptr);
    }
    for (FlushMarker& marker : markers) {
        KeWaitForSingleObject(&marker.done, Executive, KernelMode, FALSE, nullptr);
    }
}

void Machine::QueueWorkItem(PWORK_QUEUE_ITEM item) { workQueue_->Queue(item); }

SimThread* Machine::CreateThread(const std::string& name, void (*body)(void*), void* context,
                                 MachineThreadKind kind, ULONG processor)
{
    auto* thread = new SimThread(name);
    objects_.Register(thread);
    thread->machineThread = kind == MachineThreadKind::Processor || kind == MachineThreadKind::Worker;
    thread->userThread = kind == MachineThreadKind::User;
    thread->isProcessor = kind == MachineThreadKind::Processor;
    {
        std::lock_guard<std::mutex> guard(threadsLock_);
        thread->processorNumber =
            kind == MachineThreadKind::Processor ? processor : ULONG(systemThreads_.size()) % ProcessorCount();
        systemThreads_.push_back(thread);
    }
    scheduler_->StartThread(thread, body, context);
    return thread;
}

std::vector<std::string> Machine::LiveSystemThreads() const
{
    std::lock_guard<std::mutex> guard(threadsLock_);
    std::vector<std::string> names;
    for (SimThread* thread : systemThreads_) {
        if (!thread->terminated && !thread->machineThread && !thread->userThread) {
            names.push_back(thread->name);
        }
    }
    return names;
}

void Machine::AppendDebuggerOutput(const std::string& text)
{
    std::lock_guard<std::mutex> guard(debuggerLock_);
    debuggerOutput_ += text;
}

std::string Machine::DebuggerOutput() const
{
    std::lock_guard<std::mutex> guard(debuggerLock_);
    return debuggerOutput_;
}

void Machine::AppendTraceOutput(const std::string& text)
{
    std::lock_guard<std::mutex> guard(debuggerLock_);
    traceOutput_ += text;
}

std::string Machine::TraceOutput() const
{
    std::lock_guard<std::mutex> guard(debuggerLock_);
    return traceOutput_;
}

void Machine::VerifyNothingLeaked()
{
    if (!pool_->LiveAllocations().empty()) {
        verifier_.Report("pool leaked", "\n" + pool_->LeakReport());
    }
    std::vector<std::string> threads = LiveSystemThreads();
    if (!threads.empty()) {
        std::string names;
        for (const std::string& name : threads) {
            names += " '" + name + "'";
        }
        verifier_.Report("system thread left running", names);
    }
    if (objects_.OpenHandleCount() != 0) {
        std::string handles;
        for (const std::string& handle : objects_.OpenHandleDescriptions()) {
            handles += " " + handle;
        }
        verifier_.Report("handle left open", handles);
    }
}

}  // namespace sim
