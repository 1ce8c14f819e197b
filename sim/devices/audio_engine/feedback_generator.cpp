#include "sim/devices/audio_engine/feedback_generator.h"

#include <algorithm>

namespace sim::devices::audio {

namespace {

using Wide = unsigned __int128;

constexpr int64_t kFullSpeedIntervalNs = 1000000;
constexpr int64_t kHighSpeedIntervalNs = 125000;

}  // namespace

FeedbackGenerator::FeedbackGenerator(BusSpeed speed) : speed_(speed) {}

uint32_t FeedbackGenerator::ReportBytes() const
{
    return speed_ == BusSpeed::Full && report_ != FeedbackReport::FourBytesAtFullSpeed ? 3 : 4;
}

uint32_t FeedbackGenerator::FractionBits() const
{
    return ReportBytes() == 3 ? 14 : 16;
}

int64_t FeedbackGenerator::IntervalNs() const
{
    return speed_ == BusSpeed::High ? kHighSpeedIntervalNs : kFullSpeedIntervalNs;
}

uint32_t FeedbackGenerator::Value(const AudioClock& clock, const FeedbackTiming& timing, int64_t levelError) const
{
    const uint32_t fraction = FractionBits();
    int64_t rate;
    if (measurement_ == FeedbackMeasurement::Counted) {
        const uint64_t ticks = clock.FramesProducedBy(timing.periodEndNs) - clock.FramesProducedBy(timing.periodStartNs);
        rate = int64_t((Wide(ticks) << fraction) / timing.periodIntervals);
    } else {
        const Wide scaled = Wide(clock.ScaledRateAt(timing.slotStartNs)) * uint64_t(timing.slotEndNs - timing.slotStartNs)
                            << fraction;
        rate = int64_t((scaled + AudioClock::kFractionScale / 2) / AudioClock::kFractionScale);
    }

    const int64_t limit = int64_t(1) << (fraction - 1);
    const int64_t correction = std::clamp(levelError * int64_t(gain_), -limit, limit);
    const int64_t largest = (int64_t(1) << (8 * ReportBytes())) - 1;
    return uint32_t(std::clamp<int64_t>(rate + correction, 0, largest));
}

uint32_t FeedbackGenerator::Garbage(uint32_t trueValue)
{
    // xorshift64*: the same garbage on every run.
    garbageState_ ^= garbageState_ >> 12;
    garbageState_ ^= garbageState_ << 25;
    garbageState_ ^= garbageState_ >> 27;
    const uint32_t bits = 8 * ReportBytes();
    const uint64_t mask = (uint64_t(1) << bits) - 1;
    uint32_t word = uint32_t(((garbageState_ * 0x2545F4914F6CDD1Dull) >> 32) & mask);
    const uint32_t distance = word > trueValue ? word - trueValue : trueValue - word;
    if (distance <= (uint32_t(2) << FractionBits())) {
        word ^= uint32_t(1) << (bits - 1);
    }
    return word;
}

uint32_t FeedbackGenerator::Write(const AudioClock& clock, const FeedbackTiming& timing, int64_t levelError,
                                  uint8_t* buffer, uint32_t capacity)
{
    uint32_t value = Value(clock, timing, levelError);
    if (report_ == FeedbackReport::Garbage) {
        value = Garbage(value);
    }
    const uint32_t length = ReportBytes();
    for (uint32_t i = 0; i < std::min(length, capacity); ++i) {
        buffer[i] = uint8_t(value >> (8 * i));
    }
    return length;
}

}  // namespace sim::devices::audio
