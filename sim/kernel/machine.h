// One simulated Windows machine: clock and scheduler, processors that run DPCs, system worker
// threads, pool, objects and handles, the verifier and the kernel debugger's output. A test or
// the r9sim tool creates exactly one; every kernel call of the product goes to the current one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <vector>

#include "sim/api/kernel_objects.h"
#include "sim/api/kernel_version.h"
#include "sim/kernel/object_manager.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/verifier.h"

namespace sim {

struct MachineOptions {
    ClockMode clock = ClockMode::Virtual;
    ULONG processors = 2;
    ULONG workerThreads = 2;
    // What RtlIsNtDdiVersionAvailable answers to: an NTDDI_* version.
    ULONG windowsVersion = NTDDI_WIN10;
};

class Processor;
class WorkQueue;

// State of another part of the platform (I/O manager, registry, USB bus) that lives exactly as
// long as one machine. Made on first use; destroyed with the machine after its threads have
// stopped and before the final leak checks.
class MachineComponent {
public:
    virtual ~MachineComponent() = default;
};

// Threads of the machine itself (processors, system workers) are not the product's: they are
// expected to outlive any driver and are not reported as left running. User-mode threads belong
// to their simulated process, which accounts for them.
enum class MachineThreadKind { Product, Processor, Worker, User };

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine kernel calls go to; a call with no machine is a fatal error with a clear message.
    static Machine& Current();
    static bool Exists();

    const MachineOptions& Options() const { return options_; }
    Scheduler& Dispatcher() { return *scheduler_; }
    Verifier& Verify() { return verifier_; }
    Pool& Pools() { return *pool_; }
    ObjectManager& Objects() { return objects_; }

    int64_t Now() const { return scheduler_->NowNanoseconds(); }
    // Lets simulated time pass on the calling thread (a kernel delay at PASSIVE_LEVEL).
    void RunFor(int64_t nanoseconds);

    // The machine's one T (a MachineComponent with a default constructor), made on first use.
    template <class T> T& Component()
    {
        std::lock_guard<std::recursive_mutex> guard(componentsLock_);
        std::unique_ptr<MachineComponent>& slot = components_[std::type_index(typeid(T))];
        if (slot == nullptr) {
            slot = std::make_unique<T>();
            componentOrder_.push_back(slot.get());
        }
        return static_cast<T&>(*slot);
    }

    // DPCs and work items.
    ULONG ProcessorCount() const { return ULONG(processors_.size()); }
    bool QueueDpcLocked(KDPC* dpc, PVOID argument1, PVOID argument2);
    bool RemoveDpcLocked(KDPC* dpc);
    Processor& ProcessorOf(const SimThread* thread);
    void FlushDpcs();
    void QueueWorkItem(PWORK_QUEUE_ITEM item);

    // Threads started by the product (system threads) or by tests, with their names.
    SimThread* CreateThread(const std::string& name, void (*body)(void*), void* context,
                            MachineThreadKind kind = MachineThreadKind::Product, ULONG processor = 0);
    std::vector<std::string> LiveSystemThreads() const;

    // Kernel debugger output as a default-configured debugger shows it (DbgPrint and DbgPrintEx
    // at the error level), in order; and the more verbose DbgPrintEx levels apart from it.
    void AppendDebuggerOutput(const std::string& text);
    std::string DebuggerOutput() const;
    void AppendTraceOutput(const std::string& text);
    std::string TraceOutput() const;

    // Reports to the verifier every allocation, handle and system thread still alive. The
    // destructor does this too; tests call it where a driver's unload should have freed everything.
    void VerifyNothingLeaked();

private:
    MachineOptions options_;
    Verifier verifier_;
    ObjectManager objects_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<Scheduler> scheduler_;
    SimThread* creator_ = nullptr;
    std::vector<std::unique_ptr<Processor>> processors_;
    std::unique_ptr<WorkQueue> workQueue_;
    mutable std::mutex threadsLock_;
    std::vector<SimThread*> systemThreads_;
    std::recursive_mutex componentsLock_;  // a component's constructor may ask for another
    std::map<std::type_index, std::unique_ptr<MachineComponent>> components_;
    std::vector<MachineComponent*> componentOrder_;
    mutable std::mutex debuggerLock_;
    std::string debuggerOutput_;
    std::string traceOutput_;
};

// Every change of a thread's IRQL goes through here, so that its processor holds off its DPCs
// while the thread is at DISPATCH_LEVEL or above (see processor.h). Processors themselves run at
// DISPATCH_LEVEL while they run DPCs and are not counted.
void SetThreadIrql(SimThread* thread, KIRQL irql);

// The thread on which a kernel call runs; reports a call from a host thread the machine does not
// know and returns null then.
SimThread* RequireCurrentThread(const char* function);

// A thread must end at PASSIVE_LEVEL holding no spin lock.
void VerifyThreadExit(SimThread* thread);

}  // namespace sim
