// Reads of the explicit feedback endpoint: the device reports how many sample frames it consumes
// per bus interval, 10.14 in three bytes at full speed or 16.16 in four at high speed. One read
// covers several packets, whose values are averaged into one 16.16 value for the stream engine.
#include "driver/trace.h"
#include "driver/usbaudio/usb_audio_cl.h"

namespace {

constexpr ULONG kFullSpeedReportBytes = 3;
constexpr ULONG kHighSpeedReportBytes = 4;
constexpr ULONG kFullSpeedToFixed16Shift = 2;  // 10.14 to 16.16
constexpr ULONG kFeedbackMilliseconds = 4;
constexpr UCHAR kLongestHighSpeedInterval = 4;

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS CUSBAudioCL::RecvFeedback(PVOID buffer, ULONG length, TransferCallback callback, PVOID callbackContext)
{
    StreamingInterface* render = m_Model.GetRenderInterface();
    PUSBD_PIPE_INFORMATION pipe = render != nullptr ? render->FeedbackPipe : nullptr;
    if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeIsochronous) {
        R9_TRACE("CUSBAudioCL::RecvFeedback: no isochronous feedback pipe\n");
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG maximum = pipe->MaximumPacketSize;
    if (maximum == 0) {
        R9_TRACE("CUSBAudioCL::RecvFeedback: feedback endpoint without packet size\n");
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG packets = length <= maximum ? 1 : (length + maximum - 1) / maximum;
    if (packets > kMaximumIsoPackets) {
        R9_TRACE("CUSBAudioCL::RecvFeedback: %u bytes need %u packets\n", unsigned(length), unsigned(packets));
        return STATUS_INVALID_PARAMETER;
    }
    TransferContext* context = AllocateTransferContext(pipe, callback, callbackContext);
    if (context == nullptr) {
        R9_TRACE("CUSBAudioCL::RecvFeedback: no transfer context\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PURB urb = AllocateIsoUrb();
    if (urb == nullptr) {
        R9_TRACE("CUSBAudioCL::RecvFeedback: no isochronous URB\n");
        FreeTransferContext(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG urbLength = GET_ISO_URB_SIZE(packets);
    RtlZeroMemory(urb, urbLength);
    struct _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
    transfer.Hdr.Length = USHORT(urbLength);
    transfer.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    transfer.PipeHandle = pipe->PipeHandle;
    transfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    transfer.TransferBuffer = buffer;
    transfer.TransferBufferLength = length;
    transfer.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) {
        transfer.IsoPacket[i].Offset = i * maximum;
    }
    context->urb = urb;

    PIRP irp = AllocateIrp();
    if (irp == nullptr) {
        R9_TRACE("CUSBAudioCL::RecvFeedback: no IRP\n");
        FreeIsoUrb(urb);
        FreeTransferContext(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, &CUSBAudioCL::FeedbackComplete, context, TRUE, TRUE, TRUE);
    IoCallDriver(GetLowerDevice(), irp);
    return STATUS_SUCCESS;
}

// IRQL: DISPATCH_LEVEL. An empty packet repeats the last value the device reported; reads
// complete on several processors at once, so the last value is exchanged atomically.
ULONG CUSBAudioCL::AverageFeedback(StreamingInterface* render, PURB urb)
{
    const struct _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
    ULONG last = render->LastFeedbackValue;
    if (transfer.TransferBufferLength == 0) {
        return last;
    }
    const UCHAR* data = static_cast<const UCHAR*>(transfer.TransferBuffer);
    if (data == nullptr && transfer.TransferBufferMDL != nullptr) {
        data = static_cast<const UCHAR*>(MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, NormalPagePriority));
    }
    if (data == nullptr) {
        R9_TRACE("CUSBAudioCL::FeedbackComplete: no feedback data\n");
        return 0;
    }
    ULONGLONG sum = 0;
    ULONG counted = 0;
    for (ULONG i = 0; i < transfer.NumberOfPackets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = transfer.IsoPacket[i];
        if (!USBD_SUCCESS(packet.Status)) {
            continue;
        }
        const UCHAR* report = data + packet.Offset;
        ULONG value;
        if (packet.Length == kFullSpeedReportBytes) {
            value = (ULONG(report[0]) | ULONG(report[1]) << 8 | ULONG(report[2]) << 16) << kFullSpeedToFixed16Shift;
        } else if (packet.Length == kHighSpeedReportBytes) {
            value = ULONG(report[0]) | ULONG(report[1]) << 8 | ULONG(report[2]) << 16 | ULONG(report[3]) << 24;
        } else if (packet.Length == 0) {
            value = last;
        } else {
            R9_TRACE("CUSBAudioCL::FeedbackComplete: packet %u has %u bytes\n", unsigned(i), unsigned(packet.Length));
            continue;
        }
        sum += value;
        ++counted;
        last = value;
    }
    if (last != 0) {
        InterlockedExchange(reinterpret_cast<LONG volatile*>(&render->LastFeedbackValue), LONG(last));
    }
    return counted == 0 ? 0 : ULONG(sum / counted);
}

// IRQL: DISPATCH_LEVEL (any processor). The callback's byte count is the feedback value.
NTSTATUS CUSBAudioCL::FeedbackComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* transferContext = static_cast<TransferContext*>(context);
    if (transferContext == nullptr || transferContext->urb == nullptr || transferContext->owner == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    auto* self = static_cast<CUSBAudioCL*>(transferContext->owner);
    PURB urb = transferContext->urb;
    const NTSTATUS status = irp->IoStatus.Status;
    ULONG value = 0;
    ULONG startFrame = 0;
    StreamingInterface* render = self->m_Model.GetRenderInterface();
    if (!NT_SUCCESS(status)) {
        const struct _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
        R9_TRACE("CUSBAudioCL::FeedbackComplete: 0x%08X, URB status 0x%08X, start frame %u, packets %u\n",
                 unsigned(status), unsigned(transfer.Hdr.Status), unsigned(transfer.StartFrame),
                 unsigned(transfer.NumberOfPackets));
        for (ULONG i = 0; i < transfer.NumberOfPackets; ++i) {
            R9_TRACE("CUSBAudioCL::FeedbackComplete: packet %u length %u status 0x%08X\n", unsigned(i),
                     unsigned(transfer.IsoPacket[i].Length), unsigned(transfer.IsoPacket[i].Status));
        }
    } else if (render != nullptr) {
        startFrame = urb->UrbIsochronousTransfer.StartFrame;
        value = AverageFeedback(render, urb);
    }
    if (transferContext->callback != nullptr) {
        transferContext->callback(status, value, startFrame, transferContext->callbackContext, 0);
    }
    self->FreeIsoUrb(urb);
    self->FreeTransferContext(transferContext);
    self->RecycleIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG CUSBAudioCL::GetFeedbackBufferSize() const
{
    const StreamingInterface* render = m_Model.GetRenderInterface();
    if (render == nullptr || render->FeedbackPipe == nullptr) {
        R9_TRACE("CUSBAudioCL::GetFeedbackBufferSize: no feedback pipe\n");
        return 0;
    }
    ULONG bytes = render->FeedbackPipe->MaximumPacketSize * kFeedbackMilliseconds;
    const UCHAR interval = render->FeedbackPipe->Interval;
    if (IsHighSpeed() && interval >= 1 && interval <= kLongestHighSpeedInterval) {
        bytes <<= kLongestHighSpeedInterval - interval;
    }
    return bytes;
}
