// The one road of every Audio Control entity request to the device.
#include "driver/trace.h"
#include "driver/usb/usb_device.h"
#include "driver/usbaudio/usb_audio_model.h"

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioModel::SendEntityRequest(UCHAR requestType, UCHAR request, UCHAR controlSelector, UCHAR channel,
                                           ULONG entityId, USHORT length, PVOID buffer) const
{
    PAGED_CODE();
    if (m_Device == nullptr || m_AcInterface == nullptr) {
        R9_TRACE("CUSBAudioModel::SendEntityRequest: no device to ask\n");
        return STATUS_INVALID_DEVICE_STATE;
    }
    const USHORT value = USHORT(controlSelector << 8 | channel);
    const USHORT index = USHORT((entityId & 0xFF) << 8 | m_AcInterface->bInterfaceNumber);
    const NTSTATUS status = m_Device->SendControlRequest(requestType, request, value, index, length, buffer);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBAudioModel: request 0x%02X/0x%02X selector %u channel %u to entity %lu failed 0x%08X\n",
                 unsigned(requestType), unsigned(request), unsigned(controlSelector), unsigned(channel),
                 static_cast<unsigned long>(entityId), unsigned(status));
    }
    return status;
}
