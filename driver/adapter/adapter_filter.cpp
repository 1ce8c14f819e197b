// The filter description the wave miniport hands to PortCls, built from the device's entity
// graph at the current rate; and the stream engine's slots.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/trace.h"

PPCFILTER_DESCRIPTOR UsbAudioAdapter::GetFilterDescriptor() { return &m_Filter; }

PPCFILTER_DESCRIPTOR UsbAudioAdapter::GetFilterDescriptorEx() { return GetFilterDescriptor(); }

NTSTATUS UsbAudioAdapter::FreeFilterDescriptor()
{
    m_UsbAudio.FreeFilter(&m_Filter);
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL. Each new filter is built afresh: its data ranges carry only the rate the
// device runs at now.
NTSTATUS UsbAudioAdapter::RebuildFilterDescriptor()
{
    PAGED_CODE();
    static_cast<IUsbAudioAdapter*>(this)->FreeFilterDescriptor();
    const NTSTATUS status = m_UsbAudio.BuildFilter(&m_Filter);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbAudioAdapter: filter not built 0x%08X\n", unsigned(status));
    }
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS UsbAudioAdapter::StartDirection(StreamDirection direction) { return m_Engine.StartDirection(direction); }

// IRQL: PASSIVE_LEVEL.
NTSTATUS UsbAudioAdapter::StopDirection(StreamDirection direction) { return m_Engine.StopDirection(direction); }

void UsbAudioAdapter::QueueRenderRegion(PVOID buffer, ULONG bytes) { m_Engine.QueueRegion(kDirectionOut, buffer, bytes, false); }

void UsbAudioAdapter::QueueCaptureRegion(PVOID buffer, ULONG bytes, BOOLEAN lockHeld)
{
    m_Engine.QueueRegion(kDirectionIn, buffer, bytes, lockHeld != FALSE);
}

void UsbAudioAdapter::PurgeRenderRegions() { m_Engine.PurgeRegions(kDirectionOut); }

void UsbAudioAdapter::PurgeCaptureRegions() { m_Engine.PurgeRegions(kDirectionIn); }
