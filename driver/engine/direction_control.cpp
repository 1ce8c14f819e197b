// Starting and stopping directions. A device with both directions runs them together: every start
// and stop acts on both, so that render and capture keep one timeline. Start selects the format,
// creates the direction's thread once its clock is stable and waits for the first completion.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/engine/stream_engine.h"
#include "driver/mutex_holder.h"
#include "driver/trace.h"

namespace {

constexpr USHORT kPcmFormatTag = 1;  // WAVE_FORMAT_PCM
constexpr ULONG kClockPolls = 100;
constexpr LONGLONG kOneMillisecond = -10000;        // relative, 100 ns units
constexpr LONGLONG kOneSecond = -10000000;
constexpr LONGLONG kStartedTimeout = 10 * kOneSecond;
constexpr LONG kFeedbackReads = 8;
constexpr StreamDirection kCaptureThenRender[] = {kDirectionIn, kDirectionOut};

}  // namespace

// IRQL: PASSIVE_LEVEL.
NTSTATUS StreamEngine::StartDirection(StreamDirection direction)
{
    PAGED_CODE();
    if (direction >= kDirectionCount || !m_Adapter.HasDirection(direction)) {
        return STATUS_INVALID_PARAMETER;
    }
    return m_Adapter.IsDuplex() ? StartDuplex() : StartSingle(direction);
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS StreamEngine::StopDirection(StreamDirection direction)
{
    PAGED_CODE();
    if (direction >= kDirectionCount || !m_Adapter.HasDirection(direction)) {
        return STATUS_INVALID_PARAMETER;
    }
    return m_Adapter.IsDuplex() ? StopDuplex() : StopSingle(direction);
}

NTSTATUS StreamEngine::StartSingle(StreamDirection direction)
{
    MutexHolder configuration(m_Adapter.ConfigurationMutex());
    EngineDirection& state = m_Direction[direction];
    if (state.runCount != 0) {
        ++state.runCount;
        return STATUS_SUCCESS;
    }
    StopThread(direction);
    bool captureForRender = false;
    NTSTATUS status = STATUS_SUCCESS;
    if (direction == kDirectionOut && FollowsCapture()) {
        // The mutex is the thread's own and may be taken again.
        status = StartDirection(kDirectionIn);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        captureForRender = true;
    }
    if (m_Adapter.IsRemoving()) {
        status = STATUS_DELETE_PENDING;
        goto Exit;
    }
    state.nextStartFrame = 0;
    state.firstRun = TRUE;
    if (UsbAudio().GetCurrentAlternate(direction) == 0) {
        status = SelectFormat(direction);
        if (!NT_SUCCESS(status)) {
            goto Exit;
        }
    }
    if (direction == kDirectionOut) {
        ResetRenderSemaphores();
    }
    status = CreateThread(direction);
    if (NT_SUCCESS(status)) {
        status = EnableAndWait(direction);
    }

Exit:
    if (NT_SUCCESS(status)) {
        ++state.runCount;
        m_CaptureStartedForRender = m_CaptureStartedForRender || captureForRender;
        return status;
    }
    R9_TRACE("StreamEngine: %c did not start 0x%08X\n", DirectionLetter(direction), unsigned(status));
    StopThread(direction);
    SelectZeroBandwidth(direction);
    if (captureForRender) {
        StopDirection(kDirectionIn);
    }
    return status;
}

NTSTATUS StreamEngine::StartDuplex()
{
    MutexHolder configuration(m_Adapter.ConfigurationMutex());
    EngineDirection& render = m_Direction[kDirectionOut];
    EngineDirection& capture = m_Direction[kDirectionIn];
    if (render.runCount != capture.runCount) {
        R9_TRACE("StreamEngine: run counts %u/%u differ\n", unsigned(render.runCount), unsigned(capture.runCount));
        return STATUS_UNSUCCESSFUL;
    }
    if (render.runCount != 0) {
        ++render.runCount;
        ++capture.runCount;
        return STATUS_SUCCESS;
    }
    StopThread(kDirectionIn);
    StopThread(kDirectionOut);
    NTSTATUS status = STATUS_SUCCESS;
    if (m_Adapter.IsRemoving()) {
        status = STATUS_DELETE_PENDING;
        goto Exit;
    }
    for (EngineDirection& state : m_Direction) {
        state.nextStartFrame = 0;
        state.firstRun = TRUE;
    }
    // Capture first: render may size its requests from capture's selection.
    for (const StreamDirection direction : kCaptureThenRender) {
        if (UsbAudio().GetCurrentAlternate(direction) == 0) {
            status = SelectFormat(direction);
            if (!NT_SUCCESS(status)) {
                goto Exit;
            }
        }
    }
    ResetRenderSemaphores();
    status = CreateThread(kDirectionIn);
    if (NT_SUCCESS(status)) {
        status = CreateThread(kDirectionOut);
    }
    if (NT_SUCCESS(status)) {
        status = EnableAndWait(kDirectionIn);
    }
    if (NT_SUCCESS(status)) {
        status = EnableAndWait(kDirectionOut);
    }

Exit:
    if (NT_SUCCESS(status)) {
        ++render.runCount;
        ++capture.runCount;
        return status;
    }
    R9_TRACE("StreamEngine: duplex start failed 0x%08X\n", unsigned(status));
    StopThread(kDirectionOut);
    StopThread(kDirectionIn);
    SelectZeroBandwidth(kDirectionOut);
    SelectZeroBandwidth(kDirectionIn);
    return status;
}

NTSTATUS StreamEngine::StopSingle(StreamDirection direction)
{
    bool stopCapture = false;
    {
        MutexHolder configuration(m_Adapter.ConfigurationMutex());
        EngineDirection& state = m_Direction[direction];
        if (state.runCount == 0) {
            R9_TRACE("StreamEngine: %c stopped while not running\n", DirectionLetter(direction));
            return STATUS_SUCCESS;
        }
        if (--state.runCount != 0) {
            return STATUS_SUCCESS;
        }
        if (direction == kDirectionOut) {
            ClearQueuedBytes(kDirectionOut);
        }
        StopThread(direction);
        SelectZeroBandwidth(direction);
        PurgeRegions(direction);
        if (direction == kDirectionOut && m_CaptureStartedForRender) {
            m_CaptureStartedForRender = false;
            stopCapture = true;
        }
    }
    return stopCapture ? StopSingle(kDirectionIn) : STATUS_SUCCESS;
}

NTSTATUS StreamEngine::StopDuplex()
{
    MutexHolder configuration(m_Adapter.ConfigurationMutex());
    EngineDirection& render = m_Direction[kDirectionOut];
    EngineDirection& capture = m_Direction[kDirectionIn];
    if (render.runCount != capture.runCount) {
        R9_TRACE("StreamEngine: run counts %u/%u differ\n", unsigned(render.runCount), unsigned(capture.runCount));
        return STATUS_UNSUCCESSFUL;
    }
    if (render.runCount == 0) {
        R9_TRACE("StreamEngine: stopped while not running\n");
        return STATUS_SUCCESS;
    }
    --render.runCount;
    --capture.runCount;
    if (render.runCount == 0) {
        ClearQueuedBytes(kDirectionOut);
        // Render first: when it follows capture it waits on capture's frames.
        StopThread(kDirectionOut);
        StopThread(kDirectionIn);
        SelectZeroBandwidth(kDirectionOut);
        SelectZeroBandwidth(kDirectionIn);
        PurgeRegions(kDirectionIn);
        PurgeRegions(kDirectionOut);
    }
    return STATUS_SUCCESS;
}

// The device rate (or the rate a rate change is bringing), in the widest PCM alternate that runs
// at it; requests as long as the tuning says.
NTSTATUS StreamEngine::SelectFormat(StreamDirection direction)
{
    EngineDirection& state = m_Direction[direction];
    const ULONG rate = DeviceRate();
    ULONG channels = 0;
    ULONG bits = 0;
    NTSTATUS status = UsbAudio().GetStreamFormat(direction, kPcmFormatTag, rate, &channels, &bits);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("StreamEngine: no %c format at %u Hz 0x%08X\n", DirectionLetter(direction), unsigned(rate),
                 unsigned(status));
        return status;
    }
    const ULONG periodMs =
        direction == kDirectionOut ? g_DriverTuning.outPacketsPerRequest : g_DriverTuning.inPacketsPerRequest;
    ULONG selectedChannels = 0;
    ULONG selectedBits = 0;
    ULONG maxBytes = 0;
    if (FollowsCapture()) {
        status = UsbAudio().SelectStreamingFormat(direction, kPcmFormatTag, channels, bits, rate, periodMs,
                                                  &selectedChannels, &selectedBits, &state.nominalBytesPerRequest,
                                                  &state.minimumAdjustment, &state.maximumAdjustment, &maxBytes);
    } else {
        status = UsbAudio().SelectStreamingFormat(direction, kPcmFormatTag, channels, bits, rate, periodMs,
                                                  &selectedChannels, &selectedBits, &maxBytes);
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("StreamEngine: %c format %u x %u bits at %u Hz refused 0x%08X\n", DirectionLetter(direction),
                 unsigned(channels), unsigned(bits), unsigned(rate), unsigned(status));
        return status;
    }
    state.usbFormat.formatTag = kPcmFormatTag;
    state.usbFormat.channels = selectedChannels;
    state.usbFormat.bits = selectedBits;
    state.usbFormat.rate = rate;
    state.usbFormat.bytesPerFrame = selectedChannels * selectedBits / 8;
    state.transferBufferBytes = maxBytes;
    return STATUS_SUCCESS;
}

