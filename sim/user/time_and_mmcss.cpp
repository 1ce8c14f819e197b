// Clocks and the multimedia class scheduler for user-mode callers. Every clock counts from the
// machine's boot, on the machine's one clock (virtual or real time).
#include "sim/registry/machine_registry.h"
#include "sim/user/user_machine.h"

namespace sim::user {

namespace {

// The clock interrupt's period, 15.625 ms in 100 ns units: the resolution of the tick count.
constexpr ULONGLONG kClockTick = 156250;

constexpr char16_t kTasksPath[] =
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Multimedia\\SystemProfile\\Tasks";

// A thread's registration with the multimedia class scheduler.
class MmcssTask final : public UserObject {
public:
    MmcssTask(SimThread* thread, DWORD index) : thread(thread), index(index) { }
    const char* TypeName() const override { return "AvrtTask"; }
    SimThread* thread;
    DWORD index;
    AVRT_PRIORITY priority = AVRT_PRIORITY_NORMAL;
};

std::mutex g_taskIndexLock;
DWORD g_nextTaskIndex = 1;

}  // namespace

}  // namespace sim::user

ULONGLONG GetTickCount64() { return KeQueryInterruptTime() / sim::user::kClockTick * sim::user::kClockTick / 10000; }

DWORD GetTickCount() { return DWORD(GetTickCount64()); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount)
{
    *lpPerformanceCount = KeQueryPerformanceCounter(nullptr);
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency)
{
    KeQueryPerformanceCounter(lpFrequency);
    return TRUE;
}

// Millisecond resolution, as with a timer period of 1 ms, which audio applications request.
DWORD timeGetTime() { return DWORD(KeQueryInterruptTime() / 10000); }

MMRESULT timeBeginPeriod(UINT uPeriod) { return uPeriod == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR; }

MMRESULT timeEndPeriod(UINT uPeriod) { return uPeriod == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR; }

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex)
{
    if (TaskName == nullptr || TaskIndex == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The tasks are the subkeys of the service's SystemProfile\Tasks key.
    if (!sim::registry::MachineRegistry().Exists(std::u16string(sim::user::kTasksPath) + u"\\" + TaskName)) {
        SetLastError(ERROR_INVALID_TASK_NAME);
        return nullptr;
    }
    DWORD index = *TaskIndex;
    {
        std::lock_guard<std::mutex> held(sim::user::g_taskIndexLock);
        if (index == 0) {
            index = sim::user::g_nextTaskIndex++;
        } else if (index >= sim::user::g_nextTaskIndex) {
            SetLastError(ERROR_INVALID_TASK_INDEX);
            return nullptr;
        }
    }
    *TaskIndex = index;
    auto task = std::make_shared<sim::user::MmcssTask>(sim::CurrentSimThread(), index);
    return sim::user::InsertHandle(task, task->AllAccess());
}

BOOL AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority)
{
    auto task = sim::user::ReferenceHandleAs<sim::user::MmcssTask>(AvrtHandle, 0, __func__);
    if (task == nullptr) {
        return FALSE;
    }
    if (Priority < AVRT_PRIORITY_VERYLOW || Priority > AVRT_PRIORITY_CRITICAL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    task->priority = Priority;
    return TRUE;
}

BOOL AvRevertMmThreadCharacteristics(HANDLE AvrtHandle)
{
    if (sim::user::ReferenceHandleAs<sim::user::MmcssTask>(AvrtHandle, 0, __func__) == nullptr) {
        return FALSE;
    }
    return CloseHandle(AvrtHandle);
}
