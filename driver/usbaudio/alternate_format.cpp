#include "driver/usbaudio/alternate_format.h"

#include "driver/usbaudio/descriptor_reader.h"

namespace usbaudio {

namespace {

constexpr ULONG kTerminalLinkOffset = 3;
constexpr ULONG kFormatTypeOffset20 = 5;  // AS general
constexpr ULONG kFormatsOffset20 = 6;
constexpr ULONG kChannelsOffset20 = 10;
constexpr ULONG kSubslotOffset20 = 4;  // format type
constexpr ULONG kResolutionOffset20 = 5;
constexpr ULONG kFormatTagOffset10 = 5;   // AS general
constexpr ULONG kFormatTypeOffset10 = 3;  // format type
constexpr ULONG kChannelsOffset10 = 4;
constexpr ULONG kSubframeOffset10 = 5;
constexpr ULONG kResolutionOffset10 = 6;
constexpr ULONG kRateTypeOffset10 = 7;
constexpr ULONG kRatesOffset10 = 8;
constexpr ULONG kRateBytes = 3;
constexpr UCHAR kSamplingFrequencyControl = 0x01;
constexpr ULONG kEndpointAttributesOffset = 3;
constexpr UCHAR kUsageMask = 0x30;
constexpr UCHAR kUsageImplicitFeedbackData = 0x20;

bool IsTypeI10(const AlternateSetting& alternate)
{
    return alternate.FormatType != nullptr && DescriptorByte(alternate.FormatType, kFormatTypeOffset10) == kFormatTypeI;
}

}  // namespace

UCHAR GetTerminalLink(const AlternateSetting& alternate)
{
    return DescriptorByte(alternate.AsGeneral, kTerminalLinkOffset);
}

UCHAR GetFormatType(const AlternateSetting& alternate, bool audioClass20)
{
    return audioClass20 ? DescriptorByte(alternate.AsGeneral, kFormatTypeOffset20)
                        : DescriptorByte(alternate.FormatType, kFormatTypeOffset10);
}

ULONG GetFormats(const AlternateSetting& alternate) { return DescriptorDword(alternate.AsGeneral, kFormatsOffset20); }

USHORT GetFormatTag(const AlternateSetting& alternate)
{
    return DescriptorWord(alternate.AsGeneral, kFormatTagOffset10);
}

UCHAR GetChannelCount(const AlternateSetting& alternate, bool audioClass20)
{
    return audioClass20 ? DescriptorByte(alternate.AsGeneral, kChannelsOffset20)
                        : DescriptorByte(alternate.FormatType, kChannelsOffset10);
}

UCHAR GetSubslotBytes(const AlternateSetting& alternate, bool audioClass20)
{
    return DescriptorByte(alternate.FormatType, audioClass20 ? kSubslotOffset20 : kSubframeOffset10);
}

UCHAR GetBitResolution(const AlternateSetting& alternate, bool audioClass20)
{
    return DescriptorByte(alternate.FormatType, audioClass20 ? kResolutionOffset20 : kResolutionOffset10);
}

ULONG GetSampleRateType(const AlternateSetting& alternate)
{
    return IsTypeI10(alternate) ? DescriptorByte(alternate.FormatType, kRateTypeOffset10) : 0;
}

ULONG GetDiscreteSampleRate(const AlternateSetting& alternate, ULONG index)
{
    if (index >= GetSampleRateType(alternate)) {
        return 0;
    }
    return DescriptorTribyte(alternate.FormatType, kRatesOffset10 + index * kRateBytes);
}

bool GetContinuousSampleRates(const AlternateSetting& alternate, ULONG* lower, ULONG* upper)
{
    if (!IsTypeI10(alternate) || GetSampleRateType(alternate) != 0) {
        return false;
    }
    *lower = DescriptorTribyte(alternate.FormatType, kRatesOffset10);
    *upper = DescriptorTribyte(alternate.FormatType, kRatesOffset10 + kRateBytes);
    return true;
}

bool OffersSampleRate(const AlternateSetting& alternate, ULONG rate)
{
    ULONG lower = 0;
    ULONG upper = 0;
    if (GetContinuousSampleRates(alternate, &lower, &upper)) {
        return lower <= rate && rate <= upper;
    }
    for (ULONG i = 0; i < GetSampleRateType(alternate); ++i) {
        if (GetDiscreteSampleRate(alternate, i) == rate) {
            return true;
        }
    }
    return false;
}

bool GetSampleRateSpan(const AlternateSetting& alternate, ULONG* lowest, ULONG* highest)
{
    if (GetContinuousSampleRates(alternate, lowest, highest)) {
        return true;
    }
    const ULONG count = GetSampleRateType(alternate);
    for (ULONG i = 0; i < count; ++i) {
        const ULONG rate = GetDiscreteSampleRate(alternate, i);
        if (i == 0 || rate < *lowest) {
            *lowest = rate;
        }
        if (i == 0 || rate > *highest) {
            *highest = rate;
        }
    }
    return count != 0;
}

bool HasSamplingFrequencyControl(const AlternateSetting& alternate)
{
    return (DescriptorByte(alternate.ClassEndpoint, kEndpointAttributesOffset) & kSamplingFrequencyControl) != 0;
}

bool IsImplicitFeedbackData(const USB_ENDPOINT_DESCRIPTOR* endpoint)
{
    return endpoint != nullptr && (endpoint->bmAttributes & kUsageMask) == kUsageImplicitFeedbackData;
}

}  // namespace usbaudio