void StreamEngine::SelectZeroBandwidth(StreamDirection direction)
{
    const NTSTATUS status = UsbAudio().SelectStreamingFormat(direction, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("StreamEngine: zero bandwidth on %c 0x%08X\n", DirectionLetter(direction), unsigned(status));
    }
}

ULONG StreamEngine::DeviceRate() const
{
    const ULONG current = m_Adapter.CurrentRate();
    return current != 0 ? current : m_Adapter.PendingRate();
}

// No thread is alive: render waits for its first feedback when the feedback endpoint paces it,
// and may start at once otherwise.
void StreamEngine::ResetRenderSemaphores()
{
    const LONG slots = LONG(g_DriverTuning.outRequestsInFlight);
    if (IsRenderFeedbackPaced()) {
        KeInitializeSemaphore(&m_FeedbackRequests, kFeedbackReads, kFeedbackReads);
        InterlockedExchange(&m_RenderReleased, 0);
        KeInitializeSemaphore(&m_Direction[kDirectionOut].requests, 0, slots);
    } else {
        KeInitializeSemaphore(&m_FeedbackRequests, 0, kFeedbackReads);
        KeInitializeSemaphore(&m_Direction[kDirectionOut].requests, slots, slots);
    }
}

// The clock must be valid before a thread may submit: a request to a clock that is still
// settling comes back empty or fails.
NTSTATUS StreamEngine::CreateThread(StreamDirection direction)
{
    EngineDirection& state = m_Direction[direction];
    KeClearEvent(&state.stopEvent);
    bool stable = false;
    for (ULONG poll = 0; poll < kClockPolls && !stable; ++poll) {
        stable = UsbAudio().IsClockStable(direction);
        if (!stable) {
            LARGE_INTEGER delay;
            delay.QuadPart = kOneMillisecond;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
        }
    }
    if (!stable) {
        R9_TRACE("StreamEngine: %c clock not stable\n", DirectionLetter(direction));
        KeSetEvent(&state.stopEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_UNSUCCESSFUL;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           direction == kDirectionOut ? &StreamEngine::RenderThread
                                                                      : &StreamEngine::CaptureThread,
                                           this);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("StreamEngine: no %c thread 0x%08X\n", DirectionLetter(direction), unsigned(status));
        return status;
    }
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        // The thread runs but cannot be waited for: tell it to end.
        R9_TRACE("StreamEngine: %c thread not referenced 0x%08X\n", DirectionLetter(direction), unsigned(status));
        KeSetEvent(&state.stopEvent, IO_NO_INCREMENT, FALSE);
        return status;
    }
    state.thread = thread;
    return STATUS_SUCCESS;
}

