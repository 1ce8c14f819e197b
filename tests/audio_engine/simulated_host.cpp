#include "tests/audio_engine/simulated_host.h"

namespace audioenginetest {

SimulatedRenderHost::SimulatedRenderHost(AudioStreamingEngine& engine, BusSpeed speed, const StreamFormat& format,
                                         uint32_t nominalRate, Pacing pacing, int64_t pipelineDelayNs)
    : engine_(engine),
      speed_(speed),
      format_(format),
      nominalRate_(nominalRate),
      pacing_(pacing),
      intervalNs_(IntervalNs(speed)),
      delayIntervals_(uint64_t(pipelineDelayNs / IntervalNs(speed))),
      pattern_(format.channels, format.validBits),
      capture_(4096)
{
}

uint32_t SimulatedRenderHost::NominalValue() const
{
    const uint64_t perMillisecond = uint64_t(nominalRate_) * 65536 / 1000;
    return uint32_t(speed_ == BusSpeed::High ? perMillisecond / 8 : perMillisecond);
}

void SimulatedRenderHost::ReadFeedback(int64_t slotNs)
{
    uint8_t report[4] = {};
    const uint32_t length = engine_.OnFeedbackIn(slotNs, report, sizeof(report));
    uint32_t value = 0;
    if (length == 3) {
        value = (uint32_t(report[0]) | uint32_t(report[1]) << 8 | uint32_t(report[2]) << 16) << 2;
    } else if (length == 4) {
        value = uint32_t(report[0]) | uint32_t(report[1]) << 8 | uint32_t(report[2]) << 16 | uint32_t(report[3]) << 24;
    }
    const uint32_t nominal = NominalValue();
    if (value < 65536 || value + 65536 < nominal || value > nominal + 65536) {
        ++refusedReports_;
        value = nominal;
    }
    if (feedbackValue_ == 0) {
        feedbackValue_ = value;  // the first report releases rendering at once
    } else {
        pending_.emplace_back(slot_ + delayIntervals_, value);
    }
}

uint32_t SimulatedRenderHost::FramesForNextPacket(int64_t slotNs)
{
    if (pacing_ == Pacing::MirrorCapture) {
        const uint32_t length = engine_.OnIsoIn(slotNs, intervalNs_, capture_.data(), uint32_t(capture_.size()));
        pending_.emplace_back(slot_ + delayIntervals_, length / engine_.CaptureFormat().FrameBytes());
        uint32_t frames = 0;
        if (pending_.front().first <= slot_) {
            frames = pending_.front().second;
            pending_.pop_front();
        }
        return frames;
    }
    while (!pending_.empty() && pending_.front().first <= slot_) {
        feedbackValue_ = pending_.front().second;
        pending_.pop_front();
    }
    const uint32_t value = pacing_ == Pacing::Feedback ? feedbackValue_ : NominalValue();
    const uint32_t sum = fraction_ + value;
    fraction_ = sum & 0xFFFF;
    return sum >> 16;
}

void SimulatedRenderHost::SendPacket(int64_t slotNs, uint32_t frames)
{
    packet_.resize(size_t(frames) * format_.FrameBytes());
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t channel = 0; channel < format_.channels; ++channel) {
            WriteSample(pattern_.Sample(framesSent_ + i, channel),
                        &packet_[(size_t(i) * format_.channels + channel) * format_.subslotBytes], format_);
        }
    }
    engine_.OnIsoOut(slotNs, packet_.data(), uint32_t(packet_.size()));
    framesSent_ += frames;
}

void SimulatedRenderHost::RunUntil(int64_t endNs)
{
    const uint64_t intervalsPerMillisecond = uint64_t(kMillisecond / intervalNs_);
    for (; int64_t(slot_) * intervalNs_ < endNs; ++slot_) {
        const int64_t slotNs = int64_t(slot_) * intervalNs_;
        if (pacing_ == Pacing::Feedback && slot_ % intervalsPerMillisecond == 0) {
            ReadFeedback(slotNs);
        }
        SendPacket(slotNs, FramesForNextPacket(slotNs));
    }
}

}  // namespace audioenginetest
