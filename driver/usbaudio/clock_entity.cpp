#include "driver/usbaudio/clock_entity.h"

#include "driver/usbaudio/descriptor_reader.h"
#include "driver/usbaudio/usb_audio_model.h"

using namespace usbaudio;

namespace {

constexpr ULONG kSelectorInputCountOffset = 4;
constexpr ULONG kSelectorInputsOffset = 5;

}  // namespace

CUSBAudioClockEntity* CUSBAudioClockEntity::FromEntity(CUSBAudioEntity* entity)
{
    return entity != nullptr && entity->IsClockEntity() ? static_cast<CUSBAudioClockEntity*>(entity) : nullptr;
}

NTSTATUS CUSBAudioClockEntity::LinkClockEntity() const
{
    return GetOwner()->IsAudioClass20() ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioClockSource::Link() { return LinkClockEntity(); }

NTSTATUS CUSBAudioClockSource::GetName(PCHAR buffer, ULONG size) const
{
    return FormatEntityName(buffer, size, "ClockSource", GetId());
}

ULONG CUSBAudioClockSource::GetSourceId(ULONG pin) const { return kNoEntity; }

NTSTATUS CUSBAudioClockSelector::Link() { return LinkClockEntity(); }

NTSTATUS CUSBAudioClockSelector::GetName(PCHAR buffer, ULONG size) const
{
    return FormatEntityName(buffer, size, "ClockSelector", GetId());
}

ULONG CUSBAudioClockSelector::GetSourceId(ULONG pin) const
{
    if (pin >= GetInputCount()) {
        return kNoEntity;
    }
    return DescriptorByte(GetDescriptor(), kSelectorInputsOffset + pin);
}

ULONG CUSBAudioClockSelector::GetInputCount() const
{
    return DescriptorByte(GetDescriptor(), kSelectorInputCountOffset);
}
