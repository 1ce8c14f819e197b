// How ASIO output reaches the device: mixed into render requests, with saturation, over whatever the
// audio stack put there. With late mixing each capture completion mixes as much output as it
// captured into requests already submitted, at a margin ahead of the oldest one, so the output's
// latency is that margin rather than the whole pipeline of requests; otherwise each request takes
// its share of output as it is built.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/engine/asio_stream.h"
#include "driver/engine/stream_engine.h"
#include "driver/trace.h"

namespace {

constexpr USHORT kModeNativeDsd = 1;
constexpr ULONG kMarginCapMs = 16;
constexpr ULONG kFullPercentCapMs = 40;
constexpr ULONG kFullPercent = 100;

// The margin at the smallest buffer setting: enough frames for a DPC's latency at the rate.
// The host controller fetches a whole frame of the periodic schedule ahead, so output mixed less than
// a millisecond ahead of the bus is never heard. The fixed margins span over a millisecond up to
// 192 kHz; above, the margin grows with the rate to span the same 1.125 ms.
ULONG SmallestMarginFrames(ULONG rate)
{
    if (rate <= 48000) {
        return 72;
    }
    if (rate <= 96000) {
        return 112;
    }
    return rate <= 192000 ? 216 : ULONG(216ULL * rate / 192000);
}

ULONG Smaller(ULONG a, ULONG b) { return a < b ? a : b; }

}  // namespace

bool AsioStream::IsLateMixing() const
{
    return IsSet(const_cast<LONG&>(m_MixerActive)) && !m_Adapter.IsOldFashionedTransfer();
}

// IRQL: PASSIVE_LEVEL, once both directions run.
NTSTATUS AsioStream::PrepareMixer()
{
    if (!m_RenderRing.Exists()) {
        return STATUS_SUCCESS;
    }
    MixRoutine routine;
    if (m_Mode == kModeNativeDsd) {
        routine = &CopySamples32;
    } else {
        routine = MixRoutineForBits(m_Engine.UsbFormat(kDirectionOut).bits);
        if (routine == nullptr) {
            R9_TRACE("AsioStream: no mix for %u-bit output\n", unsigned(m_Engine.UsbFormat(kDirectionOut).bits));
            return STATUS_NOT_SUPPORTED;
        }
    }
    const UsbStreamFormat& capture = m_Engine.UsbFormat(kDirectionIn);
    const UsbStreamFormat& render = m_Engine.UsbFormat(kDirectionOut);
    ULONG bytes = m_Engine.TransferBufferBytes(kDirectionOut);
    if (m_CaptureRing.Exists() && !m_Adapter.IsOldFashionedTransfer() && capture.bytesPerFrame != 0) {
        bytes = m_Engine.TransferBufferBytes(kDirectionIn) / capture.bytesPerFrame * render.bytesPerFrame;
    }
    auto* scratch = static_cast<PUCHAR>(ExAllocatePoolWithTag(g_DriverTuning.poolType, bytes, kDefaultPoolTag));
    if (scratch == nullptr) {
        R9_TRACE("AsioStream: no scratch buffer of %u bytes\n", unsigned(bytes));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_MixerLock, &lock);
    m_Mix = routine;
    m_Scratch = scratch;
    m_ScratchBytes = bytes;
    if (m_CaptureRing.Exists()) {
        ComputeMarginLocked();
        InterlockedExchange(&m_MixerActive, 1);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    return STATUS_SUCCESS;
}

void AsioStream::TearDownMixer()
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_MixerLock, &lock);
    InterlockedExchange(&m_MixerActive, 0);
    KeClearEvent(&m_RenderStarted);
    PUCHAR scratch = m_Scratch;
    m_Scratch = nullptr;
    m_ScratchBytes = 0;
    m_Mix = nullptr;
    KeReleaseInStackQueuedSpinLock(&lock);
    if (scratch != nullptr) {
        ExFreePoolWithTag(scratch, kDefaultPoolTag);
    }
}

