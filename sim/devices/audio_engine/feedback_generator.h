// The explicit feedback endpoint's reports: how many frames per bus interval the host should send.
//
// Two ways of knowing the rate. By default (Exact) the value starts from the device clock's true
// rate over the bus interval the report goes out in (1 ms at full speed, 125 us at high speed, as
// long as the host's SOFs make it), to the report's resolution. Counted measures it as hardware
// does (USB 2.0 section 5.12.4.2): the device counts the ticks of its sample clock between SOFs
// over a measurement period of 2^P bus intervals and reports count / 2^P. The value is then
// quantised to 1/2^P frame and jitters by up to that around the true rate, while the counts of
// consecutive periods add up to exactly the frames the clock produced, so reports average to the
// true rate over time. P is the exponent of the feedback endpoint's reporting period (see
// AudioEngineDevice).
//
// Either value is then steered by the render FIFO's level: below its target the device asks for a
// little more, above it a little less. A report cannot state the true rate exactly, and the host
// starts from wherever the FIFO stood; without the steering those errors would add up over minutes
// into an underflow or overflow. The correction is proportional: `gain` report units per frame off
// target, limited to half a frame per interval so that a report stays a plausible rate whatever the
// FIFO does.
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

enum class FeedbackMeasurement { Exact, Counted };

// The bus intervals a report is made from, in machine time as the device's SOFs date them: the
// interval the report goes out in, and the last complete measurement period before it.
struct FeedbackTiming {
    int64_t slotStartNs = 0;
    int64_t slotEndNs = 0;
    int64_t periodStartNs = 0;
    int64_t periodEndNs = 0;
    uint32_t periodIntervals = 1;  // 2^P
};

class FeedbackGenerator {
public:
    explicit FeedbackGenerator(BusSpeed speed);

    void SetReport(FeedbackReport report) { report_ = report; }
    FeedbackReport Report() const { return report_; }
    void SetMeasurement(FeedbackMeasurement measurement) { measurement_ = measurement; }
    FeedbackMeasurement Measurement() const { return measurement_; }
    // Report units per frame of level error; 0 reports the bare rate.
    void SetGain(uint32_t unitsPerFrame) { gain_ = unitsPerFrame; }

    uint32_t ReportBytes() const;
    uint32_t FractionBits() const;
    // The nominal bus interval.
    int64_t IntervalNs() const;

    // The value in the report's fixed point; levelError is the steering target minus the FIFO
    // level, in frames.
    uint32_t Value(const AudioClock& clock, const FeedbackTiming& timing, int64_t levelError) const;
    // Writes the report (at most `capacity` bytes of it) and returns its full length: a report
    // longer than the endpoint allows is babble on the bus, as from a real device.
    uint32_t Write(const AudioClock& clock, const FeedbackTiming& timing, int64_t levelError, uint8_t* buffer,
                   uint32_t capacity);

private:
    uint32_t Garbage(uint32_t trueValue);

    BusSpeed speed_;
    FeedbackReport report_ = FeedbackReport::Standard;
    FeedbackMeasurement measurement_ = FeedbackMeasurement::Exact;
    uint32_t gain_ = 1;
    uint64_t garbageState_ = 0x9E3779B97F4A7C15ull;
};

}  // namespace sim::devices::audio
