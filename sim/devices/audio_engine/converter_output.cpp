#include "sim/devices/audio_engine/converter_output.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim::devices::audio {

void ConverterOutput::Configure(uint32_t channels, uint64_t keepTicks)
{
    channels_ = channels;
    keep_ = std::max<uint64_t>(keepTicks, 1);
    end_ = 0;
    ring_.assign(keep_ * channels_, 0);
}

void ConverterOutput::SilenceUpTo(uint64_t tick)
{
    if (tick <= end_ || channels_ == 0) {
        end_ = std::max(end_, tick);
        return;
    }
    // Only the last keep_ ticks of a long silence can still be read.
    for (uint64_t t = std::max(end_, tick > keep_ ? tick - keep_ : 0); t < tick; ++t) {
        std::memset(&ring_[(t % keep_) * channels_], 0, channels_ * sizeof(int32_t));
    }
    end_ = tick;
}

void ConverterOutput::Play(uint64_t tick, const int32_t* frame)
{
    const bool unity = std::all_of(gains_.begin(), gains_.end(), [](double gain) { return gain == 1.0; });
    if (!unity) {
        scaled_.assign(frame, frame + channels_);
        for (uint32_t channel = 0; channel < channels_ && channel < gains_.size(); ++channel) {
            const double value = std::nearbyint(double(frame[channel]) * gains_[channel]);
            scaled_[channel] = int32_t(std::clamp(value, double(INT32_MIN), double(INT32_MAX)));
        }
        frame = scaled_.data();
    }
    recorder_.Take(tick, frame);
    if (channels_ == 0 || tick < end_) {
        return;
    }
    SilenceUpTo(tick);
    std::memcpy(&ring_[(tick % keep_) * channels_], frame, channels_ * sizeof(int32_t));
    end_ = tick + 1;
}

void ConverterOutput::Silence(uint64_t firstTick, uint64_t ticks)
{
    SilenceUpTo(firstTick + ticks);
}

int32_t ConverterOutput::SampleAt(uint64_t tick, uint32_t channel) const
{
    if (channel >= channels_ || tick >= end_ || tick + keep_ < end_) {
        return 0;
    }
    return ring_[(tick % keep_) * channels_ + channel];
}

}  // namespace sim::devices::audio