// Under the mixer lock. The margin lies between the smallest (at 0 %) and what the render pipeline
// allows, up to 16 ms (at 100 %), in whole frames; at 100 % it may use up to 40 ms of the pipeline,
// and "USB Margin" overrides it. The pipeline's length is unsigned arithmetic: one shorter than a
// capture request wraps to a large value and so takes the caps. The interpolation itself is signed:
// with a pipeline shorter than the smallest margin, 0 % to 100 % goes down, not off the scale.
void AsioStream::ComputeMarginLocked()
{
    const UsbStreamFormat& render = m_Engine.UsbFormat(kDirectionOut);
    const ULONG c = render.bytesPerFrame;
    const ULONG f = render.rate;
    const ULONG p = m_BufferPercent;
    const ULONG d = (g_DriverTuning.outRequestsInFlight - 1) * g_DriverTuning.outPacketsPerRequest -
                    g_DriverTuning.inPacketsPerRequest;
    const ULONG e = Smaller(d, kMarginCapMs);
    const LONGLONG smallest = LONGLONG(SmallestMarginFrames(f)) * c;
    const LONGLONG largest = LONGLONG(e) * (f / 1000) * c;
    LONGLONG margin = 0;
    if (c != 0) {
        margin = LONGLONG(c) * ((smallest + (largest - smallest) * LONGLONG(p) / 100 + c / 2) / c);
    }
    if (p == kFullPercent) {
        margin = LONGLONG(f / 1000) * Smaller(d, kFullPercentCapMs) * c;
    }
    if (m_UsbMargin != 0) {
        margin = LONGLONG(c) * m_UsbMargin;
    }
    m_Margin = LONG(margin);
    KeClearEvent(&m_RenderStarted);
    m_FirstMixDone = false;
}

// IRQL: PASSIVE_LEVEL, under the request lock: render restarts, the margin starts over.
void AsioStream::RecomputeMargin()
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_MixerLock, &lock);
    if (IsSet(m_MixerActive)) {
        ComputeMarginLocked();
    }
    KeReleaseInStackQueuedSpinLock(&lock);
}

void AsioStream::ResetRings()
{
    if (m_CaptureRing.Exists()) {
        m_CaptureRing.Reset();
    }
    if (m_RenderRing.Exists()) {
        m_RenderRing.Reset();
    }
}

// Under the request lock. The list is kept whether or not a stream mixes, so that it always holds
// exactly the requests the USB stack has.
void AsioStream::OnRenderSubmitted(RequestContext* context)
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_MixerLock, &lock);
    InsertTailList(&m_Submitted, &context->mixLinks);
    KeReleaseInStackQueuedSpinLock(&lock);
}

// The completed request leaves the list (it is the oldest: the bus completes in order); while late
// mixing runs, the mix point keeps its place in time by moving back by its length. The first render
// completion while a read waits begins late mixing: capture starts to count from the frame after it.
void AsioStream::OnRenderCompleted(RequestContext* context)
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_MixerLock, &lock);
    RemoveEntryList(&context->mixLinks);
    InitializeListHead(&context->mixLinks);
    const bool active = IsSet(m_MixerActive);
    if (active && !m_Adapter.IsOldFashionedTransfer() && KeReadStateEvent(&m_RenderStarted) != 0) {
        m_Margin -= LONG(context->length);
        if (m_Margin < 0) {
            R9_TRACE("AsioStream: output mixing fell %d bytes behind the bus\n", int(-m_Margin));
        }
    } else if (active && IsSet(m_ReadWaiting)) {
        KeSetEvent(&m_RenderStarted, IO_NO_INCREMENT, FALSE);
        m_CaptureRing.Start();
        m_ReferenceFrame = context->startFrame + context->busFrames;
    }
    KeReleaseInStackQueuedSpinLock(&lock);
}

// IRQL: DISPATCH_LEVEL, for every successful capture completion.
void AsioStream::OnCaptureCompleted(const UCHAR*, ULONG bytes, ULONG nextFrame)
{
    if (IsLateMixing()) {
        LateMix(bytes, nextFrame);
    } else if (!IsSet(m_MixerActive) && IsSet(m_ReadWaiting) && m_CaptureRing.Exists() &&
               !m_CaptureRing.IsStarted()) {
        m_CaptureRing.Start();
    }
}

