#include "sim/user/user_machine.h"

#include <pthread.h>

#include "sim/io/io_manager.h"
#include "sim/registry/store.h"

namespace sim::user {

UserMachine& Users() { return Machine::Current().Component<UserMachine>(); }

// A test or tool that leaves a process running has lost track of it; its threads are ended the
// way TerminateProcess ends them so that none outlives the machine.
UserMachine::~UserMachine()
{
    std::vector<ProcessRef> running;
    {
        std::lock_guard<std::mutex> held(lock_);
        for (const ProcessRef& process : processes_) {
            if (!process->Ended() && !process->Threads().empty()) {
                running.push_back(process);
            }
        }
    }
    for (const ProcessRef& process : running) {
        Machine::Current().Verify().Report("process left running",
                                           "at shutdown: " + io::Narrow(process->ImagePath()));
        Scheduler& scheduler = Machine::Current().Dispatcher();
        auto held = scheduler.Lock();
        for (SimThread* thread : process->Threads()) {
            scheduler.RequestTerminationLocked(thread);
        }
    }
    std::vector<SimThread*> threads;
    {
        std::lock_guard<std::mutex> held(lock_);
        threads.swap(hostThreads_);
    }
    for (SimThread* thread : threads) {
        Machine::Current().Dispatcher().JoinThread(thread);
        Machine::Current().Objects().Release(thread);
    }
}

DWORD UserMachine::NewId()
{
    std::lock_guard<std::mutex> held(lock_);
    const DWORD id = nextId_;
    nextId_ += 4;
    return id;
}

ProcessRef UserMachine::NewProcess(const std::u16string& imagePath, const std::u16string& commandLine, ULONG session)
{
    auto process = std::make_shared<Process>(NewId(), imagePath, commandLine, session);
    std::lock_guard<std::mutex> held(lock_);
    processes_.push_back(process);
    return process;
}

size_t UserMachine::RunningProcesses()
{
    std::lock_guard<std::mutex> held(lock_);
    size_t running = 0;
    for (const ProcessRef& process : processes_) {
        running += process->Ended() ? 0 : 1;
    }
    return running;
}

std::vector<ProcessRef> UserMachine::ProcessesSnapshot()
{
    std::lock_guard<std::mutex> held(lock_);
    return processes_;
}

void UserMachine::RegisterProgram(const std::u16string& imagePath, ProgramMain main)
{
    std::lock_guard<std::mutex> held(lock_);
    programs_[registry::UpcaseName(imagePath)] = main;
}

ProgramMain UserMachine::FindProgram(const std::u16string& imagePath)
{
    std::lock_guard<std::mutex> held(lock_);
    auto found = programs_.find(registry::UpcaseName(imagePath));
    return found == programs_.end() ? nullptr : found->second;
}

void UserMachine::AdoptHostThread(SimThread* thread)
{
    std::lock_guard<std::mutex> held(lock_);
    hostThreads_.push_back(thread);
}

}  // namespace sim::user
