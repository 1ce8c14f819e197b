// Render requests: each is sized from the pacing (feedback or capture), filled with silence, then
// with the wave stream's queued regions converted to the device's format (and ASIO output when it
// is mixed as requests are built), and submitted; its completion reports progress to the wave
// stream and builds the next request of the chain at once.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/engine/sample_packing.h"
#include "driver/engine/stream_engine.h"
#include "driver/trace.h"

namespace {

constexpr LONG kDumpRenderSource = 1;
constexpr LONG kDumpRenderRequest = -2;

}  // namespace

// IRQL: <= DISPATCH_LEVEL. From the thread (`completed` null) or from a completion with the
// context that just came back. Returns whether a request went out; when none did, the chain ends.
bool StreamEngine::BuildRenderRequest(RequestContext* completed)
{
    EngineDirection& render = m_Direction[kDirectionOut];
    IEngineCallback* callback = m_Adapter.EngineCallback();
    RequestContext* context = nullptr;
    bool submitted = false;
    bool acquired = false;
    ULONG copied = 0;
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_RequestLock, &lock);
    if (completed != nullptr) {
        completed->length = 0;
        InsertTailList(&m_IdleRenderContexts, &completed->links);
    }
    if (!IsSet(&render.runEvent) || (QueuedRegionBytes(kDirectionOut) == 0 && IsSet(&render.stopEvent)) ||
        IsSet(&render.errorEvent) || IsListEmpty(&m_IdleRenderContexts)) {
        goto Done;
    }
    context = CONTAINING_RECORD(RemoveHeadList(&m_IdleRenderContexts), RequestContext, links);
    {
        const ULONG length = RenderLength(context);
        if (length == 0) {
            // Capture delivered nothing to send: its pacing is lost, start again.
            if (FollowsCapture()) {
                R9_TRACE("StreamEngine: render request of 0 bytes\n");
                KeSetEvent(&render.errorEvent, IO_NO_INCREMENT, FALSE);
            }
            goto Done;
        }
        if (length > render.transferBufferBytes) {
            R9_TRACE("StreamEngine: render request of %u bytes exceeds %u\n", unsigned(length),
                     unsigned(render.transferBufferBytes));
            goto Done;
        }
        context->length = length;
    }
    RtlFillMemory(context->buffer, context->length, m_Asio.RenderFillByte());
    if (completed != nullptr && callback != nullptr && render.usbFormat.bytesPerFrame != 0) {
        const ULONG clientBytes =
            context->length / render.usbFormat.bytesPerFrame * m_Adapter.GetDirectionFormat(kDirectionOut).blockAlign;
        callback->ReportRenderBytes(kDirectionOut, clientBytes, RenderDuration());
    }
    acquired = callback != nullptr && callback->AcquireStream(kDirectionOut);
    if (acquired) {
        copied = CopyRenderRegions(context);
    }
    if (completed != nullptr) {
        m_Asio.MixAtBuildTime(context);
    }
    if (g_DriverTuning.dumpSelector == kDumpRenderRequest) {
        DumpData("render request", context->buffer, context->length);
    }
    {
        const NTSTATUS status = SubmitRender(context);
        if (NT_SUCCESS(status)) {
            m_Asio.OnRenderSubmitted(context);
            submitted = true;
            InterlockedExchangeAdd64(&m_Statistics.renderFramesSent, context->length / render.usbFormat.bytesPerFrame);
        } else {
            R9_TRACE("StreamEngine: render submission failed 0x%08X\n", unsigned(status));
            KeSetEvent(&render.errorEvent, IO_NO_INCREMENT, FALSE);
        }
    }
    if (acquired) {
        if (copied == 0) {
            InterlockedIncrement(&m_Statistics.renderUnderruns);
            callback->NotifyPort(kDirectionOut);
        } else {
            callback->AdvanceClock(kDirectionOut, copied, RenderDuration());
        }
        callback->ReleaseStream(kDirectionOut);
    }

