// Reads of the device's explicit feedback endpoint. Each accepted report becomes the latest
// feedback value, which the next render request copies into the stream as the value its packets
// are sized from; the first report of a run releases render.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/engine/stream_engine.h"
#include "driver/trace.h"

namespace {

constexpr ULONG kOneFrame = 0x10000;  // 16.16
constexpr ULONGLONG kMillisecondsPerSecond = 1000;
constexpr ULONG kMicroframesPerFrame = 8;

}  // namespace

// IRQL: <= DISPATCH_LEVEL. Submits the next read of a chain; `context` is null for a new chain.
// Returns whether a read went out; when none did, the chain ends.
bool StreamEngine::SubmitFeedback(RequestContext* context)
{
    if (IsSet(&m_Direction[kDirectionOut].errorEvent) || !IsSet(&m_FeedbackRunEvent)) {
        EndFeedbackChain(context);
        return false;
    }
    if (context == nullptr) {
        context = AllocateContext();
        if (context == nullptr) {
            EndFeedbackChain(nullptr);
            return false;
        }
        context->workItem = IoAllocateWorkItem(m_Adapter.Fdo());
    }
    if (context->buffer == nullptr) {
        context->length = UsbAudio().GetFeedbackBufferSize();
        context->buffer =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(m_PoolType, context->length, kDefaultPoolTag));
        if (context->buffer == nullptr) {
            R9_TRACE("StreamEngine: no feedback buffer of %u bytes\n", unsigned(context->length));
            EndFeedbackChain(context);
            return false;
        }
    }
    const NTSTATUS status =
        UsbAudio().RecvFeedback(context->buffer, context->length, &StreamEngine::FeedbackDone, context);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("StreamEngine: feedback read failed 0x%08X\n", unsigned(status));
        EndFeedbackChain(context);
        return false;
    }
    return true;
}

void StreamEngine::EndFeedbackChain(RequestContext* context)
{
    if (context != nullptr) {
        FreeContext(context);
    }
    KeReleaseSemaphore(&m_FeedbackRequests, IO_NO_INCREMENT, 1, FALSE);
    m_FeedbackChains.Retire();
}

// IRQL: DISPATCH_LEVEL (any processor). The USB layer passes the averaged report as the byte count.
void StreamEngine::FeedbackDone(NTSTATUS status, ULONG value, ULONG, PVOID context, ULONG)
{
    auto* request = static_cast<RequestContext*>(context);
    StreamEngine* self = request->engine;
    if (!NT_SUCCESS(status)) {
        if (IsDeviceGone(status)) {
            R9_TRACE("StreamEngine: feedback read found the device gone 0x%08X\n", unsigned(status));
        } else {
            R9_TRACE("StreamEngine: feedback read 0x%08X\n", unsigned(status));
        }
        KeSetEvent(&self->m_Direction[kDirectionOut].errorEvent, IO_NO_INCREMENT, FALSE);
        if (request->workItem != nullptr) {
            IoQueueWorkItem(request->workItem, &StreamEngine::FinishFeedbackError, DelayedWorkQueue, request);
        } else {
            self->EndFeedbackChain(request);
        }
        return;
    }
    // A report more than a frame away from the nominal rate, below one frame, or absent is noise
    // on the endpoint, not the device's clock.
    const ULONG nominal = self->NominalFeedback();
    const LONGLONG distance = LONGLONG(value) - LONGLONG(nominal);
    if (value < kOneFrame || distance < -LONGLONG(kOneFrame) || distance > LONGLONG(kOneFrame)) {
        value = nominal;
        InterlockedIncrement(&self->m_Statistics.feedbackReplaced);
    } else {
        InterlockedIncrement(&self->m_Statistics.feedbackAccepted);
    }
    StreamingInterface* render = self->UsbAudio().GetStreamingInterface(kDirectionOut);
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&render->FeedbackLock, &lock);
    self->m_LatestFeedback = value;
    KeReleaseInStackQueuedSpinLock(&lock);
    if (InterlockedCompareExchange(&self->m_RenderReleased, 1, 0) == 0) {
        self->ReleaseRender();
    }
    self->SubmitFeedback(request);
}

// IRQL: PASSIVE_LEVEL. The error event is set, so the submission ends the chain.
void StreamEngine::FinishFeedbackError(PDEVICE_OBJECT, PVOID context)
{
    auto* request = static_cast<RequestContext*>(context);
    request->engine->SubmitFeedback(request);
}

// The device reports sample frames per bus interval (a frame at full speed, a microframe at high
// speed) whatever its feedback or data endpoints' intervals are, so the nominal value is per bus
// interval too.
ULONG StreamEngine::NominalFeedback()
{
    ULONGLONG nominal = ULONGLONG(m_Direction[kDirectionOut].usbFormat.rate) * kOneFrame / kMillisecondsPerSecond;
    if (UsbAudio().IsHighSpeed()) {
        nominal /= kMicroframesPerFrame;
    }
    return ULONG(nominal);
}

// Under the request lock: the value this request's packets are sized from.
ULONG StreamEngine::TakeCurrentFeedback()
{
    StreamingInterface* render = UsbAudio().GetStreamingInterface(kDirectionOut);
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&render->FeedbackLock, &lock);
    render->FeedbackValue = m_LatestFeedback;
    const ULONG value = render->FeedbackValue;
    KeReleaseInStackQueuedSpinLock(&lock);
    return value;
}

void StreamEngine::ReleaseRender()
{
    R9_TRACE("StreamEngine: first feedback, render released\n");
    KeReleaseSemaphore(&m_Direction[kDirectionOut].requests, IO_NO_INCREMENT, LONG(m_RenderSlots), FALSE);
}
