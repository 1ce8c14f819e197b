#include "sim/devices/audio_engine/in_endpoint_source.h"

#include <algorithm>
#include <cmath>

namespace sim::devices::audio {

void InEndpointSource::Configure(const StreamFormat& format)
{
    format.Check();
    format_ = format;
    pattern_.reset();
    if (FrameCounterPattern::Fits(format.channels, format.validBits)) {
        pattern_.emplace(format.channels, format.validBits);
    }
    configured_ = true;
    started_ = false;
}

void InEndpointSource::SetSignal(uint32_t input, const InputSignal& signal)
{
    if (signals_.size() <= input) {
        signals_.resize(input + 1);
    }
    signals_[input] = signal;
}

uint64_t InEndpointSource::FramesForSlot(int64_t slotStartNs, int64_t periodNs) const
{
    return clock_.FramesProducedBy(slotStartNs) - clock_.FramesProducedBy(slotStartNs - periodNs);
}

bool InEndpointSource::RenderTickHeard(uint64_t frame, uint64_t& tick) const
{
    uint64_t heard = frame;
    if (&clock_ != &renderClock_) {
        // The render tick last converted when this input frame is converted.
        const uint64_t played = renderClock_.FramesProducedBy(clock_.TimeOfFrames(frame + 1));
        if (played == 0) {
            return false;
        }
        heard = played - 1;
    }
    if (heard < loopbackLatency_) {
        return false;
    }
    tick = heard - loopbackLatency_;
    return true;
}

int32_t InEndpointSource::SampleOf(const InputSignal& signal, uint64_t frame, uint32_t input,
                                   uint32_t nominalRate) const
{
    switch (signal.kind) {
    case SignalKind::Silence:
        return 0;
    case SignalKind::Sine: {
        constexpr double kTwoPi = 6.283185307179586;
        const double phase = std::fmod(signal.sineHz * double(frame), double(nominalRate)) / double(nominalRate);
        const double fullScale = double((int64_t(1) << (format_.validBits - 1)) - 1);
        const int64_t value = std::llround(signal.sineAmplitude * fullScale * std::sin(kTwoPi * phase));
        return int32_t(uint32_t(uint64_t(value) << (32 - format_.validBits)));
    }
    case SignalKind::FrameCounter:
        return pattern_ ? pattern_->Sample(frame, input) : 0;
    case SignalKind::Loopback: {
        uint64_t tick = 0;
        return RenderTickHeard(frame, tick) ? renderOutput_.SampleAt(tick, input) : 0;
    }
    }
    return 0;
}

uint32_t InEndpointSource::Fill(int64_t slotStartNs, int64_t periodNs, uint8_t* buffer, uint32_t capacity)
{
    if (!configured_) {
        return 0;
    }
    const uint64_t end = clock_.FramesProducedBy(slotStartNs);
    uint64_t begin = clock_.FramesProducedBy(slotStartNs - periodNs);
    if (started_) {
        if (begin > nextFrame_) {
            counters_.framesLost += begin - nextFrame_;
            counters_.losses.Note(slotStartNs);
        }
        begin = std::max(begin, nextFrame_);
    }
    uint64_t frames = end > begin ? end - begin : 0;
    const uint64_t fit = capacity / format_.FrameBytes();
    if (frames > fit) {
        counters_.framesLost += frames - fit;
        counters_.losses.Note(slotStartNs);
        frames = fit;
    }

    const uint32_t nominalRate = clock_.NominalRateAt(slotStartNs);
    const InputSignal silence;
    for (uint64_t i = 0; i < frames; ++i) {
        for (uint32_t input = 0; input < format_.channels; ++input) {
            const InputSignal& signal = input < signals_.size() ? signals_[input] : silence;
            WriteSample(SampleOf(signal, begin + i, input, nominalRate),
                        buffer + (size_t(i) * format_.channels + input) * format_.subslotBytes, format_);
        }
    }
    nextFrame_ = std::max(end, nextFrame_);
    started_ = true;
    ++counters_.packets;
    counters_.framesSent += frames;
    counters_.lastPacketFrames = uint32_t(frames);
    return uint32_t(frames * format_.FrameBytes());
}

}  // namespace sim::devices::audio