Done:
    if (!submitted) {
        if (context != nullptr) {
            InsertHeadList(&m_IdleRenderContexts, &context->links);
        }
        KeReleaseSemaphore(&render.requests, IO_NO_INCREMENT, 1, FALSE);
        render.chains.Retire();
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    return submitted;
}

// Under the request lock. Feedback pacing sizes the request from the latest accepted report;
// capture pacing gives it the nominal length and a correction drawn from the frame surplus, or,
// before the first completion of a run, what the prefill counted into it.
ULONG StreamEngine::RenderLength(RequestContext* context)
{
    EngineDirection& render = m_Direction[kDirectionOut];
    if (!FollowsCapture()) {
        const ULONG feedback = IsRenderFeedbackPaced() ? TakeCurrentFeedback() : 0;
        context->feedbackUsed = feedback;
        return UsbAudio().GetRenderBytes(g_DriverTuning.outPacketsPerRequest, feedback);
    }
    if (!IsSet(&render.startedEvent)) {
        return context->length;
    }
    ULONG length = render.nominalBytesPerRequest;
    if (length != 0) {
        length += ULONG(TakeFrameSurplus() * LONG(render.usbFormat.bytesPerFrame));
    }
    return length;
}

// Under the request lock. Whole client frames from the oldest regions, converted into the request,
// at most what the request holds; the consumed parts of the wave buffer are silenced. Returns the
// client bytes taken.
ULONG StreamEngine::CopyRenderRegions(RequestContext* context)
{
    const UsbStreamFormat& usb = m_Direction[kDirectionOut].usbFormat;
    const DirectionFormat& client = m_Adapter.GetDirectionFormat(kDirectionOut);
    RegionList& regions = m_Direction[kDirectionOut].regions;
    IEngineCallback* callback = m_Adapter.EngineCallback();
    if (usb.bytesPerFrame == 0 || client.blockAlign == 0) {
        return 0;
    }
    ULONG frames = context->length / usb.bytesPerFrame;
    PUCHAR destination = context->buffer;
    ULONG room = context->length;
    ULONG taken = 0;
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&regions.lock, &lock);
    while (frames != 0 && !IsListEmpty(&regions.head)) {
        BufferRegion* region = CONTAINING_RECORD(regions.head.Flink, BufferRegion, links);
        ULONG portion = region->remaining / client.blockAlign;
        if (portion > frames) {
            portion = frames;
        }
        const ULONG bytes = portion * client.blockAlign;
        const ULONG written = PackFrames(destination, room, region->current, bytes, usb.channels, usb.bits,
                                         client.channels, client.bitsPerSample);
        if (g_DriverTuning.dumpSelector == kDumpRenderSource) {
            DumpData("render source", region->current, bytes);
        }
        if (bytes != 0 && callback != nullptr) {
            callback->SilenceRegion(kDirectionOut, region->current, bytes);
        }
        destination += written;
        room -= written;
        frames -= portion;
        taken += bytes;
        region->current += bytes;
        region->remaining -= bytes;
        if (region->remaining < client.blockAlign) {
            RemoveEntryList(&region->links);
            ExFreeToNPagedLookasideList(&m_RegionRecords, region);
        }
    }
    if (regions.queuedBytes < taken) {
        R9_TRACE("StreamEngine: %u render bytes taken, %u were queued\n", unsigned(taken),
                 unsigned(regions.queuedBytes));
        regions.queuedBytes = 0;
    } else {
        regions.queuedBytes -= taken;
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    return taken;
}

