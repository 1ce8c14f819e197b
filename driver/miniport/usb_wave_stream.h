// UsbWaveStream: one direction's wave stream of the wave filter. The port streams into or out of
// its cyclic buffer, which the stream offers as its own IDmaChannel (there is no hardware DMA: the
// buffer is non-paged memory of at most 100 ms). The stream engine takes render data from the
// buffer and puts capture data into it through regions the stream queues with the adapter, and
// reports what it moved through the miniport's engine callback, which lands here; the stream turns
// the reports into its position clock and notifies the port.
//
// States: created in stop; acquire -> pause starts the device direction (data silent until run),
// pause -> run lets the engine touch the buffer; run -> pause and pause -> acquire undo that. The
// stream guard is open only in run: the engine's AcquireStream holds it while it copies.
//
// COM-style: QueryInterface answers IID_IUnknown and IID_IMiniportWaveCyclicStream with the
// primary interface, IID_IDmaChannel with the DMA channel; both share one count. Allocated from
// non-paged pool with tag "USBA". A stream is made once its direction is reserved with the adapter
// and gives the reservation back when it goes.
#pragma once

#include "driver/adapter_interfaces.h"
#include "driver/miniport/position_clock.h"
#include "driver/miniport/wave_stream_format.h"
#include "driver/rundown_guard.h"
#include "platform/kernel_new.h"

class UsbWaveMiniport;

// The cyclic buffer holds this much of the stream's format.
inline constexpr ULONG kCyclicBufferMs = 100;

class UsbWaveStream final : public IMiniportWaveCyclicStream, public IDmaChannel, public PoolAllocated {
public:
    UsbWaveStream(UsbWaveMiniport* miniport, IUsbAudioAdapter* adapter, PPORTWAVECYCLIC port, ULONG pin,
                  bool capture);

    // IRQL: PASSIVE_LEVEL. Service group, format, buffer and the adapter's client format; the
    // stream is released on failure (its destructor undoes what was done).
    NTSTATUS Initialize(const KSDATAFORMAT* dataFormat);
    PSERVICEGROUP ServiceGroup() const { return m_ServiceGroup; }
    StreamDirection Direction() const { return m_Direction; }

    // IUnknown of both interfaces.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IMiniportWaveCyclicStream. IRQL: PASSIVE_LEVEL, except GetPosition, NormalizePhysicalPosition
    // and Silence at <= DISPATCH_LEVEL.
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT dataFormat) override;
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG interval, PULONG frameSize) override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONG position) override;
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG physicalPosition) override;
    STDMETHODIMP_(void) Silence(PVOID buffer, ULONG byteCount) override;

    // IDmaChannel over the cyclic buffer. IRQL: AllocateBuffer and FreeBuffer at PASSIVE_LEVEL, the
    // rest at any level.
    STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS constraint) override;
    STDMETHODIMP_(void) FreeBuffer() override;
    STDMETHODIMP_(ULONG) TransferCount() override;
    STDMETHODIMP_(ULONG) MaximumBufferSize() override;
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override;
    STDMETHODIMP_(ULONG) BufferSize() override;
    STDMETHODIMP_(void) SetBufferSize(ULONG bufferSize) override;
    STDMETHODIMP_(PVOID) SystemAddress() override;
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
    STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

    // The engine callback's work for this stream. IRQL: <= DISPATCH_LEVEL.
    void NotifyPort();
    void AdvanceClock(ULONG bytes, ULONG durationMs) { m_Clock.Step(bytes, durationMs); }
    void RestartClock() { m_Clock.Restart(); }
    void ResetRenderClock();
    BOOLEAN AcquireRunning() { return m_RunGuard.Acquire(); }
    void ReleaseRunning() { m_RunGuard.Release(); }
    void ReportRenderBytes(ULONG bytes, ULONG durationMs);
    void RequeueCapture();

private:
    ~UsbWaveStream();

    // The state changes that do something (wave_stream_state.cpp).
    NTSTATUS StartDirection();
    NTSTATUS StopDirection();
    void EnterRun();
    void LeaveRun();
    NTSTATUS ApplyFormat(const WaveStreamFormat& format);
    ULONG PipelineBytes(const WaveStreamFormat& format) const;
    void QueueWholeCaptureBuffer(BOOLEAN lockHeld);
    void ReleaseNotify();

    // A part of the buffer from `offset`, cut at the buffer end: how many bytes lie before it.
    ULONG SpanToEnd(ULONG offset, ULONG bytes) const;
    bool InBuffer(const void* pointer) const;

    LONG m_References;
    UsbWaveMiniport* m_Miniport;  // counted
    IUsbAudioAdapter* m_Adapter;  // the miniport's, which outlives the stream
    PPORTWAVECYCLIC m_Port;       // counted: the stream notifies it until it goes
    ULONG m_Pin;
    bool m_Capture;
    StreamDirection m_Direction;
    KSSTATE m_State;

    PUCHAR m_Buffer;
    ULONG m_AllocatedSize;
    ULONG m_BufferSize;
    WaveStreamFormat m_Format;
    bool m_FormatSet;  // the adapter holds this stream's client format
    ULONG m_NotificationFrames;
    PSERVICEGROUP m_ServiceGroup;

    BOOLEAN m_FirstReport;  // the next render report only starts the clock
    ULONG m_RenderOffset;   // where the next render region starts
    ULONG m_PipelineBytes;  // the engine's requests in flight, in bytes of the format
    LONG m_Notifying;       // a port notification is under way
    RundownGuard m_RunGuard;
    IUsbAudioAdapterNotify* m_Notify;
    PositionClock m_Clock;
};
