// Which alternate setting carries a requested format: the first that matches channels and
// resolution exactly, or else the widest one.
#include "driver/trace.h"
#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/usb_audio_cl.h"

using namespace usbaudio;

namespace {

constexpr ULONG kFormatBitCount = 5;
// The format tag each 2.0 bmFormats bit stands for: PCM, PCM8, IEEE_FLOAT, ALAW, MULAW.
constexpr USHORT kTagOfFormatBit[kFormatBitCount] = {1, 1, 3, 6, 7};
constexpr ULONG kPcmBit = 0x01;
constexpr ULONG kPcm8Bit = 0x02;
constexpr UCHAR kEightBits = 8;
// 1.0 wFormatTag values 1 to 5 (PCM, PCM8, IEEE_FLOAT, ALAW, MULAW) and the format tag of each.
constexpr USHORT kTagOfFormatTag10[] = {0, 1, 1, 3, 6, 7};
constexpr USHORT kFormatTag10Pcm = 0x0001;
constexpr USHORT kFormatTag10Pcm8 = 0x0002;

void Put(ULONG* output, ULONG value)
{
    if (output != nullptr) {
        *output = value;
    }
}

}  // namespace

// Every format bit the alternate carries must stand for the requested tag, so an alternate that
// offers PCM and float at once is never taken for either; and its samples must be PCM, or PCM8 at
// eight bits.
bool CUSBAudioCL::QualifiesAudioClass20(const AlternateSetting& alternate, USHORT formatTag) const
{
    if (GetFormatType(alternate, true) != kFormatTypeI) {
        return false;
    }
    const ULONG formats = GetFormats(alternate);
    for (ULONG bit = 0; bit < kFormatBitCount; ++bit) {
        if ((formats >> bit & 1) != 0 && kTagOfFormatBit[bit] != formatTag) {
            return false;
        }
    }
    const ULONG wanted = GetBitResolution(alternate, true) == kEightBits ? kPcm8Bit : kPcmBit;
    return (formats & wanted) != 0;
}

// IRQL: PASSIVE_LEVEL.
bool CUSBAudioCL::QualifiesAudioClass10(StreamingInterface* record, ULONG alternate, USHORT formatTag, ULONG rate)
{
    const AlternateSetting& setting = record->Alternates[alternate];
    if (GetFormatType(setting, false) != kFormatTypeI) {
        R9_TRACE("CUSBAudioCL: interface %u alternate %lu is no Type I format\n", unsigned(record->InterfaceNumber),
                 static_cast<unsigned long>(alternate));
        return false;
    }
    const USHORT tag = GetFormatTag(setting);
    if (tag >= sizeof(kTagOfFormatTag10) / sizeof(kTagOfFormatTag10[0]) || kTagOfFormatTag10[tag] != formatTag) {
        return false;
    }
    if (tag != (GetBitResolution(setting, false) == kEightBits ? kFormatTag10Pcm8 : kFormatTag10Pcm)) {
        return false;
    }
    const ULONG rateCount = GetSampleRateType(setting);
    if (rateCount < 2) {
        return OffersSampleRate(setting, rate);
    }
    if (!OffersSampleRate(setting, rate)) {
        return false;
    }
    // A capture alternate that lists several rates but cannot be told one runs at whatever rate the
    // device chose: only the device can say which.
    if (record->Direction == kDirectionIn &&
        (setting.ClassEndpoint == nullptr || !HasSamplingFrequencyControl(setting))) {
        return EndpointRunsAt(record, alternate, rate);
    }
    return true;
}

