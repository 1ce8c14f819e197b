// Requests on file objects opened for user-mode handles, and their cancellation (user_files.h).
//
// Windows frees a user request's IRP in an APC in the thread that sent it, so that thread can
// cancel its own requests without racing their completion. The simulation completes in the
// completing thread instead; a request being cancelled is pinned, and the one who lets go of it
// last (the completion or the canceller) frees it.
#include <algorithm>
#include <mutex>
#include <vector>

#include "sim/io/io_manager.h"
#include "sim/io/irp_internal.h"
#include "sim/io/user_file_record.h"
#include "sim/kernel/machine.h"

namespace sim::io {

namespace {

struct InFlight {
    PIRP irp;
    UserFile* file;
    SimThread* thread;
    int pins = 0;
    bool completed = false;
};

class UserRequestTable final : public MachineComponent {
public:
    std::mutex lock;
    std::vector<InFlight> requests;
};

UserRequestTable& Table() { return Machine::Current().Component<UserRequestTable>(); }

// Removes the request from the table when nobody pins it; returns whether the IRP may be freed.
bool ForgetLocked(UserRequestTable& table, PIRP irp)
{
    auto found = std::find_if(table.requests.begin(), table.requests.end(),
                              [irp](const InFlight& entry) { return entry.irp == irp; });
    if (found->pins > 0) {
        found->completed = true;
        return false;
    }
    table.requests.erase(found);
    return true;
}

bool DescribeBuffers(PIRP irp, PDEVICE_OBJECT top, const UserRequest& request)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    switch (request.majorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
        next->Parameters.DeviceIoControl.IoControlCode = request.controlCode;
        next->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
        switch (METHOD_FROM_CTL_CODE(request.controlCode)) {
        case METHOD_BUFFERED:
            if (!AttachSystemBuffer(irp, request.input, request.inputLength,
                                    std::max(request.inputLength, request.outputLength))) {
                return false;
            }
            if (request.output != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr) {
                irp->Flags |= IRP_INPUT_OPERATION;
            }
            irp->UserBuffer = request.output;
            return true;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (!AttachSystemBuffer(irp, request.input, request.inputLength, request.inputLength)) {
                return false;
            }
            break;
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = request.input;
            irp->UserBuffer = request.output;
            return true;
        }
        break;
    case IRP_MJ_READ:
        next->Parameters.Read.Length = request.outputLength;
        if ((top->Flags & DO_BUFFERED_IO) != 0) {
            if (!AttachSystemBuffer(irp, nullptr, 0, request.outputLength)) {
                return false;
            }
            irp->Flags |= IRP_INPUT_OPERATION;
            irp->UserBuffer = request.output;
            return true;
        }
        if ((top->Flags & DO_DIRECT_IO) == 0) {
            irp->UserBuffer = request.output;
            return true;
        }
        break;
    case IRP_MJ_WRITE:
        next->Parameters.Write.Length = request.inputLength;
        if ((top->Flags & DO_BUFFERED_IO) != 0) {
            return AttachSystemBuffer(irp, request.input, request.inputLength, request.inputLength);
        }
        if ((top->Flags & DO_DIRECT_IO) == 0) {
            irp->UserBuffer = request.input;
            return true;
        }
        break;
    default:
        return true;
    }
    // Direct I/O: an MDL over the caller's memory, probed and locked by the I/O manager.
    PVOID buffer = request.majorFunction == IRP_MJ_WRITE ? request.input : request.output;
    const ULONG length = request.majorFunction == IRP_MJ_WRITE ? request.inputLength : request.outputLength;
    if (buffer == nullptr || length == 0) {
        return true;
    }
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (mdl == nullptr) {
        return false;
    }
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    return true;
}

// The I/O manager's final processing of a user request.
void FinishUserRequest(PIRP irp, UserFile* file, const std::function<void(NTSTATUS, ULONG_PTR)>& completion)
{
    const NTSTATUS status = irp->IoStatus.Status;
    const ULONG_PTR information = irp->IoStatus.Information;
    const bool report = !NT_ERROR(status) || irp->PendingReturned;
    UserRequestTable& table = Table();
    bool free;
    {
        std::lock_guard<std::mutex> held(table.lock);
        free = ForgetLocked(table, irp);
    }
    if (free) {
        FreeTrackedIrp(irp);
    }
    if (report) {
        completion(status, information);
        KeSetEvent(file->Event(), IO_NO_INCREMENT, FALSE);
    }
    Machine::Current().Objects().Release(file);
}

}  // namespace

NTSTATUS SendUserRequest(UserFile* file, UserRequest request)
{
    PAGED_CODE();
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->File()->DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.majorFunction;
    next->FileObject = file->File();
    if (!DescribeBuffers(irp, top, request)) {
        Abandon(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MakeThreadIrp(irp, nullptr, nullptr, request.majorFunction == IRP_MJ_WRITE ? 0 : request.outputLength);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file->File();
    file->AddRef();
    {
        IoManager& io = IoManager::Current();
        std::lock_guard<std::mutex> held(io.lock);
        io.FindIrpLocked(irp)->userFinish = [file, completion = std::move(request.completion)](PIRP done) {
            FinishUserRequest(done, file, completion);
        };
    }
    {
        UserRequestTable& table = Table();
        std::lock_guard<std::mutex> held(table.lock);
        table.requests.push_back({irp, file, RequireCurrentThread(__func__)});
    }
    KeClearEvent(file->Event());
    return IoCallDriver(top, irp);
}

size_t CancelThreadRequests(UserFile* file, SimThread* thread)
{
    UserRequestTable& table = Table();
    std::vector<PIRP> pinned;
    {
        std::lock_guard<std::mutex> held(table.lock);
        for (InFlight& entry : table.requests) {
            if (!entry.completed && entry.thread == thread && (file == nullptr || entry.file == file)) {
                ++entry.pins;
                pinned.push_back(entry.irp);
            }
        }
    }
    for (PIRP irp : pinned) {
        IoCancelIrp(irp);
    }
    for (PIRP irp : pinned) {
        bool free = false;
        {
            std::lock_guard<std::mutex> held(table.lock);
            auto found = std::find_if(table.requests.begin(), table.requests.end(),
                                      [irp](const InFlight& entry) { return entry.irp == irp; });
            if (--found->pins == 0 && found->completed) {
                table.requests.erase(found);
                free = true;
            }
        }
        if (free) {
            FreeTrackedIrp(irp);
        }
    }
    return ThreadRequestsInFlight(file, thread);
}

size_t ThreadRequestsInFlight(UserFile* file, SimThread* thread)
{
    UserRequestTable& table = Table();
    std::lock_guard<std::mutex> held(table.lock);
    return size_t(std::count_if(table.requests.begin(), table.requests.end(), [&](const InFlight& entry) {
        return !entry.completed && (thread == nullptr || entry.thread == thread) &&
               (file == nullptr || entry.file == file);
    }));
}

}  // namespace sim::io
