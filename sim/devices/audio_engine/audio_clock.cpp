#include "sim/devices/audio_engine/audio_clock.h"

#include <algorithm>
#include <stdexcept>

namespace sim::devices::audio {

namespace {

using Wide = unsigned __int128;

void CheckSetting(uint32_t nominalRate, int32_t driftPpm)
{
    if (nominalRate == 0) {
        throw std::invalid_argument("a clock needs a nominal rate above 0");
    }
    if (driftPpm <= -int32_t(AudioClock::kPpmScale) || driftPpm >= int32_t(AudioClock::kPpmScale)) {
        throw std::invalid_argument("drift must lie strictly between -10^6 and 10^6 ppm");
    }
}

}  // namespace

uint64_t AudioClock::Segment::ScaledRate() const
{
    return uint64_t(nominalRate) * uint64_t(int64_t(kPpmScale) + driftPpm);
}

AudioClock::AudioClock(uint32_t nominalRate, int32_t driftPpm)
{
    CheckSetting(nominalRate, driftPpm);
    segments_.push_back(Segment{0, 0, 0, nominalRate, driftPpm});
}

void AudioClock::SetDriftPpm(int64_t tNs, int32_t driftPpm)
{
    Change(tNs, SegmentAt(tNs).nominalRate, driftPpm);
}

void AudioClock::SetNominalRate(int64_t tNs, uint32_t nominalRate)
{
    Change(tNs, nominalRate, SegmentAt(tNs).driftPpm);
}

void AudioClock::Change(int64_t tNs, uint32_t nominalRate, int32_t driftPpm)
{
    CheckSetting(nominalRate, driftPpm);
    Segment& last = segments_.back();
    if (tNs <= last.startNs) {
        last.nominalRate = nominalRate;
        last.driftPpm = driftPpm;
        return;
    }
    const Wide produced = Wide(last.remainder) + Wide(uint64_t(tNs - last.startNs)) * last.ScaledRate();
    segments_.push_back(Segment{tNs, last.framesAtStart + uint64_t(produced / kFractionScale),
                                uint64_t(produced % kFractionScale), nominalRate, driftPpm});
}

const AudioClock::Segment& AudioClock::SegmentAt(int64_t tNs) const
{
    auto after = std::partition_point(segments_.begin(), segments_.end(),
                                      [tNs](const Segment& segment) { return segment.startNs <= tNs; });
    return after == segments_.begin() ? segments_.front() : *(after - 1);
}

uint64_t AudioClock::FramesProducedBy(int64_t tNs) const
{
    if (tNs <= 0) {
        return 0;
    }
    const Segment& segment = SegmentAt(tNs);
    const Wide produced = Wide(segment.remainder) + Wide(uint64_t(tNs - segment.startNs)) * segment.ScaledRate();
    return segment.framesAtStart + uint64_t(produced / kFractionScale);
}

int64_t AudioClock::TimeOfFrames(uint64_t frames) const
{
    if (frames == 0) {
        return 0;
    }
    // The segment in which the count passes frames - 1: the last one that began below `frames`.
    auto after = std::partition_point(segments_.begin(), segments_.end(),
                                      [frames](const Segment& segment) { return segment.framesAtStart < frames; });
    const Segment& segment = *(after - 1);
    const Wide needed = Wide(frames - segment.framesAtStart) * kFractionScale - segment.remainder;
    const uint64_t rate = segment.ScaledRate();
    return segment.startNs + int64_t((needed + rate - 1) / rate);
}

uint32_t AudioClock::NominalRateAt(int64_t tNs) const
{
    return SegmentAt(tNs).nominalRate;
}

int32_t AudioClock::DriftPpmAt(int64_t tNs) const
{
    return SegmentAt(tNs).driftPpm;
}

uint64_t AudioClock::ScaledRateAt(int64_t tNs) const
{
    return SegmentAt(tNs).ScaledRate();
}

double AudioClock::TrueRate() const
{
    return double(segments_.back().ScaledRate()) / double(kPpmScale);
}

}  // namespace sim::devices::audio
