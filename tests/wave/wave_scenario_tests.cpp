// Windows programs playing and recording through the whole stack in virtual time: the audio
// service opens the wave filter at the endpoint's saved format, the port copies into and out of
// the driver's cyclic buffer, the stream engine moves it over USB, and the R9 plays it to its
// converters and records it back through its loopback.
#include <algorithm>
#include <cmath>

#include "sim/devices/audio_engine/continuity_analyser.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/pnp/plug_and_play.h"
#include "tests/scenario_time.h"
#include "tests/wave/wave_bench.h"

namespace wavetest {
namespace {

using sim::audio::AppFormat;
using sim::audio::Flow;
using sim::devices::audio::ContinuityAnalyser;
using sim::devices::audio::InputSignal;
using sim::devices::audio::SignalKind;

constexpr uint32_t kStereo = 2;
constexpr uint32_t kPatternBits = 24;

// Every frame the R9's converters play, checked as it plays: the first two outputs must carry the
// stereo frame-counter pattern, the other two silence.
struct HeardPattern {
    explicit HeardPattern(sim::devices::audio::AudioStreamingEngine& audio) : audio_(audio), analyser(kStereo, kPatternBits)
    {
        audio_.RenderRecorder().Watch([this](uint64_t, const int32_t* frame) {
            analyser.Feed(frame);
            if (frame[2] != 0 || frame[3] != 0) {
                ++noise;
            }
        });
    }
    ~HeardPattern() { audio_.RenderRecorder().Watch(nullptr); }

