// The WaveCyclic port's copy engine (wave_cyclic_pin.h): it follows the miniport's position and
// moves stream packet data into the cyclic buffer ahead of it (render) or out of it behind it
// (capture), through the stream's IDmaChannel, in pieces that never cross the buffer end.
#include <algorithm>
#include <string>

#include "sim/kernel/machine.h"
#include "sim/portcls/adapter_device.h"
#include "sim/portcls/wave_cyclic_pin.h"

namespace sim::portcls {

namespace {

ULONGLONG RoundUp(ULONGLONG bytes, ULONG unit) { return (bytes + unit - 1) / unit * unit; }
ULONGLONG RoundDown(ULONGLONG bytes, ULONG unit) { return bytes / unit * unit; }

}  // namespace

void WaveCyclicPin::Service()
{
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    LIST_ENTRY finished;
    InitializeListHead(&finished);
    KeAcquireSpinLockAtDpcLevel(&lock_);
    if (!closed_ && stream_ != nullptr) {
        ServiceLocked(finished);
    }
    KeReleaseSpinLockFromDpcLevel(&lock_);
    CompletePackets(finished, STATUS_SUCCESS);
    KeLowerIrql(irql);
}

void WaveCyclicPin::ServiceLocked(LIST_ENTRY& finished)
{
    ++counters_.services;
    if (state_ == KSSTATE_STOP) {
        return;
    }
    FollowPositionLocked();
    if (capture_) {
        CaptureLocked(finished);
    } else {
        RenderLocked(finished);
    }
}

void WaveCyclicPin::ResetPositionsLocked()
{
    lastPosition_ = 0;
    played_ = 0;
    written_ = 0;
    skipped_ = 0;
    received_ = 0;
}

// The miniport's offset, followed into a count since the last stop. An offset the verifier
// reports is taken as no movement.
void WaveCyclicPin::FollowPositionLocked()
{
    const ULONG size = dma_->BufferSize();
    ULONG position = 0;
    if (size == 0 || !NT_SUCCESS(stream_->GetPosition(&position))) {
        return;
    }
    if (position >= size) {
        Machine::Current().Verify().Report("WaveCyclic position",
                                           "GetPosition returned " + std::to_string(position) +
                                               ", at or past the end of a buffer of " + std::to_string(size) +
                                               " bytes");
        return;
    }
    if (position < lastPosition_ && lastPosition_ - position < size / 2) {
        Machine::Current().Verify().Report("WaveCyclic position", "GetPosition went back from " +
                                                                      std::to_string(lastPosition_) + " to " +
                                                                      std::to_string(position));
        return;
    }
    played_ += (position + size - lastPosition_) % size;
    lastPosition_ = position;
}

// Removes a packet from the queue for completion, unless its cancel routine already owns it.
bool WaveCyclicPin::TakeFinishedLocked(Packet* packet, LIST_ENTRY& finished)
{
    if (IoSetCancelRoutine(packet->irp, nullptr) == nullptr) {
        return false;
    }
    RemoveEntryList(&packet->links);
    InsertTailList(&finished, &packet->links);
    if (--packetCount_ == 0) {
        KeSetEvent(&noPackets_, IO_NO_INCREMENT, FALSE);
    }
    return true;
}

void WaveCyclicPin::RenderLocked(LIST_ENTRY& finished)
{
    const ULONG size = dma_->BufferSize();
    auto* buffer = static_cast<PUCHAR>(dma_->SystemAddress());
    if (state_ == KSSTATE_RUN && written_ < played_) {
        const ULONGLONG resume = RoundUp(played_, blockAlign_);
        ++counters_.starvations;
        counters_.bytesMissed += resume - written_;
        skipped_ += resume - written_;
        written_ = resume;
    }
    const ULONG guard = std::min(notificationBytes_, size / 2);
    const ULONGLONG limit = played_ + size - guard;
    PLIST_ENTRY entry = packets_.Flink;
    while (entry != &packets_) {
        Packet* packet = CONTAINING_RECORD(entry, Packet, links);
        if (packet->done < packet->header.DataUsed) {
            if (written_ >= limit) {
                break;
            }
            const ULONG offset = ULONG(written_ % size);
            const ULONG piece = ULONG(std::min<ULONGLONG>(
                {packet->header.DataUsed - packet->done, limit - written_, ULONGLONG(size - offset)}));
            dma_->CopyTo(buffer + offset, static_cast<PUCHAR>(packet->header.Data) + packet->done, piece);
            packet->done += piece;
            written_ += piece;
            counters_.bytesCopied += piece;
            continue;
        }
        entry = entry->Flink;
        if (TakeFinishedLocked(packet, finished)) {
            ++counters_.packets;
        }
    }
}

void WaveCyclicPin::CaptureLocked(LIST_ENTRY& finished)
{
    const ULONG size = dma_->BufferSize();
    auto* buffer = static_cast<PUCHAR>(dma_->SystemAddress());
    const ULONGLONG recorded = RoundDown(played_, blockAlign_);
    if (recorded > written_ + size) {
        ++counters_.overruns;
        skipped_ += recorded - written_;
        written_ = recorded;
    }
    PLIST_ENTRY entry = packets_.Flink;
    while (entry != &packets_) {
        Packet* packet = CONTAINING_RECORD(entry, Packet, links);
        const ULONG room = ULONG(RoundDown(packet->header.FrameExtent - packet->done, blockAlign_));
        if (room != 0 && written_ < recorded) {
            const ULONG offset = ULONG(written_ % size);
            const ULONG piece = ULONG(std::min<ULONGLONG>({room, recorded - written_, ULONGLONG(size - offset)}));
            dma_->CopyFrom(static_cast<PUCHAR>(packet->header.Data) + packet->done, buffer + offset, piece);
            packet->done += piece;
            written_ += piece;
            counters_.bytesCopied += piece;
            continue;
        }
        if (room != 0) {
            break;
        }
        entry = entry->Flink;
        if (TakeFinishedLocked(packet, finished)) {
            ++counters_.packets;
        }
    }
}

NTSTATUS WaveCyclicPin::Position(KSAUDIO_POSITION& position)
{
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    if (!closed_ && stream_ != nullptr && state_ != KSSTATE_STOP) {
        FollowPositionLocked();
    }
    const ULONGLONG reached = capture_ ? played_ : std::min(played_, written_);
    position.PlayOffset = reached > skipped_ ? reached - skipped_ : 0;
    position.WriteOffset = received_;
    KeReleaseSpinLock(&lock_, irql);
    return STATUS_SUCCESS;
}

}  // namespace sim::portcls
