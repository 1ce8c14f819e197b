// Isochronous URBs as the USB stack takes them: the checks a URB must pass, where its packets go on
// the (micro)frame clock, pipe abort and reset. Moving the packets is isoch_schedule.cpp's job.
//
// The rules are the documented ones of the Windows USB stack ("How to transfer data to USB
// isochronous endpoints", _URB_ISOCH_TRANSFER):
// - at most 255 packets per URB at full speed and 1024 at high speed, where the packets must also
//   fill whole frames (a multiple of 8, 4 or 2 packets for a period of 1, 2 or 4 microframes);
// - an ASAP transfer starts a few frames ahead on a pipe that has not streamed since it was opened
//   or reset, and otherwise continues right after the pipe's queued packets, even when the client
//   comes late: the packets whose frames have begun are then not sent. The stack forgets a stream
//   1024 frames after it ran dry;
// - an explicit StartFrame must lie less than USBD_ISO_START_FRAME_RANGE frames from the current
//   frame, either way, or the URB fails whole with USBD_STATUS_BAD_START_FRAME. Packets in frames
//   that have begun are late (USBD_STATUS_ISO_NA_LATE_USBPORT);
// - a start frame that would put packets into (micro)frames the pipe's queued transfers already
//   occupy cannot be honoured either: the stack discards that URB whole, with the status it
//   documents for a start frame it cannot use, USBD_STATUS_BAD_START_FRAME;
// - an OUT packet's length is the distance to the next packet's Offset (the last runs to the end of
//   the buffer); Length fields of OUT packets are ignored.
//
// A driver that hands the stack memory still held by a pending isochronous transfer (of any pipe)
// corrupts one of the two streams; the verifier reports it.
#include <cstddef>
#include <iterator>
#include <sstream>

#include "sim/kernel/machine.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/bus_time.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/isoch_packets.h"
#include "sim/usb/usbd_status.h"

