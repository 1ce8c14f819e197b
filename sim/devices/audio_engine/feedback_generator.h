// The explicit feedback endpoint's reports: how many frames per bus interval the host should send.
//
// The value starts from the device clock's true rate per bus interval (1 ms at full speed, 125 us
// at high speed) and is steered by the render FIFO's level: below its target the device asks for a
// little more, above it a little less. A report cannot state the true rate exactly (it has 14 or
// 16 fractional bits), and the host starts from wherever the FIFO stood; without the steering
// those errors would add up over minutes into an underflow or overflow. The correction is
// proportional: `gain` report units per frame off target, limited to half a frame per interval so
// that a report stays a plausible rate whatever the FIFO does.
//
// Formats, little-endian: full speed 10.14 in 3 bytes; high speed 16.16 in 4 bytes. Two options
// exercise a host's acceptance rules: 16.16 in 4 bytes at full speed, as some devices send, and
// garbage: pseudo-random words never within two frames of the true rate.
#pragma once

#include <cstdint>

#include "sim/devices/audio_engine/audio_clock.h"

namespace sim::devices::audio {

enum class BusSpeed { Full, High };

enum class FeedbackReport { Standard, FourBytesAtFullSpeed, Garbage };

class FeedbackGenerator {
public:
    explicit FeedbackGenerator(BusSpeed speed);

    void SetReport(FeedbackReport report) { report_ = report; }
    FeedbackReport Report() const { return report_; }
    // Report units per frame of level error; 0 reports the bare true rate.
    void SetGain(uint32_t unitsPerFrame) { gain_ = unitsPerFrame; }

    uint32_t ReportBytes() const;
    uint32_t FractionBits() const;
    int64_t IntervalNs() const;

    // The value in the report's fixed point for the clock at tNs; levelError is the steering
    // target minus the FIFO level, in frames.
    uint32_t Value(const AudioClock& clock, int64_t tNs, int64_t levelError) const;
    // Writes the report (at most `capacity` bytes of it) and returns its full length: a report
    // longer than the endpoint allows is babble on the bus, as from a real device.
    uint32_t Write(const AudioClock& clock, int64_t tNs, int64_t levelError, uint8_t* buffer, uint32_t capacity);

private:
    uint32_t Garbage(uint32_t trueValue);

    BusSpeed speed_;
    FeedbackReport report_ = FeedbackReport::Standard;
    uint32_t gain_ = 1;
    uint64_t garbageState_ = 0x9E3779B97F4A7C15ull;
};

}  // namespace sim::devices::audio
