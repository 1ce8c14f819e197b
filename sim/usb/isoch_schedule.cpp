// Isochronous packets on the frame clock, as an EHCI controller moves them. At the start of a frame
// the controller takes the bytes of the frame's OUT packets from their buffers (it may cache its
// schedule up to a frame ahead); when the frame has ended its packets have crossed the bus: the
// device has taken the OUT bytes as they were fetched and sent its IN packets, which are now in
// their buffers. A transfer completes at the end of its last packet's frame.
//
// The device model sees every packet in bus order across all endpoints, after its interval has
// ended, with the interval's own times; when it sees it makes no difference to what it sees.
#include <algorithm>
#include <cstring>

#include "sim/usb/bus_device.h"
#include "sim/usb/bus_time.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/isoch_packets.h"
#include "sim/usb/usbd_status.h"

namespace sim::usb {

namespace {

bool Moving(const PendingIsoTransfer& transfer)
{
    return transfer.failure == USBD_STATUS_SUCCESS &&
           transfer.nextPacket < transfer.urb->UrbIsochronousTransfer.NumberOfPackets;
}

}  // namespace

int64_t BusDevice::FrameOfPacket(const Pipe& pipe, const PendingIsoTransfer& transfer, uint32_t packet) const
{
    return (transfer.firstInterval + int64_t(packet) * pipe.period) / IntervalsPerFrame(model_->Speed());
}

BusDevice::DuePacket BusDevice::NextDuePacketLocked(int64_t frame)
{
    DuePacket due;
    for (auto& [value, pipe] : pipes_) {
        // A pipe's transfers lie in bus order: its next packet is in the first one still moving.
        for (PendingIsoTransfer& transfer : pipe.pending) {
            if (!Moving(transfer)) {
                continue;
            }
            const int64_t interval = transfer.firstInterval + int64_t(transfer.nextPacket) * pipe.period;
            const int64_t microframe = interval * (kMicroframesPerFrame / IntervalsPerFrame(model_->Speed()));
            if (FrameOfPacket(pipe, transfer, transfer.nextPacket) < frame &&
                (due.pipe == nullptr || microframe < due.microframe)) {
                due = DuePacket{&pipe, &transfer, interval, microframe};
            }
            break;
        }
    }
    return due;
}

void BusDevice::FetchOutPacketsLocked(int64_t frame)
{
    for (auto& [value, pipe] : pipes_) {
        if (pipe.endpoint.IsIn()) {
            continue;
        }
        for (PendingIsoTransfer& transfer : pipe.pending) {
            const auto& urb = transfer.urb->UrbIsochronousTransfer;
            while (transfer.fetchedPackets < urb.NumberOfPackets &&
                   FrameOfPacket(pipe, transfer, transfer.fetchedPackets) <= frame) {
                const PacketSpan span = SpanOfPacket(urb, transfer.fetchedPackets, transfer.bufferLength);
                std::memcpy(transfer.fetched.data() + span.offset, transfer.buffer + span.offset, span.length);
                ++transfer.fetchedPackets;
            }
            if (transfer.fetchedPackets < urb.NumberOfPackets) {
                break;
            }
        }
    }
}

void BusDevice::DeliverPacketLocked(const DuePacket& due)
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
    if (index < pending.latePackets) {
        lose(USBD_STATUS_ISO_NA_LATE_USBPORT);
        return;
    }
    const PipeFault* fault = queue != nullptr ? queue->TakePacketFault() : nullptr;
    if (fault != nullptr && fault->kind == PipeFault::Kind::PacketError) {
        lose(fault->status);
        return;
    }

    const BusClock& clock = controller_.Clock();
    const UsbSpeed speed = model_->Speed();
    const PacketSpan span = SpanOfPacket(transfer, index, pending.bufferLength);
    IsoSlot slot;
    slot.endpoint = pipe.endpoint.address;
    slot.busInterval = uint64_t(due.interval);
    slot.startNs = clock.IntervalStartNs(due.interval, speed);
    slot.durationNs = clock.IntervalStartNs(due.interval + 1, speed) - slot.startNs;
    slot.maxBytes = pipe.endpoint.BytesPerInterval();
    slot.bus = &clock;
    if (!in) {
        // A controller that fell behind (a DPC that ran late in realtime) fetches on its way.
        if (index >= pending.fetchedPackets) {
            std::memcpy(pending.fetched.data() + span.offset, pending.buffer + span.offset, span.length);
            pending.fetchedPackets = index + 1;
        }
        const USBD_STATUS status = model_->IsoOut(slot, pending.fetched.data() + span.offset, span.length);
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

int64_t BusDevice::PipeEventLocked(const Pipe& pipe) const
{
    if (pipe.pending.empty()) {
        return INT64_MAX;
    }
    const BusClock& clock = controller_.Clock();
    int64_t next = pipe.pending.front().completionNs;
    bool fetchFound = pipe.endpoint.IsIn();
    bool deliveryFound = false;
    for (const PendingIsoTransfer& transfer : pipe.pending) {
        if (transfer.failure != USBD_STATUS_SUCCESS) {
            continue;
        }
        const ULONG packets = transfer.urb->UrbIsochronousTransfer.NumberOfPackets;
        if (!fetchFound && transfer.fetchedPackets < packets) {
            fetchFound = true;
            next = std::min(next, clock.FrameStartNs(FrameOfPacket(pipe, transfer, transfer.fetchedPackets)));
        }
        if (!deliveryFound && transfer.nextPacket < packets) {
            deliveryFound = true;
            next = std::min(next, clock.FrameStartNs(FrameOfPacket(pipe, transfer, transfer.nextPacket) + 1));
        }
        if (fetchFound && deliveryFound) {
            break;
        }
    }
    return next;
}

int64_t BusDevice::NextEventLocked() const
{
    int64_t next = INT64_MAX;
    for (const auto& [value, pipe] : pipes_) {
        next = std::min(next, PipeEventLocked(pipe));
    }
    if (!control_.empty() && control_.front().completionNs < next) {
        next = control_.front().completionNs;
    }
    return next;
}

bool BusDevice::HoldsBufferLocked(const uint8_t* begin, const uint8_t* end) const
{
    for (const auto& [value, pipe] : pipes_) {
        for (const PendingIsoTransfer& transfer : pipe.pending) {
            if (begin < transfer.buffer + transfer.bufferLength && transfer.buffer < end) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace sim::usb
