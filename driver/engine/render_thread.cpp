// The render thread: its pool of request contexts, the start of render and feedback chains, and
// the reset that follows any render error.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/engine/stream_engine.h"
#include "driver/trace.h"

namespace {

constexpr LONGLONG kResetPause = -250000;  // 25 ms, relative in 100 ns units
constexpr LONGLONG kRetryPause = -10000;   // 1 ms

}  // namespace

void StreamEngine::RenderThread(PVOID context)
{
    static_cast<StreamEngine*>(context)->RunRenderThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// IRQL: PASSIVE_LEVEL. Each loop takes a render slot or a feedback slot, then starts a chain with
// it, or resets, or ends.
void StreamEngine::RunRenderThread()
{
    EngineDirection& render = m_Direction[kDirectionOut];
    AllocateRenderPool();
    KeClearEvent(&render.errorEvent);
    ArmRenderPacing();
    for (;;) {
        PVOID slots[2] = {&render.requests, &m_FeedbackRequests};
        const NTSTATUS slot =
            KeWaitForMultipleObjects(2, slots, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        PKSEMAPHORE taken = slot == STATUS_WAIT_0 ? &render.requests : &m_FeedbackRequests;
        PVOID events[3] = {&render.stopEvent, &render.errorEvent, &render.runEvent};
        const NTSTATUS which =
            KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (which == STATUS_WAIT_0) {
            KeReleaseSemaphore(taken, IO_NO_INCREMENT, 1, FALSE);
            DrainRenderChains();
            break;
        }
        if (which == STATUS_WAIT_1) {
            KeReleaseSemaphore(taken, IO_NO_INCREMENT, 1, FALSE);
            ResetRender();
            continue;
        }
        bool submitted;
        if (slot == STATUS_WAIT_0) {
            render.chains.Add();
            submitted = BuildRenderRequest(nullptr);
        } else {
            m_FeedbackChains.Add();
            submitted = SubmitFeedback(nullptr);
        }
        // A slot that found nothing to do (no context, no length, no memory) is back in its
        // semaphore; waiting a millisecond keeps the thread from spinning on it.
        if (!submitted && !IsSet(&render.stopEvent) && !IsSet(&render.errorEvent)) {
            LARGE_INTEGER pause;
            pause.QuadPart = kRetryPause;
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
    }
    FreeRenderPool();
}

// `outRequestsInFlight` contexts (more with old-fashioned transfer, which mixes ASIO output while
// it builds), each with a buffer of the render transfer size and an MDL. What cannot be allocated
// makes the pool smaller, and the semaphore hands out no more slots than there are contexts.
void StreamEngine::AllocateRenderPool()
{
    const ULONG inFlight = g_DriverTuning.outRequestsInFlight;
    const ULONG wanted = m_Adapter.IsOldFashionedTransfer() ? 2 * inFlight + 1 : inFlight;
    const ULONG bytes = m_Direction[kDirectionOut].transferBufferBytes;
    ULONG allocated = 0;
    for (ULONG i = 0; i < wanted; ++i) {
        RequestContext* context = AllocateContext();
        if (context == nullptr) {
            continue;
        }
        context->buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(m_PoolType, bytes, kDefaultPoolTag));
        context->mdl = context->buffer != nullptr ? IoAllocateMdl(context->buffer, bytes, FALSE, FALSE, nullptr)
                                                  : nullptr;
        if (context->mdl == nullptr) {
            R9_TRACE("StreamEngine: render context %u without buffer\n", unsigned(i));
            FreeContext(context);
            continue;
        }
        MmBuildMdlForNonPagedPool(context->mdl);
        context->workItem = IoAllocateWorkItem(m_Adapter.Fdo());
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&m_RequestLock, &lock);
        InsertTailList(&m_IdleRenderContexts, &context->links);
        KeReleaseInStackQueuedSpinLock(&lock);
        ++allocated;
    }
    m_RenderPoolSize = allocated;
    m_RenderSlots = allocated < inFlight ? allocated : inFlight;
    if (m_RenderSlots < inFlight) {
        R9_TRACE("StreamEngine: render pool of %u contexts\n", unsigned(allocated));
        if (!IsRenderFeedbackPaced()) {
            TakeRenderSlots(inFlight - m_RenderSlots);
        }
    }
}

void StreamEngine::FreeRenderPool()
{
    for (;;) {
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&m_RequestLock, &lock);
        RequestContext* context = nullptr;
        if (!IsListEmpty(&m_IdleRenderContexts)) {
            context = CONTAINING_RECORD(RemoveHeadList(&m_IdleRenderContexts), RequestContext, links);
        }
        KeReleaseInStackQueuedSpinLock(&lock);
        if (context == nullptr) {
            break;
        }
        FreeContext(context);
    }
    m_RenderPoolSize = 0;
}

// Render starts from what capture delivered, or waits for the device's first feedback.
void StreamEngine::ArmRenderPacing()
{
    if (FollowsCapture()) {
        RunPrefill();
    } else if (IsRenderFeedbackPaced()) {
        KeSetEvent(&m_FeedbackRunEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Render chains end as their requests come back (builds see the stop or error event); feedback
// chains end once their run event is clear.
void StreamEngine::DrainRenderChains()
{
    m_Direction[kDirectionOut].chains.WaitForZero(nullptr);
    if (IsRenderFeedbackPaced()) {
        KeClearEvent(&m_FeedbackRunEvent);
        m_FeedbackChains.WaitForZero(nullptr);
    }
}

void StreamEngine::ResetRender()
{
    EngineDirection& render = m_Direction[kDirectionOut];
    StreamingInterface* stream = UsbAudio().GetStreamingInterface(kDirectionOut);
    R9_TRACE("StreamEngine: resetting render\n");
    InterlockedIncrement(&m_Statistics.renderResets);
    DrainRenderChains();
    UsbAudio().ResetPipe(stream->DataPipe);
    if (IsRenderFeedbackPaced()) {
        UsbAudio().ResetPipe(stream->FeedbackPipe);
        // Every chain gave its slot back; render waits for feedback again.
        TakeRenderSlots(m_RenderSlots);
        InterlockedExchange(&m_RenderReleased, 0);
    }
    KeClearEvent(&render.errorEvent);
    LARGE_INTEGER pause;
    pause.QuadPart = kResetPause;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    if (m_Adapter.IsOldFashionedTransfer()) {
        m_Asio.ResetRings();
    }
    {
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&m_RequestLock, &lock);
        render.firstRun = TRUE;
        KeClearEvent(&render.startedEvent);
        m_Asio.RecomputeMargin();
        KeReleaseInStackQueuedSpinLock(&lock);
    }
    ArmRenderPacing();
}

void StreamEngine::TakeRenderSlots(ULONG count)
{
    LARGE_INTEGER now;
    now.QuadPart = 0;
    for (ULONG i = 0; i < count; ++i) {
        if (KeWaitForSingleObject(&m_Direction[kDirectionOut].requests, Executive, KernelMode, FALSE, &now) ==
            STATUS_TIMEOUT) {
            R9_TRACE("StreamEngine: render slot %u of %u missing\n", unsigned(i), unsigned(count));
            break;
        }
    }
}