void StreamEngine::StopThread(StreamDirection direction)
{
    EngineDirection& state = m_Direction[direction];
    PVOID thread = InterlockedExchangePointer(&state.thread, nullptr);
    if (thread == nullptr) {
        return;
    }
    KeSetEvent(&state.stopEvent, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&state.runEvent);
    if (direction == kDirectionOut && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kOneSecond;
        if (state.chains.WaitForZero(&timeout) == STATUS_TIMEOUT) {
            R9_TRACE("StreamEngine: render chains still alive after a second\n");
        }
    }
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    KeClearEvent(&state.startedEvent);
}

// Lets the thread submit and waits for the first completion. No completion within 10 s still
// counts as started (the device may be slow to deliver); a stop meanwhile cancels the start.
NTSTATUS StreamEngine::EnableAndWait(StreamDirection direction)
{
    EngineDirection& state = m_Direction[direction];
    KeClearEvent(&state.startedEvent);
    state.firstRun = TRUE;
    if (direction == kDirectionOut) {
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&m_SurplusLock, &lock);
        m_FrameSurplus = 0;
        KeReleaseInStackQueuedSpinLock(&lock);
    }
    KeSetEvent(&state.runEvent, IO_NO_INCREMENT, FALSE);
    PVOID events[2] = {&state.startedEvent, &state.stopEvent};
    LARGE_INTEGER timeout;
    timeout.QuadPart = kStartedTimeout;
    const NTSTATUS waited =
        KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
    if (waited == STATUS_WAIT_1) {
        R9_TRACE("StreamEngine: %c stopped while starting\n", DirectionLetter(direction));
        return STATUS_CANCELLED;
    }
    if (waited == STATUS_TIMEOUT) {
        R9_TRACE("StreamEngine: %c had no completion in 10 s\n", DirectionLetter(direction));
    }
    return STATUS_SUCCESS;
}
