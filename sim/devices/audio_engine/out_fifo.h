// The render side of the device: the FIFO between the OUT endpoint and the converter.
//
// Packets put whole frames in; the converter takes one frame per tick of the device clock once the
// FIFO has reached its start level. When the converter needs a frame and the FIFO is empty it plays
// silence (an underflow) and waits for the start level again, as converters that re-prime do; a
// packet that does not fit loses the frames that do not (an overflow). Both are counted with the
// time they happened. A packet that is not whole frames, or longer than the alternate allows, is a
// protocol error and is thrown away whole: the device cannot tell which bytes to trust.
//
// The FIFO keeps no timer: it drains lazily up to the time of whatever happens next (a render or
// capture packet, a feedback report), so its state is exact at every slot however the bus calls
// it; a level query works the drain out without doing it. Times that go backwards are taken as
// the latest time seen.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/devices/audio_engine/audio_clock.h"
#include "sim/devices/audio_engine/converter_output.h"
#include "sim/devices/audio_engine/event_log.h"
#include "sim/devices/audio_engine/sample_format.h"

namespace sim::devices::audio {

struct RenderCounters {
    uint64_t packets = 0;          // packets taken in (empty ones too)
    uint64_t framesReceived = 0;   // frames that entered the FIFO
    uint64_t framesConsumed = 0;   // frames the converter played from the FIFO
    uint64_t framesDropped = 0;    // frames overflows threw away
    EventLog underflows;           // at the tick that found the FIFO empty
    EventLog overflows;            // at the packet that did not fit
    EventLog protocolErrors;       // at the packet
    // The lowest level seen just before a packet and the highest just after one, while draining.
    uint32_t minLevel = UINT32_MAX;
    uint32_t maxLevel = 0;
};

struct FifoSettings {
    StreamFormat format;
    uint32_t maxPacketBytes = 0;
    uint32_t capacityFrames = 0;
    uint32_t startLevelFrames = 0;
};

class OutFifo {
public:
    OutFifo(const AudioClock& clock, ConverterOutput& output) : clock_(clock), output_(output) {}

    // A new stream: the FIFO empties and waits for its start level. Counters go on.
    void Configure(const FifoSettings& settings);
    // The alternate without an endpoint: the FIFO empties and no packet is expected.
    void Stop();
    bool Configured() const { return configured_; }

    // One OUT packet arriving at tNs.
    void Packet(int64_t tNs, const uint8_t* data, uint32_t length);
    // Let the converter run up to tNs.
    void DrainTo(int64_t tNs);

    // Frames held at tNs (not before the latest time the FIFO has seen); no state changes.
    uint32_t LevelAt(int64_t tNs) const;
    bool Draining() const { return draining_; }
    const FifoSettings& Settings() const { return settings_; }
    const RenderCounters& Counters() const { return counters_; }
    void ResetCounters() { counters_ = RenderCounters{}; }

private:
    const AudioClock& clock_;
    ConverterOutput& output_;
    FifoSettings settings_;
    bool configured_ = false;
    bool draining_ = false;
    bool timeKnown_ = false;
    int64_t lastNs_ = 0;
    uint64_t lastTicks_ = 0;   // clock frames produced by lastNs_
    std::vector<int32_t> ring_;
    uint32_t read_ = 0;        // frame slot of the oldest frame
    uint32_t level_ = 0;
    RenderCounters counters_;
};

}  // namespace sim::devices::audio
