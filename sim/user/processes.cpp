// Processes and threads of the Win32 subsystem: creation, the handle table, the end of a thread
// and of a process, ExitProcess, TerminateProcess, CreateProcessW (processes.h).
#include "sim/user/processes.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>

#include "sim/io/io_manager.h"
#include "sim/io/user_files.h"
#include "sim/registry/store.h"
#include "sim/user/user_machine.h"

namespace sim::user {

namespace {

// A host thread whose simulated thread has been terminated waits here for good: Windows ends a
// thread without unwinding it, so nothing of the product's may run on it any more.
[[noreturn]] void ParkForever()
{
    // Made once and never destroyed: the parked threads wait on it while the program exits.
    struct ParkingLot {
        std::mutex lock;
        std::condition_variable never;
    };
    static ParkingLot* const lot = new ParkingLot;
    pthread_detach(pthread_self());
    std::unique_lock<std::mutex> held(lot->lock);
    while (true) {
        lot->never.wait(held);
    }
}

void DetachFromScheduler()
{
    CurrentSimThread()->hostJoinable = false;
    Scheduler& scheduler = Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    scheduler.DetachCurrentThreadLocked(held);
}

// IoCancelThreadIo: the thread's requests are cancelled and waited for, polling as Windows does.
void RundownThreadIo(SimThread* self)
{
    LARGE_INTEGER poll;
    poll.QuadPart = -10 * 10000;  // 10 ms
    while (io::CancelThreadRequests(nullptr, self) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &poll);
    }
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

void RunUserThread(void* context)
{
    ThreadStart start = *static_cast<ThreadStart*>(context);
    delete static_cast<ThreadStart*>(context);
    const DWORD code = start.routine(start.parameter);
    EndCurrentThreadState(code);
}

struct MainStart {
    ProgramMain main;
};

void RunProgramMain(void* context)
{
    MainStart start = *static_cast<MainStart*>(context);
    delete static_cast<MainStart*>(context);
    Process& process = CurrentProcess("main");
    std::vector<std::u16string> arguments = SplitCommandLine(process.CommandLine());
    std::vector<WCHAR*> argv;
    for (std::u16string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int code = start.main(int(arguments.size()), argv.data());
    // Returning from main ends the process, as the C run-time's exit does.
    EndProcessFromTop(DWORD(code));
}

}  // namespace

std::vector<std::u16string> SplitCommandLine(const std::u16string& commandLine)
{
    std::vector<std::u16string> arguments;
    size_t i = 0;
    while (i < commandLine.size()) {
        while (i < commandLine.size() && (commandLine[i] == u' ' || commandLine[i] == u'\t')) {
            ++i;
        }
        if (i == commandLine.size()) {
            break;
        }
        std::u16string argument;
        bool quoted = false;
        for (; i < commandLine.size() && (quoted || (commandLine[i] != u' ' && commandLine[i] != u'\t')); ++i) {
            if (commandLine[i] == u'"') {
                quoted = !quoted;
            } else {
                argument.push_back(commandLine[i]);
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

ThreadObject::ThreadObject(SimThread* thread) : thread_(thread) { thread_->AddRef(); }

ThreadObject::~ThreadObject() { Machine::Current().Objects().Release(thread_); }

DISPATCHER_HEADER* ThreadObject::Waitable() { return &thread_->kthread.Header; }

Process::Process(DWORD id, std::u16string imagePath, std::u16string commandLine, ULONG session)
    : id_(id), imagePath_(std::move(imagePath)), commandLine_(std::move(commandLine)), session_(session)
{
    KeInitializeEvent(&ended_, NotificationEvent, FALSE);
}

HANDLE Process::Insert(ObjectRef object, ACCESS_MASK access)
{
    std::lock_guard<std::mutex> held(lock_);
    const uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = HandleEntry{std::move(object), access};
    return reinterpret_cast<HANDLE>(value);
}

bool Process::Lookup(HANDLE handle, HandleEntry& entry)
{
    std::lock_guard<std::mutex> held(lock_);
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles_.end()) {
        return false;
    }
    entry = found->second;
    return true;
}

ObjectRef Process::Remove(HANDLE handle)
{
    std::lock_guard<std::mutex> held(lock_);
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles_.end()) {
        return nullptr;
    }
    ObjectRef object = std::move(found->second.object);
    handles_.erase(found);
    return object;
}

size_t Process::HandleCount()
{
    std::lock_guard<std::mutex> held(lock_);
    return handles_.size();
}

void Process::AddThread(SimThread* thread)
{
    std::lock_guard<std::mutex> held(lock_);
    threads_.push_back(thread);
}

bool Process::RemoveThread(SimThread* thread)
{
    std::lock_guard<std::mutex> held(lock_);
    for (auto it = threads_.begin(); it != threads_.end(); ++it) {
        if (*it == thread) {
            threads_.erase(it);
            break;
        }
    }
    return threads_.empty();
}

std::vector<SimThread*> Process::Threads()
{
    std::lock_guard<std::mutex> held(lock_);
    return threads_;
}

bool Process::Ended()
{
    std::lock_guard<std::mutex> held(lock_);
    return finished_;
}

DWORD Process::ExitCode()
{
    std::lock_guard<std::mutex> held(lock_);
    return exitCode_;
}

void Process::SetExitCode(DWORD code)
{
    std::lock_guard<std::mutex> held(lock_);
    if (!exitCodeSet_) {
        exitCode_ = code;
        exitCodeSet_ = true;
    }
}

void Process::Finish()
{
    // Handles close in the order they were made; a file's last handle sends its cleanup here.
    while (true) {
        HandleEntry entry;
        {
            std::lock_guard<std::mutex> held(lock_);
            if (handles_.empty()) {
                finished_ = true;
                break;
            }
            entry = std::move(handles_.begin()->second);
            handles_.erase(handles_.begin());
        }
        entry.object->HandleClosed();
    }
    UnloadModules(*this);
    KeSetEvent(&ended_, IO_NO_INCREMENT, FALSE);
}

void EndCurrentThreadState(DWORD exitCode)
{
    SimThread* self = RequireCurrentThread("ExitThread");
    auto* win32 = static_cast<Win32Thread*>(self->win32Thread);
    RundownThreadIo(self);
    {
        Scheduler& scheduler = Machine::Current().Dispatcher();
        auto held = scheduler.Lock();
        scheduler.AbandonOwnedMutantsLocked(self);
    }
    static_cast<ThreadObject&>(*win32->object).exitCode = exitCode;
    Process* process = win32->process;
    // As on Windows, a process that ends by its threads ending takes the last thread's exit code
    // (ExitProcess and TerminateProcess set theirs before any thread ends, and the first set stays).
    if (process->RemoveThread(self)) {
        process->SetExitCode(exitCode);
        process->Finish();
    }
    self->win32Thread = nullptr;
    delete win32;
}

void EndProcessFromTop(DWORD exitCode)
{
    Win32Thread& self = CurrentWin32Thread("ExitProcess");
    Process* process = self.process;
    process->SetExitCode(exitCode);
    SimThread* current = CurrentSimThread();
    Scheduler& scheduler = Machine::Current().Dispatcher();
    std::vector<SimThread*> others;
    {
        auto held = scheduler.Lock();
        for (SimThread* thread : process->Threads()) {
            if (thread != current) {
                scheduler.RequestTerminationLocked(thread);
                others.push_back(thread);
            }
        }
    }
    for (SimThread* thread : others) {
        KeWaitForSingleObject(&thread->kthread, Executive, KernelMode, FALSE, nullptr);
    }
    EndCurrentThreadState(exitCode);
}

void LeaveSimulationAndPark()
{
    DetachFromScheduler();
    ParkForever();
}

void TerminateCurrentThread(DWORD exitCode)
{
    EndCurrentThreadState(exitCode);
    LeaveSimulationAndPark();
}

namespace {

// A new user-mode thread of `process` that runs `body`; its handle object is returned.
ObjectRef NewUserThread(Process& process, const std::string& name, void (*body)(void*), void* context, DWORD* threadId)
{
    auto* win32 = new Win32Thread;
    win32->process = &process;
    win32->id = Users().NewId();
    auto* thread = new SimThread(name);
    Machine::Current().Objects().Register(thread);
    thread->userThread = true;
    thread->win32Thread = win32;
    auto object = std::make_shared<ThreadObject>(thread);
    object->id = win32->id;
    win32->object = object;
    process.AddThread(thread);
    Users().AdoptHostThread(thread);
    Machine::Current().Dispatcher().StartThread(thread, body, context);
    if (threadId != nullptr) {
        *threadId = object->id;
    }
    return object;
}

}  // namespace

ObjectRef StartThread(Process& process, const std::string& name, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                      DWORD* threadId)
{
    return NewUserThread(process, name, &RunUserThread, new ThreadStart{routine, parameter}, threadId);
}

namespace {

ProcessRef CreateProcessWithMain(const std::u16string& imagePath, const std::u16string& commandLine, ULONG session,
                                 DWORD parentId, ProgramMain main, ObjectRef& mainThread)
{
    ProcessRef process = Users().NewProcess(imagePath, commandLine, session);
    process->parentId = parentId;
    mainThread = NewUserThread(*process, "main thread of " + io::Narrow(imagePath), &RunProgramMain,
                               new MainStart{main}, nullptr);
    return process;
}

}  // namespace

ProcessScope::ProcessScope(const std::u16string& imagePath, ULONG session)
{
    SimThread* thread = RequireCurrentThread("ProcessScope");
    if (thread->win32Thread != nullptr) {
        std::fprintf(stderr, "simulated machine: ProcessScope on a thread that already belongs to a process\n");
        std::abort();
    }
    ProcessRef process = Users().NewProcess(imagePath, u"\"" + imagePath + u"\"", session);
    auto* win32 = new Win32Thread;
    win32->process = process.get();
    win32->id = Users().NewId();
    auto object = std::make_shared<ThreadObject>(thread);
    object->id = win32->id;
    win32->object = object;
    thread->win32Thread = win32;
    process->AddThread(thread);
    id_ = process->Id();
}

ProcessScope::~ProcessScope() { EndProcessFromTop(0); }

size_t RunningProcesses() { return Users().RunningProcesses(); }

void RegisterProgram(const std::u16string& imagePath, ProgramMain main) { Users().RegisterProgram(imagePath, main); }

}  // namespace sim::user

using sim::user::CurrentProcess;
using sim::user::CurrentWin32Thread;

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(LONG_PTR(-1)); }

DWORD GetCurrentProcessId() { return CurrentProcess(__func__).Id(); }

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(LONG_PTR(-2)); }

DWORD GetCurrentThreadId() { return CurrentWin32Thread(__func__).id; }

LPWSTR GetCommandLineW() { return reinterpret_cast<LPWSTR>(CurrentProcess(__func__).CommandLine().data()); }

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    std::u16string path;
    if (hModule == nullptr) {
        path = CurrentProcess(__func__).ImagePath();
    } else if (!sim::user::ModulePath(CurrentProcess(__func__), hModule, path)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // A path that does not fit is cut to nSize - 1 characters, terminated, and reported with
    // ERROR_INSUFFICIENT_BUFFER and the full buffer size (Vista and later).
    if (path.size() >= nSize) {
        path.copy(lpFilename, nSize - 1);
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    path.copy(lpFilename, path.size());
    lpFilename[path.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return DWORD(path.size());
}

void ExitProcess(UINT uExitCode)
{
    sim::user::EndProcessFromTop(uExitCode);
    sim::user::LeaveSimulationAndPark();
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    auto process = sim::user::ReferenceHandleAs<sim::user::Process>(hProcess, 0x0001, __func__);
    if (process == nullptr) {
        return FALSE;
    }
    if (process.get() == &CurrentProcess(__func__)) {
        ExitProcess(uExitCode);
    }
    if (process->Ended()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    process->SetExitCode(uExitCode);
    sim::Scheduler& scheduler = sim::Machine::Current().Dispatcher();
    auto held = scheduler.Lock();
    for (sim::SimThread* thread : process->Threads()) {
        scheduler.RequestTerminationLocked(thread);
    }
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode)
{
    auto process = sim::user::ReferenceHandleAs<sim::user::Process>(hProcess, 0x0400, __func__);
    if (process == nullptr) {
        return FALSE;
    }
    *lpExitCode = process->ExitCode();
    return TRUE;
}

BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL, DWORD dwCreationFlags, LPVOID, LPCWSTR, LPSTARTUPINFOW lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation)
{
    sim::user::Process& caller = CurrentProcess(__func__);
    if (lpStartupInfo == nullptr || lpProcessInformation == nullptr ||
        (lpApplicationName == nullptr && lpCommandLine == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string commandLine = lpCommandLine != nullptr ? std::u16string(lpCommandLine) : std::u16string();
    std::u16string image;
    if (lpApplicationName != nullptr) {
        image = lpApplicationName;
    } else {
        std::vector<std::u16string> words = sim::user::SplitCommandLine(commandLine);
        image = words.empty() ? std::u16string() : words.front();
    }
    sim::user::ProgramMain main = sim::user::Users().FindProgram(image);
    if (main == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    sim::user::ObjectRef thread;
    sim::user::ProcessRef process = sim::user::CreateProcessWithMain(
        image, commandLine.empty() ? u"\"" + image + u"\"" : commandLine, caller.Session(), caller.Id(), main, thread);
    lpProcessInformation->hProcess = sim::user::InsertHandle(process, process->AllAccess());
    lpProcessInformation->hThread = sim::user::InsertHandle(thread, thread->AllAccess());
    lpProcessInformation->dwProcessId = process->Id();
    lpProcessInformation->dwThreadId = static_cast<sim::user::ThreadObject&>(*thread).id;
    (void)dwCreationFlags;
    return TRUE;
}
