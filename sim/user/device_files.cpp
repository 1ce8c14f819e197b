// CreateFileW on device-interface paths and the I/O calls on the handles it returns: synchronous
// and overlapped DeviceIoControl, ReadFile and WriteFile, ReadFileEx and WriteFileEx with their
// completion routines, GetOverlappedResult and CancelIo, as kernel32 implements them over the
// I/O manager (sim/io/user_files.h).
#include "sim/io/user_files.h"

#include "sim/pnp/device_interfaces.h"
#include "sim/pnp/device_tree.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/store.h"
#include "sim/user/user_machine.h"

namespace sim::user {

namespace {

// File access rights that GENERIC_READ and GENERIC_WRITE stand for (FILE_GENERIC_READ, ...).
constexpr ACCESS_MASK kFileGenericRead = 0x00120089;
constexpr ACCESS_MASK kFileGenericWrite = 0x00120116;

class FileHandle final : public UserObject {
public:
    explicit FileHandle(io::UserFile* file) : file(file) { }
    ~FileHandle() override { io::ReleaseFileReference(file); }
    const char* TypeName() const override { return "File"; }
    DISPATCHER_HEADER* Waitable() override { return &io::FileEvent(file)->Header; }
    ACCESS_MASK AllAccess() const override { return FILE_ALL_ACCESS; }
    void HandleClosed() override { io::CloseFileHandle(file); }
    void HandleDuplicated() override { io::AddFileHandle(file); }

