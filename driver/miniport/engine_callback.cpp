// The miniport's IEngineCallback: the stream engine's progress reports, each for one direction's
// stream, and the unregistration of the wave filter.
//
// The engine calls from its DPCs at any time, also while a stream is being created or destroyed,
// so it reaches a stream only under that direction's guard, which is open from the end of
// NewStream until the stream starts to go. A report for a direction without a stream is dropped,
// which is what the engine expects of a direction that is not running.
#include "driver/miniport/usb_wave_miniport.h"

#include "driver/miniport/usb_wave_stream.h"
#include "driver/trace.h"

UsbWaveStream* UsbWaveMiniport::EnterStream(StreamDirection direction)
{
    if (direction >= kDirectionCount || !m_StreamGuard[direction].Acquire()) {
        return nullptr;
    }
    UsbWaveStream* stream = m_Stream[direction];
    if (stream == nullptr) {
        m_StreamGuard[direction].Release();
    }
    return stream;
}

void UsbWaveMiniport::LeaveStream(StreamDirection direction) { m_StreamGuard[direction].Release(); }

STDMETHODIMP_(void) UsbWaveMiniport::NotifyPort(StreamDirection direction)
{
    if (UsbWaveStream* stream = EnterStream(direction)) {
        stream->NotifyPort();
        LeaveStream(direction);
    }
}

STDMETHODIMP_(void) UsbWaveMiniport::SilenceRegion(StreamDirection direction, PVOID buffer, ULONG bytes)
{
    if (UsbWaveStream* stream = EnterStream(direction)) {
        stream->Silence(buffer, bytes);
        LeaveStream(direction);
    }
}

STDMETHODIMP_(void) UsbWaveMiniport::AdvanceClock(StreamDirection direction, ULONG bytes, ULONG duration)
{
    if (UsbWaveStream* stream = EnterStream(direction)) {
        stream->AdvanceClock(bytes, duration);
        LeaveStream(direction);
    }
}

// Only the render clock is reset this way, and only flag 0 asks for it.
STDMETHODIMP_(void) UsbWaveMiniport::ResetRenderClock(ULONG flag)
{
    if (flag != 0) {
        return;
    }
    if (UsbWaveStream* stream = EnterStream(kDirectionOut)) {
        stream->ResetRenderClock();
        LeaveStream(kDirectionOut);
    }
}

STDMETHODIMP_(void) UsbWaveMiniport::RestartClock(StreamDirection direction)
{
    if (UsbWaveStream* stream = EnterStream(direction)) {
        stream->RestartClock();
        LeaveStream(direction);
    }
}

// TRUE only while the direction's stream runs; the stream then stays in the run state until the
// engine balances this with ReleaseStream.
STDMETHODIMP_(BOOLEAN) UsbWaveMiniport::AcquireStream(StreamDirection direction)
{
    BOOLEAN running = FALSE;
    if (UsbWaveStream* stream = EnterStream(direction)) {
        running = stream->AcquireRunning();
        LeaveStream(direction);
    }
    return running;
}

// The stream cannot have gone: it waits in run -> pause for what AcquireStream handed out.
STDMETHODIMP_(void) UsbWaveMiniport::ReleaseStream(StreamDirection direction)
{
    if (UsbWaveStream* stream = EnterStream(direction)) {
        stream->ReleaseRunning();
        LeaveStream(direction);
    }
}

STDMETHODIMP_(void) UsbWaveMiniport::ReportRenderBytes(StreamDirection direction, ULONG bytes, ULONG duration)
{
    if (UsbWaveStream* stream = EnterStream(direction)) {
        stream->ReportRenderBytes(bytes, duration);
        LeaveStream(direction);
    }
}

STDMETHODIMP_(void) UsbWaveMiniport::RequeueCapture(StreamDirection direction)
{
    if (direction != kDirectionIn) {
        return;
    }
    if (UsbWaveStream* stream = EnterStream(direction)) {
        stream->RequeueCapture();
        LeaveStream(direction);
    }
}

// IRQL: PASSIVE_LEVEL. Called by the adapter before it registers a filter under a new rate.
STDMETHODIMP_(NTSTATUS) UsbWaveMiniport::UnregisterSubdevice(PDEVICE_OBJECT deviceObject)
{
    PAGED_CODE();
    if (m_Port == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // Unregistering makes the port let go of this miniport, which may be its last reference.
    NonDelegatingAddRef();
    PUNREGISTERSUBDEVICE unregister = nullptr;
    NTSTATUS status = m_Port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister));
    if (NT_SUCCESS(status)) {
        status = unregister->UnregisterSubdevice(deviceObject, m_Port);
        unregister->Release();
    }
    if (NT_SUCCESS(status)) {
        m_Port->Release();
        m_Port = nullptr;
    } else {
        R9_TRACE("UnregisterSubdevice: status 0x%08lx\n", static_cast<unsigned long>(status));
    }
    NonDelegatingRelease();
    return status;
}