namespace sim::usb {

namespace {

constexpr ULONG kMostFullSpeedPackets = 255;
constexpr ULONG kMostHighSpeedPackets = 1024;
// How long the stack remembers where a pipe's ASAP stream continues once it has run dry.
constexpr int64_t kAsapMemoryFrames = 1024;

}  // namespace

USBD_STATUS BusDevice::CheckIsochLocked(const Pipe& pipe, PURB urb) const
{
    const auto& transfer = urb->UrbIsochronousTransfer;
    const ULONG packets = transfer.NumberOfPackets;
    const UsbSpeed speed = model_->Speed();
    const ULONG most = speed == UsbSpeed::High ? kMostHighSpeedPackets : kMostFullSpeedPackets;
    if (pipe.endpoint.TransferType() != USB_ENDPOINT_TYPE_ISOCHRONOUS || packets == 0 || packets > most ||
        urb->UrbHeader.Length <
            offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const int64_t perFrame = IntervalsPerFrame(speed);
    if (speed == UsbSpeed::High && pipe.period < perFrame && packets % (perFrame / pipe.period) != 0) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (UrbBuffer(transfer.TransferBuffer, transfer.TransferBufferMDL) == nullptr ||
        transfer.TransferBufferLength == 0) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 1; i < packets; ++i) {
        if (transfer.IsoPacket[i].Offset < transfer.IsoPacket[i - 1].Offset) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
    }
    if (!pipe.endpoint.IsIn()) {
        for (ULONG i = 0; i < packets; ++i) {
            if (SpanOfPacket(transfer, i, transfer.TransferBufferLength).length > pipe.endpoint.BytesPerInterval()) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
        }
    }
    return USBD_STATUS_SUCCESS;
}

// Decides the bus interval of packet 0 and writes the start frame back for an ASAP transfer.
USBD_STATUS BusDevice::ScheduleLocked(Pipe& pipe, PURB urb, int64_t nowNs, int64_t& first)
{
    auto& transfer = urb->UrbIsochronousTransfer;
    const BusClock& clock = controller_.Clock();
    const int64_t perFrame = IntervalsPerFrame(model_->Speed());
    const int64_t frame = clock.FrameAt(nowNs);
    const int64_t length = int64_t(transfer.NumberOfPackets) * pipe.period;
    if ((transfer.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0) {
        const bool continues = pipe.nextInterval >= 0 &&
                               (!pipe.pending.empty() || frame < pipe.nextInterval / perFrame + kAsapMemoryFrames);
        first = continues ? pipe.nextInterval : (frame + int64_t(controller_.Options().asapLeadFrames)) * perFrame;
        transfer.StartFrame = clock.FrameNumber(first / perFrame);
    } else {
        const int64_t start = clock.FrameNamed(transfer.StartFrame, frame);
        const int64_t distance = start >= frame ? start - frame : frame - start;
        if (distance >= USBD_ISO_START_FRAME_RANGE) {
            return USBD_STATUS_BAD_START_FRAME;
        }
        first = start * perFrame;
        for (const PendingIsoTransfer& queued : pipe.pending) {
            const int64_t queuedEnd = queued.firstInterval + int64_t(queued.urb->UrbIsochronousTransfer.NumberOfPackets) *
                                                                 pipe.period;
            if (first < queuedEnd && queued.firstInterval < first + length) {
                return USBD_STATUS_BAD_START_FRAME;
            }
        }
    }
    if (first + length > pipe.nextInterval) {
        pipe.nextInterval = first + length;
    }
    return USBD_STATUS_SUCCESS;
}

NTSTATUS BusDevice::SubmitIsochLocked(PIRP irp, PURB urb, int64_t nowNs)
{
    auto& transfer = urb->UrbIsochronousTransfer;
    Pipe* pipe = FindPipeLocked(transfer.PipeHandle);
    USBD_STATUS status = pipe == nullptr ? USBD_STATUS_INVALID_PIPE_HANDLE : CheckIsochLocked(*pipe, urb);
    uint8_t* buffer = UrbBuffer(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (USBD_SUCCESS(status) && controller_.BufferInFlightLocked(buffer, buffer + transfer.TransferBufferLength)) {
        std::ostringstream detail;
        detail << "endpoint 0x" << std::hex << int(pipe->endpoint.address) << std::dec << ": "
               << transfer.TransferBufferLength << " bytes at " << static_cast<const void*>(buffer)
               << " overlap the buffer of a transfer that has not completed";
        sim::Machine::Current().Verify().Report("USB buffer reused before its transfer completed", detail.str());
        status = USBD_STATUS_INVALID_PARAMETER;
    }
    if (USBD_SUCCESS(status) && pipe->halted) {
        status = USBD_STATUS_ENDPOINT_HALTED;
    }
    int64_t first = 0;
    if (USBD_SUCCESS(status)) {
        status = ScheduleLocked(*pipe, urb, nowNs, first);
    }
    if (!USBD_SUCCESS(status)) {
        urb->UrbHeader.Status = status;
        return NtStatusFromUsbd(status);
    }

    const ULONG packets = transfer.NumberOfPackets;
    PendingIsoTransfer pending;
    pending.irp = irp;
    pending.urb = urb;
    pending.buffer = buffer;
    pending.bufferLength = transfer.TransferBufferLength;
    pending.firstInterval = first;
    const int64_t frameNow = controller_.Clock().FrameAt(nowNs);
    while (pending.latePackets < packets && FrameOfPacket(*pipe, pending, pending.latePackets) <= frameNow) {
        ++pending.latePackets;
    }
    const bool in = pipe->endpoint.IsIn();
    pending.fetchedPackets = in ? packets : pending.latePackets;
    if (!in && pending.latePackets < packets) {
        pending.fetched.resize(pending.bufferLength);
    }
    pending.completionNs = controller_.Clock().FrameStartNs(FrameOfPacket(*pipe, pending, packets - 1) + 1);
    auto faults = faults_.find(pipe->endpoint.address);
    if (faults != faults_.end()) {
        pending.completionNs += faults->second.TakeCompletionDelay();
    }
    for (ULONG i = 0; i < packets; ++i) {
        transfer.IsoPacket[i].Status = USBD_STATUS_PENDING;
        if (in) {
            transfer.IsoPacket[i].Length = 0;
        }
    }
    transfer.ErrorCount = 0;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    auto place = pipe->pending.end();
    while (place != pipe->pending.begin() && std::prev(place)->firstInterval > first) {
        --place;
    }
    pipe->pending.insert(place, std::move(pending));
    return STATUS_PENDING;
}

USBD_STATUS BusDevice::AbortPipeLocked(PURB urb, int64_t nowNs, CompletionList& done)
{
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    Pipe* pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    // What the bus already moved stays moved: bring every stream up to now first.
    controller_.AdvanceScheduleLocked(nowNs);
    for (PendingIsoTransfer& pending : pipe->pending) {
        if (pending.failure == USBD_STATUS_SUCCESS &&
            pending.nextPacket < pending.urb->UrbIsochronousTransfer.NumberOfPackets) {
            pending.failure = USBD_STATUS_CANCELED;
        }
        FinishIsoTransferLocked(*pipe, pending, done);
    }
    pipe->pending.clear();
    pipe->nextInterval = -1;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS BusDevice::ResetPipeLocked(PURB urb)
{
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    Pipe* pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    pipe->halted = false;
    if (pipe->pending.empty()) {
        pipe->nextInterval = -1;
    }
    return USBD_STATUS_SUCCESS;
}

}  // namespace sim::usb