    io::UserFile* file;
};

// The device a "\\?\..." or "\\.\..." path names through a device interface's symbolic link, and
// the rest of the path, which becomes the file object's name. The link exists while an interface
// of its class on a present device is enabled.
NTSTATUS ResolveDevicePath(const std::u16string& path, PDEVICE_OBJECT& device, std::u16string& fileName)
{
    if (path.size() < 4 || path[0] != u'\\' || path[1] != u'\\' || (path[2] != u'?' && path[2] != u'.') ||
        path[3] != u'\\') {
        return path.find(u'\\') == std::u16string::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    const size_t end = path.find(u'\\', 4);
    const std::u16string linkName = u"\\??\\" + path.substr(4, end == std::u16string::npos ? end : end - 4);
    fileName = end == std::u16string::npos ? std::u16string() : path.substr(end);
    for (const pnp::DeviceInterfaceRecord& record : pnp::DeviceInterfaces()) {
        const size_t referenceStart =
            record.referenceString.empty() ? record.symbolicLink.size()
                                           : record.symbolicLink.size() - record.referenceString.size() - 1;
        if (!record.enabled || !registry::NamesEqual(record.symbolicLink.substr(0, referenceStart), linkName)) {
            continue;
        }
        device = pnp::MachineDeviceTree().PresentPhysicalDeviceObject(record.instancePath);
        if (device != nullptr) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

// What one Win32 I/O call asks for, and how its completion reaches the caller.
struct IoCall {
    std::shared_ptr<FileHandle> handle;
    io::UserRequest request;
    LPOVERLAPPED overlapped = nullptr;
    LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;  // ReadFileEx, WriteFileEx
};

HANDLE EventHandleOf(LPOVERLAPPED overlapped)
{
    // The low bit of hEvent only keeps the completion off a completion port.
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR(1));
}

// Sends the request: false when it could not be sent (the last error says why). Synchronous
// handles wait for it; on overlapped ones `finalStatus` may be STATUS_PENDING.
bool Issue(IoCall& call, NTSTATUS& finalStatus, ULONG_PTR& bytes)
{
    io::UserFile* file = call.handle->file;
    ObjectRef event;
    KEVENT* eventObject = nullptr;
    if (call.overlapped != nullptr && EventHandleOf(call.overlapped) != nullptr) {
        event = ReferenceHandle(EventHandleOf(call.overlapped), EVENT_MODIFY_STATE, "I/O");
        if (event == nullptr || std::string(event->TypeName()) != "Event") {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        eventObject = reinterpret_cast<KEVENT*>(event->Waitable());
        KeResetEvent(eventObject);
    }
    if (call.overlapped != nullptr) {
        call.overlapped->Internal = ULONG_PTR(STATUS_PENDING);
        call.overlapped->InternalHigh = 0;
    }
    struct Completion {
        KEVENT done;
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
    };
    auto completion = std::make_shared<Completion>();
    KeInitializeEvent(&completion->done, NotificationEvent, FALSE);
    SimThread* issuer = CurrentSimThread();
    LPOVERLAPPED overlapped = call.overlapped;
    LPOVERLAPPED_COMPLETION_ROUTINE routine = call.routine;
    call.request.completion = [completion, overlapped, eventObject, event, routine, issuer](NTSTATUS status,
                                                                                              ULONG_PTR information) {
        completion->status = status;
        completion->information = information;
        if (overlapped != nullptr) {
            overlapped->InternalHigh = information;
            overlapped->Internal = ULONG_PTR(status);
        }
        if (eventObject != nullptr) {
            KeSetEvent(eventObject, IO_NO_INCREMENT, FALSE);
        }
        if (routine != nullptr) {
            Scheduler& scheduler = Machine::Current().Dispatcher();
            auto held = scheduler.Lock();
            scheduler.QueueUserApcLocked(issuer, [routine, status, information, overlapped] {
                routine(DosErrorFromStatus(status), DWORD(information), overlapped);
            });
        }
        KeSetEvent(&completion->done, IO_NO_INCREMENT, FALSE);
    };
    const bool synchronous = io::IsSynchronous(file);
    if (synchronous) {
        io::LockFile(file);
    }
    NTSTATUS status = io::SendUserRequest(file, std::move(call.request));
    if (status == STATUS_PENDING && (synchronous || call.overlapped == nullptr)) {
        // kernel32 waits for a request on a synchronous handle, or one sent without OVERLAPPED.
        DISPATCHER_HEADER* header = &completion->done.Header;
        UserModeWait(&header, 1, WaitAny, kNoDeadline, false);
        status = completion->status;
    } else if (status != STATUS_PENDING && !NT_ERROR(status)) {
        status = completion->status;
    }
    if (synchronous) {
        io::UnlockFile(file);
    }
    finalStatus = status;
    bytes = status == STATUS_PENDING ? 0 : completion->information;
    return true;
}

std::shared_ptr<FileHandle> FileFor(HANDLE handle, ACCESS_MASK access, const char* function)
{
    return ReferenceHandleAs<FileHandle>(handle, access, function);
}

// The Win32 result of ReadFile, WriteFile and DeviceIoControl.
BOOL Finish(NTSTATUS status, ULONG_PTR bytes, LPDWORD transferred)
{
    if (status == STATUS_PENDING) {
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (NT_ERROR(status)) {
        if (transferred != nullptr) {
            *transferred = 0;
        }
        SetLastErrorFromStatus(status);
        return FALSE;
    }
    if (transferred != nullptr) {
        *transferred = DWORD(bytes);
    }
    if (!NT_SUCCESS(status)) {
        SetLastErrorFromStatus(status);
        return FALSE;
    }
    return TRUE;
}

// ReadFile and WriteFile share all but the direction.
BOOL Transfer(HANDLE file, UCHAR major, LPVOID buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped,
              LPOVERLAPPED_COMPLETION_ROUTINE routine, const char* function)
{
    auto handle = FileFor(file, major == IRP_MJ_READ ? FILE_READ_DATA : FILE_WRITE_DATA, function);
    if (handle == nullptr) {
        return FALSE;
    }
    if ((buffer == nullptr && length != 0) ||
        (overlapped == nullptr && (transferred == nullptr || routine != nullptr))) {
        ::SetLastError(overlapped == nullptr && routine == nullptr ? ERROR_INVALID_USER_BUFFER : ERROR_NOACCESS);
        return FALSE;
    }
    if (transferred != nullptr) {
        *transferred = 0;
    }
    IoCall call;
    call.handle = handle;
    call.request.majorFunction = major;
    if (major == IRP_MJ_READ) {
        call.request.output = buffer;
        call.request.outputLength = length;
    } else {
        call.request.input = buffer;
        call.request.inputLength = length;
    }
    call.overlapped = overlapped;
    call.routine = routine;
    NTSTATUS status;
    ULONG_PTR bytes;
    if (!Issue(call, status, bytes)) {
        return FALSE;
    }
    if (routine != nullptr) {
        // The Ex calls report only whether the request was queued; the routine tells the rest.
        if (NT_ERROR(status) && status != STATUS_PENDING) {
            SetLastErrorFromStatus(status);
            return FALSE;
        }
        ::SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    return Finish(status, bytes, transferred);
}

}  // namespace

}  // namespace sim::user

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    sim::user::CurrentProcess(__func__);
    if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    PDEVICE_OBJECT device = nullptr;
    std::u16string fileName;
    NTSTATUS status = sim::user::ResolveDevicePath(lpFileName, device, fileName);
    if (!NT_SUCCESS(status)) {
        sim::user::SetLastErrorFromStatus(lpFileName[0] == 0 ? STATUS_OBJECT_PATH_NOT_FOUND : status);
        return INVALID_HANDLE_VALUE;
    }
    // Kernel32's dispositions as the I/O manager's: CREATE_NEW -> FILE_CREATE, CREATE_ALWAYS ->
    // FILE_OVERWRITE_IF, OPEN_EXISTING -> FILE_OPEN, OPEN_ALWAYS -> FILE_OPEN_IF,
    // TRUNCATE_EXISTING -> FILE_OVERWRITE.
    static const ULONG kDispositions[] = {0, 2, 5, 1, 3, 4};
    sim::io::OpenParameters parameters;
    parameters.access =
        sim::user::MapGenericAccess(dwDesiredAccess, sim::user::kFileGenericRead, sim::user::kFileGenericWrite,
                                    FILE_ALL_ACCESS);
    parameters.shareAccess = dwShareMode;
    parameters.createDisposition = kDispositions[dwCreationDisposition];
    parameters.synchronous = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) == 0;
    sim::io::UserFile* file = nullptr;
    status = sim::io::OpenUserFile(device, fileName, parameters, &file);
    if (!NT_SUCCESS(status)) {
        sim::user::SetLastErrorFromStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    (void)hTemplateFile;
    SetLastError(ERROR_SUCCESS);
    return sim::user::InsertHandle(std::make_shared<sim::user::FileHandle>(file), parameters.access | SYNCHRONIZE);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    // The access the code's required-access bits ask for (FILE_READ_ACCESS, FILE_WRITE_ACCESS).
    const DWORD codeAccess = (dwIoControlCode >> 14) & 3;
    const ACCESS_MASK access = ((codeAccess & FILE_READ_ACCESS) != 0 ? FILE_READ_DATA : 0) |
                               ((codeAccess & FILE_WRITE_ACCESS) != 0 ? FILE_WRITE_DATA : 0);
    auto handle = sim::user::FileFor(hDevice, access, __func__);
    if (handle == nullptr) {
        return FALSE;
    }
    if (lpOverlapped == nullptr && lpBytesReturned == nullptr) {
        // kernel32 writes the byte count of a call without OVERLAPPED unconditionally.
        sim::Machine::Current().Verify().Report("access violation",
                                                "DeviceIoControl without OVERLAPPED and without lpBytesReturned");
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if ((lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    sim::user::IoCall call;
    call.handle = handle;
    call.request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    call.request.controlCode = dwIoControlCode;
    call.request.input = lpInBuffer;
    call.request.inputLength = nInBufferSize;
    call.request.output = lpOutBuffer;
    call.request.outputLength = nOutBufferSize;
    call.overlapped = lpOverlapped;
    NTSTATUS status;
    ULONG_PTR bytes;
    if (!sim::user::Issue(call, status, bytes)) {
        return FALSE;
    }
    return sim::user::Finish(status, bytes, lpBytesReturned);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped)
{
    return sim::user::Transfer(hFile, IRP_MJ_READ, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped,
                               nullptr, __func__);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped)
{
    return sim::user::Transfer(hFile, IRP_MJ_WRITE, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                               lpNumberOfBytesWritten, lpOverlapped, nullptr, __func__);
}

BOOL ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    return sim::user::Transfer(hFile, IRP_MJ_READ, lpBuffer, nNumberOfBytesToRead, nullptr, lpOverlapped,
                               lpCompletionRoutine, __func__);
}

BOOL WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPOVERLAPPED lpOverlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    return sim::user::Transfer(hFile, IRP_MJ_WRITE, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite, nullptr,
                               lpOverlapped, lpCompletionRoutine, __func__);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    if (NTSTATUS(lpOverlapped->Internal) == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        const HANDLE event = sim::user::EventHandleOf(lpOverlapped);
        if (WaitForSingleObject(event != nullptr ? event : hFile, INFINITE) == WAIT_FAILED) {
            return FALSE;
        }
    }
    *lpNumberOfBytesTransferred = DWORD(lpOverlapped->InternalHigh);
    const NTSTATUS status = NTSTATUS(lpOverlapped->Internal);
    if (!NT_SUCCESS(status)) {
        sim::user::SetLastErrorFromStatus(status);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIo(HANDLE hFile)
{
    auto handle = sim::user::FileFor(hFile, 0, __func__);
    if (handle == nullptr) {
        return FALSE;
    }
    // NtCancelIoFile returns once the calling thread's requests on the file have completed.
    sim::SimThread* self = sim::CurrentSimThread();
    LARGE_INTEGER poll;
    poll.QuadPart = -10 * 10000;
    while (sim::io::CancelThreadRequests(handle->file, self) != 0) {
        KeDelayExecutionThread(UserMode, FALSE, &poll);
    }
    return TRUE;
}

BOOL GetDevicePowerState(HANDLE hDevice, BOOL* pfOn)
{
    auto handle = sim::user::FileFor(hDevice, 0, __func__);
    if (handle == nullptr) {
        return FALSE;
    }
    if (pfOn == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // NtGetDevicePowerState answers from the power manager's record of the device's stack.
    const DEVICE_POWER_STATE state = sim::pnp::RecordedDevicePower(sim::io::FileDevice(handle->file));
    *pfOn = state == PowerDeviceD0 ? TRUE : FALSE;
    return TRUE;
}
