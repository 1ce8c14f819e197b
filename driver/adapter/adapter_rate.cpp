// The device rate and the PCM/DSD mode: one rate for the whole device at a time, changed only
// while nothing streams, with the wave filter re-registered under the new rate's name and the
// audio endpoints' saved formats kept in step.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/adapter/wave_registration.h"
#include "driver/mutex_holder.h"
#include "driver/registry/registry_access.h"
#include "driver/trace.h"

NTSTATUS UsbAudioAdapter::GetSampleRate(PULONG rate)
{
    if (rate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *rate = m_CurrentRate;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::GetSampleRateRange(PULONG lowest, PULONG highest)
{
    if (lowest == nullptr || highest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    StreamDirection direction = kDirectionOut;
    if (!HasDirection(kDirectionOut)) {
        if (!HasDirection(kDirectionIn)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        direction = kDirectionIn;
    }
    ULONG channels = 0;
    ULONG minBits = 0;
    ULONG maxBits = 0;
    return m_UsbAudio.GetFormatCapabilities(direction, &channels, &minBits, &maxBits, lowest, highest);
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS UsbAudioAdapter::SetSampleRate(ULONG rate, PULONG reregistered)
{
    PAGED_CODE();
    if (reregistered != nullptr) {
        *reregistered = 0;
    }
    if (rate == m_CurrentRate) {
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(m_UsbAudio.IsSampleRateSupported(rate))) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        MutexHolder configuration(&m_ConfigurationMutex);
        if (m_Engine.IsStreaming()) {
            return STATUS_DEVICE_BUSY;
        }
    }
    // The endpoints appear only once the first filter was registered, after the first start had
    // looked for them; look again before giving up.
    if (!m_PreVista && !m_EndpointsFound) {
        const NTSTATUS found = FindEndpoints(&m_RenderEndpoint, &m_CaptureEndpoint, &m_InstancePath);
        m_EndpointsFound = NT_SUCCESS(found);
        if (!m_EndpointsFound) {
            R9_TRACE("UsbAudioAdapter::SetSampleRate: endpoints unknown 0x%08X\n", unsigned(found));
            return STATUS_DEVICE_NOT_READY;
        }
    }
    IEngineCallback* const callback = EngineCallback();
    if (callback == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }

    // The filter's data ranges carry the old rate, and its name too: the audio stack must see it go.
    const NTSTATUS unregistered = callback->UnregisterSubdevice(m_Fdo);
    if (!NT_SUCCESS(unregistered)) {
        R9_TRACE("UsbAudioAdapter::SetSampleRate: unregistration 0x%08X\n", unsigned(unregistered));
    }
    ExchangeEngineCallback(nullptr);

    NTSTATUS status = STATUS_SUCCESS;
    {
        // The mutex was let go while the filter went: a direction may have started meanwhile.
        MutexHolder configuration(&m_ConfigurationMutex);
        if (m_Engine.IsStreaming()) {
            R9_TRACE("UsbAudioAdapter::SetSampleRate: a direction started during the change\n");
            status = STATUS_DEVICE_BUSY;
        } else if (!m_PreVista) {
            status = WriteEndpointRates(rate);
            if (RtlIsNtDdiVersionAvailable(NTDDI_WIN10)) {
                // Windows 10 rebuilds the endpoint's format from the driver once its cached copy
                // is gone, so that deletion is what counts.
                DeleteCachedEndpointFormats();
                status = STATUS_SUCCESS;
            }
            if (reregistered != nullptr) {
                *reregistered = 1;
            }
        }
        if (NT_SUCCESS(status)) {
            m_CurrentRate = rate;
            const NTSTATUS programmed = m_UsbAudio.SetSampleRate(rate);
            if (!NT_SUCCESS(programmed)) {
                R9_TRACE("UsbAudioAdapter::SetSampleRate: the device refused %u Hz 0x%08X\n", unsigned(rate),
                         unsigned(programmed));
            }
            if (m_PreVista) {
                const NTSTATUS written = WriteDeviceDword(m_Pdo, W("SampleRate"), rate);
                if (!NT_SUCCESS(written)) {
                    R9_TRACE("UsbAudioAdapter::SetSampleRate: \"SampleRate\" 0x%08X\n", unsigned(written));
                }
            }
        }
    }
    const NTSTATUS registered = RegisterWaveSubdevice(m_Fdo, this);
    if (!NT_SUCCESS(registered)) {
        R9_TRACE("UsbAudioAdapter::SetSampleRate: no filter at %u Hz 0x%08X\n", unsigned(m_CurrentRate),
                 unsigned(registered));
    }
    return status;
}

// Render first: a failed render update leaves the capture format alone, so the two never
// disagree about a rate the device did not take.
NTSTATUS UsbAudioAdapter::WriteEndpointRates(ULONG rate)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (m_RenderEndpoint.Length != 0) {
        status = SetEndpointFormatRate(kEndpointRender, &m_RenderEndpoint, rate);
    }
    if (NT_SUCCESS(status) && m_CaptureEndpoint.Length != 0) {
        status = SetEndpointFormatRate(kEndpointCapture, &m_CaptureEndpoint, rate);
    }
    if (status == STATUS_INVALID_DEVICE_REQUEST) {
        m_EndpointsFound = false;
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbAudioAdapter::SetSampleRate: endpoint formats not rewritten 0x%08X\n", unsigned(status));
    }
    return status;
}

void UsbAudioAdapter::DeleteCachedEndpointFormats()
{
    const PCUNICODE_STRING endpoints[kDirectionCount] = {&m_RenderEndpoint, &m_CaptureEndpoint};
    for (StreamDirection direction = kDirectionOut; direction < kDirectionCount; ++direction) {
        if (endpoints[direction]->Length == 0) {
            continue;
        }
        const UCHAR flow = direction == kDirectionOut ? kEndpointRender : kEndpointCapture;
        const NTSTATUS status = DeleteEndpointProperty(flow, endpoints[direction]);
        if (!NT_SUCCESS(status)) {
            R9_TRACE("UsbAudioAdapter::SetSampleRate: cached format of %c kept 0x%08X\n",
                     DirectionLetter(direction), unsigned(status));
        }
    }
}

NTSTATUS UsbAudioAdapter::SetDsdMode(USHORT mode)
{
    if (!m_DsdNative) {
        return mode == 0 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    }
    if (mode == m_UsbAudio.GetStreamingMode()) {
        return STATUS_SUCCESS;
    }
    MutexHolder configuration(&m_ConfigurationMutex);
    if (m_Engine.IsStreaming()) {
        return STATUS_DEVICE_BUSY;
    }
    return m_UsbAudio.SetStreamingMode(mode);
}
