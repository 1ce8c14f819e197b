// Requests that concern the whole device: its sample rate on both directions, and the streaming
// mode (PCM or native DSD) of every streaming interface.
#include "driver/trace.h"
#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/usb_audio_cl.h"

using namespace usbaudio;

// IRQL: PASSIVE_LEVEL. With a shared clock both steps set the same clock. A 1.0 device has no clock
// entity to set: its rate follows the format selection of each direction.
NTSTATUS CUSBAudioCL::SetSampleRate(ULONG rate)
{
    PAGED_CODE();
    bool failed = false;
    StreamingInterface* const directions[] = {m_Model.GetRenderInterface(), m_Model.GetCaptureInterface()};
    for (StreamingInterface* record : directions) {
        if (record == nullptr) {
            continue;
        }
        NTSTATUS status = STATUS_NOT_IMPLEMENTED;
        if (IsAudioClass20()) {
            CUSBAudioClockEntity* clock = GetClockEntity(record);
            status = clock != nullptr ? clock->SetSampleRate(rate) : STATUS_NOT_SUPPORTED;
        }
        if (!NT_SUCCESS(status)) {
            R9_TRACE("CUSBAudioCL::SetSampleRate: interface %u refused %lu Hz (0x%08X)\n",
                     unsigned(record->InterfaceNumber), static_cast<unsigned long>(rate), unsigned(status));
            failed = true;
        }
    }
    // The data ranges follow the rate the system asked for, whatever the device made of it.
    m_CurrentRate = rate;
    return failed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::SendStreamingMode(StreamingInterface* record, USHORT mode)
{
    const NTSTATUS status =
        SendControlRequest(kVendorToInterface, kStreamingModeRequest, mode, record->InterfaceNumber, 0, nullptr);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBAudioCL: interface %u refused streaming mode %u (0x%08X)\n", unsigned(record->InterfaceNumber),
                 unsigned(mode), unsigned(status));
    }
    return status;
}

// IRQL: PASSIVE_LEVEL. Interfaces before a refusing one keep the new mode: the device switched them.
NTSTATUS CUSBAudioCL::SetStreamingMode(USHORT mode)
{
    PAGED_CODE();
    for (StreamingInterface* record = m_Model.GetFirstStreamingInterface(); record != nullptr; record = record->Next) {
        const NTSTATUS status = SendStreamingMode(record, mode);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        record->StreamingMode = mode;
    }
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::RestoreStreamingMode()
{
    PAGED_CODE();
    for (StreamingInterface* record = m_Model.GetFirstStreamingInterface(); record != nullptr; record = record->Next) {
        const NTSTATUS status = SendStreamingMode(record, record->StreamingMode);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

USHORT CUSBAudioCL::GetStreamingMode() const
{
    const StreamingInterface* first = m_Model.GetFirstStreamingInterface();
    return first != nullptr ? first->StreamingMode : kStreamingModePcm;
}