// Under the request lock. A duplex device's requests follow each other frame by frame from the
// first one, so that render keeps its place against capture; otherwise the stack schedules them.
NTSTATUS StreamEngine::SubmitRender(RequestContext* context)
{
    EngineDirection& render = m_Direction[kDirectionOut];
    const ULONG period = g_DriverTuning.outPacketsPerRequest;
    if (!m_Adapter.IsDuplex()) {
        return UsbAudio().SubmitRenderTransfer(context->buffer, context->mdl, context->length, period,
                                               &StreamEngine::RenderDone, context);
    }
    if (render.firstRun) {
        render.firstRun = FALSE;
        render.nextStartFrame = QueryBusFrame() + g_DriverTuning.outStartLead;
    }
    context->scheduledFrame = render.nextStartFrame;
    render.nextStartFrame += period;
    return UsbAudio().SubmitRenderTransfer(context->buffer, context->mdl, context->length, period,
                                           &StreamEngine::RenderDone, context, context->scheduledFrame);
}

void StreamEngine::RenderDone(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames)
{
    auto* request = static_cast<RequestContext*>(context);
    request->engine->QueueCompletion(kDirectionOut, request, status, bytes, startFrame, busFrames);
}

// IRQL: DISPATCH_LEVEL, in order of completion.
void StreamEngine::CompleteRender(RequestContext* context)
{
    EngineDirection& render = m_Direction[kDirectionOut];
    CheckCompletionGap(kDirectionOut, context, g_DriverTuning.outPacketsPerRequest,
                       g_DriverTuning.outRequestsInFlight);
    m_Asio.OnRenderCompleted(context);
    bool failed = false;
    if (!NT_SUCCESS(context->status)) {
        R9_TRACE("StreamEngine: render completion 0x%08X\n", unsigned(context->status));
        if (IsDeviceGone(context->status)) {
            KeSetEvent(&render.stopEvent, IO_NO_INCREMENT, FALSE);
        }
        failed = true;
    } else if (context->actualLength != context->length) {
        R9_TRACE("StreamEngine: render request moved %u of %u bytes\n", unsigned(context->actualLength),
                 unsigned(context->length));
        failed = true;
    }
    IEngineCallback* callback = m_Adapter.EngineCallback();
    if (!failed) {
        if (callback != nullptr) {
            callback->NotifyPort(kDirectionOut);
        }
        BuildRenderRequest(context);
        return;
    }
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_RequestLock, &lock);
    render.firstRun = TRUE;
    KeReleaseInStackQueuedSpinLock(&lock);
    KeSetEvent(&render.errorEvent, IO_NO_INCREMENT, FALSE);
    if (context->workItem != nullptr) {
        IoQueueWorkItem(context->workItem, &StreamEngine::FinishRenderError, DelayedWorkQueue, context);
        return;
    }
    KeAcquireInStackQueuedSpinLock(&m_RequestLock, &lock);
    context->length = 0;
    InsertTailList(&m_IdleRenderContexts, &context->links);
    KeReleaseInStackQueuedSpinLock(&lock);
    KeReleaseSemaphore(&render.requests, IO_NO_INCREMENT, 1, FALSE);
    render.chains.Retire();
}

// IRQL: PASSIVE_LEVEL. The wave stream hears that a period passed; the build then finds the error
// event set and ends the chain.
void StreamEngine::FinishRenderError(PDEVICE_OBJECT, PVOID context)
{
    auto* request = static_cast<RequestContext*>(context);
    StreamEngine* self = request->engine;
    IEngineCallback* callback = self->m_Adapter.EngineCallback();
    if (callback != nullptr) {
        callback->NotifyPort(kDirectionOut);
    }
    self->BuildRenderRequest(request);
}

// What one render request spans, in milliseconds, the unit of the wave stream's position clock.
// On full speed that is the request's bus intervals: each packet takes one 1-ms frame. On high
// speed the packets are counted in microframes (scaled by the endpoint's interval), while the
// request still carries `outPacketsPerRequest` milliseconds of audio, for which its packets were
// sized: that span is what the clock must spread the request's bytes over.
ULONG StreamEngine::RenderDuration()
{
    if (UsbAudio().IsHighSpeed()) {
        return g_DriverTuning.outPacketsPerRequest;
    }
    return UsbAudio().PacketsToBusIntervals(kDirectionOut, g_DriverTuning.outPacketsPerRequest);
}
