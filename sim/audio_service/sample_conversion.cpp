#include "sim/audio_service/sample_conversion.h"

#include <cmath>
#include <cstring>

namespace sim::audio {

namespace {

// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT's tag in the first field of the audio subtype GUID.
constexpr uint32_t kFloatTag = WAVE_FORMAT_IEEE_FLOAT;
constexpr double kFullScale32 = 2147483648.0;

// A sample as a 32-bit left-justified word, the container's bytes at the top.
int32_t ReadWord(const uint8_t* sample, uint32_t bytes)
{
    uint32_t word = 0;
    for (uint32_t i = 0; i < bytes; ++i) {
        word |= uint32_t(sample[i]) << (8 * (4 - bytes + i));
    }
    if (bytes == 1) {
        word ^= 0x80000000u;  // 8-bit PCM is unsigned
    }
    return int32_t(word);
}

void WriteWord(int32_t value, uint32_t bytes, uint8_t* sample)
{
    uint32_t word = uint32_t(value);
    if (bytes == 1) {
        word ^= 0x80000000u;
    }
    for (uint32_t i = 0; i < bytes; ++i) {
        sample[i] = uint8_t(word >> (8 * (4 - bytes + i)));
    }
}

// Rounds to the grid of the valid bits and clips to full scale.
int32_t QuantizeWord(float value, uint32_t validBits)
{
    const double step = std::ldexp(1.0, 32 - int(validBits));
    double scaled = std::nearbyint(double(value) * kFullScale32 / step) * step;
    const double highest = kFullScale32 - step;
    if (scaled > highest) {
        scaled = highest;
    } else if (scaled < -kFullScale32) {
        scaled = -kFullScale32;
    }
    return int32_t(int64_t(scaled));
}

}  // namespace

bool DescribeFormat(const WAVEFORMATEXTENSIBLE& format, DeviceSampleFormat& layout)
{
    const WAVEFORMATEX& wave = format.Format;
    uint32_t tag = wave.wFormatTag;
    uint32_t validBits = wave.wBitsPerSample;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        tag = format.SubFormat.Data1;
        validBits = format.Samples.wValidBitsPerSample == 0 ? wave.wBitsPerSample : format.Samples.wValidBitsPerSample;
    }
    if (wave.nChannels == 0 || wave.wBitsPerSample % 8 != 0 ||
        wave.nBlockAlign != wave.nChannels * wave.wBitsPerSample / 8) {
        return false;
    }
    layout.channels = wave.nChannels;
    layout.containerBytes = wave.wBitsPerSample / 8;
    layout.validBits = validBits;
    layout.isFloat = tag == kFloatTag;
    if (layout.isFloat) {
        return layout.containerBytes == 4;
    }
    return tag == WAVE_FORMAT_PCM && layout.containerBytes >= 1 && layout.containerBytes <= 4 && validBits >= 1 &&
           validBits <= layout.containerBytes * 8;
}

void DeviceToFloat(const uint8_t* in, const DeviceSampleFormat& layout, size_t frames, float* out)
{
    const size_t samples = frames * layout.channels;
    for (size_t i = 0; i < samples; ++i, in += layout.containerBytes) {
        if (layout.isFloat) {
            std::memcpy(&out[i], in, sizeof(float));
        } else {
            out[i] = float(double(ReadWord(in, layout.containerBytes)) / kFullScale32);
        }
    }
}

void FloatToDevice(const float* in, size_t frames, const DeviceSampleFormat& layout, uint8_t* out)
{
    const size_t samples = frames * layout.channels;
    for (size_t i = 0; i < samples; ++i, out += layout.containerBytes) {
        if (layout.isFloat) {
            std::memcpy(out, &in[i], sizeof(float));
        } else {
            WriteWord(QuantizeWord(in[i], layout.validBits), layout.containerBytes, out);
        }
    }
}

}  // namespace sim::audio
