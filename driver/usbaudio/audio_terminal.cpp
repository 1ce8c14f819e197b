#include "driver/usbaudio/audio_terminal.h"

#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/descriptor_reader.h"
#include "driver/usbaudio/usb_audio_model.h"

using namespace usbaudio;

namespace {

constexpr ULONG kInputClockOffset = 7;
constexpr ULONG kInputControlsOffset = 14;
constexpr ULONG kInputHighestControl = 5;  // copy protect, connector, overload, cluster, underflow, overflow
constexpr ULONG kOutputSourceOffset = 7;
constexpr ULONG kOutputClockOffset = 8;
constexpr ULONG kOutputControlsOffset = 9;
constexpr ULONG kOutputHighestControl = 4;  // copy protect, connector, overload, underflow, overflow

}  // namespace

CUSBAudioClockEntity* CUSBAudioTerminal::GetClockEntity() const { return CUSBAudioClockEntity::FromEntity(m_Clock); }

CUSBAudioTerminal* CUSBAudioTerminal::FromEntity(CUSBAudioEntity* entity)
{
    return entity != nullptr && entity->IsTerminal() ? static_cast<CUSBAudioTerminal*>(entity) : nullptr;
}

NTSTATUS CUSBAudioTerminal::LinkClock(ULONG clockIdOffset)
{
    if (!GetOwner()->IsAudioClass20()) {
        m_Clock = nullptr;
        return STATUS_SUCCESS;
    }
    return LinkTo(DescriptorByte(GetDescriptor(), clockIdOffset), &m_Clock);
}

bool CUSBAudioTerminal::ControlPresent(ULONG index, ULONG highestIndex) const
{
    if (index > highestIndex) {
        return false;
    }
    // 10 is not a valid setting of a control field; it counts as absent like 00.
    return (GetControls() >> (2 * index) & 1) != 0;
}

// IRQL: PASSIVE_LEVEL. The answer is the channel cluster now on the connector: no channels means
// nothing is plugged in.
ULONG CUSBAudioTerminal::ReadConnector() const
{
    PAGED_CODE();
    if (!HasControl(kConnectorControl)) {
        return kConnectorUnknown;
    }
    UCHAR cluster[6] = {};  // bNrChannels, bmChannelConfig, iChannelNames
    const NTSTATUS status = GetOwner()->SendEntityRequest(kGetFromInterface, kRequestCur, kConnectorSelector, 0,
                                                          GetId(), sizeof(cluster), cluster);
    if (!NT_SUCCESS(status)) {
        return kConnectorUnknown;
    }
    return cluster[0] != 0 ? 1 : 0;
}

NTSTATUS CUSBAudioInputTerminal::Link() { return LinkClock(kInputClockOffset); }

NTSTATUS CUSBAudioInputTerminal::GetName(PCHAR buffer, ULONG size) const
{
    return FormatEntityName(buffer, size, "IT", GetId());
}

ULONG CUSBAudioInputTerminal::GetSourceId(ULONG pin) const { return kNoEntity; }

ULONG CUSBAudioInputTerminal::GetClockSourceId() const
{
    return GetOwner()->IsAudioClass20() ? DescriptorByte(GetDescriptor(), kInputClockOffset) : kNoEntity;
}

USHORT CUSBAudioInputTerminal::GetControls() const
{
    return GetOwner()->IsAudioClass20() ? DescriptorWord(GetDescriptor(), kInputControlsOffset) : 0;
}

bool CUSBAudioInputTerminal::HasControl(ULONG index) const { return ControlPresent(index, kInputHighestControl); }

NTSTATUS CUSBAudioOutputTerminal::Link()
{
    const NTSTATUS status = LinkTo(DescriptorByte(GetDescriptor(), kOutputSourceOffset), &m_Source);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return LinkClock(kOutputClockOffset);
}

NTSTATUS CUSBAudioOutputTerminal::GetName(PCHAR buffer, ULONG size) const
{
    return FormatEntityName(buffer, size, "OT", GetId());
}

ULONG CUSBAudioOutputTerminal::GetSourceId(ULONG pin) const
{
    return DescriptorByte(GetDescriptor(), kOutputSourceOffset);
}

ULONG CUSBAudioOutputTerminal::GetClockSourceId() const
{
    return GetOwner()->IsAudioClass20() ? DescriptorByte(GetDescriptor(), kOutputClockOffset) : kNoEntity;
}

USHORT CUSBAudioOutputTerminal::GetControls() const
{
    return GetOwner()->IsAudioClass20() ? DescriptorWord(GetDescriptor(), kOutputControlsOffset) : 0;
}

bool CUSBAudioOutputTerminal::HasControl(ULONG index) const { return ControlPresent(index, kOutputHighestControl); }
