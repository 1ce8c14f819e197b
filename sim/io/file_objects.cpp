// File objects opened on named devices by kernel-mode callers (IoGetDeviceObjectPointer). Like
// Windows, opening sends IRP_MJ_CREATE to the top of the device's stack, closing the internal
// handle sends IRP_MJ_CLEANUP, and the last dereference of the file object sends IRP_MJ_CLOSE and
// releases the file object's reference on the device.
#include "sim/io/device_objects.h"
#include "sim/io/io_manager.h"
#include "sim/io/irp_internal.h"
#include "sim/kernel/machine.h"

namespace {

using sim::io::IoManager;

void CloseFile(PFILE_OBJECT file, bool opened)
{
    PDEVICE_OBJECT device = file->DeviceObject;
    if (opened) {
        sim::io::SendFileRequest(file, IRP_MJ_CLOSE);
        InterlockedDecrement(&device->ReferenceCount);
    }
    delete file;
    sim::Machine::Current().Objects().DereferenceBody(device);
}

struct DeferredClose {
    WORK_QUEUE_ITEM item;
    PFILE_OBJECT file;
    bool opened;
};

void RunDeferredClose(PVOID parameter)
{
    auto* close = static_cast<DeferredClose*>(parameter);
    CloseFile(close->file, close->opened);
    delete close;
}

class FileObjectRecord final : public sim::KernelObject {
public:
    explicit FileObjectRecord(PDEVICE_OBJECT device) : file_(new FILE_OBJECT{})
    {
        file_->Type = IO_TYPE_FILE;
        file_->Size = sizeof(FILE_OBJECT);
        file_->DeviceObject = device;
    }

    // The close request may pend and be waited for, so above APC_LEVEL it goes to a system
    // worker thread, as Windows defers it.
    ~FileObjectRecord() override
    {
        if (KeGetCurrentIrql() <= APC_LEVEL) {
            CloseFile(file_, opened);
            return;
        }
        auto* close = new DeferredClose{{}, file_, opened};
        ExInitializeWorkItem(&close->item, &RunDeferredClose, close);
        ExQueueWorkItem(&close->item, DelayedWorkQueue);
    }

    void* Body() override { return file_; }
    const char* TypeName() const override { return "File"; }
    PFILE_OBJECT File() const { return file_; }

    bool opened = false;

private:
    PFILE_OBJECT file_;
};

// The named device, referenced, if it can be opened now.
NTSTATUS ReferenceNamedDevice(const std::u16string& name, PDEVICE_OBJECT* device)
{
    if (name.empty() || name[0] != u'\\') {
        return name.empty() ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    IoManager& io = IoManager::Current();
    std::lock_guard<std::mutex> held(io.lock);
    auto found = io.namedDevices.find(sim::io::UpcaseName(name));
    if (found == io.namedDevices.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    PDEVICE_OBJECT named = found->second;
    // Until its driver has finished setting it up, a device takes no requests.
    if ((named->Flags & DO_DEVICE_INITIALIZING) != 0 || named->DeviceObjectExtension->driver.unloaded) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((named->Flags & DO_EXCLUSIVE) != 0 && named->ReferenceCount != 0) {
        return STATUS_ACCESS_DENIED;
    }
    named->DeviceObjectExtension->AddRef();
    *device = named;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject)
{
    PAGED_CODE();
    PDEVICE_OBJECT named = nullptr;
    NTSTATUS status = ReferenceNamedDevice(sim::io::NameOf(ObjectName), &named);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* record = new FileObjectRecord(named);
    sim::Machine::Current().Objects().Register(record);
    status = sim::io::SendFileRequest(record->File(), IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        sim::Machine::Current().Objects().Release(record);
        return status;
    }
    record->opened = true;
    InterlockedIncrement(&named->ReferenceCount);
    sim::io::SendFileRequest(record->File(), IRP_MJ_CLEANUP);
    *FileObject = record->File();
    *DeviceObject = IoGetAttachedDevice(named);
    return STATUS_SUCCESS;
}
