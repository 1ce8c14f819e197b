// Volume and mute on the wave filter's feature-unit nodes. The filter's node items forward here:
// the adapter owns the node table (each node knows the feature unit behind it) and the USB
// audio-class layer that talks to the unit. Channels in requests are logical channels from 0;
// the unit's USB channels start at 1, channel 0 being its master control.
//
// IRQL: PASSIVE_LEVEL (every answer is a USB control transfer).
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/property_replies.h"
#include "driver/trace.h"
#include "driver/usbaudio/feature_unit.h"
#include "driver/usbaudio/filter_records.h"

namespace {

constexpr ULONG kGetSetBasicSupport = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG kValueBytes = sizeof(LONG);
constexpr ULONG kChannelBytes = sizeof(LONG);
// USB volumes are in 1/256 dB, KS volumes in 1/65536 dB.
constexpr LONG kUsbToKsVolume = 256;
// The volume both sides reserve for silence (minus infinity).
constexpr SHORT kUsbSilence = SHORT(-0x8000);
constexpr LONG kKsSilence = LONG(0x80000000);
constexpr ULONG kMasterChannel = 0;

ULONG SteppedListBytes(ULONG channels)
{
    return sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
           channels * sizeof(KSPROPERTY_STEPPING_LONG);
}

LONG RequestChannel(PPCPROPERTY_REQUEST request)
{
    LONG channel;
    RtlCopyMemory(&channel, request->Instance, sizeof(channel));
    return channel;
}

// The unit's channels without its master control.
ULONG LogicalChannels(const CUSBAudioFeatureUnit* unit)
{
    const ULONG count = unit->GetChannelCount();
    return count == 0 ? 0 : count - 1;
}

bool ChannelIn(LONG channel, LONG lowest, ULONG channels) { return channel >= lowest && channel < LONG(channels); }

// Rounds a KS volume to the nearest step of `resolution`, halves away from zero. In 64 bits: a
// value near either end of LONG rounds to a step beyond it, which only the clamp brings back.
LONGLONG RoundToStep(LONG value, LONG resolution)
{
    if (resolution == 0 || value % resolution == 0) {
        return value;
    }
    const LONGLONG half = resolution / 2;
    const LONGLONG shifted = value > 0 ? LONGLONG(value) + half : LONGLONG(value) - half;
    return LONGLONG(resolution) * (shifted / resolution);
}

// The member list that follows the description: its header, then one stepping per channel.
void WriteMembersHeader(PPCPROPERTY_REQUEST request, ULONG channels)
{
    KSPROPERTY_MEMBERSHEADER header;
    header.MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
    header.MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
    header.MembersCount = channels;
    header.Flags = KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL;
    RtlCopyMemory(static_cast<PUCHAR>(request->Value) + sizeof(KSPROPERTY_DESCRIPTION), &header, sizeof(header));
    request->ValueSize = SteppedListBytes(channels);
}

void WriteStepping(PPCPROPERTY_REQUEST request, ULONG channel, const KSPROPERTY_STEPPING_LONG& stepping)
{
    RtlCopyMemory(static_cast<PUCHAR>(request->Value) + SteppedListBytes(channel), &stepping, sizeof(stepping));
}

}  // namespace

// The feature unit behind a node of the current filter, or null.
CUSBAudioFeatureUnit* UsbAudioAdapter::NodeFeatureUnit(ULONG nodeId) const
{
    const FilterNodeRecord* node = usbaudio::FilterNode(m_Filter, nodeId);
    CUSBAudioEntity* entity = node == nullptr ? nullptr : node->Chain.Entity;
    if (entity == nullptr || entity->IsTerminal() || entity->GetSubtype() != usbaudio::kAcFeatureUnit) {
        return nullptr;
    }
    return static_cast<CUSBAudioFeatureUnit*>(entity);
}

NTSTATUS UsbAudioAdapter::HandleNodeProperty(PPCPROPERTY_REQUEST request)
{
    PAGED_CODE();
    if (request == nullptr || request->PropertyItem == nullptr || request->Node == PCFILTER_NODE) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG id = request->PropertyItem->Id;
    if (id != KSPROPERTY_AUDIO_VOLUMELEVEL && id != KSPROPERTY_AUDIO_MUTE) {
        return STATUS_UNSUCCESSFUL;
    }
    CUSBAudioFeatureUnit* unit = NodeFeatureUnit(request->Node);
    if (unit == nullptr) {
        R9_TRACE("UsbAudioAdapter: node %u has no feature unit\n", unsigned(request->Node));
        return (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) ? STATUS_UNSUCCESSFUL : STATUS_INVALID_PARAMETER;
    }
    return id == KSPROPERTY_AUDIO_VOLUMELEVEL ? HandleVolume(request, unit) : HandleMute(request, unit);
}

