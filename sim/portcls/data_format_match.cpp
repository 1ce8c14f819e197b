#include "sim/portcls/data_format_match.h"

#include <cstring>

namespace sim::portcls {

namespace {

constexpr GUID kWildcard = {};

bool Fits(const GUID& range, const GUID& format) { return IsEqualGUID(range, kWildcard) || IsEqualGUID(range, format); }

bool AudioLimitsHold(const KSDATARANGE_AUDIO& range, const WAVEFORMATEX& wave)
{
    return wave.nChannels != 0 && wave.nChannels <= range.MaximumChannels &&
           wave.wBitsPerSample >= range.MinimumBitsPerSample && wave.wBitsPerSample <= range.MaximumBitsPerSample &&
           wave.nSamplesPerSec >= range.MinimumSampleFrequency && wave.nSamplesPerSec <= range.MaximumSampleFrequency;
}

}  // namespace

bool ReadWaveFormat(const KSDATAFORMAT& format, WAVEFORMATEXTENSIBLE& wave)
{
    std::memset(&wave, 0, sizeof wave);
    if (format.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const UCHAR*>(&format) + sizeof(KSDATAFORMAT);
    std::memcpy(&wave.Format, bytes, sizeof(WAVEFORMATEX));
    if (wave.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (format.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE) ||
            wave.Format.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
            return false;
        }
        std::memcpy(&wave, bytes, sizeof wave);
    }
    return true;
}

const KSDATARANGE* MatchingDataRange(const KSPIN_DESCRIPTOR& pin, const KSDATAFORMAT& format)
{
    ULONG i = 0;
    while (pin.DataRanges != nullptr && i < pin.DataRangesCount) {
        const KSDATARANGE* range = pin.DataRanges[i];
        i += range != nullptr && (range->Flags & KSDATARANGE_ATTRIBUTES) != 0 ? 2 : 1;
        if (range == nullptr || !Fits(range->MajorFormat, format.MajorFormat) ||
            !Fits(range->SubFormat, format.SubFormat) || !Fits(range->Specifier, format.Specifier)) {
            continue;
        }
        const bool audio = range->FormatSize >= sizeof(KSDATARANGE_AUDIO) &&
                           IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
        if (!audio) {
            return range;
        }
        WAVEFORMATEXTENSIBLE wave;
        if (ReadWaveFormat(format, wave) &&
            AudioLimitsHold(*reinterpret_cast<const KSDATARANGE_AUDIO*>(range), wave.Format)) {
            return range;
        }
    }
    return nullptr;
}

KSDATARANGE_AUDIO ClientRangeOf(const KSDATAFORMAT& format, const WAVEFORMATEX& wave)
{
    KSDATARANGE_AUDIO range;
    std::memset(&range, 0, sizeof range);
    range.DataRange.FormatSize = sizeof range;
    range.DataRange.MajorFormat = format.MajorFormat;
    range.DataRange.SubFormat = format.SubFormat;
    range.DataRange.Specifier = format.Specifier;
    range.MaximumChannels = wave.nChannels;
    range.MinimumBitsPerSample = wave.wBitsPerSample;
    range.MaximumBitsPerSample = wave.wBitsPerSample;
    range.MinimumSampleFrequency = wave.nSamplesPerSec;
    range.MaximumSampleFrequency = wave.nSamplesPerSec;
    return range;
}

}  // namespace sim::portcls
