// Mute and volume of a feature unit's channels. A request is sent only when the driver has a shape
// for it and the unit's descriptor says the channel has the control with the access it needs.
#include "driver/trace.h"
#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/feature_unit.h"
#include "driver/usbaudio/usb_audio_cl.h"

using namespace usbaudio;

namespace {

enum class FeatureRequest { GetCur, SetCur, GetRange, GetMin, GetMax, GetRes };

constexpr USHORT kMuteBytes = 1;
constexpr USHORT kVolumeBytes = 2;
constexpr USHORT kVolumeRangeBytes = 8;  // wNumSubRanges and the first subrange

bool IsSet(FeatureRequest request) { return request == FeatureRequest::SetCur; }

// The requests of each control, by class release: mute has a current value of one byte; volume a
// two-byte current value and, on 2.0, a RANGE of which the first subrange is read, on 1.0 separate
// minimum, maximum and resolution requests.
bool HasShape(bool audioClass20, ULONG control, FeatureRequest request, USHORT length)
{
    const bool current = request == FeatureRequest::GetCur || request == FeatureRequest::SetCur;
    if (control == kMuteControl) {
        return current && length == kMuteBytes;
    }
    if (control != kVolumeControl) {
        return false;
    }
    if (audioClass20) {
        return (current && length == kVolumeBytes) || (request == FeatureRequest::GetRange && length == kVolumeRangeBytes);
    }
    return request != FeatureRequest::GetRange && length == kVolumeBytes;
}

UCHAR RequestCode(bool audioClass20, FeatureRequest request)
{
    if (audioClass20) {
        return request == FeatureRequest::GetRange ? kRequestRange : kRequestCur;
    }
    switch (request) {
    case FeatureRequest::GetCur: return kGetCur;
    case FeatureRequest::GetMin: return kGetMin;
    case FeatureRequest::GetMax: return kGetMax;
    case FeatureRequest::GetRes: return kGetRes;
    default: return kSetCur;
    }
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS SendFeatureRequest(CUSBAudioFeatureUnit* unit, ULONG channel, ULONG control, FeatureRequest request,
                            USHORT length, PVOID buffer)
{
    if (unit == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool audioClass20 = unit->GetOwner()->IsAudioClass20();
    if (!HasShape(audioClass20, control, request, length) ||
        !unit->HasFeatureControl(channel, control, IsSet(request) ? kControlWrite : kControlRead)) {
        R9_TRACE("CUSBAudioFeatureUnit %lu: channel %lu has no control %lu for this request\n",
                 static_cast<unsigned long>(unit->GetId()), static_cast<unsigned long>(channel),
                 static_cast<unsigned long>(control));
        return STATUS_NOT_SUPPORTED;
    }
    const UCHAR selector = control == kMuteControl ? kMuteSelector : kVolumeSelector;
    return unit->GetOwner()->SendEntityRequest(IsSet(request) ? kSetToInterface : kGetFromInterface,
                                               RequestCode(audioClass20, request), selector, UCHAR(channel),
                                               unit->GetId(), length, buffer);
}

SHORT LittleEndianShort(const UCHAR* bytes) { return SHORT(USHORT(bytes[0] | bytes[1] << 8)); }

NTSTATUS GetShort(CUSBAudioFeatureUnit* unit, ULONG channel, FeatureRequest request, SHORT* value)
{
    if (value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR bytes[kVolumeBytes] = {};
    const NTSTATUS status = SendFeatureRequest(unit, channel, kVolumeControl, request, sizeof(bytes), bytes);
    if (NT_SUCCESS(status)) {
        *value = LittleEndianShort(bytes);
    }
    return status;
}

}  // namespace

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::GetMute(CUSBAudioFeatureUnit* unit, ULONG channel, UCHAR* mute)
{
    PAGED_CODE();
    if (mute == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return SendFeatureRequest(unit, channel, kMuteControl, FeatureRequest::GetCur, kMuteBytes, mute);
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::SetMute(CUSBAudioFeatureUnit* unit, ULONG channel, UCHAR mute)
{
    PAGED_CODE();
    return SendFeatureRequest(unit, channel, kMuteControl, FeatureRequest::SetCur, kMuteBytes, &mute);
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::GetVolume(CUSBAudioFeatureUnit* unit, ULONG channel, SHORT* level)
{
    PAGED_CODE();
    return GetShort(unit, channel, FeatureRequest::GetCur, level);
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::SetVolume(CUSBAudioFeatureUnit* unit, ULONG channel, SHORT level)
{
    PAGED_CODE();
    UCHAR bytes[kVolumeBytes] = {UCHAR(USHORT(level)), UCHAR(USHORT(level) >> 8)};
    return SendFeatureRequest(unit, channel, kVolumeControl, FeatureRequest::SetCur, sizeof(bytes), bytes);
}

// IRQL: PASSIVE_LEVEL. On 1.0 the three values come one request each; the first failure ends it
// with the values read so far already filled in.
NTSTATUS CUSBAudioCL::GetVolumeRange(CUSBAudioFeatureUnit* unit, ULONG channel, SHORT* minimum, SHORT* maximum,
                                     SHORT* resolution)
{
    PAGED_CODE();
    if (minimum == nullptr || maximum == nullptr || resolution == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (unit != nullptr && unit->GetOwner()->IsAudioClass20()) {
        UCHAR range[kVolumeRangeBytes] = {};
        const NTSTATUS status =
            SendFeatureRequest(unit, channel, kVolumeControl, FeatureRequest::GetRange, sizeof(range), range);
        if (NT_SUCCESS(status)) {
            *minimum = LittleEndianShort(range + 2);
            *maximum = LittleEndianShort(range + 4);
            *resolution = LittleEndianShort(range + 6);
        }
        return status;
    }
    NTSTATUS status = GetShort(unit, channel, FeatureRequest::GetMin, minimum);
    if (NT_SUCCESS(status)) {
        status = GetShort(unit, channel, FeatureRequest::GetMax, maximum);
    }
    if (NT_SUCCESS(status)) {
        status = GetShort(unit, channel, FeatureRequest::GetRes, resolution);
    }
    return status;
}
