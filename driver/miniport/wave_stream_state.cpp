// The wave stream's state changes and format changes. The port takes a stream from one state to
// the next one step at a time; only the steps below are valid:
//   stop -> acquire, acquire -> stop    nothing to do for the device (stop also rewinds the position)
//   acquire -> pause                    the device direction starts (silent until run)
//   pause -> acquire                    the device direction stops, its queued regions go
//   pause -> run                        the clock restarts, the engine may use the buffer
//   run -> pause                        the engine lets go of the buffer
#include "driver/driver_tuning.h"
#include "driver/miniport/usb_wave_stream.h"
#include "driver/trace.h"

namespace {

// A client asking for 176000 Hz means 176.4 kHz: the rate is often rounded in configuration UIs.
constexpr ULONG kRoundedRate = 176000;
constexpr ULONG kRateMeant = 176400;

}  // namespace

STDMETHODIMP_(NTSTATUS) UsbWaveStream::SetState(KSSTATE state)
{
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    if (m_State == KSSTATE_STOP && state == KSSTATE_ACQUIRE) {
        R9_TRACE("UsbWaveStream %c: acquire, render offset %u of %u\n", DirectionLetter(m_Direction),
                 unsigned(m_RenderOffset), unsigned(m_BufferSize));
    } else if (m_State == KSSTATE_ACQUIRE && state == KSSTATE_STOP) {
        R9_TRACE("UsbWaveStream %c: stop, render offset %u of %u\n", DirectionLetter(m_Direction),
                 unsigned(m_RenderOffset), unsigned(m_BufferSize));
        // A stopped stream starts again at the buffer start, where its first render region will
        // be: the position goes back to zero with it, as the port expects of a stopped stream.
        m_Clock.Initialize(m_BufferSize);
    } else if (m_State == KSSTATE_ACQUIRE && state == KSSTATE_PAUSE) {
        status = StartDirection();
    } else if (m_State == KSSTATE_PAUSE && state == KSSTATE_ACQUIRE) {
        status = StopDirection();
    } else if (m_State == KSSTATE_PAUSE && state == KSSTATE_RUN) {
        EnterRun();
    } else if (m_State == KSSTATE_RUN && state == KSSTATE_PAUSE) {
        LeaveRun();
    } else {
        R9_TRACE("UsbWaveStream %c: no transition from state %d to %d\n", DirectionLetter(m_Direction),
                 int(m_State), int(state));
        return STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        m_State = state;
    }
    return status;
}

NTSTATUS UsbWaveStream::StartDirection()
{
    m_RenderOffset = 0;
    m_FirstReport = TRUE;
    const NTSTATUS status = m_Adapter->StartDirection(m_Direction);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbWaveStream %c: start failed, status 0x%08X\n", DirectionLetter(m_Direction), unsigned(status));
        return status;
    }
    if (m_Capture) {
        m_Clock.Initialize(m_BufferSize);
        QueueWholeCaptureBuffer(FALSE);
    }
    return status;
}

NTSTATUS UsbWaveStream::StopDirection()
{
    const NTSTATUS status = m_Adapter->StopDirection(m_Direction);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbWaveStream %c: stop failed, status 0x%08X\n", DirectionLetter(m_Direction), unsigned(status));
    }
    if (m_Capture) {
        m_Adapter->PurgeCaptureRegions();
    } else {
        m_Adapter->PurgeRenderRegions();
    }
    return status;
}

void UsbWaveStream::EnterRun()
{
    m_Clock.Restart();
    m_RunGuard.Reopen();
}

// Returns once the engine has let go of the buffer.
void UsbWaveStream::LeaveRun()
{
    m_RunGuard.Wait();
    ReleaseNotify();
}

STDMETHODIMP_(NTSTATUS) UsbWaveStream::SetFormat(PKSDATAFORMAT dataFormat)
{
    PAGED_CODE();
    if (m_State == KSSTATE_RUN) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    WaveStreamFormat format;
    if (!NT_SUCCESS(ReadWaveStreamFormat(dataFormat, &format)) || format.blockAlign == 0 ||
        format.channels * format.bitsPerSample / 8 == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (format.sampleRate == kRoundedRate) {
        format.sampleRate = kRateMeant;
    }
    const bool paused = m_State == KSSTATE_PAUSE;
    NTSTATUS result = paused ? StopDirection() : STATUS_SUCCESS;
    if (NT_SUCCESS(result)) {
        result = ApplyFormat(format);
    }
    if (paused) {
        const NTSTATUS restart = StartDirection();
        if (NT_SUCCESS(result)) {
            result = restart;
        }
    }
    return result;
}

// The buffer is 100 ms of the format as the client describes it; the block align kept is the one
// the sample layout gives, which is what the engine converts by.
NTSTATUS UsbWaveStream::ApplyFormat(const WaveStreamFormat& format)
{
    NTSTATUS status = m_Adapter->ReplaceDirectionFormat(m_Direction, format.formatTag, format.channels,
                                                        format.bitsPerSample, format.sampleRate);
    m_FormatSet = NT_SUCCESS(status);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbWaveStream %c: format of %u Hz refused, status 0x%08X\n", DirectionLetter(m_Direction),
                 unsigned(format.sampleRate), unsigned(status));
        return status;
    }
    FreeBuffer();
    status = AllocateBuffer(WaveBytesForMilliseconds(format.blockAlign, format.sampleRate, kCyclicBufferMs), nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_Format = format;
    m_Format.blockAlign = format.channels * format.bitsPerSample / 8;
    m_PipelineBytes = PipelineBytes(m_Format);
    m_Clock.Initialize(m_BufferSize);
    return STATUS_SUCCESS;
}

// What the engine has in flight of this direction, in bytes of the format: the buffer must hold more.
ULONG UsbWaveStream::PipelineBytes(const WaveStreamFormat& format) const
{
    const ULONG requests = m_Capture ? g_DriverTuning.inRequestsInFlight : g_DriverTuning.outRequestsInFlight;
    const ULONG packets = m_Capture ? g_DriverTuning.inPacketsPerRequest : g_DriverTuning.outPacketsPerRequest;
    return format.blockAlign * (format.sampleRate / 1000) * requests * packets;
}