    sim::devices::audio::AudioStreamingEngine& audio_;
    ContinuityAnalyser analyser;
    uint64_t noise = 0;
};

void LoopBackOutputsToInputs(sim::devices::audio::AudioStreamingEngine& audio)
{
    for (uint32_t input = 0; input < 4; ++input) {
        audio.SetInputSignal(input, InputSignal{SignalKind::Loopback});
    }
    audio.SetLoopbackLatency(48);
}

// Ten minutes of the frame-counter pattern at the device's rate and full volume reach the
// converters bit for bit and without a gap, and come back through the loopback continuous.
TEST(WaveScenario, TenMinutesPlayBitExactAndTheLoopbackRecordsThemContinuous)
{
    WaveBench bench(48000);
    LoopBackOutputsToInputs(bench.Audio());
    HeardPattern heard(bench.Audio());
    auto player = bench.Service().OpenRender(kR9Instance, AppFormat{48000, kStereo});
    auto recorder = bench.Service().OpenCapture(kR9Instance, AppFormat{48000, kStereo});
    ASSERT_NE(player, nullptr);
    ASSERT_NE(recorder, nullptr);
    ContinuityAnalyser recorded(kStereo, kPatternBits);
    uint64_t recordedFrames = 0;
    bench.Play(player, FrameCounterSignal(kStereo));
    bench.Record(recorder, [&](const float* frames, size_t count) {
        for (size_t frame = 0; frame < count; ++frame) {
            const int32_t words[kStereo] = {Word(frames[frame * kStereo]), Word(frames[frame * kStereo + 1])};
            recorded.Feed(words);
        }
        recordedFrames += count;
    });
    bench.Run(20 * kMillisecondNs);
    player->Start();
    recorder->Start();
    const int64_t length = ScenarioNs(10 * kMinuteNs);
    bench.Run(length);
    // All but the first second: the service and the driver take some milliseconds to start.
    const uint64_t mostFrames = uint64_t(length / kSecondNs - 1) * 48000;

    EXPECT_TRUE(heard.analyser.Continuous()) << heard.analyser.FirstBreak();
    EXPECT_EQ(heard.noise, 0u);
    EXPECT_GT(heard.analyser.PatternFrames(), mostFrames);
    EXPECT_EQ(bench.Audio().RenderStats().underflows.count, 0u);
    EXPECT_EQ(bench.Audio().RenderStats().overflows.count, 0u);
    EXPECT_TRUE(recorded.Continuous()) << recorded.FirstBreak();
    EXPECT_GT(recorded.PatternFrames(), mostFrames);

    const sim::audio::EndpointStatus render = bench.Service().Status(kR9Instance, Flow::Render);
    const sim::audio::EndpointStatus capture = bench.Service().Status(kR9Instance, Flow::Capture);
    EXPECT_EQ(render.filterName, u"wave_48000");
    EXPECT_EQ(render.format.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(render.counters.glitches, 0u);
    EXPECT_EQ(render.port.starvations, 0u);
    EXPECT_EQ(capture.counters.glitches, 0u);
    EXPECT_EQ(capture.port.overruns, 0u);
    EXPECT_EQ(player->Counters().glitches, 0u);
    EXPECT_EQ(recorder->Counters().overflows, 0u);
}

// A stream at 44.1 kHz on a device running at 48 kHz: the service converts its rate, and what
// the converters play is the same tone, without a gap.
TEST(WaveScenario, A44100HzStreamPlaysOnA48kDeviceWithoutAGlitch)
{
    WaveBench bench(48000);
    auto player = bench.Service().OpenRender(kR9Instance, AppFormat{44100, kStereo});
    ASSERT_NE(player, nullptr);
    // Upward zero crossings of the first output over one second of what was played.
    const int64_t length = ScenarioNs(20 * kSecondNs);
    const uint64_t windowStart = 48000 / 2;
    uint64_t played = 0;
    uint64_t crossings = 0;
    int32_t previous = 0;
    bench.Audio().RenderRecorder().Watch([&](uint64_t, const int32_t* frame) {
        if (played >= windowStart && played < windowStart + 48000 && previous < 0 && frame[0] >= 0) {
            ++crossings;
        }
        previous = frame[0];
        ++played;
    });
    bench.Play(player, SineSignal(44100, kStereo, 1000.0, 0.5));
    bench.Run(20 * kMillisecondNs);
    player->Start();
    bench.Run(length);
    bench.Audio().RenderRecorder().Watch(nullptr);

    EXPECT_EQ(player->Counters().glitches, 0u);
    const sim::audio::EndpointStatus render = bench.Service().Status(kR9Instance, Flow::Render);
    EXPECT_EQ(render.format.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(render.counters.glitches, 0u);
    EXPECT_EQ(render.port.starvations, 0u);
    EXPECT_EQ(bench.Audio().RenderStats().underflows.count, 0u);
    EXPECT_GT(player->Counters().deviceFrames, uint64_t(length / kSecondNs - 1) * 48000);
    EXPECT_NEAR(double(crossings), 1000.0, 2.0) << "a 1 kHz tone stays 1 kHz";
}

// Volume set on the render feature unit's node through the filter reaches the R9's feature unit,
// and the converters play the first channel 6 dB lower from then on; the second stays untouched.
TEST(WaveScenario, VolumeThroughTheNodePropertyChangesWhatTheDeviceHears)
{
    WaveBench bench(48000);
    auto player = bench.Service().OpenRender(kR9Instance, AppFormat{48000, kStereo});
    ASSERT_NE(player, nullptr);
    bench.Play(player, FrameCounterSignal(kStereo));
    player->Start();
    bench.Run(500 * kMillisecondNs);

    const ULONG node = FeatureNode(bench.Bench().Adapter(), KSNODETYPE_VOLUME, sim::devices::r9::kRenderFeatureUnitId);
    ASSERT_NE(node, PCFILTER_NODE);
    LONG level = -6 * 65536;
    ASSERT_EQ(bench.Service().NodeProperty(kR9Instance, node, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, 0,
                                           level),
              STATUS_SUCCESS);
    EXPECT_EQ(bench.Bench().Device().Function().Volume(sim::devices::r9::kRenderFeatureUnitId, 1), -6 * 256);
    bench.Run(100 * kMillisecondNs);

    sim::devices::audio::FrameCounterPattern pattern(kStereo, kPatternBits);
    uint64_t checked = 0;
    uint64_t untouched = 0;
    double lowest = 1.0;
    double highest = 0.0;
    bench.Audio().RenderRecorder().Watch([&](uint64_t, const int32_t* frame) {
        uint64_t index = 0;
        if (!pattern.Decode(frame[1], 1, index)) {
            return;
        }
        ++untouched;
        const double ratio = double(frame[0]) / double(pattern.Sample(index, 0));
        lowest = std::min(lowest, ratio);
        highest = std::max(highest, ratio);
        ++checked;
    });
    bench.Run(500 * kMillisecondNs);
    bench.Audio().RenderRecorder().Watch(nullptr);
    EXPECT_GT(checked, 20000u);
    EXPECT_EQ(untouched, checked);
    // -6 dB is a gain of 0.501; the converter rounds each sample to a whole step.
    EXPECT_NEAR(lowest, 0.50119, 0.0001);
    EXPECT_NEAR(highest, 0.50119, 0.0001);
    LONG reported = 0;
    ASSERT_EQ(bench.Service().NodeProperty(kR9Instance, node, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, 0,
                                           reported),
              STATUS_SUCCESS);
    EXPECT_EQ(reported, -6 * 65536);
}

// The device rate changes while nothing streams: the driver re-registers its filter under the new
// rate's name with the endpoints' saved formats rewritten, and the service, when the stream starts
// again, opens the new filter at the new rate and converts the stream to it.
TEST(WaveScenario, ARateChangeBringsTheFilterBackAsWave96000AndTheServiceStreamsAt96k)
{
    WaveBench bench(48000);
    auto player = bench.Service().OpenRender(kR9Instance, AppFormat{48000, kStereo});
    ASSERT_NE(player, nullptr);
    bench.Play(player, SineSignal(48000, kStereo, 440.0, 0.25));
    player->Start();
    bench.Run(200 * kMillisecondNs);
    EXPECT_EQ(bench.Service().Status(kR9Instance, Flow::Render).filterName, u"wave_48000");

    // The service closes its pin at the next period; the driver's stop drains the requests in flight.
    player->Stop();
    ASSERT_TRUE(bench.RunUntil([&] { return !bench.Service().Status(kR9Instance, Flow::Render).streaming; },
                               kSecondNs));
    ULONG reregistered = 0;
    ASSERT_EQ(bench.Bench().Adapter().SetSampleRate(96000, &reregistered), STATUS_SUCCESS);
    EXPECT_EQ(reregistered, 1u);
    EXPECT_EQ(bench.Bench().FilterNames(), std::vector<std::u16string>{u"wave_96000"});
    EXPECT_EQ(bench.Bench().EndpointRate(0), 96000u);

    const uint64_t before = bench.Audio().RenderRecorder().Frames();
    player->Start();
    bench.Run(500 * kMillisecondNs);
    const sim::audio::EndpointStatus render = bench.Service().Status(kR9Instance, Flow::Render);
    EXPECT_TRUE(render.streaming);
    EXPECT_EQ(render.filterName, u"wave_96000");
    EXPECT_EQ(render.format.Format.nSamplesPerSec, 96000u);
    EXPECT_EQ(render.opens, 2u);
    EXPECT_EQ(bench.Bench().Device().CurrentRate(0), 96000u);
    EXPECT_GT(bench.Audio().RenderRecorder().Frames() - before, 96000u * 4 / 10);
    EXPECT_EQ(render.counters.glitches, 0u);
    EXPECT_EQ(player->Counters().glitches, 0u);
}

// The cable is pulled while a stream plays. The removal waits for the files the service has open
// on the device; the service closes its pin and filter when it hears of the removal, and the
// driver then goes: nothing is left behind and nothing hangs.
TEST(WaveScenario, PullingTheDeviceOutWhileAStreamPlaysLetsTheDriverUnload)
{
    WaveBench bench(48000);
    auto player = bench.Service().OpenRender(kR9Instance, AppFormat{48000, kStereo});
    auto recorder = bench.Service().OpenCapture(kR9Instance, AppFormat{48000, kStereo});
    ASSERT_NE(player, nullptr);
    ASSERT_NE(recorder, nullptr);
    bench.Play(player, SineSignal(48000, kStereo, 440.0, 0.25));
    bench.Record(recorder, [](const float*, size_t) {});
    player->Start();
    recorder->Start();
    bench.Run(300 * kMillisecondNs);
    ASSERT_TRUE(bench.Service().Status(kR9Instance, Flow::Render).streaming);
    ASSERT_NE(sim::pnp::LoadedDriver(u"tvr9audio"), nullptr);

    // The service hears of the surprise removal first and closes its files on its own thread: the
    // remove request finds them closed, or waits (pending) until the service has closed them.
    const NTSTATUS removal = bench.PullOut();
    EXPECT_TRUE(removal == STATUS_PENDING || removal == STATUS_SUCCESS) << std::hex << removal;
    bench.Run(50 * kMillisecondNs);
    EXPECT_EQ(sim::pnp::LoadedDriver(u"tvr9audio"), nullptr);
    EXPECT_TRUE(player->Invalidated());
    EXPECT_TRUE(recorder->Invalidated());
    EXPECT_FALSE(bench.Service().Status(kR9Instance, Flow::Render).streaming);
    EXPECT_FALSE(bench.Service().Status(kR9Instance, Flow::Capture).streaming);
    EXPECT_TRUE(bench.Machine().Verify().Reports().empty());
    bench.Machine().VerifyNothingLeaked();
}

}  // namespace
}  // namespace wavetest
