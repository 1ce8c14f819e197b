// The render converter's output, tick by tick of the render clock: the frames the FIFO handed
// over and the silence played when it had none. The recorder gets the FIFO's frames; the latest
// stretch of output stays here for the loopback, which plays it back into the inputs. The render
// feature unit sits before the converter: each channel's frames are scaled by its gain (rounded,
// saturated at full scale; unity passes them unchanged, bit for bit).
#pragma once

#include <cstdint>
#include <vector>

#include "sim/devices/audio_engine/recorder.h"

namespace sim::devices::audio {

class ConverterOutput {
public:
    explicit ConverterOutput(Recorder& recorder) : recorder_(recorder) {}

    // Output channels, and how many of the latest ticks to keep for the loopback. Forgets what
    // was played before.
    void Configure(uint32_t channels, uint64_t keepTicks);

    // Linear gain per channel from the frames played next on; a channel without one plays at unity.
    void SetGain(std::vector<double> gains) { gains_ = std::move(gains); }

    // Ticks come in increasing order; a tick skipped over played silence.
    void Play(uint64_t tick, const int32_t* frame);
    void Silence(uint64_t firstTick, uint64_t ticks);

    // What an output played at a tick: silence for a tick not played yet, no longer kept, or an
    // output the stream does not have.
    int32_t SampleAt(uint64_t tick, uint32_t channel) const;

private:
    void SilenceUpTo(uint64_t tick);

    Recorder& recorder_;
    std::vector<double> gains_;
    std::vector<int32_t> scaled_;
    uint32_t channels_ = 0;
    uint64_t keep_ = 0;
    uint64_t end_ = 0;  // one past the latest tick kept
    std::vector<int32_t> ring_;
};

}  // namespace sim::devices::audio
