// The filter description the wave miniport hands to PortCls, built from the device's entity
// graph at the current rate; and the operations of the adapter that no part of this driver
// calls yet.
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

// This driver's filters carry no node or jack handlers yet, and its wave streams do not start
// directions, so nothing reaches the operations below; they refuse rather than pretend.
NTSTATUS UsbAudioAdapter::HandleNodeProperty(PPCPROPERTY_REQUEST) { return STATUS_NOT_SUPPORTED; }

NTSTATUS UsbAudioAdapter::HandleJackProperty(PPCPROPERTY_REQUEST) { return STATUS_NOT_SUPPORTED; }

NTSTATUS UsbAudioAdapter::StartDirection(StreamDirection direction)
{
    R9_TRACE("UsbAudioAdapter: no stream engine to start %c\n", DirectionLetter(direction));
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS UsbAudioAdapter::StopDirection(StreamDirection direction)
{
    R9_TRACE("UsbAudioAdapter: no stream engine to stop %c\n", DirectionLetter(direction));
    return STATUS_NOT_SUPPORTED;
}
