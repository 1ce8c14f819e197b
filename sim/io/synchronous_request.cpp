#include "sim/io/synchronous_request.h"

namespace sim::io {

namespace {

// Keeps the IRP for the sender, who reads its status and frees it.
NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

RequestResult SendSynchronousRequest(PDEVICE_OBJECT top, UCHAR major,
                                     const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    prepare(irp, stack);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, &SignalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const RequestResult result = {irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    return result;
}

}  // namespace sim::io
