// Render paced by capture, for devices whose render runs on capture's clock (one clock for both,
// or a capture endpoint that is render's implicit feedback). At the start the render requests are
// prefilled with exactly the frames capture delivered meanwhile; from then on every capture
// completion adds what it delivered beyond nominal to a frame surplus, and every render request
// carries the nominal frames and draws its correction from that surplus.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/engine/stream_engine.h"
#include "driver/trace.h"

// IRQL: PASSIVE_LEVEL, on the render thread before it starts its chains.
void StreamEngine::RunPrefill()
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_RequestLock, &lock);
    for (PLIST_ENTRY link = m_IdleRenderContexts.Flink; link != &m_IdleRenderContexts; link = link->Flink) {
        CONTAINING_RECORD(link, RequestContext, links)->length = 0;
    }
    m_PrefillIndex = 0;
    m_PrefillCompletions = 0;
    m_PrefillActive = TRUE;
    KeClearEvent(&m_PrefillDone);
    KeReleaseInStackQueuedSpinLock(&lock);

    PVOID events[3] = {&m_PrefillDone, &m_Direction[kDirectionIn].stopEvent, &m_Direction[kDirectionOut].stopEvent};
    const NTSTATUS which = KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    if (which == STATUS_WAIT_0) {
        return;
    }
    // Without capture there is nothing to render from.
    if (which == STATUS_WAIT_1) {
        KeSetEvent(&m_Direction[kDirectionOut].stopEvent, IO_NO_INCREMENT, FALSE);
    }
    KeAcquireInStackQueuedSpinLock(&m_RequestLock, &lock);
    m_PrefillActive = FALSE;
    KeReleaseInStackQueuedSpinLock(&lock);
}

// IRQL: DISPATCH_LEVEL, for every successful capture completion of `bytes`.
void StreamEngine::AccountCapturedFrames(ULONG bytes)
{
    const EngineDirection& capture = m_Direction[kDirectionIn];
    const EngineDirection& render = m_Direction[kDirectionOut];
    if (capture.usbFormat.bytesPerFrame == 0) {
        return;
    }
    if (m_PrefillActive) {
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&m_RequestLock, &lock);
        if (m_PrefillActive) {
            PrefillContexts(bytes / capture.usbFormat.bytesPerFrame * render.usbFormat.bytesPerFrame);
        }
        KeReleaseInStackQueuedSpinLock(&lock);
    }
    if (FollowsCapture() && IsSet(const_cast<PKEVENT>(&render.startedEvent))) {
        const LONG frames = (LONG(bytes) - LONG(capture.nominalBytesPerRequest)) / LONG(capture.usbFormat.bytesPerFrame);
        if (frames >= capture.minimumAdjustment && frames <= capture.maximumAdjustment) {
            KLOCK_QUEUE_HANDLE lock;
            KeAcquireInStackQueuedSpinLock(&m_SurplusLock, &lock);
            m_FrameSurplus += frames;
            KeReleaseInStackQueuedSpinLock(&lock);
        }
    }
}

// Under the request lock. Render requests normally span several capture requests: each idle
// context collects that many completions. When capture requests are the longer ones (an "IN URB
// Size" above the render request length), a completion is shared out over as many consecutive
// contexts as it spans, so that every prefilled request still holds about one render request's
// frames and fits its buffer.
void StreamEngine::PrefillContexts(ULONG outBytes)
{
    const ULONG outPackets = g_DriverTuning.outPacketsPerRequest;
    const ULONG inPackets = g_DriverTuning.inPacketsPerRequest;
    const ULONG completionsPerContext = outPackets / inPackets;
    const ULONG parts = completionsPerContext != 0 ? 1 : (inPackets + outPackets - 1) / outPackets;
    const ULONG frameBytes = m_Direction[kDirectionOut].usbFormat.bytesPerFrame;
    const ULONG frames = frameBytes != 0 ? outBytes / frameBytes : 0;
    for (ULONG part = 0; part < parts && m_PrefillActive; ++part) {
        RequestContext* context = nullptr;
        ULONG index = 0;
        PLIST_ENTRY link = m_IdleRenderContexts.Flink;
        for (; link != &m_IdleRenderContexts && index < m_PrefillIndex; link = link->Flink) {
            ++index;
        }
        if (link == &m_IdleRenderContexts) {
            m_PrefillActive = FALSE;
            KeSetEvent(&m_PrefillDone, IO_NO_INCREMENT, FALSE);
            return;
        }
        context = CONTAINING_RECORD(link, RequestContext, links);
        context->length += (frames / parts + (part < frames % parts ? 1 : 0)) * frameBytes;
        if (++m_PrefillCompletions < (completionsPerContext != 0 ? completionsPerContext : 1)) {
            continue;
        }
        m_PrefillCompletions = 0;
        ++m_PrefillIndex;
        if (link->Flink == &m_IdleRenderContexts) {
            const LONG nominal = LONG(m_Direction[kDirectionOut].nominalBytesPerRequest);
            KLOCK_QUEUE_HANDLE lock;
            KeAcquireInStackQueuedSpinLock(&m_SurplusLock, &lock);
            m_FrameSurplus = frameBytes != 0 ? (LONG(context->length) - nominal) / LONG(frameBytes) : 0;
            KeReleaseInStackQueuedSpinLock(&lock);
            m_PrefillActive = FALSE;
            KeSetEvent(&m_PrefillDone, IO_NO_INCREMENT, FALSE);
        }
    }
}

// Under the request lock: the frames this render request adds to or takes from nominal.
LONG StreamEngine::TakeFrameSurplus()
{
    const EngineDirection& render = m_Direction[kDirectionOut];
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_SurplusLock, &lock);
    const LONG surplus = m_FrameSurplus;
    LONG correction = surplus < render.minimumAdjustment ? render.minimumAdjustment : surplus;
    if (correction > render.maximumAdjustment) {
        correction = render.maximumAdjustment;
    }
    m_FrameSurplus -= correction;
    KeReleaseInStackQueuedSpinLock(&lock);
    return correction;
}
