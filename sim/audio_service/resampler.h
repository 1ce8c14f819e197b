// Converts a stream's sample rate with libsamplerate (the maintained library Debian ships), as
// the audio service does for a shared-mode stream whose rate is not the endpoint's.
#pragma once

#include <cstddef>
#include <cstdint>

struct SRC_STATE_tag;

namespace sim::audio {

class Resampler {
public:
    Resampler(uint32_t channels, uint32_t fromRate, uint32_t toRate);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // Converts from `in` (up to `inFrames`) into up to `outFrames` frames of `out`; `used` receives
    // the input frames taken. With `endOfInput` the converter empties its own pipeline too.
    // Returns the frames written.
    size_t Process(const float* in, size_t inFrames, size_t& used, float* out, size_t outFrames, bool endOfInput);

private:
    SRC_STATE_tag* state_;
    double ratio_;
};

}  // namespace sim::audio
