// The Win32 subsystem of one simulated machine: its processes and their ids, the programs
// CreateProcessW can start, the object namespace of named events and mutexes, and the in-process
// COM servers. Internal to sim/user.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/user/processes.h"
#include "sim/user/user_objects.h"

namespace sim::user {

class UserMachine final : public MachineComponent {
public:
    ~UserMachine() override;

    // Process and thread ids share one sequence of multiples of four, as on Windows.
    DWORD NewId();
    ProcessRef NewProcess(const std::u16string& imagePath, const std::u16string& commandLine, ULONG session);
    size_t RunningProcesses();
    std::vector<ProcessRef> ProcessesSnapshot();

    void RegisterProgram(const std::u16string& imagePath, ProgramMain main);
    ProgramMain FindProgram(const std::u16string& imagePath);

    // Host threads of user-mode threads, joined when the machine goes.
    void AdoptHostThread(SimThread* thread);

    // The object namespace: "\BaseNamedObjects\name" or "\Sessions\N\BaseNamedObjects\name".
    std::mutex namespaceLock;
    std::map<std::u16string, std::weak_ptr<UserObject>> namedObjects;

private:
    std::mutex lock_;
    DWORD nextId_ = 0x100;
    std::vector<ProcessRef> processes_;
    std::map<std::u16string, ProgramMain> programs_;
    std::vector<SimThread*> hostThreads_;
};

UserMachine& Users();

std::vector<std::u16string> SplitCommandLine(const std::u16string& commandLine);

// A user thread created for `process`; its handle object is returned.
ObjectRef StartThread(Process& process, const std::string& name, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                      DWORD* threadId);

// The end of the calling thread as Windows runs it: its I/O cancelled and waited for, its
// mutexes abandoned, its exit code kept; the last thread of a process closes the process's
// handles. The host thread may then return from its body.
void EndCurrentThreadState(DWORD exitCode);
// ExitProcess from the calling thread: the other threads are terminated and waited for first.
void EndProcessFromTop(DWORD exitCode);
// ExitThread, or the end of a terminated thread: the host thread never returns.
[[noreturn]] void TerminateCurrentThread(DWORD exitCode);
[[noreturn]] void LeaveSimulationAndPark();

// kernel32, which every process has loaded (process_queries.cpp).
bool IsKernel32(LPCWSTR name);
HMODULE Kernel32Module();

// In-process servers loaded by the process (com.cpp).
void UnloadModules(Process& process);
bool ModulePath(Process& process, HMODULE module, std::u16string& path);

}  // namespace sim::user
