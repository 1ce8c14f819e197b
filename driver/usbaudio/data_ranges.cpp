// The streaming pins' data ranges, one per alternate setting, and the match the audio stack's
// format negotiation asks for.
#include "driver/usbaudio/data_ranges.h"

#include "driver/trace.h"
#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/usb_audio_cl.h"

using namespace usbaudio;

namespace {

// bmFormats bits of Audio Class 2.0 Type I formats.
constexpr ULONG kFormatPcm = 0x01;
constexpr ULONG kFormatPcm8 = 0x02;
constexpr ULONG kFormatIeeeFloat = 0x04;
constexpr ULONG kFormatAlaw = 0x08;
constexpr ULONG kFormatMulaw = 0x10;

// wFormatTag values of Audio Class 1.0 Type I formats.
constexpr USHORT kTagPcm = 0x0001;
constexpr USHORT kTagPcm8 = 0x0002;
constexpr USHORT kTagIeeeFloat = 0x0003;
constexpr USHORT kTagAlaw = 0x0004;
constexpr USHORT kTagMulaw = 0x0005;

constexpr ULONG kNoLimit = 0xFFFFFFFF;

const GUID* SubFormatOfFormats(ULONG formats)
{
    if ((formats & (kFormatPcm | kFormatPcm8)) != 0) {
        return &KSDATAFORMAT_SUBTYPE_PCM;
    }
    if ((formats & kFormatIeeeFloat) != 0) {
        return &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    }
    if ((formats & kFormatAlaw) != 0) {
        return &KSDATAFORMAT_SUBTYPE_ALAW;
    }
    if ((formats & kFormatMulaw) != 0) {
        return &KSDATAFORMAT_SUBTYPE_MULAW;
    }
    return nullptr;
}

const GUID* SubFormatOfTag(USHORT tag)
{
    switch (tag) {
    case kTagPcm:
    case kTagPcm8: return &KSDATAFORMAT_SUBTYPE_PCM;
    case kTagIeeeFloat: return &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    case kTagAlaw: return &KSDATAFORMAT_SUBTYPE_ALAW;
    case kTagMulaw: return &KSDATAFORMAT_SUBTYPE_MULAW;
    default: return nullptr;
    }
}

// The fields every streaming range shares. A format the driver does not know leaves the
// SubFormat zero: the range still tells the audio stack the channels and rates.
void FillCommonFields(KSDATARANGE_AUDIO* range, const GUID* subFormat, ULONG alternate)
{
    range->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range->DataRange.Flags = 0;
    range->DataRange.SampleSize = 0;
    range->DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    if (subFormat != nullptr) {
        range->DataRange.SubFormat = *subFormat;
    } else {
        R9_TRACE("BuildDataRanges: alternate %lu has no format the audio stack knows\n",
                 static_cast<unsigned long>(alternate));
    }
}

bool Contains(const KSDATARANGE_AUDIO& range, ULONG rate)
{
    return range.MinimumSampleFrequency <= rate && rate <= range.MaximumSampleFrequency;
}

void NarrowTo(KSDATARANGE_AUDIO* range, ULONG rate)
{
    range->MinimumSampleFrequency = rate;
    range->MaximumSampleFrequency = rate;
}

// 1.0 rates: a continuous range as it is, or narrowed to the current rate when it holds it; a
// discrete list as its lowest and highest rate, or the current rate when it is listed.
bool FillRates10(const AlternateSetting& alternate, ULONG currentRate, KSDATARANGE_AUDIO* range)
{
    ULONG lower = 0;
    ULONG upper = 0;
    if (GetContinuousSampleRates(alternate, &lower, &upper)) {
        range->MinimumSampleFrequency = lower;
        range->MaximumSampleFrequency = upper;
        if (currentRate == 0) {
            return true;
        }
        if (!Contains(*range, currentRate)) {
            return false;
        }
        NarrowTo(range, currentRate);
        return true;
    }
    const ULONG count = GetSampleRateType(alternate);
    ULONG lowest = kNoLimit;
    ULONG highest = 0;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG rate = GetDiscreteSampleRate(alternate, i);
        if (currentRate != 0 && rate == currentRate) {
            NarrowTo(range, currentRate);
            return true;
        }
        lowest = rate < lowest ? rate : lowest;
        highest = rate > highest ? rate : highest;
    }
    if (currentRate != 0 || count == 0) {
        return false;
    }
    range->MinimumSampleFrequency = lowest;
    range->MaximumSampleFrequency = highest;
    return true;
}

