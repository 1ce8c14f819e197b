// A simulated processor: a thread that runs the DPCs queued to it at DISPATCH_LEVEL, in queue
// order (high-importance DPCs go to the front, as on Windows).
//
// Threads are bound to a processor (SimThread::processorNumber). As on Windows, a DPC runs only
// while its processor is below DISPATCH_LEVEL: while any thread bound to it is at DISPATCH_LEVEL or
// above (raised, or holding a spin lock) its queued DPCs wait; and a thread raising its IRQL waits
// for a DPC its processor is running to return, since on a real processor the DPC had interrupted
// that thread and the thread only continues once the DPC is done.
#pragma once

#include <mutex>
#include <vector>

#include "sim/api/kernel_objects.h"

namespace sim {

class Machine;
struct SimThread;

class Processor {
public:
    Processor(Machine& machine, ULONG number);
    void Start();
    void Stop();  // runs what is queued, then ends the thread

    bool QueueLocked(KDPC* dpc);
    static bool RemoveLocked(KDPC* dpc);

    // A thread bound to this processor goes to DISPATCH_LEVEL or above (false while a DPC runs
    // here: the caller lets it finish and tries again), and comes back below it.
    bool TryRaiseLocked();
    void LowerLocked();

private:
    static void Run(void* self);
    void Loop();

    Machine& machine_;
    ULONG number_;
    LIST_ENTRY queue_;
    KEVENT wake_;
    bool exit_ = false;
    SimThread* thread_ = nullptr;
    int raisedThreads_ = 0;
    bool runningDpc_ = false;
};

// The system worker threads: work items run one at a time per worker at PASSIVE_LEVEL.
class WorkQueue {
public:
    WorkQueue(Machine& machine, ULONG workers);
    void Start();
    void Stop();
    void Queue(PWORK_QUEUE_ITEM item);

private:
    static void Run(void* self);
    void Loop();

    Machine& machine_;
    ULONG workerCount_;
    LIST_ENTRY queue_;
    KSEMAPHORE pending_;
    bool exit_ = false;
    std::vector<SimThread*> workers_;
};

// Checks made after every DPC and work item: the routine must leave the IRQL it was called at
// and hold no spin lock.
void VerifyRoutineReturn(SimThread* thread, KIRQL expected, const char* what, const void* routine);

}  // namespace sim
