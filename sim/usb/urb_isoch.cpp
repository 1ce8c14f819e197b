// Isochronous pipes: scheduling a transfer's packets on the (micro)frame clock, moving each packet
// between the transfer buffer and the device at its own bus interval, and retiring the transfer
// after its last packet; pipe abort and reset.
//
// Scheduling follows the USB stack: an ASAP transfer continues right after the pipe's last
// scheduled packet while the stream runs, or starts a few frames ahead when the pipe is idle; an
// explicit StartFrame may not lie in the past nor more than USBD_ISO_START_FRAME_RANGE frames
// ahead. Packets whose interval began before the transfer arrived are not sent (late). An OUT
// packet's length is the distance to the next packet's Offset (the last runs to the end of the
// buffer); Length fields of OUT packets are ignored.
#include <cstddef>
#include <cstring>

#include "sim/usb/bus_device.h"
#include "sim/usb/bus_time.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/usbd_status.h"

namespace sim::usb {

namespace {

struct Span {
    uint32_t offset;
    uint32_t length;
};

// Offsets past the end of the buffer carry nothing.
Span PacketSpan(const struct _URB_ISOCH_TRANSFER& transfer, uint32_t packet, uint32_t bufferLength)
{
    uint32_t end = packet + 1 < transfer.NumberOfPackets ? transfer.IsoPacket[packet + 1].Offset : bufferLength;
    if (end > bufferLength) {
        end = bufferLength;
    }
    const uint32_t begin = transfer.IsoPacket[packet].Offset;
    return begin >= end ? Span{begin, 0} : Span{begin, end - begin};
}

}  // namespace

NTSTATUS BusDevice::SubmitIsochLocked(PIRP irp, PURB urb, int64_t nowNs)
{
    auto& transfer = urb->UrbIsochronousTransfer;
    auto fail = [urb](USBD_STATUS status) {
        urb->UrbHeader.Status = status;
        return NtStatusFromUsbd(status);
    };
    Pipe* pipe = FindPipeLocked(transfer.PipeHandle);
    if (pipe == nullptr) {
        return fail(USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    const ULONG packets = transfer.NumberOfPackets;
    if (pipe->endpoint.TransferType() != USB_ENDPOINT_TYPE_ISOCHRONOUS || packets == 0 ||
        packets > controller_.Options().maximumPacketsPerUrb ||
        urb->UrbHeader.Length <
            offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
    }
    const UsbSpeed speed = model_->Speed();
    const int64_t perFrame = IntervalsPerFrame(speed);
    // A high-speed stream is scheduled in whole frames: as many packets as fit in one.
    if (speed == UsbSpeed::High && pipe->period < perFrame && packets % (perFrame / pipe->period) != 0) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
    }
    uint8_t* buffer = UrbBuffer(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (buffer == nullptr || transfer.TransferBufferLength == 0) {
        return fail(USBD_STATUS_INVALID_PARAMETER);
    }
    for (ULONG i = 1; i < packets; ++i) {
        if (transfer.IsoPacket[i].Offset < transfer.IsoPacket[i - 1].Offset) {
            return fail(USBD_STATUS_INVALID_PARAMETER);
        }
    }
    if (!pipe->endpoint.IsIn()) {
        for (ULONG i = 0; i < packets; ++i) {
            if (PacketSpan(transfer, i, transfer.TransferBufferLength).length > pipe->endpoint.BytesPerInterval()) {
                return fail(USBD_STATUS_INVALID_PARAMETER);
            }
        }
    }
    if (pipe->halted) {
        return fail(USBD_STATUS_ENDPOINT_HALTED);
    }

    const int64_t intervalNs = IntervalNs(speed);
    const uint64_t frame = FrameAt(nowNs);
    int64_t first;
    if ((transfer.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0) {
        const bool streaming = pipe->nextInterval >= 0 &&
                               (!pipe->pending.empty() || pipe->nextInterval * intervalNs >= nowNs);
        first = streaming ? pipe->nextInterval : int64_t(frame + controller_.Options().asapLeadFrames) * perFrame;
        transfer.StartFrame = ULONG(first / perFrame);
    } else {
        const int32_t ahead = int32_t(transfer.StartFrame - ULONG(frame));
        if (ahead < 0 || ahead > USBD_ISO_START_FRAME_RANGE) {
            return fail(USBD_STATUS_BAD_START_FRAME);
        }
        first = int64_t(frame + uint64_t(ahead)) * perFrame;
    }
    const int64_t end = first + int64_t(packets) * pipe->period;
    if (end > pipe->nextInterval) {
        pipe->nextInterval = end;
    }

    PendingIsoTransfer pending;
    pending.irp = irp;
    pending.urb = urb;
    pending.buffer = buffer;
    pending.bufferLength = transfer.TransferBufferLength;
    pending.submittedNs = nowNs;
    pending.firstInterval = first;
    pending.completionNs = (first + int64_t(packets - 1) * pipe->period + 1) * intervalNs;
    auto faults = faults_.find(pipe->endpoint.address);
    if (faults != faults_.end()) {
        pending.completionNs += faults->second.TakeCompletionDelay();
    }
    for (ULONG i = 0; i < packets; ++i) {
        transfer.IsoPacket[i].Status = USBD_STATUS_PENDING;
        if (pipe->endpoint.IsIn()) {
            transfer.IsoPacket[i].Length = 0;
        }
    }
    transfer.ErrorCount = 0;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    pipe->pending.push_back(pending);
    return STATUS_PENDING;
}

BusDevice::DuePacket BusDevice::NextDuePacketLocked(int64_t upToNs)
{
    DuePacket due;
    const int64_t intervalNs = IntervalNs(model_->Speed());
    for (auto& [value, pipe] : pipes_) {
        for (PendingIsoTransfer& transfer : pipe.pending) {
            if (transfer.failure != USBD_STATUS_SUCCESS ||
                transfer.nextPacket >= transfer.urb->UrbIsochronousTransfer.NumberOfPackets) {
                continue;
            }
            const int64_t startNs = (transfer.firstInterval + int64_t(transfer.nextPacket) * pipe.period) * intervalNs;
            if (startNs + intervalNs <= upToNs && (due.pipe == nullptr || startNs < due.startNs)) {
                due = DuePacket{&pipe, &transfer, startNs};
            }
        }
    }
    return due;
}

void BusDevice::MovePacketLocked(const DuePacket& due)
{
    Pipe& pipe = *due.pipe;
    PendingIsoTransfer& pending = *due.transfer;
    auto& transfer = pending.urb->UrbIsochronousTransfer;
    const uint32_t index = pending.nextPacket++;
    USBD_ISO_PACKET_DESCRIPTOR& packet = transfer.IsoPacket[index];
    EndpointCounters& counters = counters_[pipe.endpoint.address];
    const bool in = pipe.endpoint.IsIn();
    auto lose = [&](USBD_STATUS status) {
        packet.Status = status;
        if (in) {
            packet.Length = 0;
        }
        ++pending.errors;
        ++counters.failedPackets;
    };

    auto faults = faults_.find(pipe.endpoint.address);
    FaultQueue* queue = faults == faults_.end() ? nullptr : &faults->second;
    if (pipe.halted) {
        pending.failure = USBD_STATUS_ENDPOINT_HALTED;
        lose(USBD_STATUS_ENDPOINT_HALTED);
        return;
    }
    if (queue != nullptr && queue->TakeStall()) {
        pipe.halted = true;
        pending.failure = USBD_STATUS_STALL_PID;
        lose(USBD_STATUS_STALL_PID);
        return;
    }
    if (due.startNs < pending.submittedNs) {
        lose(USBD_STATUS_ISO_NA_LATE_USBPORT);
        return;
    }
    const PipeFault* fault = queue != nullptr ? queue->TakePacketFault() : nullptr;
    if (fault != nullptr && fault->kind == PipeFault::Kind::PacketError) {
        lose(fault->status);
        return;
    }

    const Span span = PacketSpan(transfer, index, pending.bufferLength);
    IsoSlot slot;
    slot.endpoint = pipe.endpoint.address;
    slot.durationNs = IntervalNs(model_->Speed());
    slot.busInterval = uint64_t(due.startNs / slot.durationNs);
    slot.startNs = due.startNs;
    slot.maxBytes = pipe.endpoint.BytesPerInterval();
    if (!in) {
        const USBD_STATUS status = model_->IsoOut(slot, pending.buffer + span.offset, span.length);
        if (!USBD_SUCCESS(status)) {
            lose(status);
            return;
        }
        packet.Status = USBD_STATUS_SUCCESS;
        pending.bytes += span.length;
        ++counters.packets;
        counters.bytes += span.length;
        return;
    }

    scratch_.assign(slot.maxBytes, 0);
    const IsoInData data = model_->IsoIn(slot, scratch_.data(), slot.maxBytes);
    if (!USBD_SUCCESS(data.status)) {
        lose(data.status);
        return;
    }
    if (data.length > slot.maxBytes) {
        lose(USBD_STATUS_BABBLE_DETECTED);
        return;
    }
    uint32_t length = data.length;
    if (fault != nullptr && fault->kind == PipeFault::Kind::ShortPacket && fault->length < length) {
        length = fault->length;
    }
    if (length > span.length) {
        // The packet's room in the buffer ends at the next packet's Offset.
        std::memcpy(pending.buffer + span.offset, scratch_.data(), span.length);
        packet.Length = span.length;
        packet.Status = USBD_STATUS_BUFFER_OVERRUN;
        ++pending.errors;
        ++counters.failedPackets;
        return;
    }
    std::memcpy(pending.buffer + span.offset, scratch_.data(), length);
    packet.Length = length;
    packet.Status = USBD_STATUS_SUCCESS;
    pending.bytes += length;
    ++counters.packets;
    counters.bytes += length;
}

void BusDevice::FinishIsoTransferLocked(Pipe& pipe, PendingIsoTransfer& pending, CompletionList& done)
{
    auto& transfer = pending.urb->UrbIsochronousTransfer;
    const bool in = pipe.endpoint.IsIn();
    for (ULONG i = pending.nextPacket; i < transfer.NumberOfPackets; ++i) {
        transfer.IsoPacket[i].Status = pending.failure;
        if (in) {
            transfer.IsoPacket[i].Length = 0;
        }
        ++pending.errors;
    }
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (pending.failure != USBD_STATUS_SUCCESS) {
        status = pending.failure;
    } else if (pending.errors == transfer.NumberOfPackets) {
        status = USBD_STATUS_ISOCH_REQUEST_FAILED;
    }
    transfer.ErrorCount = pending.errors;
    transfer.TransferBufferLength = pending.bytes;
    pending.urb->UrbHeader.Status = status;
    ++counters_[pipe.endpoint.address].transfers;
    done.push_back({pending.irp, NtStatusFromUsbd(status)});
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
    controller_.RunScheduleLocked(nowNs);
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