// IRQL: DISPATCH_LEVEL, with the direction's run event set.
void AsioStream::OnCapturedBytes(const UCHAR* data, ULONG bytes)
{
    if (!m_CaptureRing.Exists()) {
        return;
    }
    m_CaptureRing.Write(data, bytes, false);
    ServeReads();
    if (m_RenderRing.Exists()) {
        ByteRing::Reconcile(m_CaptureRing, m_RenderRing);
    }
}

// As much output as capture delivered, mixed `margin` bytes into the submitted requests.
void AsioStream::LateMix(ULONG capturedBytes, ULONG nextFrame)
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_MixerLock, &lock);
    const ULONG inFrame = m_CaptureRing.BytesPerFrame();
    const ULONG outFrame = m_RenderRing.BytesPerFrame();
    if (m_Scratch == nullptr || inFrame == 0 || outFrame == 0) {
        KeReleaseInStackQueuedSpinLock(&lock);
        return;
    }
    const ULONG wanted = Smaller(capturedBytes / inFrame * outFrame, m_ScratchBytes);
    ULONG obtained = m_RenderRing.Read(m_Scratch, wanted, false);
    if (KeReadStateEvent(&m_RenderStarted) != 0) {
        if (!m_FirstMixDone) {
            m_FirstMixDone = true;
            // Capture completed a request later than render began: the mix point is that much later.
            if (nextFrame != m_ReferenceFrame) {
                const ULONG rate = m_Engine.UsbFormat(kDirectionOut).rate;
                m_Margin += LONG((rate + 500) * g_DriverTuning.inPacketsPerRequest / 1000 * outFrame);
            }
        }
        if (m_Margin >= 0) {
            obtained -= obtained % outFrame;
            ULONG offset = ULONG(m_Margin);
            const UCHAR* source = m_Scratch;
            for (PLIST_ENTRY link = m_Submitted.Flink; link != &m_Submitted && obtained != 0; link = link->Flink) {
                RequestContext* request = CONTAINING_RECORD(link, RequestContext, mixLinks);
                if (offset >= request->length) {
                    offset -= request->length;
                    continue;
                }
                const ULONG mixed = Smaller(obtained, request->length - offset);
                MixInto(request->buffer + offset, source, mixed);
                source += mixed;
                obtained -= mixed;
                offset = 0;
            }
        }
        m_Margin += LONG(wanted);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    AfterRenderConsumed();
}

// IRQL: DISPATCH_LEVEL, under the request lock: with old-fashioned transfer, or on an output-only
// stream, output goes into the request being built; only while the mixer is prepared.
void AsioStream::MixAtBuildTime(RequestContext* context)
{
    if (m_CaptureRing.Exists() && !m_Adapter.IsOldFashionedTransfer()) {
        return;
    }
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_MixerLock, &lock);
    const ULONG outFrame = m_RenderRing.BytesPerFrame();
    if (m_Scratch == nullptr || outFrame == 0) {
        KeReleaseInStackQueuedSpinLock(&lock);
        return;
    }
    ULONG obtained = m_RenderRing.Read(m_Scratch, Smaller(context->length, m_ScratchBytes), false);
    obtained -= obtained % outFrame;
    MixInto(context->buffer, m_Scratch, obtained);
    KeReleaseInStackQueuedSpinLock(&lock);
    AfterRenderConsumed();
}

// Under the mixer lock: whole frames, one mix call per frame over the device's channels.
void AsioStream::MixInto(PUCHAR destination, const UCHAR* source, ULONG bytes)
{
    const ULONG channels = m_Engine.UsbFormat(kDirectionOut).channels;
    const ULONG frameBytes = m_RenderRing.BytesPerFrame();
    for (ULONG done = 0; done + frameBytes <= bytes; done += frameBytes) {
        m_Mix(destination + done, source + done, channels);
    }
}

// Output was consumed: with capture the two rings' debts may cancel; an output-only stream's
// thread may store what waits.
void AsioStream::AfterRenderConsumed()
{
    if (m_CaptureRing.Exists()) {
        ByteRing::Reconcile(m_CaptureRing, m_RenderRing);
    } else {
        KeSetEvent(&m_OutputData, IO_NO_INCREMENT, FALSE);
    }
}
