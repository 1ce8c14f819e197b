// What the device can stream, asked before a stream opens: rates, the format that goes with a rate,
// the overall capabilities of a direction, and whether its clock runs stably.
#include "driver/trace.h"
#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/usb_audio_cl.h"

using namespace usbaudio;

namespace {

constexpr USHORT kFormatPcm = 1;
constexpr ULONG kNoLowerLimit = 0;
constexpr ULONG kNoUpperLimit = 0xFFFFFFFF;

// An alternate with the descriptors that describe a Type I format.
bool IsTypeIAlternate(const AlternateSetting& alternate, bool audioClass20)
{
    return alternate.AsGeneral != nullptr && alternate.FormatType != nullptr &&
           GetFormatType(alternate, audioClass20) == kFormatTypeI;
}

}  // namespace

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::IsSampleRateSupported(ULONG rate)
{
    PAGED_CODE();
    StreamingInterface* record = m_Model.GetCaptureInterface();
    if (record == nullptr) {
        record = m_Model.GetRenderInterface();
    }
    if (record == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IsAudioClass20()) {
        CUSBAudioClockEntity* clock = GetClockEntity(record);
        const NTSTATUS status = clock != nullptr ? clock->IsSampleRateSupported(rate) : STATUS_NOT_SUPPORTED;
        return NT_SUCCESS(status) ? status : STATUS_INVALID_PARAMETER;
    }
    for (ULONG n = 1; n < record->AlternateCount; ++n) {
        const AlternateSetting& alternate = record->Alternates[n];
        if (alternate.FormatType != nullptr && GetFormatType(alternate, false) == kFormatTypeI &&
            OffersSampleRate(alternate, rate)) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

// IRQL: PASSIVE_LEVEL. Among the alternates that can run at the rate, the one with the widest
// container (the first of equals) gives the format.
NTSTATUS CUSBAudioCL::GetStreamFormat(ULONG direction, USHORT formatTag, ULONG rate, ULONG* channels, ULONG* bits)
{
    PAGED_CODE();
    if (formatTag != kFormatPcm) {
        return STATUS_NOT_SUPPORTED;
    }
    StreamingInterface* record = GetStreamingInterface(direction);
    if (record == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const bool audioClass20 = IsAudioClass20();
    if (audioClass20) {
        CUSBAudioClockEntity* clock = GetClockEntity(record);
        ULONG low = 0;
        ULONG high = 0;
        const NTSTATUS status = clock != nullptr ? clock->GetSampleRateRange(&low, &high, kNoLowerLimit, kNoUpperLimit)
                                                 : STATUS_NOT_SUPPORTED;
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (rate < low || rate > high) {
            return STATUS_NO_MATCH;
        }
    }
    const AlternateSetting* widest = nullptr;
    for (ULONG n = 1; n < record->AlternateCount; ++n) {
        const AlternateSetting& alternate = record->Alternates[n];
        if (!IsTypeIAlternate(alternate, audioClass20)) {
            continue;
        }
        ULONG lowest = 0;
        ULONG highest = 0;
        if (!audioClass20 && (!GetSampleRateSpan(alternate, &lowest, &highest) || rate < lowest || rate > highest)) {
            continue;
        }
        if (widest == nullptr || GetSubslotBytes(alternate, audioClass20) > GetSubslotBytes(*widest, audioClass20)) {
            widest = &alternate;
        }
    }
    if (widest == nullptr) {
        return STATUS_NO_MATCH;
    }
    if (channels != nullptr) {
        *channels = GetChannelCount(*widest, audioClass20);
    }
    if (bits != nullptr) {
        *bits = ULONG(GetSubslotBytes(*widest, audioClass20)) * 8;
    }
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::GetFormatCapabilities(ULONG direction, ULONG* maxChannels, ULONG* minBits, ULONG* maxBits,
                                            ULONG* minRate, ULONG* maxRate)
{
    PAGED_CODE();
    ULONG channels = 0;
    ULONG lowBits = 0;
    ULONG highBits = 0;
    ULONG lowRate = 0;
    ULONG highRate = 0;
    StreamingInterface* record = GetStreamingInterface(direction);
    const bool audioClass20 = IsAudioClass20();
    for (ULONG n = 1; record != nullptr && n < record->AlternateCount; ++n) {
        const AlternateSetting& alternate = record->Alternates[n];
        if (!IsTypeIAlternate(alternate, audioClass20)) {
            continue;
        }
        const ULONG alternateChannels = GetChannelCount(alternate, audioClass20);
        const ULONG containerBits = ULONG(GetSubslotBytes(alternate, audioClass20)) * 8;
        channels = alternateChannels > channels ? alternateChannels : channels;
        lowBits = lowBits == 0 || containerBits < lowBits ? containerBits : lowBits;
        highBits = containerBits > highBits ? containerBits : highBits;
        ULONG lowest = 0;
        ULONG highest = 0;
        if (!audioClass20 && GetSampleRateSpan(alternate, &lowest, &highest)) {
            lowRate = lowRate == 0 || lowest < lowRate ? lowest : lowRate;
            highRate = highest > highRate ? highest : highRate;
        }
    }
    if (record != nullptr && audioClass20) {
        // A clock that does not answer leaves the rates at 0; the formats are still worth having.
        CUSBAudioClockEntity* clock = GetClockEntity(record);
        if (clock == nullptr || !NT_SUCCESS(clock->GetSampleRateRange(&lowRate, &highRate, kNoLowerLimit,
                                                                         kNoUpperLimit))) {
            R9_TRACE("CUSBAudioCL::GetFormatCapabilities: no rate range for direction %lu\n",
                     static_cast<unsigned long>(direction));
        }
    }
    const ULONG* values[] = {&channels, &lowBits, &highBits, &lowRate, &highRate};
    ULONG* outputs[] = {maxChannels, minBits, maxBits, minRate, maxRate};
    for (ULONG i = 0; i < 5; ++i) {
        if (outputs[i] != nullptr) {
            *outputs[i] = *values[i];
        }
    }
    return record != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// IRQL: PASSIVE_LEVEL. A 1.0 device has no clock that could say otherwise.
bool CUSBAudioCL::IsClockStable(ULONG direction)
{
    PAGED_CODE();
    if (!IsAudioClass20()) {
        return true;
    }
    CUSBAudioClockEntity* clock = GetClockEntity(GetStreamingInterface(direction));
    return clock != nullptr && clock->IsValid();
}
