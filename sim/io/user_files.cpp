// File objects opened for user-mode handles: open, handles, cleanup and close (user_files.h).
#include "sim/io/user_files.h"

#include <vector>

#include "sim/io/device_objects.h"
#include "sim/io/io_manager.h"
#include "sim/io/irp_internal.h"
#include "sim/io/user_file_record.h"
#include "sim/kernel/machine.h"

namespace sim::io {

namespace {

// FILE_OPEN with the create options in the low 24 bits, as IopParseDevice packs them.
ULONG CreateOptionsWord(const OpenParameters& parameters)
{
    return (parameters.createDisposition << 24) | (parameters.createOptions & 0x00FFFFFF);
}

NTSTATUS SendCreate(PFILE_OBJECT file, const OpenParameters& parameters)
{
    return SendFileRequest(file, IRP_MJ_CREATE, [&](PIRP irp, PIO_STACK_LOCATION next) {
        irp->RequestorMode = UserMode;
        next->Parameters.Create.Options = CreateOptionsWord(parameters);
        next->Parameters.Create.ShareAccess = USHORT(parameters.shareAccess);
    });
}

// The named device, referenced, if it takes a create now.
NTSTATUS ReferenceDevice(PDEVICE_OBJECT device)
{
    IoManager& io = IoManager::Current();
    std::lock_guard<std::mutex> held(io.lock);
    _DEVOBJ_EXTENSION* extension = device->DeviceObjectExtension;
    // IopCheckDeviceAndDriver: a device being set up, deleted or whose driver is going.
    if ((device->Flags & DO_DEVICE_INITIALIZING) != 0 || extension->deletePending || extension->driver.unloaded) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((device->Flags & DO_EXCLUSIVE) != 0 && device->ReferenceCount != 0) {
        return STATUS_ACCESS_DENIED;
    }
    extension->AddRef();
    return STATUS_SUCCESS;
}

}  // namespace

UserFile::UserFile(PDEVICE_OBJECT device, const std::u16string& fileName, bool synchronous, UserFile* related)
    : state_(std::make_unique<FileState>()), synchronous_(synchronous)
{
    state_->name = fileName;
    FILE_OBJECT& file = state_->file;
    file.Type = IO_TYPE_FILE;
    file.Size = sizeof(FILE_OBJECT);
    file.DeviceObject = device;
    if (related != nullptr) {
        related->AddRef();
        state_->related = related;
        file.RelatedFileObject = related->File();
    }
    file.FileName.Buffer = reinterpret_cast<PWSTR>(state_->name.data());
    file.FileName.Length = USHORT(state_->name.size() * sizeof(WCHAR));
    file.FileName.MaximumLength = file.FileName.Length;
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    KeInitializeEvent(&lock_, SynchronizationEvent, TRUE);
}

// The last reference: the close request, which may pend and be waited for, so above APC_LEVEL
// it goes to a system worker thread, as Windows defers it.
UserFile::~UserFile()
{
    PDEVICE_OBJECT device = state_->file.DeviceObject;
    if (!opened) {
        if (state_->related != nullptr) {
            Machine::Current().Objects().Release(state_->related);
        }
        Machine::Current().Objects().DereferenceBody(device);
        return;
    }
    if (KeGetCurrentIrql() <= APC_LEVEL) {
        SendClose(std::move(state_));
        return;
    }
    auto* deferred = new DeferredClose{{}, std::move(state_)};
    ExInitializeWorkItem(&deferred->item, &UserFile::RunDeferredClose, deferred);
    ExQueueWorkItem(&deferred->item, DelayedWorkQueue);
}

void UserFile::RunDeferredClose(PVOID parameter)
{
    auto* deferred = static_cast<DeferredClose*>(parameter);
    SendClose(std::move(deferred->state));
    delete deferred;
}

void UserFile::SendClose(std::unique_ptr<FileState> state)
{
    PDEVICE_OBJECT device = state->file.DeviceObject;
    SendFileRequest(&state->file, IRP_MJ_CLOSE);
    UserFile* related = state->related;
    state.reset();
    if (related != nullptr) {
        Machine::Current().Objects().Release(related);
    }
    const LONG left = InterlockedDecrement(&device->ReferenceCount);
    std::function<void(PDEVICE_OBJECT)> lastFileClosed;
    if (left == 0) {
        IoManager& io = IoManager::Current();
        std::lock_guard<std::mutex> held(io.lock);
        lastFileClosed = io.lastFileClosed;
    }
    Machine::Current().Objects().DereferenceBody(device);
    if (lastFileClosed) {
        lastFileClosed(device);
    }
}

namespace {

NTSTATUS Open(PDEVICE_OBJECT device, const std::u16string& fileName, const OpenParameters& parameters,
              UserFile* related, UserFile** file)
{
    PAGED_CODE();
    NTSTATUS status = ReferenceDevice(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* record = new UserFile(device, fileName, parameters.synchronous, related);
    Machine::Current().Objects().Register(record);
    record->File()->ReadAccess = (parameters.access & (GENERIC_READ | FILE_ALL_ACCESS)) != 0;
    record->File()->WriteAccess = (parameters.access & (GENERIC_WRITE | FILE_ALL_ACCESS)) != 0;
    status = SendCreate(record->File(), parameters);
    if (!NT_SUCCESS(status)) {
        // A failed create sends no cleanup or close: the driver never saw the file object open.
        Machine::Current().Objects().Release(record);
        return status;
    }
    InterlockedIncrement(&device->ReferenceCount);
    record->opened = true;
    record->handles = 1;
    *file = record;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS OpenUserFile(PDEVICE_OBJECT device, const std::u16string& fileName, const OpenParameters& parameters,
                      UserFile** file)
{
    return Open(device, fileName, parameters, nullptr, file);
}

NTSTATUS OpenRelatedUserFile(UserFile* related, const std::u16string& fileName, const OpenParameters& parameters,
                             UserFile** file)
{
    return Open(related->File()->DeviceObject, fileName, parameters, related, file);
}

void AddFileHandle(UserFile* file) { InterlockedIncrement(&file->handles); }

void ReleaseFileReference(UserFile* file) { Machine::Current().Objects().Release(file); }

void CloseFileHandle(UserFile* file)
{
    PAGED_CODE();
    if (InterlockedDecrement(&file->handles) == 0) {
        SendFileRequest(file->File(), IRP_MJ_CLEANUP);
        // Windows lets cleanup return while a request the driver already took off its queue is
        // still being completed on another processor; only a request left queued is a fault. So
        // what runs at this instant finishes before the requests are counted.
        size_t left = ThreadRequestsInFlight(file, nullptr);
        if (left != 0) {
            Machine::Current().Dispatcher().SettleInstant();
            left = ThreadRequestsInFlight(file, nullptr);
        }
        if (left != 0) {
            Report("IRP left pending after cleanup",
                   std::to_string(left) + " request(s) of file object " + Describe(file->File()) +
                       " were neither completed nor cancelled by the driver's IRP_MJ_CLEANUP");
        }
    }
}

bool IsSynchronous(const UserFile* file) { return file->Synchronous(); }

PFILE_OBJECT FileObjectOf(UserFile* file) { return file->File(); }
PDEVICE_OBJECT FileDevice(UserFile* file) { return file->File()->DeviceObject; }

KEVENT* FileEvent(UserFile* file) { return file->Event(); }

void LockFile(UserFile* file)
{
    KeWaitForSingleObject(file->Lock(), Executive, UserMode, FALSE, nullptr);
}

void UnlockFile(UserFile* file) { KeSetEvent(file->Lock(), IO_NO_INCREMENT, FALSE); }

}  // namespace sim::io
