#include "sim/devices/audio_engine/audio_streaming_engine.h"

namespace sim::devices::audio {

namespace {

// The loopback must still hold the output its latency reaches back to, across a capture
// service period as long as 64 ms.
constexpr uint64_t kLoopbackReachMs = 64;

uint32_t FramesOfMilliseconds(uint32_t rate, uint32_t milliseconds)
{
    return uint32_t((uint64_t(rate) * milliseconds + 999) / 1000);
}

}  // namespace

AudioStreamingEngine::AudioStreamingEngine(BusSpeed speed, AudioClock& renderClock, AudioClock& captureClock)
    : renderClock_(renderClock),
      captureClock_(captureClock),
      output_(recorder_),
      fifo_(renderClock, output_),
      capture_(captureClock, renderClock, output_),
      feedback_(speed)
{
}

AudioStreamingEngine::AudioStreamingEngine(BusSpeed speed, AudioClock& sharedClock)
    : AudioStreamingEngine(speed, sharedClock, sharedClock)
{
}

void AudioStreamingEngine::ConfigureOutput()
{
    const uint32_t channels = fifo_.Configured() ? fifo_.Settings().format.channels : 0;
    const uint64_t reach = uint64_t(renderClock_.NominalRate()) * kLoopbackReachMs / 1000;
    output_.Configure(channels, capture_.LoopbackLatency() + reach + 1);
}

void AudioStreamingEngine::StartRender(const RenderSettings& settings)
{
    const uint32_t rate = renderClock_.NominalRate();
    FifoSettings fifo;
    fifo.format = settings.format;
    fifo.maxPacketBytes = settings.maxPacketBytes;
    fifo.capacityFrames = settings.fifoCapacityFrames != 0 ? settings.fifoCapacityFrames : FramesOfMilliseconds(rate, 8);
    fifo.startLevelFrames = settings.startLevelFrames != 0 ? settings.startLevelFrames : FramesOfMilliseconds(rate, 2);
    fifo_.Configure(fifo);
    recorder_.UseFormat(settings.format);
    ConfigureOutput();
}

void AudioStreamingEngine::StopRender()
{
    fifo_.Stop();
}

void AudioStreamingEngine::StartCapture(const StreamFormat& format)
{
    capture_.Configure(format);
}

void AudioStreamingEngine::StopCapture()
{
    capture_.Stop();
}

void AudioStreamingEngine::SetLoopbackLatency(uint64_t frames)
{
    capture_.SetLoopbackLatency(frames);
    ConfigureOutput();
}

void AudioStreamingEngine::SetDriftPpm(int64_t tNs, int32_t driftPpm)
{
    renderClock_.SetDriftPpm(tNs, driftPpm);
    if (&captureClock_ != &renderClock_) {
        captureClock_.SetDriftPpm(tNs, driftPpm);
    }
}

void AudioStreamingEngine::OnIsoOut(int64_t slotStartNs, const uint8_t* data, uint32_t length)
{
    fifo_.Packet(slotStartNs, data, length);
}

uint32_t AudioStreamingEngine::OnIsoIn(int64_t slotStartNs, int64_t periodNs, uint8_t* buffer, uint32_t capacity)
{
    // The loopback hears what the converter played up to this slot.
    fifo_.DrainTo(slotStartNs);
    return capture_.Fill(slotStartNs, periodNs, buffer, capacity);
}

uint32_t AudioStreamingEngine::OnFeedbackIn(const FeedbackTiming& timing, uint8_t* buffer, uint32_t capacity)
{
    const int64_t slotStartNs = timing.slotStartNs;
    fifo_.DrainTo(slotStartNs);
    const int64_t levelError =
        fifo_.Configured() ? int64_t(SteeringTarget()) - int64_t(fifo_.LevelAt(slotStartNs)) : 0;
    return feedback_.Write(renderClock_, timing, levelError, buffer, capacity);
}

uint32_t AudioStreamingEngine::OnFeedbackIn(int64_t slotStartNs, uint8_t* buffer, uint32_t capacity)
{
    const int64_t intervalNs = feedback_.IntervalNs();
    return OnFeedbackIn(FeedbackTiming{slotStartNs, slotStartNs + intervalNs, slotStartNs, slotStartNs + intervalNs, 1},
                        buffer, capacity);
}

void AudioStreamingEngine::ResetCounters()
{
    fifo_.ResetCounters();
    capture_.ResetCounters();
}

}  // namespace sim::devices::audio