// IRQL: PASSIVE_LEVEL. Asking the endpoint needs the alternate selected; the previous one is
// selected again afterwards, and since that replaces the interface's pipes they are looked up anew.
bool CUSBAudioCL::EndpointRunsAt(StreamingInterface* record, ULONG alternate, ULONG rate)
{
    const ULONG previous = record->CurrentAlternate;
    NTSTATUS status = STATUS_SUCCESS;
    if (alternate != previous) {
        status = SelectAlternate(record->InterfaceNumber, UCHAR(alternate));
    }
    UCHAR current[3] = {};
    if (NT_SUCCESS(status)) {
        status = SendControlRequest(kGetFromEndpoint, kGetCur, kEndpointSamplingFrequency,
                                    record->Alternates[alternate].DataEndpoint->bEndpointAddress, sizeof(current),
                                    current);
        if (alternate != previous) {
            const NTSTATUS restored = SelectAlternate(record->InterfaceNumber, UCHAR(previous));
            if (!NT_SUCCESS(restored) || !NT_SUCCESS(RefreshInterfacePipes(record))) {
                R9_TRACE("CUSBAudioCL: interface %u not back on alternate %lu (0x%08X)\n",
                         unsigned(record->InterfaceNumber), static_cast<unsigned long>(previous), unsigned(restored));
            }
        }
    }
    const ULONG running = ULONG(current[0]) | ULONG(current[1]) << 8 | ULONG(current[2]) << 16;
    return NT_SUCCESS(status) && running == rate;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::FindAlternateSetting(StreamingInterface* record, USHORT formatTag, ULONG channels, ULONG bits,
                                           ULONG rate, ULONG* channelsOut, ULONG* bitsOut, ULONG* alternate)
{
    PAGED_CODE();
    if (channels == 0 || bits == 0 || rate == 0) {
        Put(alternate, 0);
        Put(bitsOut, 0);
        Put(channelsOut, channels);
        return STATUS_SUCCESS;
    }
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool audioClass20 = IsAudioClass20();
    if (audioClass20) {
        CUSBAudioClockEntity* clock = GetClockEntity(record);
        const NTSTATUS status = clock != nullptr ? clock->IsSampleRateSupported(rate) : STATUS_NOT_SUPPORTED;
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    ULONG bestChannels = 0;
    ULONG bestBits = 0;
    ULONG best = 0;
    for (ULONG n = 1; n < record->AlternateCount; ++n) {
        const AlternateSetting& setting = record->Alternates[n];
        if (setting.DataEndpoint == nullptr || setting.AsGeneral == nullptr || setting.FormatType == nullptr) {
            continue;
        }
        const bool qualifies = audioClass20 ? QualifiesAudioClass20(setting, formatTag)
                                            : QualifiesAudioClass10(record, n, formatTag, rate);
        if (!qualifies) {
            continue;
        }
        const ULONG alternateChannels = GetChannelCount(setting, audioClass20);
        const ULONG containerBits = ULONG(GetSubslotBytes(setting, audioClass20)) * 8;
        if (alternateChannels == channels && GetBitResolution(setting, audioClass20) == bits) {
            Put(alternate, n);
            Put(channelsOut, channels);
            Put(bitsOut, containerBits);
            return STATUS_SUCCESS;
        }
        if (alternateChannels >= bestChannels && containerBits >= bestBits) {
            bestChannels = alternateChannels;
            bestBits = containerBits;
            best = n;
        }
    }
    if (best == 0) {
        R9_TRACE("CUSBAudioCL: no alternate of interface %u carries tag %u, %lu channels, %lu bits at %lu Hz\n",
                 unsigned(record->InterfaceNumber), unsigned(formatTag), static_cast<unsigned long>(channels),
                 static_cast<unsigned long>(bits), static_cast<unsigned long>(rate));
        return STATUS_NOT_SUPPORTED;
    }
    Put(alternate, best);
    Put(channelsOut, bestChannels);
    Put(bitsOut, bestBits);
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::CheckStreamFormat(ULONG direction, USHORT formatTag, ULONG channels, ULONG bits, ULONG rate,
                                        ULONG* channelsOut, ULONG* bitsOut)
{
    PAGED_CODE();
    StreamingInterface* record = GetStreamingInterface(direction);
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return FindAlternateSetting(record, formatTag, channels, bits, rate, channelsOut, bitsOut, nullptr);
}
