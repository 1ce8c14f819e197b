// Threads for user-mode callers: creation, exit, exit codes and priorities.
#include <cstdio>

#include "sim/user/user_machine.h"

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    sim::user::Process& process = sim::user::CurrentProcess(__func__);
    if (lpStartAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Threads start at once: the product creates none suspended.
    if ((dwCreationFlags & CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    char name[64];
    std::snprintf(name, sizeof name, "user thread %p of process %lu", reinterpret_cast<void*>(lpStartAddress),
                  static_cast<unsigned long>(process.Id()));
    sim::user::ObjectRef thread = sim::user::StartThread(process, name, lpStartAddress, lpParameter, lpThreadId);
    return sim::user::InsertHandle(thread, thread->AllAccess());
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