// The lowest and highest rate within [low, high] that a 1.0 Type I format of alternates 1 ..
// count-1 names, as a listed rate or a bound of a continuous range; false when none does.
bool FindOfferedRates(const StreamingInterface& record, ULONG low, ULONG high, ULONG* lowest, ULONG* highest)
{
    bool found = false;
    auto consider = [&](ULONG rate) {
        if (rate < low || rate > high) {
            return;
        }
        *lowest = !found || rate < *lowest ? rate : *lowest;
        *highest = !found || rate > *highest ? rate : *highest;
        found = true;
    };
    for (ULONG n = 1; n < record.AlternateCount; ++n) {
        const AlternateSetting& alternate = record.Alternates[n];
        if (GetFormatType(alternate, false) != kFormatTypeI) {
            continue;
        }
        ULONG lower = 0;
        ULONG upper = 0;
        if (GetContinuousSampleRates(alternate, &lower, &upper)) {
            consider(lower);
            consider(upper);
            continue;
        }
        for (ULONG i = 0; i < GetSampleRateType(alternate); ++i) {
            consider(GetDiscreteSampleRate(alternate, i));
        }
    }
    return found;
}

// A 2.0 range takes its rates from the terminal's clock, whichever alternate runs from it. A clock
// that cannot tell its range fails the build: the pin's rates would be guesses.
NTSTATUS FillDataRange20(StreamingInterface* record, ULONG alternate, ULONG currentRate, const PKSDATARANGE* added,
                         ULONG addedCount, KSDATARANGE_AUDIO* range, bool* keep)
{
    *keep = false;
    const AlternateSetting& setting = record->Alternates[alternate];
    if (GetFormatType(setting, true) != kFormatTypeI) {
        R9_TRACE("BuildDataRanges: alternate %lu is no Type I format\n", static_cast<unsigned long>(alternate));
        return STATUS_SUCCESS;
    }
    CUSBAudioClockEntity* clock = CUSBAudioCL::GetClockEntity(record);
    if (clock == nullptr) {
        R9_TRACE("BuildDataRanges: the terminal of interface %u names no clock source or selector\n",
                 unsigned(record->InterfaceNumber));
        return STATUS_SUCCESS;
    }
    FillCommonFields(range, SubFormatOfFormats(GetFormats(setting)), alternate);
    range->MaximumChannels = GetChannelCount(setting, true);
    range->MinimumBitsPerSample = GetBitResolution(setting, true);
    range->MaximumBitsPerSample = range->MinimumBitsPerSample;
    ULONG low = 0;
    ULONG high = 0;
    const NTSTATUS status = clock->GetSampleRateRange(&low, &high, 0, kNoLimit);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("BuildDataRanges: the clock's range is unknown (0x%08X)\n", unsigned(status));
        return status;
    }
    range->MinimumSampleFrequency = low;
    range->MaximumSampleFrequency = high;
    if (currentRate == 0) {
        *keep = true;
        return STATUS_SUCCESS;
    }
    if (!Contains(*range, currentRate)) {
        return STATUS_SUCCESS;
    }
    // Compared before narrowing: an alternate whose range repeats an earlier one's only once both are
    // narrowed still gets its own entry.
    for (ULONG i = 0; i < addedCount; ++i) {
        if (RtlCompareMemory(added[i], range, sizeof(*range)) == sizeof(*range)) {
            return STATUS_SUCCESS;
        }
    }
    NarrowTo(range, currentRate);
    *keep = true;
    return STATUS_SUCCESS;
}

bool FillDataRange10(const StreamingInterface* record, ULONG alternate, ULONG currentRate, KSDATARANGE_AUDIO* range)
{
    const AlternateSetting& setting = record->Alternates[alternate];
    if (GetFormatType(setting, false) != kFormatTypeI) {
        R9_TRACE("BuildDataRanges: alternate %lu is no Type I format\n", static_cast<unsigned long>(alternate));
        return false;
    }
    const USHORT tag = GetFormatTag(setting);
    FillCommonFields(range, SubFormatOfTag(tag), alternate);
    range->MaximumChannels = GetChannelCount(setting, false);
    range->MinimumBitsPerSample = GetBitResolution(setting, false);
    range->MaximumBitsPerSample = range->MinimumBitsPerSample;
    if (!FillRates10(setting, currentRate, range)) {
        return false;
    }
    // With the PCM tag one-byte samples are signed; the audio stack's 8-bit PCM is unsigned.
    if (GetSubslotBytes(setting, false) == 1 && tag == kTagPcm) {
        R9_TRACE("BuildDataRanges: alternate %lu has one-byte subframes with the PCM tag\n",
                 static_cast<unsigned long>(alternate));
        return false;
    }
    return true;
}

