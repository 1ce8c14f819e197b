// Capture: the thread that starts the chains and resets them, the requests, and their completions,
// whose audio goes to the ASIO input path and, converted to the client's format, into the wave
// stream's queued capture regions.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/engine/sample_packing.h"
#include "driver/engine/stream_engine.h"
#include "driver/trace.h"

namespace {

constexpr LONG kDumpCaptured = 2;
constexpr LONGLONG kOneMillisecond = 10000;  // 100 ns units

}  // namespace

void StreamEngine::CaptureThread(PVOID context)
{
    static_cast<StreamEngine*>(context)->RunCaptureThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// IRQL: PASSIVE_LEVEL. One semaphore count per chain: the thread takes one, then starts a chain
// with it, or resets, or ends; every ended chain gives its count back.
void StreamEngine::RunCaptureThread()
{
    EngineDirection& capture = m_Direction[kDirectionIn];
    StreamingInterface* stream = UsbAudio().GetStreamingInterface(kDirectionIn);
    for (;;) {
        KeWaitForSingleObject(&capture.requests, Executive, KernelMode, FALSE, nullptr);
        PVOID events[3] = {&capture.stopEvent, &capture.errorEvent, &capture.runEvent};
        const NTSTATUS which =
            KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (which == STATUS_WAIT_0) {
            KeReleaseSemaphore(&capture.requests, IO_NO_INCREMENT, 1, FALSE);
            capture.chains.WaitForZero(nullptr);
            UsbAudio().ResetPipe(stream->DataPipe);
            return;
        }
        if (which == STATUS_WAIT_1) {
            R9_TRACE("StreamEngine: resetting capture\n");
            InterlockedIncrement(&m_Statistics.captureResets);
            KeReleaseSemaphore(&capture.requests, IO_NO_INCREMENT, 1, FALSE);
            UsbAudio().AbortPipe(stream->DataPipe);
            capture.chains.WaitForZero(nullptr);
            UsbAudio().ResetPipe(stream->DataPipe);
            {
                KLOCK_QUEUE_HANDLE lock;
                KeAcquireInStackQueuedSpinLock(&capture.scheduleLock, &lock);
                capture.firstRun = TRUE;
                KeReleaseInStackQueuedSpinLock(&lock);
            }
            KeClearEvent(&capture.startedEvent);
            KeClearEvent(&capture.errorEvent);
            // A capture that fails at once again (a pipe that is gone, a device that refuses every
            // request) would otherwise reset in a tight loop; one request's length costs nothing.
            LARGE_INTEGER pause;
            pause.QuadPart = -LONGLONG(g_DriverTuning.inPacketsPerRequest) * kOneMillisecond;
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            // Render built on capture's frames, or mixed against capture's timeline, starts again
            // with it.
            if (m_Asio.IsLateMixing() || FollowsCapture()) {
                KeSetEvent(&m_Direction[kDirectionOut].errorEvent, IO_NO_INCREMENT, FALSE);
            }
            continue;
        }
        capture.chains.Add();
        SubmitCapture(nullptr);
    }
}

// The frame a capture request is meant for. Capture goes out as soon as possible, so this only
// shows when the chains fell behind the bus.
ULONG StreamEngine::CaptureStartFrame()
{
    EngineDirection& capture = m_Direction[kDirectionIn];
    const ULONG now = QueryBusFrame();
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&capture.scheduleLock, &lock);
    ULONG frame;
    if (capture.firstRun) {
        capture.firstRun = FALSE;
        frame = now + g_DriverTuning.inStartLead;
    } else {
        frame = capture.nextStartFrame;
        // Signed distance: a frame behind the bus, also across the counter's wrap.
        if (LONG(frame - now) < 0) {
            R9_TRACE("StreamEngine: capture request for frame %u behind the bus at %u\n", unsigned(frame),
                     unsigned(now));
            frame = now + g_DriverTuning.inStartLead;
        }
    }
    capture.nextStartFrame = frame + g_DriverTuning.inPacketsPerRequest;
    KeReleaseInStackQueuedSpinLock(&lock);
    return frame;
}

// IRQL: <= DISPATCH_LEVEL. Submits the next request of a chain; `context` is null for a new chain.
void StreamEngine::SubmitCapture(RequestContext* context)
{
    EngineDirection& capture = m_Direction[kDirectionIn];
    if (IsSet(&capture.stopEvent) || (!FollowsCapture() && !IsSet(&capture.runEvent)) ||
        IsSet(&capture.errorEvent)) {
        EndCaptureChain(context);
        return;
    }
    if (context == nullptr) {
        context = AllocateContext();
        if (context == nullptr) {
            EndCaptureChain(nullptr);
            return;
        }
    }
    if (context->buffer == nullptr) {
        context->buffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(m_PoolType, capture.transferBufferBytes, kDefaultPoolTag));
        if (context->buffer == nullptr) {
            R9_TRACE("StreamEngine: no capture buffer of %u bytes\n", unsigned(capture.transferBufferBytes));
            EndCaptureChain(context);
            return;
        }
    }
    context->length = capture.transferBufferBytes;
    const NTSTATUS status = UsbAudio().SubmitCaptureTransfer(context->buffer, context->length,
                                                             &StreamEngine::CaptureDone, context, CaptureStartFrame());
    if (!NT_SUCCESS(status)) {
        R9_TRACE("StreamEngine: capture submission failed 0x%08X\n", unsigned(status));
        KeSetEvent(&capture.errorEvent, IO_NO_INCREMENT, FALSE);
        EndCaptureChain(context);
    }
}

