#include "tests/wave/wave_bench.h"

#include <cmath>

#include "driver/usbaudio/audio_entity.h"
#include "driver/usbaudio/filter_records.h"
#include "sim/devices/audio_engine/sample_format.h"

namespace wavetest {

const std::u16string kR9Instance = u"USB\\VID_3A5C&PID_0009\\R9-00000001";

namespace {

constexpr double kFullScale = 2147483648.0;
constexpr int64_t kStepNs = 10 * kMillisecondNs;

}  // namespace

Signal FrameCounterSignal(uint32_t channels)
{
    auto pattern = std::make_shared<sim::devices::audio::FrameCounterPattern>(channels, 24);
    auto next = std::make_shared<uint64_t>(0);
    return [pattern, next, channels](float* frames, size_t count) {
        for (size_t frame = 0; frame < count; ++frame, ++*next) {
            for (uint32_t channel = 0; channel < channels; ++channel) {
                frames[frame * channels + channel] = float(double(pattern->Sample(*next, channel)) / kFullScale);
            }
        }
    };
}

Signal SineSignal(uint32_t rate, uint32_t channels, double hz, double amplitude)
{
    auto next = std::make_shared<uint64_t>(0);
    return [=](float* frames, size_t count) {
        for (size_t frame = 0; frame < count; ++frame, ++*next) {
            const float value = float(amplitude * std::sin(2.0 * M_PI * hz * double(*next) / double(rate)));
            for (uint32_t channel = 0; channel < channels; ++channel) {
                frames[frame * channels + channel] = value;
            }
        }
    };
}

int32_t Word(float sample) { return int32_t(int64_t(std::nearbyint(double(sample) * kFullScale))); }

ULONG FeatureNode(UsbAudioAdapter& adapter, const GUID& type, UCHAR unitId)
{
    const PCFILTER_DESCRIPTOR& filter = *adapter.GetFilterDescriptor();
    for (ULONG node = 0; node < filter.NodeCount; ++node) {
        const FilterNodeRecord* record = usbaudio::FilterNode(filter, node);
        if (IsEqualGUID(*record->Descriptor.Type, type) && record->Chain.Entity != nullptr &&
            record->Chain.Entity->GetId() == unitId) {
            return node;
        }
    }
    return PCFILTER_NODE;
}

WaveBench::WaveBench(ULONG rate)
{
    // A machine that has seen the device before: it comes up at the rate saved with its endpoints,
    // in the format the audio service saves for the R9's 24-bit alternate (its ranges carry 24 bits).
    bench_.SetDeviceSetting(u"Initialized", 1);
    bench_.SaveEndpointFormats(rate, 24);
    EXPECT_EQ(bench_.Plug(), STATUS_SUCCESS);
    service_ = &sim::audio::AudioService::Current();
    service_->Start();
}

WaveBench::~WaveBench()
{
    for (const Player& player : players_) {
        service_->CloseStream(player.stream);
    }
    for (const Listener& listener : listeners_) {
        service_->CloseStream(listener.stream);
    }
    // The service lets go of the device before it goes.
    bench_.Machine().RunFor(kStepNs);
    service_->Stop();
}

void WaveBench::Play(std::shared_ptr<sim::audio::RenderStream> stream, Signal signal)
{
    players_.push_back({std::move(stream), std::move(signal)});
}

void WaveBench::Record(std::shared_ptr<sim::audio::CaptureStream> stream, std::function<void(const float*, size_t)> sink)
{
    listeners_.push_back({std::move(stream), std::move(sink)});
}

void WaveBench::Run(int64_t duration)
{
    std::vector<float> frames;
    for (int64_t done = 0; done < duration; done += kStepNs) {
        for (Player& player : players_) {
            const uint32_t channels = player.stream->Format().channels;
            const size_t room = player.stream->Room();
            frames.resize(room * channels);
            player.signal(frames.data(), room);
            player.stream->Write(frames.data(), room);
        }
        for (Listener& listener : listeners_) {
            const uint32_t channels = listener.stream->Format().channels;
            frames.resize(listener.stream->Available() * channels);
            const size_t read = listener.stream->Read(frames.data(), frames.size() / channels);
            listener.sink(frames.data(), read);
        }
        bench_.Machine().RunFor(std::min(kStepNs, duration - done));
    }
}

bool WaveBench::RunUntil(const std::function<bool()>& done, int64_t limit)
{
    for (int64_t waited = 0; !done(); waited += kStepNs) {
        if (waited >= limit) {
            return false;
        }
        Run(kStepNs);
    }
    return true;
}

}  // namespace wavetest
