#include "driver/usbaudio/feature_unit.h"

#include "driver/usbaudio/descriptor_reader.h"
#include "driver/usbaudio/usb_audio_model.h"

using namespace usbaudio;

namespace {

constexpr ULONG kSourceIdOffset = 4;
constexpr ULONG kControlSizeOffset1 = 5;  // bControlSize, 1.0 only
constexpr ULONG kControls1 = 6;           // bmaControls(0) on 1.0
constexpr ULONG kControls2 = 5;           // bmaControls(0) on 2.0, four bytes per entry
constexpr ULONG kFixedBytes1 = 7;         // header, bUnitID, bSourceID, bControlSize, iFeature
constexpr ULONG kFixedBytes2 = 6;         // header, bUnitID, bSourceID, iFeature
constexpr ULONG kControlsBytes2 = 4;
constexpr ULONG kMaxControlBytes1 = 4;
// Enough for any descriptor: bLength is one byte.
constexpr ULONG kMaxChannelEntries = 255;

}  // namespace

NTSTATUS CUSBAudioFeatureUnit::Link() { return LinkTo(DescriptorByte(GetDescriptor(), kSourceIdOffset), &m_Source); }

NTSTATUS CUSBAudioFeatureUnit::GetName(PCHAR buffer, ULONG size) const
{
    return FormatEntityName(buffer, size, "Feature", GetId());
}

ULONG CUSBAudioFeatureUnit::GetSourceId(ULONG pin) const { return DescriptorByte(GetDescriptor(), kSourceIdOffset); }

ULONG CUSBAudioFeatureUnit::GetChannelCount() const
{
    const ULONG length = DescriptorLength(GetDescriptor());
    if (GetOwner()->IsAudioClass20()) {
        return length < kFixedBytes2 ? 0 : (length - kFixedBytes2) / kControlsBytes2;
    }
    const ULONG controlSize = DescriptorByte(GetDescriptor(), kControlSizeOffset1);
    // A bControlSize of 0 describes no controls at all; dividing by it would be the driver's fault.
    if (length < kFixedBytes1 || controlSize == 0) {
        return 0;
    }
    return (length - kFixedBytes1) / controlSize;
}

bool CUSBAudioFeatureUnit::HasFeatureControl(ULONG channel, ULONG control, ULONG access) const
{
    if (channel >= GetChannelCount()) {
        return false;
    }
    const UCHAR* descriptor = GetDescriptor();
    if (GetOwner()->IsAudioClass20()) {
        if (control >= 16) {
            return false;
        }
        const ULONG controls = DescriptorDword(descriptor, kControls2 + channel * kControlsBytes2);
        const ULONG wanted = access << (2 * control);
        return (controls & wanted) == wanted;
    }
    const ULONG controlSize = DescriptorByte(descriptor, kControlSizeOffset1);
    const ULONG bytes = controlSize < kMaxControlBytes1 ? controlSize : kMaxControlBytes1;
    if (control >= 8 * bytes) {
        return false;
    }
    const ULONG entry = kControls1 + channel * controlSize;
    ULONG controls = 0;
    for (ULONG i = 0; i < bytes; ++i) {
        controls |= ULONG(DescriptorByte(descriptor, entry + i)) << (8 * i);
    }
    return (controls >> control & 1) != 0;
}

bool CUSBAudioFeatureUnit::HasFeatureControlOnAnyChannel(ULONG control) const
{
    const ULONG channels = GetChannelCount();
    for (ULONG channel = 0; channel < channels && channel < kMaxChannelEntries; ++channel) {
        if (HasFeatureControl(channel, control, kControlRead)) {
            return true;
        }
    }
    return false;
}
