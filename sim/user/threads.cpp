// Threads for user-mode callers: creation, exit, exit codes and priorities.
#include <cstdio>

#include "sim/kernel/scheduler.h"
#include "sim/user/user_machine.h"

namespace sim::user {

struct SuspendGate {
    static DWORD Run(LPVOID context)
    {
        std::shared_ptr<SuspendGate> gate = *static_cast<std::shared_ptr<SuspendGate>*>(context);
        delete static_cast<std::shared_ptr<SuspendGate>*>(context);
        DISPATCHER_HEADER* resumed = &gate->resumed.Header;
        UserModeWait(&resumed, 1, WaitAny, kNoDeadline, false);
        return gate->routine(gate->parameter);
    }

    std::mutex lock;
    DWORD count = 1;
    KEVENT resumed;
    LPTHREAD_START_ROUTINE routine = nullptr;
    LPVOID parameter = nullptr;
};

}  // namespace sim::user

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    sim::user::Process& process = sim::user::CurrentProcess(__func__);
    if (lpStartAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char name[64];
    std::snprintf(name, sizeof name, "user thread %p of process %lu", reinterpret_cast<void*>(lpStartAddress),
                  static_cast<unsigned long>(process.Id()));
    if ((dwCreationFlags & CREATE_SUSPENDED) == 0) {
        sim::user::ObjectRef thread = sim::user::StartThread(process, name, lpStartAddress, lpParameter, lpThreadId);
        return sim::user::InsertHandle(thread, thread->AllAccess());
    }
    // A suspended thread exists (it has its id and handle) but runs none of its code until it
    // is resumed: here its host thread waits at the gate before the start routine.
    auto gate = std::make_shared<sim::user::SuspendGate>();
    KeInitializeEvent(&gate->resumed, NotificationEvent, FALSE);
    gate->routine = lpStartAddress;
    gate->parameter = lpParameter;
    auto* context = new std::shared_ptr<sim::user::SuspendGate>(gate);
    sim::user::ObjectRef thread = sim::user::StartThread(process, name, &sim::user::SuspendGate::Run, context, lpThreadId);
    std::static_pointer_cast<sim::user::ThreadObject>(thread)->suspendGate = gate;
    return sim::user::InsertHandle(thread, thread->AllAccess());
}

// Returns the suspend count before the call; a thread that is not suspended answers 0.
DWORD ResumeThread(HANDLE hThread)
{
    constexpr ACCESS_MASK kSuspendResume = 0x0002;  // THREAD_SUSPEND_RESUME
    auto thread = sim::user::ReferenceHandleAs<sim::user::ThreadObject>(hThread, kSuspendResume, __func__);
    if (thread == nullptr) {
        return DWORD(-1);
    }
    sim::user::SuspendGate* gate = thread->suspendGate.get();
    if (gate == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> held(gate->lock);
    const DWORD previous = gate->count;
    if (gate->count != 0 && --gate->count == 0) {
        KeSetEvent(&gate->resumed, IO_NO_INCREMENT, FALSE);
    }
    return previous;
}

void ExitThread(DWORD dwExitCode) { sim::user::TerminateCurrentThread(dwExitCode); }

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    auto thread = sim::user::ReferenceHandleAs<sim::user::ThreadObject>(hThread, 0x0040, __func__);
    if (thread == nullptr) {
        return FALSE;
    }
    *lpExitCode = thread->exitCode;
    return TRUE;
}

BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode)
{
    auto thread = sim::user::ReferenceHandleAs<sim::user::ThreadObject>(hThread, 0x0001, __func__);
    if (thread == nullptr) {
        return FALSE;
    }
    if (thread->Thread() == sim::CurrentSimThread()) {
        ExitThread(dwExitCode);
    }
    sim::Scheduler& scheduler = sim::Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    scheduler.RequestTerminationLocked(thread->Thread());
    return TRUE;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority)
{
    auto thread = sim::user::ReferenceHandleAs<sim::user::ThreadObject>(hThread, 0x0020, __func__);
    if (thread == nullptr) {
        return FALSE;
    }
    const bool valid = (nPriority >= THREAD_PRIORITY_LOWEST && nPriority <= THREAD_PRIORITY_HIGHEST) ||
                       nPriority == THREAD_PRIORITY_IDLE || nPriority == THREAD_PRIORITY_TIME_CRITICAL;
    if (!valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::Scheduler& scheduler = sim::Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    if (auto* win32 = static_cast<sim::user::Win32Thread*>(thread->Thread()->win32Thread)) {
        win32->priority = nPriority;
    }
    return TRUE;
}

int GetThreadPriority(HANDLE hThread)
{
    auto thread = sim::user::ReferenceHandleAs<sim::user::ThreadObject>(hThread, 0x0040, __func__);
    if (thread == nullptr) {
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    sim::Scheduler& scheduler = sim::Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    auto* win32 = static_cast<sim::user::Win32Thread*>(thread->Thread()->win32Thread);
    return win32 == nullptr ? THREAD_PRIORITY_NORMAL : win32->priority;
}
