// The R9 with the driver started on it at a chosen rate, the audio service running, and the
// application side of the tests: signals to play through a render stream and a loop that keeps
// the application's streams fed (and drained) every 10 ms while simulated time passes.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/audio_service/audio_service.h"
#include "tests/adapter/adapter_bench.h"

namespace wavetest {

constexpr int64_t kMillisecondNs = 1000000;
constexpr int64_t kSecondNs = 1000 * kMillisecondNs;
constexpr int64_t kMinuteNs = 60 * kSecondNs;

// The R9's instance path, as the endpoint store and the device interfaces name it.
extern const std::u16string kR9Instance;

// Makes the next `frames` interleaved float frames of a signal.
using Signal = std::function<void(float* frames, size_t count)>;

// The frame-counter pattern of the device's analyser as floats: stereo, 24 valid bits, exact.
Signal FrameCounterSignal(uint32_t channels);
Signal SineSignal(uint32_t rate, uint32_t channels, double hz, double amplitude);
// A float sample back as the 32-bit left-justified word it stands for.
int32_t Word(float sample);

// The node of the adapter's wave filter of `type` that feature unit `unitId` implements;
// PCFILTER_NODE when there is none.
ULONG FeatureNode(UsbAudioAdapter& adapter, const GUID& type, UCHAR unitId);

class WaveBench {
public:
    explicit WaveBench(ULONG rate = 48000);
    ~WaveBench();

    adaptertest::AdapterBench& Bench() { return bench_; }
    sim::audio::AudioService& Service() { return *service_; }
    sim::devices::audio::AudioStreamingEngine& Audio() { return bench_.Device().Engine(); }
    sim::Machine& Machine() { return bench_.Machine(); }

    // What the application plays and records while time passes.
    void Play(std::shared_ptr<sim::audio::RenderStream> stream, Signal signal);
    void Record(std::shared_ptr<sim::audio::CaptureStream> stream, std::function<void(const float*, size_t)> sink);
    // Lets `duration` pass in steps of 10 ms, writing to the render streams as much as they take
    // and reading everything the capture streams hold at each step.
    void Run(int64_t duration);
    // Runs as Run does until `done` holds, at most `limit`; whether it came to hold.
    bool RunUntil(const std::function<bool()>& done, int64_t limit);
    // The device pulled out, as far as it goes by itself: the removal's status.
    NTSTATUS PullOut() { return bench_.PullOut(); }

private:
    struct Player {
        std::shared_ptr<sim::audio::RenderStream> stream;
        Signal signal;
    };
    struct Listener {
        std::shared_ptr<sim::audio::CaptureStream> stream;
        std::function<void(const float*, size_t)> sink;
    };

    adaptertest::AdapterBench bench_;
    sim::audio::AudioService* service_ = nullptr;
    std::vector<Player> players_;
    std::vector<Listener> listeners_;
};

}  // namespace wavetest
