// The ASIO stream's life: open (directions reserved, mode set, rings allocated), start (directions
// started, mixer prepared), stop and close; and the output thread of output-only streams.
#include "driver/engine/asio_stream.h"

#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/engine/stream_engine.h"
#include "driver/registry/registry_access.h"
#include "driver/trace.h"

namespace {

constexpr USHORT kModeNativeDsd = 1;
constexpr UCHAR kDsdSilence = 0x96;  // alternating bits: DSD's idle pattern
constexpr ULONG kRingBuffers = 3;
constexpr ULONG kMaximumPercent = 100;

ULONG Larger(ULONG a, ULONG b) { return a > b ? a : b; }

}  // namespace

AsioStream::AsioStream(StreamEngine& engine, UsbAudioAdapter& adapter)
    : m_Engine(engine), m_Adapter(adapter), m_Mode(0), m_ReadWaiting(0), m_OutputThread(nullptr),
      m_Running(false), m_MixerActive(0), m_Mix(nullptr), m_Scratch(nullptr), m_ScratchBytes(0), m_Margin(0),
      m_ReferenceFrame(0), m_FirstMixDone(false), m_BufferPercent(0), m_UsbMargin(0)
{
}

void AsioStream::Initialize()
{
    m_CaptureRing.Initialize(true);
    m_RenderRing.Initialize(false);
    KeInitializeSpinLock(&m_PendingLock);
    InitializeListHead(&m_Pending);
    KeInitializeEvent(&m_OutputStop, NotificationEvent, FALSE);
    KeInitializeEvent(&m_OutputData, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&m_RunningLock);
    KeInitializeSpinLock(&m_MixerLock);
    InitializeListHead(&m_Submitted);
    KeInitializeEvent(&m_RenderStarted, NotificationEvent, FALSE);
}

// The checks of the private interface ran already; what can still fail here is undone in reverse.
NTSTATUS AsioStream::Open(const AsioStreamRequest& request)
{
    PAGED_CODE();
    const bool dsd = request.mode == kModeNativeDsd;
    NTSTATUS status = m_Adapter.ReserveDirections(request.wantInput, request.wantOutput, dsd);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = m_Adapter.SetDsdMode(dsd ? kModeNativeDsd : 0);
    if (!NT_SUCCESS(status)) {
        m_Adapter.ReleaseDirections(request.wantInput, request.wantOutput);
        return status;
    }
    m_Mode = request.mode;
    status = AllocateRings(request);
    if (!NT_SUCCESS(status)) {
        m_CaptureRing.Free();
        m_RenderRing.Free();
        m_Mode = 0;
        m_Adapter.SetDsdMode(0);
        m_Adapter.ReleaseDirections(request.wantInput, request.wantOutput);
        return status;
    }
    m_BufferPercent = request.bufferPercent > kMaximumPercent ? kMaximumPercent : request.bufferPercent;
    return STATUS_SUCCESS;
}

