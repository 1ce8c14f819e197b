// The audio service mixes in 32-bit float, full scale being 1.0; the device formats it converts
// from and to are integer PCM (8, 16, 24 or 32-bit containers, the valid bits at the top) and
// 32-bit IEEE float. Integers become floats exactly up to 24 valid bits; floats become integers
// rounded to the nearest step and clipped to full scale, so a stream that went through float at
// full volume comes back bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/api/kernel.h"

namespace sim::audio {

struct DeviceSampleFormat {
    bool isFloat = false;
    uint32_t containerBytes = 0;  // per sample
    uint32_t validBits = 0;
    uint32_t channels = 0;

    uint32_t FrameBytes() const { return containerBytes * channels; }
};

// The sample layout of an endpoint's device format; false for a layout the service cannot mix.
bool DescribeFormat(const WAVEFORMATEXTENSIBLE& format, DeviceSampleFormat& layout);

// `frames` interleaved frames of the device layout to or from floats with the same channels.
void DeviceToFloat(const uint8_t* in, const DeviceSampleFormat& layout, size_t frames, float* out);
void FloatToDevice(const float* in, size_t frames, const DeviceSampleFormat& layout, uint8_t* out);

}  // namespace sim::audio
