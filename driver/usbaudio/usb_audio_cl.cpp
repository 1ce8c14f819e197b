#include "driver/usbaudio/usb_audio_cl.h"

#include "driver/trace.h"
#include "driver/usbaudio/audio_terminal.h"
#include "driver/usbaudio/clock_entity.h"

using namespace usbaudio;

// IRQL: PASSIVE_LEVEL.
CUSBAudioCL::CUSBAudioCL(POOL_TYPE poolType) : CUSBCL(poolType), m_Model(poolType)
{
    m_Model.AttachDevice(this);
}

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

StreamingInterface* CUSBAudioCL::GetStreamingInterface(ULONG direction) const
{
    switch (direction) {
    case kDirectionOut: return m_Model.GetRenderInterface();
    case kDirectionIn: return m_Model.GetCaptureInterface();
    default: return nullptr;
    }
}

CUSBAudioClockEntity* CUSBAudioCL::GetClockEntity(const StreamingInterface* record)
{
    const CUSBAudioTerminal* terminal = record != nullptr ? CUSBAudioTerminal::FromEntity(record->Terminal) : nullptr;
    return terminal != nullptr ? terminal->GetClockEntity() : nullptr;
}
