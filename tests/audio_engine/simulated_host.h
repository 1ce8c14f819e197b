// A host that renders the frame-counter pattern into the engine one packet per bus interval, sized
// the way a USB audio driver sizes them:
// - Feedback: reads the feedback endpoint once a millisecond, takes a report only when it lies
//   within one frame of nominal (else nominal), and sizes packets from the value taken a pipeline
//   delay earlier, with a 16.16 fraction accumulator;
// - Nominal: ignores the device and sends the nominal rate (the fixed-pattern path);
// - MirrorCapture: reads the capture endpoint every interval and, a pipeline delay later, sends
//   as many frames as that capture packet carried (implicit feedback).
// Within a slot the host reads feedback (once a millisecond) or capture first, then sends render
// data, all at the slot's start time.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/devices/audio_engine/audio_streaming_engine.h"

namespace audioenginetest {

using namespace sim::devices::audio;

constexpr int64_t kMillisecond = 1000000;
constexpr int64_t kSecond = 1000 * kMillisecond;

inline int64_t IntervalNs(BusSpeed speed)
{
    return speed == BusSpeed::High ? 125000 : kMillisecond;
}

enum class Pacing { Feedback, Nominal, MirrorCapture };

class SimulatedRenderHost {
public:
    SimulatedRenderHost(AudioStreamingEngine& engine, BusSpeed speed, const StreamFormat& format, uint32_t nominalRate,
                        Pacing pacing, int64_t pipelineDelayNs = 24 * kMillisecond);

    // Services every slot that starts before endNs.
    void RunUntil(int64_t endNs);

    uint64_t FramesSent() const { return framesSent_; }
    // Feedback reports the host refused for lying more than a frame from nominal.
    uint64_t RefusedReports() const { return refusedReports_; }

private:
    uint32_t NominalValue() const;  // 16.16 frames per interval
    void ReadFeedback(int64_t slotNs);
    uint32_t FramesForNextPacket(int64_t slotNs);
    void SendPacket(int64_t slotNs, uint32_t frames);

    AudioStreamingEngine& engine_;
    BusSpeed speed_;
    StreamFormat format_;
    uint32_t nominalRate_;
    Pacing pacing_;
    int64_t intervalNs_;
    uint64_t delayIntervals_;
    FrameCounterPattern pattern_;
    uint64_t slot_ = 0;
    uint64_t framesSent_ = 0;
    uint64_t refusedReports_ = 0;
    uint32_t fraction_ = 0;
    uint32_t feedbackValue_ = 0;
    // What the pipeline delay holds back: feedback values or mirrored counts, with the slot they apply from.
    std::deque<std::pair<uint64_t, uint32_t>> pending_;
    std::vector<uint8_t> capture_;
    std::vector<uint8_t> packet_;
};

}  // namespace audioenginetest
