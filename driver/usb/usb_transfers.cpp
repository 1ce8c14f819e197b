// Asynchronous transfers: building isochronous and bulk/interrupt URBs, sending them on pooled IRPs,
// and the common completion routine that turns the stack's answer into one callback. Everything
// here may run at DISPATCH_LEVEL and allocates only from the IRP pool and the lookaside lists
// (bulk and interrupt URBs excepted, which the streams never use).
#include "driver/trace.h"
#include "driver/usb/usb_device.h"

namespace {

constexpr ULONG kMicroframesPerFrame = 8;
constexpr UCHAR kLongestHighSpeedPeriodInFrame = 4;  // bInterval 4: one packet per frame
constexpr UCHAR kLongestFullSpeedInterval = 15;
constexpr ULONG kBulkUrbBytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS CUSBCL::SubmitTransfer(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length, ULONG transferFlags,
                                TransferCallback callback, PVOID callbackContext, ULONG startFrame)
{
    if (pipe == nullptr) {
        R9_TRACE("CUSBCL::SubmitTransfer: no pipe\n");
        return STATUS_INVALID_PARAMETER;
    }
    TransferContext* context = AllocateTransferContext(pipe, callback, callbackContext);
    if (context == nullptr) {
        R9_TRACE("CUSBCL::SubmitTransfer: no transfer context\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PURB urb;
    if (pipe->PipeType == UsbdPipeTypeIsochronous) {
        const ULONG maximum = pipe->MaximumPacketSize;
        ULONG packets = maximum == 0 ? 0 : (length + maximum - 1) / maximum;
        if (m_HighSpeed && pipe->Interval >= 1 && pipe->Interval <= kLongestHighSpeedPeriodInFrame) {
            // High-speed streams are scheduled in whole frames.
            const ULONG perFrame = kMicroframesPerFrame >> (pipe->Interval - 1);
            packets = (packets + perFrame - 1) / perFrame * perFrame;
        } else if (pipe->Interval > (m_HighSpeed ? kLongestHighSpeedPeriodInFrame : kLongestFullSpeedInterval)) {
            R9_TRACE("CUSBCL::SubmitTransfer: endpoint 0x%02X has bInterval %u\n", unsigned(pipe->EndpointAddress),
                     unsigned(pipe->Interval));
        }
        if (maximum == 0 || packets > kMaximumIsoPackets) {
            R9_TRACE("CUSBCL::SubmitTransfer: %u bytes make %u packets of %u\n", unsigned(length), unsigned(packets),
                     unsigned(maximum));
            FreeTransferContext(context);
            return STATUS_INVALID_PARAMETER;
        }
        urb = AllocateIsoUrb();
        if (urb == nullptr) {
            R9_TRACE("CUSBCL::SubmitTransfer: no isochronous URB\n");
            FreeTransferContext(context);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        const ULONG urbLength = GET_ISO_URB_SIZE(packets);
        RtlZeroMemory(urb, urbLength);
        struct _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
        transfer.Hdr.Length = USHORT(urbLength);
        transfer.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        transfer.PipeHandle = pipe->PipeHandle;
        transfer.StartFrame = startFrame;
        transfer.TransferBuffer = buffer;
        transfer.TransferFlags = transferFlags;
        transfer.TransferBufferLength = length;
        transfer.NumberOfPackets = packets;
        const bool in = (transferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        ULONG unassigned = length;
        for (ULONG i = 0; i < packets; ++i) {
            transfer.IsoPacket[i].Offset = i * maximum;
            if (!in) {
                const ULONG bytes = unassigned < maximum ? unassigned : maximum;
                transfer.IsoPacket[i].Length = bytes;
                unassigned -= bytes;
            }
        }
    } else {
        urb = static_cast<PURB>(ExAllocatePoolWithTag(m_PoolType, kBulkUrbBytes, kDefaultPoolTag));
        if (urb == nullptr) {
            R9_TRACE("CUSBCL::SubmitTransfer: no memory for a bulk URB\n");
            FreeTransferContext(context);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(urb, kBulkUrbBytes);
        UsbBuildInterruptOrBulkTransferRequest(urb, USHORT(kBulkUrbBytes), pipe->PipeHandle, buffer, nullptr, length,
                                               transferFlags | USBD_SHORT_TRANSFER_OK, nullptr);
    }
    context->urb = urb;

    const NTSTATUS status = SubmitUrbAsync(urb, context);
    if (!NT_SUCCESS(status)) {
        ReturnUrb(urb);
        FreeTransferContext(context);
    }
    return status;
}

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS CUSBCL::SubmitInTransfer(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length, TransferCallback callback,
                                  PVOID callbackContext, ULONG startFrame)
{
    return SubmitTransfer(pipe, buffer, length, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, callback,
                          callbackContext, startFrame);
}

// IRQL: <= DISPATCH_LEVEL. Once the IRP is on its way the completion routine owns the URB and the
// context, whatever IoCallDriver says.
NTSTATUS CUSBCL::SubmitUrbAsync(PURB urb, TransferContext* transferContext)
{
    PIRP irp = AllocateIrp();
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, &CUSBCL::TransferComplete, transferContext, TRUE, TRUE, TRUE);
    IoCallDriver(m_LowerDevice, irp);
    return STATUS_SUCCESS;
}

// Moves the packets of a completed IN transfer together: the stack leaves each packet at its own
// Offset, so a short packet leaves a gap before the next. The destination never lies above the
// source, so an overlapping move is safe.
ULONG CUSBCL::CompactInPackets(struct _URB_ISOCH_TRANSFER* transfer, PUCHAR data)
{
    ULONG total = 0;
    ULONG i = 0;
    while (i < transfer->NumberOfPackets && transfer->IsoPacket[i].Offset == total) {
        total += transfer->IsoPacket[i].Length;
        ++i;
    }
    for (; i < transfer->NumberOfPackets; ++i) {
        const ULONG length = transfer->IsoPacket[i].Length;
        if (length != 0 && data != nullptr) {
            RtlMoveMemory(data + total, data + transfer->IsoPacket[i].Offset, length);
        }
        total += length;
    }
    return total;
}

void CUSBCL::TraceFailedUrb(PURB urb)
{
    R9_TRACE("CUSBCL: transfer failed, URB status 0x%08X\n", unsigned(urb->UrbHeader.Status));
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
        return;
    }
    const struct _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
    R9_TRACE("CUSBCL: flags 0x%X, length %u, start frame %u, packets %u, errors %u\n", unsigned(transfer.TransferFlags),
             unsigned(transfer.TransferBufferLength), unsigned(transfer.StartFrame), unsigned(transfer.NumberOfPackets),
             unsigned(transfer.ErrorCount));
    for (ULONG i = 0; i < transfer.NumberOfPackets; ++i) {
        R9_TRACE("CUSBCL: packet %u offset %u length %u status 0x%08X\n", unsigned(i),
                 unsigned(transfer.IsoPacket[i].Offset), unsigned(transfer.IsoPacket[i].Length),
                 unsigned(transfer.IsoPacket[i].Status));
    }
}

// IRQL: DISPATCH_LEVEL (any processor). Runs for every transfer sent by SubmitUrbAsync and keeps
// the IRP: it goes back to the pool.
NTSTATUS CUSBCL::TransferComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* transferContext = static_cast<TransferContext*>(context);
    if (transferContext == nullptr || transferContext->urb == nullptr || transferContext->owner == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    CUSBCL* self = transferContext->owner;
    PURB urb = transferContext->urb;
    const bool isochronous = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG bytesTransferred = 0;
    ULONG startFrame = 0;

    if (!NT_SUCCESS(status)) {
        TraceFailedUrb(urb);
        if (urb->UrbHeader.Status == USBD_STATUS_BAD_START_FRAME && self->m_BusInterface.QueryBusTime != nullptr) {
            ULONG frame = 0;
            self->m_BusInterface.QueryBusTime(self->m_BusInterface.BusContext, &frame);
            R9_TRACE("CUSBCL: bad start frame %u, bus frame now %u\n", unsigned(urb->UrbIsochronousTransfer.StartFrame),
                     unsigned(frame));
        }
    } else if (isochronous) {
        struct _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
        if ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
            PUCHAR data = static_cast<PUCHAR>(transfer.TransferBuffer);
            if (data == nullptr && transfer.TransferBufferMDL != nullptr) {
                data = static_cast<PUCHAR>(
                    MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, NormalPagePriority));
            }
            bytesTransferred = CompactInPackets(&transfer, data);
        } else {
            bytesTransferred = transfer.TransferBufferLength;
        }
        startFrame = transfer.StartFrame;
    } else {
        bytesTransferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }

    status = self->CheckTransfer(status, urb, transferContext);
    const ULONG busFrames =
        isochronous ? self->PacketsToFrames(urb->UrbIsochronousTransfer.NumberOfPackets, transferContext->pipe) : 0;

    self->ReturnUrb(urb);
    if (transferContext->callback != nullptr) {
        transferContext->callback(status, bytesTransferred, startFrame, transferContext->callbackContext, busFrames);
    }
    if (transferContext->extraBuffer != nullptr) {
        ExFreePool(transferContext->extraBuffer);
    }
    self->FreeTransferContext(transferContext);
    self->RecycleIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
