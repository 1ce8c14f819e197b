#include "driver/miniport/wave_stream_format.h"

#include "driver/miniport/ks_wave_format.h"

namespace {

// The DirectSound format carries buffer flags and controls between the KS header and the wave format.
constexpr ULONG kWaveFormatOffset = sizeof(KSDATAFORMAT);
constexpr ULONG kDirectSoundWaveFormatOffset = sizeof(KSDATAFORMAT) + 2 * sizeof(ULONG);

bool IsStreamEncoding(USHORT tag)
{
    return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_ALAW ||
           tag == WAVE_FORMAT_MULAW;
}

// The tag a WAVE_FORMAT_EXTENSIBLE SubFormat stands for: the KS audio subtypes are the tags in the
// first field of one base GUID.
bool TagOfSubFormat(const GUID& subFormat, USHORT* tag)
{
    GUID base = KSDATAFORMAT_SUBTYPE_PCM;
    base.Data1 = subFormat.Data1;
    if (subFormat.Data1 > 0xFFFF || !IsEqualGUID(base, subFormat)) {
        return false;
    }
    *tag = USHORT(subFormat.Data1);
    return true;
}

}  // namespace

NTSTATUS ReadWaveStreamFormat(const KSDATAFORMAT* dataFormat, WaveStreamFormat* format)
{
    RtlZeroMemory(format, sizeof(*format));
    if (dataFormat == nullptr || !IsEqualGUID(dataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG offset;
    if (IsEqualGUID(dataFormat->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        offset = kWaveFormatOffset;
    } else if (IsEqualGUID(dataFormat->Specifier, kDirectSoundSpecifier)) {
        offset = kDirectSoundWaveFormatOffset;
    } else {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (dataFormat->FormatSize < offset + sizeof(WAVEFORMATEX)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const auto* bytes = reinterpret_cast<const UCHAR*>(dataFormat);
    WAVEFORMATEX wave;
    RtlCopyMemory(&wave, bytes + offset, sizeof(wave));
    USHORT tag = wave.wFormatTag;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        if (wave.cbSize < kWaveFormatExtensibleExtraBytes ||
            dataFormat->FormatSize < offset + sizeof(WAVEFORMATEXTENSIBLE)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        WAVEFORMATEXTENSIBLE extensible;
        RtlCopyMemory(&extensible, bytes + offset, sizeof(extensible));
        if (!TagOfSubFormat(extensible.SubFormat, &tag)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (!IsStreamEncoding(tag)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    format->formatTag = tag;
    format->channels = wave.nChannels;
    format->bitsPerSample = wave.wBitsPerSample;
    format->sampleRate = wave.nSamplesPerSec;
    format->blockAlign = wave.nBlockAlign;
    format->valid = true;
    return STATUS_SUCCESS;
}

ULONG WaveBytesForMilliseconds(ULONG blockAlign, ULONG sampleRate, ULONG milliseconds)
{
    const ULONGLONG bytes = ULONGLONG(blockAlign) * sampleRate * milliseconds / 1000;
    return bytes > 0xFFFFFFFFull ? 0 : ULONG(bytes);
}
