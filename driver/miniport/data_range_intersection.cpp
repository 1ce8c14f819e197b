// Format negotiation: the port asks, for a client's data range and one of the pin's own ranges,
// which single format the pin would open with. The answer is always a WAVEFORMATEXTENSIBLE at the
// highest rate and sample size both sides allow, narrowed by the adapter to what the device runs at.
#include "driver/miniport/ks_wave_format.h"
#include "driver/miniport/usb_wave_miniport.h"
#include "driver/trace.h"

namespace {

ULONG Smaller(ULONG a, ULONG b) { return a < b ? a : b; }
ULONG Larger(ULONG a, ULONG b) { return a > b ? a : b; }

void FillResult(const KSDATARANGE& ownRange, ULONG channels, ULONG bits, ULONG rate, KsWaveFormatExtensible* result)
{
    const ULONG blockAlign = bits * channels / 8;
    result->DataFormat = ownRange;
    result->DataFormat.FormatSize = kKsWaveFormatExtensibleBytes;
    // The pin's last range announces the signal-processing attribute list that follows it in the
    // pin's range array; nothing follows the format, so it must not claim attributes.
    result->DataFormat.Flags &= ~ULONG(KSDATAFORMAT_ATTRIBUTES);
    result->DataFormat.SampleSize = blockAlign;

    WAVEFORMATEXTENSIBLE& wave = result->WaveFormatExt;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = WORD(channels);
    wave.Format.nSamplesPerSec = rate;
    wave.Format.nAvgBytesPerSec = rate * blockAlign;
    wave.Format.nBlockAlign = WORD(blockAlign);
    wave.Format.wBitsPerSample = WORD(bits);
    wave.Format.cbSize = kWaveFormatExtensibleExtraBytes;
    wave.Samples.wValidBitsPerSample = WORD(bits);
    wave.dwChannelMask = channels == 2 ? kSpeakerStereo : 0;
    wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
}

}  // namespace

STDMETHODIMP_(NTSTATUS) UsbWaveMiniport::DataRangeIntersection(ULONG pinId, PKSDATARANGE clientRange,
                                                               PKSDATARANGE ownRange, ULONG outputLength,
                                                               PVOID output, PULONG resultLength)
{
    PAGED_CODE();
    if (clientRange == nullptr || ownRange == nullptr || resultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // DirectSound hardware buffers are not offered: the pins stream through the audio engine only.
    if (IsEqualGUID(clientRange->Specifier, kDirectSoundSpecifier)) {
        return STATUS_NOT_SUPPORTED;
    }
    // The port asks for the size first, with no buffer.
    if (output == nullptr || outputLength == 0) {
        *resultLength = kKsWaveFormatExtensibleBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputLength < kKsWaveFormatExtensibleBytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // A range without the audio fields names no channel count, bits or rates to intersect.
    if (clientRange->FormatSize < sizeof(KSDATARANGE_AUDIO) || ownRange->FormatSize < sizeof(KSDATARANGE_AUDIO) ||
        m_Adapter == nullptr) {
        return STATUS_NO_MATCH;
    }
    const auto* client = CONTAINING_RECORD(clientRange, KSDATARANGE_AUDIO, DataRange);
    const auto* own = CONTAINING_RECORD(ownRange, KSDATARANGE_AUDIO, DataRange);
    // Mono is never offered: the audio engine then opens the pin with two or more channels and
    // converts.
    if (client->MaximumChannels <= 1) {
        return STATUS_NO_MATCH;
    }

    ULONG channels = Smaller(client->MaximumChannels, own->MaximumChannels);
    ULONG minRate = Larger(client->MinimumSampleFrequency, own->MinimumSampleFrequency);
    ULONG maxRate = Smaller(client->MaximumSampleFrequency, own->MaximumSampleFrequency);
    ULONG minBits = Larger(client->MinimumBitsPerSample, own->MinimumBitsPerSample);
    ULONG maxBits = Smaller(client->MaximumBitsPerSample, own->MaximumBitsPerSample);
    const NTSTATUS status = m_Adapter->GetPinFormatRange(pinId, &channels, &minBits, &maxBits, &minRate, &maxRate);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("DataRangeIntersection: pin %lu, %lu channels, %lu-%lu bits, %lu-%lu Hz: status 0x%08lx\n",
                 static_cast<unsigned long>(pinId), static_cast<unsigned long>(channels),
                 static_cast<unsigned long>(minBits), static_cast<unsigned long>(maxBits),
                 static_cast<unsigned long>(minRate), static_cast<unsigned long>(maxRate),
                 static_cast<unsigned long>(status));
        return STATUS_NO_MATCH;
    }
    if (minRate > maxRate || minBits > maxBits) {
        return STATUS_NO_MATCH;
    }

    KsWaveFormatExtensible result;
    RtlZeroMemory(&result, sizeof(result));
    FillResult(*ownRange, channels, maxBits, maxRate, &result);
    // The port's buffer carries no alignment promise.
    RtlCopyMemory(output, &result, sizeof(result));
    *resultLength = kKsWaveFormatExtensibleBytes;
    return STATUS_SUCCESS;
}
