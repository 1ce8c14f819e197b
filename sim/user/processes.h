// Simulated processes for tests and tools: programs known by image path, and a scope that makes
// the calling thread a process's thread.
//
//   sim::user::RegisterProgram(u"C:\\Program Files\\TAVO\\tvr9audiocp.exe", &PanelMain);
//   sim::user::ProcessScope host(u"C:\\host.exe");   // this thread is now host.exe's
//   CreateProcessW(L"C:\\Program Files\\TAVO\\tvr9audiocp.exe", ...);
//
// Each process has its own handle table, last errors, COM apartments and loaded modules; named
// objects, the registry and devices are the machine's. The product's code is one copy in the host
// program, so a global variable of a DLL would be shared by every process that loads it: the
// product keeps process-wide state in the objects a process creates, never in globals. Threads run on the simulated scheduler,
// so every wait takes virtual time on a virtual-time machine.
//
// A process ends when its last thread ends, by ExitProcess or by TerminateProcess: its other
// threads end at their next user-mode wait (as Windows ends them without running their
// destructors, a terminated host thread is parked, never unwound), their I/O is cancelled and
// waited for, the mutexes they own are abandoned, and its handles are closed.
#pragma once

#include <string>

#include "sim/api/user.h"

namespace sim::user {

// A program's entry point: argc and argv from its command line, as wmain receives them. Its
// return value is the process's exit code.
using ProgramMain = int (*)(int argc, WCHAR** argv);

// Makes `main` the program CreateProcessW starts for `imagePath` (compared without case).
void RegisterProgram(const std::u16string& imagePath, ProgramMain main);

class ProcessScope {
public:
    // Makes the calling thread (which must belong to no process) the only thread of a new
    // process, in session 1 unless told otherwise.
    explicit ProcessScope(const std::u16string& imagePath, ULONG session = 1);
    // Ends the process as when its last thread exits; the thread itself lives on.
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

    DWORD Id() const { return id_; }

private:
    DWORD id_;
};

// Processes still running; the machine reports any left at shutdown.
size_t RunningProcesses();

}  // namespace sim::user