// Three buffers' worth of frames each way (at least a millisecond per buffer); an output-only ring
// also holds three render requests, as its output thread refills it only between them.
NTSTATUS AsioStream::AllocateRings(const AsioStreamRequest& request)
{
    const ULONG rate = m_Adapter.CurrentRate() != 0 ? m_Adapter.CurrentRate() : m_Adapter.PendingRate();
    ULONG bytesPerFrame[kDirectionCount] = {};
    for (StreamDirection direction = kDirectionOut; direction < kDirectionCount; ++direction) {
        const bool wanted = direction == kDirectionOut ? request.wantOutput : request.wantInput;
        ULONG channels = 0;
        ULONG bits = 0;
        if (wanted) {
            m_Adapter.UsbAudio().GetStreamFormat(direction, WAVE_FORMAT_PCM, rate, &channels, &bits);
            bytesPerFrame[direction] = channels * bits / 8;
            if (bytesPerFrame[direction] == 0) {
                return STATUS_INVALID_DEVICE_REQUEST;
            }
        }
    }
    const UCHAR fill = m_Mode == kModeNativeDsd ? kDsdSilence : 0;
    const ULONG perMillisecond = (rate + 999) / 1000;
    const ULONG frames = Larger(request.bufferFrames, perMillisecond);
    const POOL_TYPE pool = g_DriverTuning.poolType;
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG requestFrames = perMillisecond * g_DriverTuning.outPacketsPerRequest;
    // Mixing at build time takes a whole render request from the ring at once, while the client's
    // output arrives a buffer at a time: with only one buffer of fill the ring runs dry every few
    // requests and the late output is dropped. One request more of fill (and of room) keeps it fed.
    const ULONG buildReserve = m_Adapter.IsOldFashionedTransfer() ? requestFrames : 0;
    if (request.wantInput) {
        status = m_CaptureRing.Allocate(pool, kRingBuffers * frames * bytesPerFrame[kDirectionIn],
                                        bytesPerFrame[kDirectionIn], fill);
        if (NT_SUCCESS(status) && request.wantOutput) {
            status = m_RenderRing.Allocate(pool, kRingBuffers * (frames + buildReserve) * bytesPerFrame[kDirectionOut],
                                           bytesPerFrame[kDirectionOut], fill);
        }
    } else {
        status = m_RenderRing.Allocate(pool, kRingBuffers * Larger(requestFrames, frames) * bytesPerFrame[kDirectionOut],
                                       bytesPerFrame[kDirectionOut], fill);
    }
    if (!NT_SUCCESS(status) || !request.wantInput || !request.wantOutput) {
        return status;
    }
    // With both rings, output starts one buffer late (and a request more with build-time mixing):
    // that fill is what the client's first write follows.
    ULONG margin = 0;
    if (NT_SUCCESS(ReadDeviceDword(m_Adapter.PhysicalDeviceObject(), W("USB Margin"), &margin))) {
        g_DriverTuning.usbMargin = margin;
    }
    m_UsbMargin = g_DriverTuning.usbMargin;
    m_RenderRing.Prefill(bytesPerFrame[kDirectionOut] * (request.bufferFrames + buildReserve));
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS AsioStream::Start()
{
    PAGED_CODE();
    if (IsRunning()) {
        return STATUS_SUCCESS;
    }
    if (!m_CaptureRing.Exists() && !m_RenderRing.Exists()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    bool captureStarted = false;
    bool renderStarted = false;
    NTSTATUS status = STATUS_SUCCESS;
    if (!m_CaptureRing.Exists()) {
        status = CreateOutputThread();
        if (NT_SUCCESS(status)) {
            status = m_Engine.StartDirection(kDirectionOut);
            renderStarted = NT_SUCCESS(status);
        }
    } else {
        status = m_Engine.StartDirection(kDirectionIn);
        captureStarted = NT_SUCCESS(status);
        if (NT_SUCCESS(status) && m_RenderRing.Exists()) {
            status = m_Engine.StartDirection(kDirectionOut);
            renderStarted = NT_SUCCESS(status);
        }
    }
    if (NT_SUCCESS(status)) {
        status = PrepareMixer();
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("AsioStream: start failed 0x%08X\n", unsigned(status));
        TearDownMixer();
        if (captureStarted) {
            m_Engine.StopDirection(kDirectionIn);
        }
        if (renderStarted) {
            m_Engine.StopDirection(kDirectionOut);
        }
        EndOutputThread();
        return status;
    }
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_RunningLock, &lock);
    m_Running = true;
    KeReleaseInStackQueuedSpinLock(&lock);
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL. Pending requests end with STATUS_CANCELLED; the rings go back to their
// prefill for the next start.
void AsioStream::Stop()
{
    PAGED_CODE();
    {
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&m_RunningLock, &lock);
        const bool wasRunning = m_Running;
        m_Running = false;
        KeReleaseInStackQueuedSpinLock(&lock);
        if (!wasRunning) {
            return;
        }
    }
    EndOutputThread();
    CancelPendingRequests();
    TearDownMixer();
    if (m_CaptureRing.Exists()) {
        m_Engine.StopDirection(kDirectionIn);
        m_CaptureRing.Reset();
    }
    if (m_RenderRing.Exists()) {
        m_Engine.StopDirection(kDirectionOut);
        m_RenderRing.Reset();
    }
}

// IRQL: PASSIVE_LEVEL.
void AsioStream::Close()
{
    PAGED_CODE();
    EndOutputThread();
    const bool hadInput = m_CaptureRing.Exists();
    const bool hadOutput = m_RenderRing.Exists();
    m_CaptureRing.Free();
    m_RenderRing.Free();
    m_Mode = 0;
    m_Adapter.SetDsdMode(0);
    if (hadInput || hadOutput) {
        m_Adapter.ReleaseDirections(hadInput, hadOutput);
    }
}

bool AsioStream::IsRunning()
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_RunningLock, &lock);
    const bool running = m_Running;
    KeReleaseInStackQueuedSpinLock(&lock);
    return running;
}

NTSTATUS AsioStream::CreateOutputThread()
{
    KeClearEvent(&m_OutputStop);
    KeClearEvent(&m_OutputData);
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &AsioStream::OutputThread, this);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("AsioStream: no output thread 0x%08X\n", unsigned(status));
        return status;
    }
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        KeSetEvent(&m_OutputStop, IO_NO_INCREMENT, FALSE);
        return status;
    }
    m_OutputThread = thread;
    return STATUS_SUCCESS;
}

void AsioStream::EndOutputThread()
{
    PVOID thread = InterlockedExchangePointer(&m_OutputThread, nullptr);
    if (thread == nullptr) {
        return;
    }
    KeSetEvent(&m_OutputStop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

void AsioStream::OutputThread(PVOID context)
{
    static_cast<AsioStream*>(context)->RunOutputThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// IRQL: PASSIVE_LEVEL. Woken by writes and by each consumption of the render ring.
void AsioStream::RunOutputThread()
{
    PVOID events[2] = {&m_OutputStop, &m_OutputData};
    while (KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr) ==
           STATUS_WAIT_1) {
        StoreWrites();
    }
}
