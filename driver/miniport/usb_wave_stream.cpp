// The wave stream's life, its position and notifications, and what the stream engine's reports
// do to it. The state changes are in wave_stream_state.cpp, the DMA channel in wave_dma_channel.cpp.
#include "driver/miniport/usb_wave_stream.h"

#include "driver/miniport/usb_wave_miniport.h"
#include "driver/trace.h"

namespace {

constexpr LONGLONG kHundredNanosecondsPerSecond = 10000000;
constexpr UCHAR kUnsignedSilence = 0x80;  // 8-bit PCM is unsigned

}  // namespace

UsbWaveStream::UsbWaveStream(UsbWaveMiniport* miniport, IUsbAudioAdapter* adapter, PPORTWAVECYCLIC port, ULONG pin,
                             bool capture)
    : m_References(1), m_Miniport(miniport), m_Adapter(adapter), m_Port(port), m_Pin(pin), m_Capture(capture),
      m_Direction(capture ? kDirectionIn : kDirectionOut), m_State(KSSTATE_STOP), m_Buffer(nullptr),
      m_AllocatedSize(0), m_BufferSize(0), m_Format(), m_FormatSet(false), m_NotificationFrames(0),
      m_ServiceGroup(nullptr), m_FirstReport(TRUE), m_RenderOffset(0), m_PipelineBytes(0), m_Notifying(0),
      m_Notify(nullptr)
{
    m_Miniport->NonDelegatingAddRef();
    if (m_Port != nullptr) {
        m_Port->AddRef();
    }
    // Closed until the stream runs: the engine reaches the buffer only in the run state.
    m_RunGuard.Initialize();
    m_RunGuard.Wait();
}

// IRQL: PASSIVE_LEVEL (the port releases its last reference when the pin closes).
UsbWaveStream::~UsbWaveStream()
{
    PAGED_CODE();
    // Down to stop one step at a time, as the port would have taken it.
    if (m_State == KSSTATE_RUN) {
        LeaveRun();
        m_State = KSSTATE_PAUSE;
    }
    if (m_State == KSSTATE_PAUSE) {
        StopDirection();
    }
    m_State = KSSTATE_STOP;
    if (m_FormatSet) {
        m_Adapter->ClearDirectionFormat(m_Direction);
    }
    m_Miniport->ForgetStream(this);
    m_Adapter->ReleaseDirections(m_Capture ? TRUE : FALSE, m_Capture ? FALSE : TRUE);
    FreeBuffer();
    if (m_ServiceGroup != nullptr) {
        m_ServiceGroup->Release();
    }
    ReleaseNotify();
    if (m_Port != nullptr) {
        m_Port->Release();
    }
    m_Miniport->NonDelegatingRelease();
}

NTSTATUS UsbWaveStream::Initialize(const KSDATAFORMAT* dataFormat)
{
    PAGED_CODE();
    NTSTATUS status = PcNewServiceGroup(&m_ServiceGroup, nullptr);
    if (!NT_SUCCESS(status)) {
        m_ServiceGroup = nullptr;
        R9_TRACE("UsbWaveStream: no service group, status 0x%08X\n", unsigned(status));
        return status;
    }
    WaveStreamFormat format;
    status = ReadWaveStreamFormat(dataFormat, &format);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbWaveStream: pin %u format refused\n", unsigned(m_Pin));
        return status;
    }
    status = AllocateBuffer(WaveBytesForMilliseconds(format.blockAlign, format.sampleRate, kCyclicBufferMs), nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = m_Adapter->SetDirectionFormat(m_Direction, format.formatTag, format.channels, format.bitsPerSample,
                                           format.sampleRate);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbWaveStream: %u Hz, %u channels, %u bits refused by the adapter, status 0x%08X\n",
                 unsigned(format.sampleRate), unsigned(format.channels), unsigned(format.bitsPerSample),
                 unsigned(status));
        return status;
    }
    m_FormatSet = true;
    m_Format = format;
    m_PipelineBytes = PipelineBytes(format);
    m_Clock.Initialize(m_BufferSize);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) UsbWaveStream::QueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(interfaceId, IID_IUnknown) || IsEqualGUID(interfaceId, IID_IMiniportWaveCyclicStream)) {
        *object = static_cast<IMiniportWaveCyclicStream*>(this);
    } else if (IsEqualGUID(interfaceId, IID_IDmaChannel)) {
        *object = static_cast<IDmaChannel*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) UsbWaveStream::AddRef() { return ULONG(InterlockedIncrement(&m_References)); }

