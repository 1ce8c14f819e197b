#include "driver/usbaudio/usb_audio_cl.h"

#include "driver/trace.h"

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::Init(PDEVICE_OBJECT lowerDevice, ULONG irpCount)
{
    PAGED_CODE();
    NTSTATUS status = InitializeDevice(lowerDevice, irpCount);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // CUSBCL read exactly wTotalLength bytes, or the start failed above.
    const PUSB_CONFIGURATION_DESCRIPTOR configuration = GetConfigurationDescriptor();
    status =
        m_Model.ParseDescriptors(configuration, configuration->wTotalLength, &GetDeviceDescriptor(), IsHighSpeed());
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBAudioCL::Init: the Audio Class model failed 0x%08X\n", unsigned(status));
    }
    return status;
}
