// The audio side of a simulated USB Audio Class device: what it does with isochronous packets on
// its own sample clock. A device model owns one and forwards its endpoint hooks here; the model
// keeps the descriptors, the alternates and the class requests.
//
// Contract for the device model:
// - Clocks: the model owns one AudioClock per clock source and hands the engine the ones render
//   and capture run from (the same object on a shared clock). A sample-rate request becomes
//   clock.SetNominalRate(now, rate); a test changes drift with SetDriftPpm at any time.
// - Alternates: selecting a render alternate with an endpoint calls StartRender with its format
//   and wMaxPacketSize (times the transactions per microframe); alternate 0 calls StopRender.
//   Capture likewise with StartCapture/StopCapture.
// - Packets, from the model's IsoOut/IsoIn hooks with the slot's start time:
//     render data      OnIsoOut(slot.startNs, data, length), then return USBD_STATUS_SUCCESS
//                      (a device cannot refuse an isochronous packet);
//     capture data     length = OnIsoIn(slot.startNs, period, buffer, capacity), where period is
//                      the endpoint's service interval: slot.durationNs << (bInterval - 1) at
//                      high speed, slot.durationNs at full speed;
//     feedback         length = OnFeedbackIn(timing, buffer, capacity), the timing from the slot
//                      and the SOFs the device saw (FeedbackTiming).
//   The bus calls these in bus order, after their interval ended, one at a time under its lock;
//   the engine keeps time only by the slot times it is given, never by the machine's clock.
// - Implicit feedback: the device side needs nothing more: a host that mirrors the capture
//   packet sizes on render sends what the converter drains. CaptureFramesForSlot tells a test
//   what a slot's capture packet carries.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/devices/audio_engine/audio_clock.h"
#include "sim/devices/audio_engine/converter_output.h"
#include "sim/devices/audio_engine/feedback_generator.h"
#include "sim/devices/audio_engine/in_endpoint_source.h"
#include "sim/devices/audio_engine/out_fifo.h"
#include "sim/devices/audio_engine/recorder.h"
#include "sim/devices/audio_engine/sample_format.h"

namespace sim::devices::audio {

struct RenderSettings {
    StreamFormat format;
    uint32_t maxPacketBytes = 0;      // the alternate's largest packet
    uint32_t fifoCapacityFrames = 0;  // 0: 8 ms at the clock's nominal rate
    uint32_t startLevelFrames = 0;    // 0: 2 ms at the clock's nominal rate
};

class AudioStreamingEngine {
public:
    AudioStreamingEngine(BusSpeed speed, AudioClock& renderClock, AudioClock& captureClock);
    AudioStreamingEngine(BusSpeed speed, AudioClock& sharedClock);
    AudioStreamingEngine(const AudioStreamingEngine&) = delete;
    AudioStreamingEngine& operator=(const AudioStreamingEngine&) = delete;

    void StartRender(const RenderSettings& settings);
    void StopRender();
    void StartCapture(const StreamFormat& format);
    void StopCapture();

    void OnIsoOut(int64_t slotStartNs, const uint8_t* data, uint32_t length);
    uint32_t OnIsoIn(int64_t slotStartNs, int64_t periodNs, uint8_t* buffer, uint32_t capacity);
    uint32_t OnFeedbackIn(const FeedbackTiming& timing, uint8_t* buffer, uint32_t capacity);
    // The same for a report in the nominal bus interval starting at slotStartNs, measured over it.
    uint32_t OnFeedbackIn(int64_t slotStartNs, uint8_t* buffer, uint32_t capacity);

    // Routing and signals. Set the loopback latency before render starts: changing it forgets
    // the output played so far.
    void SetInputSignal(uint32_t input, const InputSignal& signal) { capture_.SetSignal(input, signal); }
    void SetLoopbackLatency(uint64_t frames);
    FeedbackGenerator& Feedback() { return feedback_; }
    // Drift of every clock the engine runs on, from tNs on.
    void SetDriftPpm(int64_t tNs, int32_t driftPpm);
    // The render feature unit's linear gain per output channel, for the frames the converter plays
    // from now on. (The FIFO drains lazily: draining it up to the request's time here could find a
    // packet of an earlier slot still on the bus, so the change takes effect from the next drain.)
    void SetRenderGain(std::vector<double> gains) { output_.SetGain(std::move(gains)); }

    // Observation.
    uint32_t RenderLevelAt(int64_t tNs) const { return fifo_.LevelAt(tNs); }
    // The level the feedback steers the render FIFO to: its start level.
    uint32_t SteeringTarget() const { return fifo_.Configured() ? fifo_.Settings().startLevelFrames : 0; }
    const FifoSettings& RenderFifo() const { return fifo_.Settings(); }
    bool RenderDraining() const { return fifo_.Draining(); }
    const RenderCounters& RenderStats() const { return fifo_.Counters(); }
    const CaptureCounters& CaptureStats() const { return capture_.Counters(); }
    const StreamFormat& CaptureFormat() const { return capture_.Format(); }
    Recorder& RenderRecorder() { return recorder_; }
    const Recorder& RenderRecorder() const { return recorder_; }
    uint64_t CaptureFramesForSlot(int64_t slotStartNs, int64_t periodNs) const
    {
        return capture_.FramesForSlot(slotStartNs, periodNs);
    }
    void ResetCounters();

    AudioClock& RenderClock() { return renderClock_; }
    AudioClock& CaptureClock() { return captureClock_; }

private:
    void ConfigureOutput();

    AudioClock& renderClock_;
    AudioClock& captureClock_;
    Recorder recorder_;
    ConverterOutput output_;
    OutFifo fifo_;
    InEndpointSource capture_;
    FeedbackGenerator feedback_;
};

}  // namespace sim::devices::audio