STDMETHODIMP_(ULONG) UsbWaveStream::Release()
{
    const LONG left = InterlockedDecrement(&m_References);
    if (left == 0) {
        delete this;
    }
    return ULONG(left);
}

STDMETHODIMP_(ULONG) UsbWaveStream::SetNotificationFreq(ULONG interval, PULONG frameSize)
{
    PAGED_CODE();
    m_NotificationFrames = ULONG(ULONGLONG(interval) * m_Format.sampleRate / 1000);
    if (frameSize != nullptr) {
        *frameSize = m_Format.blockAlign * m_NotificationFrames;
    }
    return interval;
}

STDMETHODIMP_(NTSTATUS) UsbWaveStream::GetPosition(PULONG position)
{
    if (position == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *position = m_Clock.Read();
    // The adapter hears of positions while it asks to; the interface is taken while it is told, so
    // a concurrent run -> pause cannot release it under the call.
    auto* notify = static_cast<IUsbAudioAdapterNotify*>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&m_Notify), nullptr));
    if (notify != nullptr) {
        if (notify->OnPositionReport(m_Clock.ElapsedMs(), *position) &&
            InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&m_Notify), notify, nullptr) ==
                nullptr) {
            return STATUS_SUCCESS;
        }
        notify->Release();
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) UsbWaveStream::NormalizePhysicalPosition(PLONGLONG physicalPosition)
{
    if (physicalPosition == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_Format.blockAlign == 0 || m_Format.sampleRate == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *physicalPosition = *physicalPosition * kHundredNanosecondsPerSecond / LONGLONG(m_Format.blockAlign) /
                        LONGLONG(m_Format.sampleRate);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) UsbWaveStream::Silence(PVOID buffer, ULONG byteCount)
{
    if (buffer != nullptr) {
        RtlFillMemory(buffer, byteCount, m_Format.bitsPerSample == 8 ? kUnsignedSilence : 0);
    }
}

void UsbWaveStream::NotifyPort()
{
    if (m_Port == nullptr || m_ServiceGroup == nullptr) {
        return;
    }
    // One notification at a time: capture and render completions may both end up here at once.
    if (InterlockedExchange(&m_Notifying, 1) != 0) {
        return;
    }
    m_Port->Notify(m_ServiceGroup);
    InterlockedExchange(&m_Notifying, 0);
}

void UsbWaveStream::ResetRenderClock()
{
    m_Clock.Restart();
    IUsbAudioAdapterNotify* notify = nullptr;
    if (!NT_SUCCESS(m_Adapter->QueryInterface(IID_IUsbAudioAdapterNotify, reinterpret_cast<PVOID*>(&notify)))) {
        return;
    }
    auto* previous = static_cast<IUsbAudioAdapterNotify*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_Notify), notify));
    if (previous != nullptr) {
        previous->Release();
    }
}

void UsbWaveStream::ReleaseNotify()
{
    auto* notify = static_cast<IUsbAudioAdapterNotify*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_Notify), nullptr));
    if (notify != nullptr) {
        notify->Release();
    }
}

// The render data of a request is the part of the buffer queued one request earlier: the report
// of a completed request queues the next part for the request built next. The first report after
// a start only starts the clock, which so runs one request ahead of the copying.
void UsbWaveStream::ReportRenderBytes(ULONG bytes, ULONG durationMs)
{
    if (m_Capture || m_BufferSize == 0) {
        return;
    }
    if (m_FirstReport) {
        m_FirstReport = FALSE;
        m_Clock.Step(bytes, durationMs);
        return;
    }
    if (bytes > m_BufferSize) {
        bytes = m_BufferSize;
    }
    const ULONG first = SpanToEnd(m_RenderOffset, bytes);
    m_Adapter->QueueRenderRegion(m_Buffer + m_RenderOffset, first);
    if (bytes > first) {
        m_Adapter->QueueRenderRegion(m_Buffer, bytes - first);
    }
    m_RenderOffset = (m_RenderOffset + bytes) % m_BufferSize;
}

// Capture found no region left: the engine holds its capture region lock while it asks.
void UsbWaveStream::RequeueCapture()
{
    if (!m_Capture) {
        return;
    }
    m_Clock.Initialize(m_BufferSize);
    QueueWholeCaptureBuffer(TRUE);
}

void UsbWaveStream::QueueWholeCaptureBuffer(BOOLEAN lockHeld)
{
    if (m_Buffer != nullptr && m_BufferSize != 0) {
        m_Adapter->QueueCaptureRegion(m_Buffer, m_BufferSize, lockHeld);
    }
}
