// Render (OUT) transfers: how many isochronous packets a transfer needs and how many bytes each
// carries, so that the device receives exactly the sample frames it consumes. The packet sizes
// follow the capture stream when both directions share a clock, the feedback endpoint when the
// device has one, and the rate's packet pattern otherwise.
#include "driver/trace.h"
#include "driver/usbaudio/audio_quirks.h"
#include "driver/usbaudio/usb_audio_cl.h"


namespace {

constexpr ULONG kMicroframesPerFrame = 8;
constexpr ULONG kFractionBits = 16;
constexpr ULONG kFractionMask = 0xFFFF;
constexpr UCHAR kUsageTypeMask = 0x30;
constexpr UCHAR kImplicitFeedbackData = 0x20;
constexpr ULONG kLengthPrefixBytes = 4;
constexpr ULONG kLengthPrefixTag = 'TMPB';

ULONG ReadFeedback(StreamingInterface* render)
{
    KIRQL irql;
    KeAcquireSpinLock(&render->FeedbackLock, &irql);
    const ULONG value = render->FeedbackValue;
    KeReleaseSpinLock(&render->FeedbackLock, irql);
    return value;
}

ULONG Smaller(ULONG a, ULONG b) { return a < b ? a : b; }

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS CUSBAudioCL::SubmitRenderTransfer(PVOID buffer, PMDL mdl, ULONG length, ULONG periodMs,
                                           TransferCallback callback, PVOID callbackContext)
{
    return SubmitRender(buffer, mdl, length, periodMs, callback, callbackContext, USBD_START_ISO_TRANSFER_ASAP, 0);
}

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS CUSBAudioCL::SubmitRenderTransfer(PVOID buffer, PMDL mdl, ULONG length, ULONG periodMs,
                                           TransferCallback callback, PVOID callbackContext, ULONG startFrame)
{
    return SubmitRender(buffer, mdl, length, periodMs, callback, callbackContext, 0, startFrame);
}

// A capture endpoint that is the render clock's implicit feedback paces render like a shared clock.
bool CUSBAudioCL::RendersFromCaptureClock() const
{
    if (m_Model.IsClockShared()) {
        return true;
    }
    const StreamingInterface* capture = m_Model.GetCaptureInterface();
    if (capture == nullptr || capture->AlternateCount < 2 || capture->Alternates[1].DataEndpoint == nullptr) {
        return false;
    }
    return (capture->Alternates[1].DataEndpoint->bmAttributes & kUsageTypeMask) == kImplicitFeedbackData;
}

// Bus intervals one render packet spans: H on high speed; a full-speed packet is one frame.
ULONG CUSBAudioCL::PacketSubSteps() const
{
    return IsHighSpeed() && m_PacketInterval != 0 ? m_PacketInterval : 1;
}

NTSTATUS CUSBAudioCL::PlanRender(const StreamingInterface* render, ULONG length, ULONG periodMs, ULONG feedback,
                                 RenderPlan* plan) const
{
    *plan = RenderPlan{};
    const ULONG frameBytes = render->BytesPerSampleFrame;
    const ULONG steps = PacketSubSteps();
    const ULONG perFrame = IsHighSpeed() ? kMicroframesPerFrame / steps : 1;
    if (frameBytes == 0) {
        R9_TRACE("CUSBAudioCL::PlanRender: no render format selected\n");
        return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG packets = 0;
    if (RendersFromCaptureClock()) {
        plan->Path = RenderPath::SharedClock;
        const ULONG nominal = render->NominalPacketBytes;
        if (nominal == 0) {
            R9_TRACE("CUSBAudioCL::PlanRender: no nominal packet size\n");
            return STATUS_INVALID_DEVICE_STATE;
        }
        const LONG period = LONG(IsHighSpeed() ? periodMs * kMicroframesPerFrame : periodMs);
        const LONG k = (LONG(length) - period * LONG(nominal)) / LONG(frameBytes);
        if (k < 0 && k >= -period && render->WholeFrames) {
            plan->MinimumPackets = ULONG(-k);
            plan->NominalPackets = ULONG(period + k);
        } else if (k >= 1 && k <= period) {
            plan->MaximumPackets = ULONG(k);
            plan->NominalPackets = ULONG(period - k);
        } else {
            plan->NominalPackets = (length + nominal - 1) / nominal;
        }
        packets = plan->MaximumPackets + plan->NominalPackets + plan->MinimumPackets;
        if (IsHighSpeed() && packets % kMicroframesPerFrame != 0) {
            plan->MinimumPackets += kMicroframesPerFrame - packets % kMicroframesPerFrame;
            packets = plan->MaximumPackets + plan->NominalPackets + plan->MinimumPackets;
        }
    } else if (render->FeedbackPipe != nullptr) {
        plan->Path = RenderPath::ExplicitFeedback;
        ULONG accumulator = render->FractionAccumulator;
        ULONG bytes = 0;
        ULONG step = 0;
        // A feedback value too small to fill the transfer stops at the packet limit.
        while (bytes < length && packets <= kMaximumIsoPackets) {
            const ULONG v = accumulator + feedback;
            accumulator = v & kFractionMask;
            bytes += frameBytes * (v >> kFractionBits);
            if (++step == steps) {
                ++packets;
                step = 0;
            }
        }
        packets += step != 0 ? 1 : 0;
        if (packets % perFrame != 0) {
            packets += perFrame - packets % perFrame;
            plan->Rounded = true;
        }
    } else {
        plan->Path = RenderPath::Pattern;
        if (m_RenderPacketPattern == nullptr) {
            R9_TRACE("CUSBAudioCL::PlanRender: no packet pattern for the render rate\n");
            return STATUS_INVALID_DEVICE_STATE;
        }
        ULONG entryCount = 0;
        const USHORT* entries = usbaudio::PatternEntries(*m_RenderPacketPattern, IsHighSpeed(), &entryCount);
        ULONG position = entryCount == 0 ? 0 : m_PatternPosition % entryCount;
        ULONG bytes = 0;
        ULONG step = 0;
        while (entryCount != 0 && bytes < length && packets <= kMaximumIsoPackets) {
            bytes += frameBytes * entries[position];
            position = (position + 1) % entryCount;
            if (++step == steps) {
                ++packets;
                step = 0;
            }
        }
        packets += step != 0 ? 1 : 0;
        if (packets % perFrame != 0) {
            packets += perFrame - packets % perFrame;
        }
        plan->LengthPrefixed = (m_Model.GetQuirks() & usbaudio::kQuirkLengthPrefixedRender) != 0;
    }
    if (packets > kMaximumIsoPackets) {
        R9_TRACE("CUSBAudioCL::PlanRender: %u bytes need %u packets\n", unsigned(length), unsigned(packets));
        return STATUS_INVALID_PARAMETER;
    }
    plan->Packets = packets;
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::SubmitRender(PVOID buffer, PMDL mdl, ULONG length, ULONG periodMs, TransferCallback callback,
                                   PVOID callbackContext, ULONG transferFlags, ULONG startFrame)
{
    StreamingInterface* render = m_Model.GetRenderInterface();
    if (render == nullptr || render->DataPipe == nullptr) {
        R9_TRACE("CUSBAudioCL::SubmitRenderTransfer: no render data pipe\n");
        return STATUS_NOT_SUPPORTED;
    }
    if (length == 0) {
        R9_TRACE("CUSBAudioCL::SubmitRenderTransfer: empty transfer\n");
    }
    // One reading sizes the transfer and lays out its packets: a report arriving in between would
    // leave the packets counted for one rate and filled at another.
    const ULONG feedback = render->FeedbackPipe != nullptr ? ReadFeedback(render) : 0;
    RenderPlan plan;
    NTSTATUS status = PlanRender(render, length, periodMs, feedback, &plan);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TransferContext* context = AllocateTransferContext(render->DataPipe, callback, callbackContext);
    if (context == nullptr) {
        R9_TRACE("CUSBAudioCL::SubmitRenderTransfer: no transfer context\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    const ULONG prefixedLength = length + kLengthPrefixBytes * plan.Packets;
    PUCHAR prefixed = nullptr;
    if (plan.LengthPrefixed) {
        prefixed = static_cast<PUCHAR>(ExAllocatePoolWithTag(GetPoolType(), prefixedLength, kLengthPrefixTag));
        if (prefixed == nullptr) {
            R9_TRACE("CUSBAudioCL::SubmitRenderTransfer: no memory for %u prefixed bytes\n", unsigned(prefixedLength));
            FreeTransferContext(context);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        context->extraBuffer = prefixed;
        context->extraBufferLength = prefixedLength;
    }
    PURB urb = AllocateIsoUrb();
    if (urb == nullptr) {
        R9_TRACE("CUSBAudioCL::SubmitRenderTransfer: no isochronous URB\n");
        if (prefixed != nullptr) {
            ExFreePool(prefixed);
        }
        FreeTransferContext(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG urbLength = GET_ISO_URB_SIZE(plan.Packets);
    RtlZeroMemory(urb, urbLength);
    struct _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
    transfer.Hdr.Length = USHORT(urbLength);
    transfer.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    transfer.PipeHandle = render->DataPipe->PipeHandle;
    transfer.TransferFlags = transferFlags;
    transfer.StartFrame = startFrame;
    transfer.NumberOfPackets = plan.Packets;
    if (plan.LengthPrefixed) {
        transfer.TransferBuffer = prefixed;
        transfer.TransferBufferLength = prefixedLength;
    } else {
        transfer.TransferBuffer = buffer;
        transfer.TransferBufferMDL = mdl;
        transfer.TransferBufferLength = length;
    }
    context->urb = urb;

    switch (plan.Path) {
    case RenderPath::SharedClock: LayOutSharedClock(render, plan, length, &transfer); break;
    case RenderPath::ExplicitFeedback: LayOutFeedback(render, plan, length, feedback, &transfer); break;
    case RenderPath::Pattern:
        if (plan.LengthPrefixed) {
            status = LayOutLengthPrefixed(render, buffer, mdl, length, prefixed, &transfer);
        } else {
            LayOutPattern(render, length, &transfer);
        }
        break;
    }
    if (NT_SUCCESS(status)) {
        status = SubmitUrbAsync(urb, context);
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBAudioCL::SubmitRenderTransfer: 0x%08X\n", unsigned(status));
        FreeIsoUrb(urb);
        if (prefixed != nullptr) {
            ExFreePool(prefixed);
        }
        FreeTransferContext(context);
    }
    return status;
}

void CUSBAudioCL::LayOutSharedClock(const StreamingInterface* render, const RenderPlan& plan, ULONG length,
                                    struct _URB_ISOCH_TRANSFER* transfer) const
{
    ULONG assigned = 0;
    ULONG i = 0;
    auto take = [&](ULONG count, ULONG size) {
        for (ULONG j = 0; j < count; ++j, ++i) {
            const ULONG bytes = Smaller(size, length - assigned);
            transfer->IsoPacket[i].Offset = assigned;
            transfer->IsoPacket[i].Length = bytes;
            assigned += bytes;
        }
    };
    take(plan.MaximumPackets, render->MaximumPacketBytes);
    take(plan.NominalPackets, render->NominalPacketBytes);
    take(plan.MinimumPackets, render->MinimumPacketBytes);
}

void CUSBAudioCL::LayOutFeedback(StreamingInterface* render, const RenderPlan& plan, ULONG length, ULONG feedback,
                                 struct _URB_ISOCH_TRANSFER* transfer) const
{
    const ULONG frameBytes = render->BytesPerSampleFrame;
    ULONG assigned = 0;
    if (plan.Rounded) {
        // Packets added to fill the frame must not stay empty while others overflow: spread the
        // transfer's frames evenly and leave the carried fraction alone.
        const ULONG frames = length / frameBytes;
        for (ULONG i = 0; i < plan.Packets; ++i) {
            const ULONG packetFrames = frames / plan.Packets + (i < frames % plan.Packets ? 1 : 0);
            transfer->IsoPacket[i].Offset = assigned;
            assigned += Smaller(packetFrames * frameBytes, length - assigned);
        }
        return;
    }
    const ULONG steps = PacketSubSteps();
    ULONG accumulator = render->FractionAccumulator;
    for (ULONG i = 0; i < plan.Packets; ++i) {
        ULONG bytes = 0;
        for (ULONG step = 0; step < steps && assigned + bytes < length; ++step) {
            const ULONG v = accumulator + feedback;
            accumulator = v & kFractionMask;
            bytes += Smaller(frameBytes * (v >> kFractionBits), length - assigned - bytes);
        }
        transfer->IsoPacket[i].Offset = assigned;
        transfer->IsoPacket[i].Length = bytes;
        assigned += bytes;
        render->FractionAccumulator = accumulator;
    }
}

void CUSBAudioCL::LayOutPattern(const StreamingInterface* render, ULONG length, struct _URB_ISOCH_TRANSFER* transfer)
{
    ULONG entryCount = 0;
    const USHORT* entries = usbaudio::PatternEntries(*m_RenderPacketPattern, IsHighSpeed(), &entryCount);
    const ULONG steps = PacketSubSteps();
    ULONG position = m_PatternPosition % entryCount;
    ULONG assigned = 0;
    for (ULONG i = 0; i < transfer->NumberOfPackets; ++i) {
        ULONG bytes = 0;
        for (ULONG step = 0; step < steps && assigned + bytes < length; ++step) {
            bytes += Smaller(render->BytesPerSampleFrame * entries[position], length - assigned - bytes);
            position = (position + 1) % entryCount;
        }
        transfer->IsoPacket[i].Offset = assigned;
        transfer->IsoPacket[i].Length = bytes;
        assigned += bytes;
    }
    m_PatternPosition = position;
}

// The length-prefix device reads a 32-bit byte count in front of every packet's audio.
NTSTATUS CUSBAudioCL::LayOutLengthPrefixed(const StreamingInterface* render, PVOID buffer, PMDL mdl, ULONG length,
                                           PUCHAR prefixed, struct _URB_ISOCH_TRANSFER* transfer)
{
    const UCHAR* source = static_cast<const UCHAR*>(buffer);
    if (source == nullptr && mdl != nullptr) {
        source = static_cast<const UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        if (source == nullptr) {
            R9_TRACE("CUSBAudioCL::SubmitRenderTransfer: the render buffer cannot be mapped\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (prefixed == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG entryCount = 0;
    const USHORT* entries = usbaudio::PatternEntries(*m_RenderPacketPattern, IsHighSpeed(), &entryCount);
    const ULONG total = transfer->TransferBufferLength;
    // The position may have been left by a longer pattern (another rate): it wraps like everywhere else.
    ULONG position = m_PatternPosition % entryCount;
    ULONG slot = 0;
    ULONG assigned = 0;
    for (ULONG i = 0; i < transfer->NumberOfPackets && total - slot > kLengthPrefixBytes; ++i) {
        const ULONG taken = Smaller(render->BytesPerSampleFrame * entries[position], length - assigned);
        position = (position + 1) % entryCount;
        const ULONG room = total - slot - kLengthPrefixBytes;
        const ULONG copied = taken <= room && source != nullptr ? taken : 0;
        RtlCopyMemory(prefixed + slot + kLengthPrefixBytes, source + assigned, copied);
        prefixed[slot] = UCHAR(copied);
        prefixed[slot + 1] = UCHAR(copied >> 8);
        prefixed[slot + 2] = UCHAR(copied >> 16);
        prefixed[slot + 3] = UCHAR(copied >> 24);
        transfer->IsoPacket[i].Offset = slot;
        transfer->IsoPacket[i].Length = copied + kLengthPrefixBytes;
        slot += copied + kLengthPrefixBytes;
        assigned += taken;
    }
    m_PatternPosition = position;
    return STATUS_SUCCESS;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG CUSBAudioCL::GetRenderBytes(ULONG periodMs, ULONG feedbackValue) const
{
    const StreamingInterface* render = m_Model.GetRenderInterface();
    if (render == nullptr) {
        return 0;
    }
    const ULONG interval = m_PacketInterval != 0 ? m_PacketInterval : 1;
    const ULONG packets = IsHighSpeed() ? periodMs * (kMicroframesPerFrame / interval) : periodMs;
    const ULONG intervals = interval * packets;
    ULONG frames = 0;
    if (render->FeedbackPipe != nullptr) {
        frames = (render->FractionAccumulator + intervals * feedbackValue) >> kFractionBits;
    } else if (m_RenderPacketPattern != nullptr) {
        ULONG entryCount = 0;
        const USHORT* entries = usbaudio::PatternEntries(*m_RenderPacketPattern, IsHighSpeed(), &entryCount);
        for (ULONG i = 0; i < intervals && entryCount != 0; ++i) {
            frames += entries[(m_PatternPosition + i) % entryCount];
        }
    }
    return frames * render->BytesPerSampleFrame;
}

// IRQL: <= DISPATCH_LEVEL. The interval is the data pipe's as corrected when the pipe was looked up,
// the one all packet arithmetic uses: a full-speed endpoint serves a packet every frame whatever
// its bInterval says, and a high-speed bInterval of 0 means every microframe.
ULONG CUSBAudioCL::PacketsToBusIntervals(ULONG direction, ULONG packets) const
{
    const StreamingInterface* record = GetStreamingInterface(direction);
    if (record == nullptr || record->DataPipe == nullptr) {
        return 0;
    }
    return packets * GetPipeInterval(record->DataPipe);
}
