// Capture (IN) transfers and the check of their packets: the stack sizes capture requests itself,
// and a packet outside the capture figures means samples were lost or the device runs at another
// rate than selected.
#include "driver/trace.h"
#include "driver/usbaudio/usb_audio_cl.h"

namespace {

constexpr ULONG kMicroframesPerMillisecond = 8;

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS CUSBAudioCL::SubmitCaptureTransfer(PVOID buffer, ULONG length, TransferCallback callback,
                                            PVOID callbackContext, ULONG startFrame)
{
    StreamingInterface* capture = m_Model.GetCaptureInterface();
    if (capture == nullptr) {
        R9_TRACE("CUSBAudioCL::SubmitCaptureTransfer: no capture interface\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (capture->DataPipe == nullptr) {
        R9_TRACE("CUSBAudioCL::SubmitCaptureTransfer: no capture data pipe\n");
        return STATUS_NOT_SUPPORTED;
    }
    return SubmitInTransfer(capture->DataPipe, buffer, length, callback, callbackContext, startFrame);
}

// IRQL: DISPATCH_LEVEL.
NTSTATUS CUSBAudioCL::CheckTransfer(NTSTATUS status, PURB urb, TransferContext*)
{
    const StreamingInterface* capture = m_Model.GetCaptureInterface();
    if (!NT_SUCCESS(status) || urb == nullptr || capture == nullptr ||
        urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER ||
        (urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
        return status;
    }
    const struct _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < transfer.NumberOfPackets; ++i) {
        const ULONG length = transfer.IsoPacket[i].Length;
        if (length < capture->MinimumPacketBytes || length > capture->MaximumPacketBytes) {
            R9_TRACE("CUSBAudioCL::CheckTransfer: packet %u of %u bytes outside %u..%u, start frame %u\n", unsigned(i),
                     unsigned(length), unsigned(capture->MinimumPacketBytes), unsigned(capture->MaximumPacketBytes),
                     unsigned(transfer.StartFrame));
            status = STATUS_UNEXPECTED_IO_ERROR;
        }
    }
    return status;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG CUSBAudioCL::GetLongestCaptureRequest() const
{
    const StreamingInterface* capture = m_Model.GetCaptureInterface();
    if (capture == nullptr) {
        return 0;
    }
    ULONG packetsPerMs = 1;
    for (ULONG i = 1; IsHighSpeed() && i < capture->AlternateCount; ++i) {
        const USB_ENDPOINT_DESCRIPTOR* endpoint = capture->Alternates[i].DataEndpoint;
        if (endpoint == nullptr) {
            continue;
        }
        // The interval as the pipe will be corrected: 1 to 4, a packet every 2^(n-1) microframes.
        ULONG interval = endpoint->bInterval == 0 ? 1 : endpoint->bInterval;
        interval = interval > usbaudio::kHighSpeedLongestInterval ? usbaudio::kHighSpeedLongestInterval : interval;
        const ULONG perMs = kMicroframesPerMillisecond >> (interval - 1);
        packetsPerMs = perMs > packetsPerMs ? perMs : packetsPerMs;
    }
    return kMaximumIsoPackets / packetsPerMs;
}