// The range of logical channel `channel` in KS units.
NTSTATUS UsbAudioAdapter::VolumeRange(CUSBAudioFeatureUnit* unit, ULONG channel, KSPROPERTY_STEPPING_LONG* range)
{
    SHORT minimum = 0;
    SHORT maximum = 0;
    SHORT resolution = 0;
    const NTSTATUS status = m_UsbAudio.GetVolumeRange(unit, channel + 1, &minimum, &maximum, &resolution);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory(range, sizeof(*range));
    range->SteppingDelta = ULONG(LONG(resolution) * kUsbToKsVolume);
    range->Bounds.SignedMinimum = LONG(minimum) * kUsbToKsVolume;
    range->Bounds.SignedMaximum = LONG(maximum) * kUsbToKsVolume;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::HandleVolume(PPCPROPERTY_REQUEST request, CUSBAudioFeatureUnit* unit)
{
    const ULONG channels = LogicalChannels(unit);
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        NTSTATUS status;
        if (!ReplyDescriptionHead(request, kGetSetBasicSupport, kVariantLong, 1, SteppedListBytes(channels), &status)) {
            return status;
        }
        for (ULONG channel = 0; channel < channels; ++channel) {
            KSPROPERTY_STEPPING_LONG stepping;
            status = VolumeRange(unit, channel, &stepping);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            WriteStepping(request, channel, stepping);
        }
        WriteMembersHeader(request, channels);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = CheckValueRequest(request, kValueBytes, kChannelBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const LONG channel = RequestChannel(request);
    if (!ChannelIn(channel, 0, channels)) {
        return STATUS_INVALID_PARAMETER;
    }
    KSPROPERTY_STEPPING_LONG range;
    status = VolumeRange(unit, ULONG(channel), &range);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG value;
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        SHORT level = 0;
        status = m_UsbAudio.GetVolume(unit, ULONG(channel) + 1, &level);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        value = level == kUsbSilence ? kKsSilence : LONG(level) * kUsbToKsVolume;
        if (value != kKsSilence && (value < range.Bounds.SignedMinimum || value > range.Bounds.SignedMaximum ||
                                    (range.SteppingDelta != 0 && value % LONG(range.SteppingDelta) != 0))) {
            R9_TRACE("UsbAudioAdapter: node %u channel %d reports volume %d off its range\n", unsigned(request->Node),
                     int(channel), int(value));
        }
        RtlCopyMemory(request->Value, &value, sizeof(value));
        request->ValueSize = kValueBytes;
        return STATUS_SUCCESS;
    }
    if ((request->Verb & KSPROPERTY_TYPE_SET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    RtlCopyMemory(&value, request->Value, sizeof(value));
    SHORT level = kUsbSilence;
    if (value != kKsSilence) {
        const LONGLONG rounded = RoundToStep(value, LONG(range.SteppingDelta));
        if (rounded < range.Bounds.SignedMinimum) {
            value = range.Bounds.SignedMinimum;
        } else if (rounded > range.Bounds.SignedMaximum) {
            value = range.Bounds.SignedMaximum;
        } else {
            value = LONG(rounded);
        }
        level = SHORT(value / kUsbToKsVolume);
    }
    return m_UsbAudio.SetVolume(unit, ULONG(channel) + 1, level);
}

NTSTATUS UsbAudioAdapter::HandleMute(PPCPROPERTY_REQUEST request, CUSBAudioFeatureUnit* unit)
{
    const ULONG channels = LogicalChannels(unit);
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        NTSTATUS status;
        if (!ReplyDescriptionHead(request, kGetSetBasicSupport, kVariantBool, 1, SteppedListBytes(channels), &status)) {
            return status;
        }
        KSPROPERTY_STEPPING_LONG stepping;
        RtlZeroMemory(&stepping, sizeof(stepping));
        stepping.SteppingDelta = 1;
        stepping.Bounds.SignedMinimum = 0;
        stepping.Bounds.SignedMaximum = 1;
        for (ULONG channel = 0; channel < channels; ++channel) {
            WriteStepping(request, channel, stepping);
        }
        WriteMembersHeader(request, channels);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = CheckValueRequest(request, kValueBytes, kChannelBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Mute is the unit's master control: every channel, and -1 for all of them, reach it.
    if (!ChannelIn(RequestChannel(request), -1, channels)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        UCHAR mute = 0;
        status = m_UsbAudio.GetMute(unit, kMasterChannel, &mute);
        if (NT_SUCCESS(status)) {
            const LONG value = mute != 0 ? 1 : 0;
            RtlCopyMemory(request->Value, &value, sizeof(value));
            request->ValueSize = kValueBytes;
        }
        return status;
    }
    if ((request->Verb & KSPROPERTY_TYPE_SET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    LONG value;
    RtlCopyMemory(&value, request->Value, sizeof(value));
    return m_UsbAudio.SetMute(unit, kMasterChannel, value != 0 ? 1 : 0);
}
