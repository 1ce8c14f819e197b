// Waits, sleeps and user APCs for user-mode callers, through the simulated scheduler.
#include "sim/user/user_machine.h"

namespace sim::user {

NTSTATUS UserModeWait(DISPATCHER_HEADER** objects, ULONG count, WAIT_TYPE type, int64_t deadline, bool alertable)
{
    Scheduler& scheduler = Machine::Current().Dispatcher();
    SimThread* self = RequireCurrentThread("wait");
    NTSTATUS status;
    {
        auto held = scheduler.Lock();
        status = scheduler.WaitLocked(held, objects, count, type, deadline, UserMode, alertable);
    }
    if (status == STATUS_THREAD_IS_TERMINATING) {
        TerminateCurrentThread(CurrentProcess("wait").ExitCode());
    }
    if (status == STATUS_USER_APC) {
        // Every queued APC runs before the wait returns, in the order they were queued.
        while (true) {
            std::function<void()> apc;
            {
                auto held = scheduler.Lock();
                if (self->userApcs.empty()) {
                    break;
                }
                apc = std::move(self->userApcs.front());
                self->userApcs.pop_front();
            }
            apc();
        }
    }
    return status;
}

}  // namespace sim::user

namespace {

DWORD WaitResult(NTSTATUS status)
{
    if (status == STATUS_USER_APC) {
        return WAIT_IO_COMPLETION;
    }
    if (status == STATUS_TIMEOUT) {
        return WAIT_TIMEOUT;
    }
    return DWORD(status);  // WAIT_OBJECT_0 + i and WAIT_ABANDONED_0 + i share the status values
}

}  // namespace

DWORD WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                               BOOL bAlertable)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<sim::user::ObjectRef> objects;
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; ++i) {
        sim::user::ObjectRef object = sim::user::ReferenceHandle(lpHandles[i], SYNCHRONIZE, __func__);
        if (object == nullptr) {
            return WAIT_FAILED;
        }
        headers[i] = object->Waitable();
        if (headers[i] == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        // A wait for all of them cannot name one object twice (STATUS_INVALID_PARAMETER_MIX).
        for (DWORD k = 0; bWaitAll && k < i; ++k) {
            if (headers[k] == headers[i]) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        }
        objects.push_back(std::move(object));
    }
    const NTSTATUS status = sim::user::UserModeWait(headers, nCount, bWaitAll ? WaitAll : WaitAny,
                                                    sim::user::DeadlineAfterMilliseconds(dwMilliseconds),
                                                    bAlertable != FALSE);
    return WaitResult(status);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    return WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable)
{
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, bAlertable);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, FALSE);
}

DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable)
{
    const NTSTATUS status = sim::user::UserModeWait(nullptr, 0, WaitAny,
                                                    sim::user::DeadlineAfterMilliseconds(dwMilliseconds),
                                                    bAlertable != FALSE);
    return status == STATUS_USER_APC ? WAIT_IO_COMPLETION : 0;
}

void Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

DWORD QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData)
{
    auto thread = sim::user::ReferenceHandleAs<sim::user::ThreadObject>(hThread, 0x0010, __func__);
    if (thread == nullptr) {
        return 0;
    }
    sim::Scheduler& scheduler = sim::Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    if (thread->Thread()->terminated) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    scheduler.QueueUserApcLocked(thread->Thread(), [pfnAPC, dwData] { pfnAPC(dwData); });
    return 1;
}
