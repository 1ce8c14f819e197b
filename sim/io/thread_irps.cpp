// Thread IRPs: requests the I/O manager builds for a caller that waits for them, and their final
// processing. Windows runs that processing as a kernel APC in the caller's thread; the simulation
// runs it in the completing thread, in the same order (data copied back, status block written,
// event set, IRP freed), which the waiting caller cannot tell apart.
#include <algorithm>
#include <sstream>

#include "sim/io/io_manager.h"
#include "sim/io/irp_internal.h"
#include "sim/kernel/machine.h"

namespace {

using sim::io::IoManager;
using sim::io::IrpRecord;

// "IoSb" in a pool dump: the system buffer of buffered requests.
constexpr ULONG kSystemBufferTag = 'bSoI';

// The caller's output buffer for a buffered request; the copy-back may not write past it.
ULONG BoundOutputCopy(PIRP irp, ULONG_PTR information)
{
    IoManager& io = IoManager::Current();
    ULONG limit;
    bool bounded;
    {
        std::lock_guard<std::mutex> held(io.lock);
        IrpRecord* record = io.FindIrpLocked(irp);
        bounded = record->boundedOutput;
        limit = record->outputLength;
    }
    if (bounded && information > limit) {
        std::ostringstream detail;
        detail << sim::io::IrpText(irp) << ": IoStatus.Information " << information << ", output buffer "
               << limit << " bytes";
        sim::io::Report("IRP completed with more data than the output buffer holds", detail.str());
        return limit;
    }
    return ULONG(information);
}

}  // namespace

namespace sim::io {

void FreeIrpBuffers(PIRP irp)
{
    if ((irp->Flags & IRP_BUFFERED_IO) != 0) {
        if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !NT_ERROR(irp->IoStatus.Status) &&
            irp->UserBuffer != nullptr) {
            ULONG length = BoundOutputCopy(irp, irp->IoStatus.Information);
            RtlCopyMemory(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, length);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) {
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        }
    }
    for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
        PMDL next = mdl->Next;
        mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
}

// Fails the build of a request part-way: what was set up so far goes.
PIRP Abandon(PIRP irp)
{
    irp->Flags &= ~IRP_INPUT_OPERATION;
    FreeIrpBuffers(irp);
    IoFreeIrp(irp);
    return nullptr;
}

bool AttachSystemBuffer(PIRP irp, PVOID input, ULONG inputLength, ULONG size)
{
    if (size == 0) {
        return true;
    }
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, kSystemBufferTag);
    if (buffer == nullptr) {
        return false;
    }
    if (input != nullptr && inputLength != 0) {
        RtlCopyMemory(buffer, input, inputLength);
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

void MakeThreadIrp(PIRP irp, PKEVENT event, PIO_STATUS_BLOCK statusBlock, ULONG outputLength)
{
    irp->UserEvent = event;
    irp->UserIosb = statusBlock;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    IoManager& io = IoManager::Current();
    std::lock_guard<std::mutex> held(io.lock);
    IrpRecord* record = io.FindIrpLocked(irp);
    record->boundedOutput = true;
    record->outputLength = outputLength;
}

void FinishCompletedIrp(PIRP irp)
{
    std::function<void(PIRP)> userFinish;
    {
        IoManager& io = IoManager::Current();
        std::lock_guard<std::mutex> held(io.lock);
        IrpRecord* record = io.FindIrpLocked(irp);
        if (record != nullptr) {
            userFinish.swap(record->userFinish);
        }
    }
    if (userFinish) {
        FreeIrpBuffers(irp);
        userFinish(irp);
        return;
    }
    if (irp->Tail.Overlay.Thread == nullptr) {
        {
            IoManager& io = IoManager::Current();
            std::lock_guard<std::mutex> held(io.lock);
            io.FindIrpLocked(irp)->holder = IrpHolder::BackWithCreator;
        }
        // Windows would queue the final processing to a thread that does not exist.
        Report("driver-allocated IRP completed to the I/O manager",
               IrpText(irp) + " has no thread: its creator must end completion with STATUS_MORE_PROCESSING_REQUIRED");
        return;
    }
    FreeIrpBuffers(irp);
    // A request that failed without being pended has handed its status back through IoCallDriver;
    // the caller does not wait, so Windows neither writes the status block nor sets the event.
    PKEVENT event = nullptr;
    if (!NT_ERROR(irp->IoStatus.Status) || irp->PendingReturned) {
        if (irp->UserIosb != nullptr) {
            *irp->UserIosb = irp->IoStatus;
        }
        event = irp->UserEvent;
    }
    FreeTrackedIrp(irp);
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction,
                         const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK statusBlock{};
    MakeThreadIrp(irp, &done, &statusBlock, 0);
    irp->Flags |= IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    next->FileObject = file;
    if (prepare) {
        prepare(irp, next);
    }
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = statusBlock.Status;
    }
    return status;
}

}  // namespace sim::io

using sim::io::Abandon;
using sim::io::AttachSystemBuffer;
using sim::io::MakeThreadIrp;

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::io::Report("IRP built at the wrong IRQL",
                        "IoBuildDeviceIoControlRequest at IRQL " + std::to_string(KeGetCurrentIrql()));
        return nullptr;
    }
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED:
        if (!AttachSystemBuffer(irp, InputBuffer, InputBufferLength, std::max(InputBufferLength, OutputBufferLength))) {
            return Abandon(irp);
        }
        if (OutputBuffer != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr) {
            irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (!AttachSystemBuffer(irp, InputBuffer, InputBufferLength, InputBufferLength)) {
            return Abandon(irp);
        }
        if (OutputBuffer != nullptr && OutputBufferLength != 0) {
            PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            if (mdl == nullptr) {
                return Abandon(irp);
            }
            mdl->MdlFlags |= MDL_PAGES_LOCKED;  // probed and locked, as for a kernel-mode caller
        }
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    MakeThreadIrp(irp, Event, IoStatusBlock, OutputBufferLength);
    return irp;
}