void FreeDataRanges(StreamingInterface* record)
{
    if (record->DataRanges != nullptr) {
        ExFreePoolWithTag(record->DataRanges, kDefaultPoolTag);
    }
    record->DataRanges = nullptr;
    record->DataRangeCount = 0;
}

}  // namespace

// IRQL: PASSIVE_LEVEL (2.0 clocks are asked for their range).
NTSTATUS CUSBAudioCL::BuildDataRanges(StreamingInterface* record)
{
    PAGED_CODE();
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    FreeDataRanges(record);
    const ULONG slots = record->AlternateCount;
    if (slots == 0) {
        return STATUS_SUCCESS;
    }
    // One reference and one record per alternate: alternate 0 has no range, which leaves room for
    // the attribute list's reference after the last range.
    const SIZE_T bytes = SIZE_T(slots) * (sizeof(PKSDATARANGE) + sizeof(KSDATARANGE_AUDIO));
    auto* references = static_cast<PKSDATARANGE*>(ExAllocatePoolWithTag(GetPoolType(), bytes, kDefaultPoolTag));
    if (references == nullptr) {
        R9_TRACE("BuildDataRanges: no memory for the ranges of interface %u\n", unsigned(record->InterfaceNumber));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(references, bytes);
    auto* ranges = reinterpret_cast<KSDATARANGE_AUDIO*>(references + slots);
    record->DataRanges = references;

    ULONG used = 0;
    for (ULONG n = 1; n < slots; ++n) {
        KSDATARANGE_AUDIO* range = &ranges[used];
        bool keep = false;
        if (IsAudioClass20()) {
            const NTSTATUS status = FillDataRange20(record, n, GetCurrentRate(), references, used, range, &keep);
            if (!NT_SUCCESS(status)) {
                FreeDataRanges(record);
                return status;
            }
        } else {
            keep = FillDataRange10(record, n, GetCurrentRate(), range);
        }
        if (keep) {
            references[used++] = &range->DataRange;
        } else {
            RtlZeroMemory(range, sizeof(*range));
        }
    }
    // From Windows 8.1 on the audio stack asks streaming pins for their signal-processing modes; the
    // attribute on the last range says the pin answers.
    if (used > 0 && RtlIsNtDdiVersionAvailable(NTDDI_WINBLUE)) {
        references[used - 1]->Flags = KSDATARANGE_ATTRIBUTES;
        references[used++] = reinterpret_cast<PKSDATARANGE>(&m_FilterTables.SignalProcessingAttributeList);
    }
    record->DataRangeCount = used;
    R9_TRACE("BuildDataRanges: interface %u has %lu data-range entries\n", unsigned(record->InterfaceNumber),
             static_cast<unsigned long>(used));
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::MatchDataRange(ULONG direction, ULONG* channels, ULONG* minBits, ULONG* maxBits, ULONG* minRate,
                                     ULONG* maxRate)
{
    PAGED_CODE();
    StreamingInterface* record = GetStreamingInterface(direction);
    if (record == nullptr || channels == nullptr || minBits == nullptr || maxBits == nullptr || minRate == nullptr ||
        maxRate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSDATARANGE_AUDIO* match = nullptr;
    for (ULONG i = 0; i < record->DataRangeCount && match == nullptr;
         i = NextDataRangePosition(record->DataRanges, i)) {
        const KSDATARANGE_AUDIO* range = AsAudioDataRange(record->DataRanges[i]);
        if (range == nullptr) {
            continue;
        }
        // Stereo clients are offered the first two channels of a wider stream.
        const bool channelsFit = *channels == range->MaximumChannels || (*channels == 2 && range->MaximumChannels > 2);
        if (channelsFit && range->MinimumBitsPerSample <= *minBits && *maxBits <= range->MaximumBitsPerSample &&
            range->MinimumSampleFrequency <= *minRate && *maxRate <= range->MaximumSampleFrequency) {
            match = range;
        }
    }
    if (match == nullptr) {
        return STATUS_NO_MATCH;
    }
    ULONG lowest = 0;
    ULONG highest = 0;
    bool offered;
    if (IsAudioClass20()) {
        CUSBAudioClockEntity* clock = GetClockEntity(record);
        if (clock == nullptr) {
            return STATUS_NO_MATCH;
        }
        const NTSTATUS status = clock->GetSampleRateRange(&lowest, &highest, *minRate, *maxRate);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        offered = lowest != 0;
    } else {
        offered = FindOfferedRates(*record, *minRate, *maxRate, &lowest, &highest);
    }
    if (offered) {
        *minRate = lowest;
        *maxRate = highest;
    } else {
        // An interval with its bounds the wrong way round tells the caller that no rate fits.
        const ULONG low = *minRate;
        *minRate = *maxRate;
        *maxRate = low;
    }
    return STATUS_SUCCESS;
}
