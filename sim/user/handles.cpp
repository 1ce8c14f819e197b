// The calling thread's Win32 state, handles of the calling process, the last error and the
// status-to-error mapping, security descriptors, debugger output.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/user/user_machine.h"

namespace sim::user {

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(LONG_PTR(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(LONG_PTR(-2));

struct StatusError {
    NTSTATUS status;
    DWORD error;
};

// RtlNtStatusToDosError's table for the statuses the simulated machine produces.
constexpr StatusError kStatusErrors[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_TIMEOUT, WAIT_TIMEOUT},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_OBJECT_PATH_SYNTAX_BAD, ERROR_BAD_PATHNAME},
    {STATUS_MUTANT_NOT_OWNED, ERROR_NOT_OWNER},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_KEY_DELETED, ERROR_KEY_DELETED},
    {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
};

}  // namespace

DWORD DosErrorFromStatus(NTSTATUS status)
{
    for (const StatusError& entry : kStatusErrors) {
        if (entry.status == status) {
            return entry.error;
        }
    }
    return ERROR_MR_MID_NOT_FOUND;
}

void SetLastErrorFromStatus(NTSTATUS status) { ::SetLastError(DosErrorFromStatus(status)); }

Win32Thread& CurrentWin32Thread(const char* function)
{
    SimThread* thread = RequireCurrentThread(function);
    if (thread->win32Thread == nullptr) {
        std::fprintf(stderr,
                     "simulated machine: %s called on '%s', which belongs to no process (use "
                     "sim::user::ProcessScope or CreateProcessW)\n",
                     function, thread->name.c_str());
        std::abort();
    }
    return *static_cast<Win32Thread*>(thread->win32Thread);
}

Process& CurrentProcess(const char* function) { return *CurrentWin32Thread(function).process; }

ObjectRef ReferenceHandle(HANDLE handle, ACCESS_MASK desiredAccess, const char* function)
{
    Win32Thread& thread = CurrentWin32Thread(function);
    HandleEntry entry;
    if (handle == kCurrentThread) {
        return thread.object;
    }
    if (handle == kCurrentProcess) {
        for (auto& candidate : Users().ProcessesSnapshot()) {
            if (candidate.get() == thread.process) {
                return candidate;
            }
        }
    }
    if (!thread.process->Lookup(handle, entry)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((entry.access & desiredAccess) != desiredAccess) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return entry.object;
}

HANDLE InsertHandle(ObjectRef object, ACCESS_MASK access)
{
    return CurrentProcess("InsertHandle").Insert(std::move(object), access);
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK access, ACCESS_MASK read, ACCESS_MASK write, ACCESS_MASK all)
{
    ACCESS_MASK mapped = access & ~ACCESS_MASK(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if ((access & GENERIC_READ) != 0) {
        mapped |= read;
    }
    if ((access & GENERIC_WRITE) != 0) {
        mapped |= write;
    }
    if ((access & GENERIC_ALL) != 0) {
        mapped |= all;
    }
    return mapped;
}

int64_t DeadlineAfterMilliseconds(DWORD milliseconds)
{
    if (milliseconds == INFINITE) {
        return kNoDeadline;
    }
    return Machine::Current().Now() + int64_t(milliseconds) * 1000000;
}

}  // namespace sim::user

DWORD GetLastError() { return sim::user::CurrentWin32Thread(__func__).lastError; }

void SetLastError(DWORD dwErrCode) { sim::user::CurrentWin32Thread(__func__).lastError = dwErrCode; }

BOOL CloseHandle(HANDLE hObject)
{
    sim::user::Process& process = sim::user::CurrentProcess(__func__);
    if (hObject == GetCurrentProcess() || hObject == GetCurrentThread()) {
        return TRUE;  // pseudo-handles close as a no-op
    }
    sim::user::ObjectRef object = process.Remove(hObject);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->HandleClosed();
    return TRUE;
}

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions)
{
    // Within the calling process only: the product duplicates no handle into another process.
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess() ||
        lpTargetHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::user::HandleEntry entry;
    sim::user::ObjectRef object = sim::user::ReferenceHandle(hSourceHandle, 0, __func__);
    if (object == nullptr) {
        return FALSE;
    }
    sim::user::CurrentProcess(__func__).Lookup(hSourceHandle, entry);
    const ACCESS_MASK access = (dwOptions & DUPLICATE_SAME_ACCESS) != 0 ? entry.access : dwDesiredAccess;
    object->HandleDuplicated();
    *lpTargetHandle = sim::user::InsertHandle(object, access);
    if ((dwOptions & DUPLICATE_CLOSE_SOURCE) != 0) {
        CloseHandle(hSourceHandle);
    }
    return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision)
{
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                               BOOL bDaclDefaulted)
{
    auto* descriptor = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    descriptor->Control = SECURITY_DESCRIPTOR_CONTROL(descriptor->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (bDaclPresent) {
        descriptor->Control |= SE_DACL_PRESENT;
        descriptor->Dacl = pDacl;
        if (bDaclDefaulted) {
            descriptor->Control |= SE_DACL_DEFAULTED;
        }
    } else {
        descriptor->Dacl = nullptr;
    }
    return TRUE;
}

void OutputDebugStringW(LPCWSTR lpOutputString)
{
    if (lpOutputString != nullptr) {
        sim::Machine::Current().AppendDebuggerOutput(sim::Utf16ToUtf8(lpOutputString));
    }
}
