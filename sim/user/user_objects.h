// The Win32 subsystem's own state on the simulated machine: objects that user handles refer to,
// processes with their handle tables, and the per-thread state (last error, COM apartment).
// Internal to sim/user; product code sees only sim/api/user*.h.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/api/kernel.h"
#include "sim/api/user.h"
#include "sim/kernel/machine.h"

namespace sim::user {

// What a user handle refers to. Waitable objects hand out the dispatcher object a wait blocks on.
class UserObject {
public:
    virtual ~UserObject() = default;
    virtual const char* TypeName() const = 0;
    virtual DISPATCHER_HEADER* Waitable() { return nullptr; }
    // A handle to it has been closed (the last handle of a file sends its cleanup).
    virtual void HandleClosed() { }
    virtual void HandleDuplicated() { }
    // Access that creating the object grants.
    virtual ACCESS_MASK AllAccess() const { return STANDARD_RIGHTS_ALL | 0xFFFF; }
};
using ObjectRef = std::shared_ptr<UserObject>;

struct HandleEntry {
    ObjectRef object;
    ACCESS_MASK access = 0;
};

class Process;

// KTHREAD.Win32Thread: what user mode keeps per thread.
struct Win32Thread {
    Process* process = nullptr;
    DWORD id = 0;
    DWORD lastError = 0;
    int priority = THREAD_PRIORITY_NORMAL;
    int comInitializations = 0;
    DWORD comModel = 0;
    ObjectRef object;          // the thread's own object, which its handles refer to
};

// A thread as handles see it: waitable, signalled when the thread has ended.
class ThreadObject final : public UserObject {
public:
    explicit ThreadObject(SimThread* thread);
    ~ThreadObject() override;
    const char* TypeName() const override { return "Thread"; }
    DISPATCHER_HEADER* Waitable() override;
    ACCESS_MASK AllAccess() const override { return THREAD_ALL_ACCESS; }

    SimThread* Thread() const { return thread_; }
    DWORD id = 0;
    // A thread created suspended waits at its start until ResumeThread has brought the count to
    // zero (threads.cpp).
    std::shared_ptr<struct SuspendGate> suspendGate;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};

private:
    SimThread* thread_;
};

class Process final : public UserObject {
public:
    Process(DWORD id, std::u16string imagePath, std::u16string commandLine, ULONG session);
    const char* TypeName() const override { return "Process"; }
    DISPATCHER_HEADER* Waitable() override { return &ended_.Header; }
    ACCESS_MASK AllAccess() const override { return STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF; }

    DWORD Id() const { return id_; }
    ULONG Session() const { return session_; }
    // The process that started this one with CreateProcessW; 0 for one a test or tool made.
    DWORD parentId = 0;
    const std::u16string& ImagePath() const { return imagePath_; }
    std::u16string& CommandLine() { return commandLine_; }

    // The handle table: values are multiples of four, as on Windows.
    HANDLE Insert(ObjectRef object, ACCESS_MASK access);
    bool Lookup(HANDLE handle, HandleEntry& entry);
    ObjectRef Remove(HANDLE handle);
    size_t HandleCount();

    // Threads: counted while they run; the last one to end ends the process.
    void AddThread(SimThread* thread);
    // Returns true when `thread` was the last.
    bool RemoveThread(SimThread* thread);
    std::vector<SimThread*> Threads();

    bool Ended();
    DWORD ExitCode();
    void SetExitCode(DWORD code);
    // Closes every handle and signals the process object.
    void Finish();

private:
    const DWORD id_;
    const std::u16string imagePath_;
    std::u16string commandLine_;
    const ULONG session_;
    std::mutex lock_;
    std::map<uintptr_t, HandleEntry> handles_;
    uintptr_t nextHandle_ = 4;
    std::vector<SimThread*> threads_;
    DWORD exitCode_ = STILL_ACTIVE;
    bool exitCodeSet_ = false;
    bool finished_ = false;
    KEVENT ended_;
};
using ProcessRef = std::shared_ptr<Process>;

// The calling thread's Win32 state; a Win32 call from a thread of no simulated process is a
// fatal error with a clear message.
Win32Thread& CurrentWin32Thread(const char* function);
Process& CurrentProcess(const char* function);
ProcessRef CurrentProcessRef(const char* function);

// RtlNtStatusToDosError for the statuses the machine produces.
DWORD DosErrorFromStatus(NTSTATUS status);
void SetLastErrorFromStatus(NTSTATUS status);

// Handles of the calling process. Pseudo-handles of the current process and thread resolve too.
// On failure the last error is set (ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED) and null returned.
ObjectRef ReferenceHandle(HANDLE handle, ACCESS_MASK desiredAccess, const char* function);
template <class T> std::shared_ptr<T> ReferenceHandleAs(HANDLE handle, ACCESS_MASK desiredAccess, const char* function)
{
    ObjectRef object = ReferenceHandle(handle, desiredAccess, function);
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (object != nullptr && typed == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
    }
    return typed;
}
HANDLE InsertHandle(ObjectRef object, ACCESS_MASK access);

// Generic rights mapped to an object's specific rights, as the object manager does.
ACCESS_MASK MapGenericAccess(ACCESS_MASK access, ACCESS_MASK read, ACCESS_MASK write, ACCESS_MASK all);

// Milliseconds as a machine deadline (INFINITE: none).
int64_t DeadlineAfterMilliseconds(DWORD milliseconds);

// Waits on dispatcher objects for a user-mode caller: runs user APCs of an alertable wait (and
// returns STATUS_USER_APC then), ends the thread when its process is being terminated.
NTSTATUS UserModeWait(DISPATCHER_HEADER** objects, ULONG count, WAIT_TYPE type, int64_t deadline, bool alertable);

}  // namespace sim::user
