// A device's sample clock: the nominal rate times (1 + drift), as a crystal a few ppm off runs.
// Everything the device does with audio (draining the render FIFO, filling capture packets,
// reporting feedback) counts frames on this clock, so the count is exact over hours of virtual
// time: time is integer nanoseconds and the frames produced are an exact fraction, never a float.
// The rate may change at any moment; the count goes on from the frames produced until then, so a
// change neither loses nor repeats a frame.
#pragma once

#include <cstdint>
#include <vector>

namespace sim::devices::audio {

class AudioClock {
public:
    // The clock starts with the machine (time 0) and has produced no frame then.
    explicit AudioClock(uint32_t nominalRate, int32_t driftPpm = 0);

    // From tNs on the clock runs at the new rate. Changes come in time order: one dated before
    // the latest change takes effect at that change instead.
    void SetDriftPpm(int64_t tNs, int32_t driftPpm);
    void SetNominalRate(int64_t tNs, uint32_t nominalRate);

    // Frames converted at or before tNs. Frame n (counted from 0) is converted at the first
    // instant at which this count reaches n + 1.
    uint64_t FramesProducedBy(int64_t tNs) const;
    // The earliest time at which `frames` frames have been produced (0 for none).
    int64_t TimeOfFrames(uint64_t frames) const;

    // What is in effect at tNs: nominal rate, drift, and the true rate in frames per second
    // scaled by 10^6 (exact: nominal × (10^6 + drift)).
    uint32_t NominalRateAt(int64_t tNs) const;
    int32_t DriftPpmAt(int64_t tNs) const;
    uint64_t ScaledRateAt(int64_t tNs) const;
    // The latest setting, for reports.
    uint32_t NominalRate() const { return segments_.back().nominalRate; }
    int32_t DriftPpm() const { return segments_.back().driftPpm; }
    double TrueRate() const;

    // The scale of ScaledRateAt, and of the frame fraction: 10^6 (ppm) × 10^9 (ns per second).
    static constexpr uint64_t kPpmScale = 1000000;
    static constexpr uint64_t kFractionScale = kPpmScale * 1000000000;

private:
    // From startNs on the clock runs at one rate; framesAtStart + remainder / kFractionScale
    // frames had been produced by then.
    struct Segment {
        int64_t startNs;
        uint64_t framesAtStart;
        uint64_t remainder;
        uint32_t nominalRate;
        int32_t driftPpm;
        uint64_t ScaledRate() const;
    };

    const Segment& SegmentAt(int64_t tNs) const;
    void Change(int64_t tNs, uint32_t nominalRate, int32_t driftPpm);

    std::vector<Segment> segments_;
};

}  // namespace sim::devices::audio