void StreamEngine::EndCaptureChain(RequestContext* context)
{
    if (context != nullptr) {
        FreeContext(context);
    }
    EngineDirection& capture = m_Direction[kDirectionIn];
    KeReleaseSemaphore(&capture.requests, IO_NO_INCREMENT, 1, FALSE);
    capture.chains.Retire();
}

void StreamEngine::CaptureDone(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames)
{
    auto* request = static_cast<RequestContext*>(context);
    request->engine->QueueCompletion(kDirectionIn, request, status, bytes, startFrame, busFrames);
}

// IRQL: DISPATCH_LEVEL, in order of completion.
void StreamEngine::CompleteCapture(RequestContext* context)
{
    EngineDirection& capture = m_Direction[kDirectionIn];
    CheckCompletionGap(kDirectionIn, context, g_DriverTuning.inPacketsPerRequest, g_DriverTuning.inRequestsInFlight);
    if (!NT_SUCCESS(context->status)) {
        R9_TRACE("StreamEngine: capture completion 0x%08X\n", unsigned(context->status));
        if (IsDeviceGone(context->status)) {
            KeSetEvent(&capture.stopEvent, IO_NO_INCREMENT, FALSE);
        }
        KeSetEvent(&capture.errorEvent, IO_NO_INCREMENT, FALSE);
    } else if (context->actualLength == 0) {
        R9_TRACE("StreamEngine: capture completion without data\n");
    } else {
        DeliverCapture(context);
    }
    SubmitCapture(context);
}

void StreamEngine::DeliverCapture(const RequestContext* context)
{
    EngineDirection& capture = m_Direction[kDirectionIn];
    const ULONG bytes = context->actualLength;
    if (capture.usbFormat.bytesPerFrame != 0) {
        InterlockedExchangeAdd64(&m_Statistics.captureFramesReceived, bytes / capture.usbFormat.bytesPerFrame);
    }
    m_Asio.OnCaptureCompleted(context->buffer, bytes, context->startFrame + context->busFrames);
    AccountCapturedFrames(bytes);
    if (!IsSet(&capture.runEvent)) {
        return;
    }
    m_Asio.OnCapturedBytes(context->buffer, bytes);
    if (g_DriverTuning.dumpSelector == kDumpCaptured) {
        DumpData("captured", context->buffer, bytes);
    }
    IEngineCallback* callback = m_Adapter.EngineCallback();
    if (callback == nullptr || !callback->AcquireStream(kDirectionIn)) {
        return;
    }
    RegionList& regions = capture.regions;
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&regions.lock, &lock);
    if (IsListEmpty(&regions.head)) {
        // The wave stream queues its whole buffer again, under the lock held here.
        callback->RequeueCapture(kDirectionIn);
        KeReleaseInStackQueuedSpinLock(&lock);
        callback->ReleaseStream(kDirectionIn);
        return;
    }
    const ULONG copied = FillCaptureRegions(context->buffer, bytes);
    KeReleaseInStackQueuedSpinLock(&lock);
    callback->AdvanceClock(kDirectionIn, copied, context->busFrames);
    callback->NotifyPort(kDirectionIn);
    callback->ReleaseStream(kDirectionIn);
}

// Under the capture region lock. Converts whole frames into the regions, oldest first, and gives
// back the regions it fills. Returns the client bytes written.
ULONG StreamEngine::FillCaptureRegions(const UCHAR* data, ULONG bytes)
{
    const UsbStreamFormat& usb = m_Direction[kDirectionIn].usbFormat;
    const DirectionFormat& client = m_Adapter.GetDirectionFormat(kDirectionIn);
    RegionList& regions = m_Direction[kDirectionIn].regions;
    if (usb.bytesPerFrame == 0 || client.blockAlign == 0) {
        return 0;
    }
    ULONG frames = bytes / usb.bytesPerFrame;
    ULONG copied = 0;
    while (frames != 0 && !IsListEmpty(&regions.head)) {
        BufferRegion* region = CONTAINING_RECORD(regions.head.Flink, BufferRegion, links);
        ULONG take = region->remaining / client.blockAlign;
        if (take > frames) {
            take = frames;
        }
        const ULONG written = PackFrames(region->current, region->remaining, data, take * usb.bytesPerFrame,
                                         client.channels, client.bitsPerSample, usb.channels, usb.bits);
        data += take * usb.bytesPerFrame;
        frames -= take;
        region->current += written;
        region->remaining -= written;
        copied += written;
        if (region->remaining < client.blockAlign) {
            RemoveEntryList(&region->links);
            ExFreeToNPagedLookasideList(&m_RegionRecords, region);
        }
    }
    if (frames != 0) {
        R9_TRACE("StreamEngine: %u captured frames found no region\n", unsigned(frames));
    }
    regions.queuedBytes = regions.queuedBytes > copied ? regions.queuedBytes - copied : 0;
    return copied;
}
