// The capture side of the device: what its IN data endpoint sends.
//
// Each packet carries the frames the capture clock produced during the endpoint's last service
// period, [start - period, start) of the slot, so over a run of serviced slots the host receives
// every frame exactly once, in order, at the device's true rate (44 and 45 frames per 1-ms frame
// at 44.1 kHz full speed, the odd 45 whenever the clock has made one more). Frames produced in a
// period nobody polled are lost, as in a device whose capture FIFO only bridges one packet; frames
// that do not fit the host's buffer are lost too. Both are counted.
//
// Every input has its own signal: silence, a sine, the frame-counter pattern (named by the capture
// clock's absolute frame index), or the loopback of the output with the same number after a fixed
// converter latency in render clock frames. The loopback samples the output at the instant the
// input's frame is converted, so on a shared clock input frame i carries output frame i - latency.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/devices/audio_engine/audio_clock.h"
#include "sim/devices/audio_engine/converter_output.h"
#include "sim/devices/audio_engine/event_log.h"
#include "sim/devices/audio_engine/sample_format.h"

namespace sim::devices::audio {

enum class SignalKind { Silence, Sine, FrameCounter, Loopback };

struct InputSignal {
    SignalKind kind = SignalKind::Silence;
    double sineHz = 1000.0;
    double sineAmplitude = 0.5;  // of full scale
};

struct CaptureCounters {
    uint64_t packets = 0;
    uint64_t framesSent = 0;
    uint64_t framesLost = 0;
    EventLog losses;               // at the slot that found frames lost
    uint32_t lastPacketFrames = 0;
};

class InEndpointSource {
public:
    InEndpointSource(const AudioClock& clock, const AudioClock& renderClock, const ConverterOutput& renderOutput)
        : clock_(clock), renderClock_(renderClock), renderOutput_(renderOutput)
    {
    }

    // A new stream: the first packet carries the frames of the period before its slot.
    void Configure(const StreamFormat& format);
    void Stop() { configured_ = false; }
    bool Configured() const { return configured_; }
    const StreamFormat& Format() const { return format_; }

    // Inputs keep their signals across streams; an input without one is silent.
    void SetSignal(uint32_t input, const InputSignal& signal);
    void SetLoopbackLatency(uint64_t frames) { loopbackLatency_ = frames; }
    uint64_t LoopbackLatency() const { return loopbackLatency_; }

    // The packet for the slot starting at slotStartNs on an endpoint serviced every periodNs.
    // The render side must have run up to slotStartNs for the loopback to hear it. Returns bytes.
    uint32_t Fill(int64_t slotStartNs, int64_t periodNs, uint8_t* buffer, uint32_t capacity);
    // Frames the clock produced in the period before a slot: what the packet of that slot
    // carries when its predecessor was serviced, and what an implicit-feedback host mirrors.
    uint64_t FramesForSlot(int64_t slotStartNs, int64_t periodNs) const;

    const CaptureCounters& Counters() const { return counters_; }
    void ResetCounters() { counters_ = CaptureCounters{}; }

private:
    int32_t SampleOf(const InputSignal& signal, uint64_t frame, uint32_t input, uint32_t nominalRate) const;
    // The render tick whose output input frame `frame` hears through the loopback; false before
    // the first one.
    bool RenderTickHeard(uint64_t frame, uint64_t& tick) const;

    const AudioClock& clock_;
    const AudioClock& renderClock_;
    const ConverterOutput& renderOutput_;
    StreamFormat format_;
    std::optional<FrameCounterPattern> pattern_;
    bool configured_ = false;
    bool started_ = false;
    uint64_t nextFrame_ = 0;  // the first frame not yet sent
    uint64_t loopbackLatency_ = 0;
    std::vector<InputSignal> signals_;
    CaptureCounters counters_;
};

}  // namespace sim::devices::audio
