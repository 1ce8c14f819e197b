// Capture through the product's stream engine: the R9's inputs carry the frame-counter pattern,
// and the wave stream's buffer receives every frame once and in order, whatever length the
// capture requests have ("IN URB Size") and however the device clock drifts, at high speed and on
// the full-speed Audio Class 1.0 variant, whose packets alternate between 44 and 45 frames at 44.1 kHz.
#include <ostream>

#include "tests/engine/engine_bench.h"
#include "tests/scenario_time.h"

namespace enginetest {
namespace {

using sim::devices::audio::InputSignal;
using sim::devices::audio::SignalKind;

struct CaptureCase {
    const char* name;
    R9Variant variant;
    ULONG rate;
    ULONG inUrbSize;
    int32_t ppm;
};

void PrintTo(const CaptureCase& c, std::ostream* out) { *out << c.name; }

const CaptureCase kCaptureCases[] = {
    {"OneMillisecondRequestsAt48k", R9Variant::HighSpeedUac2, 48000, 1, 300},
    {"EightMillisecondRequestsAt48k", R9Variant::HighSpeedUac2, 48000, 8, -300},
    {"OneMillisecondRequestsAt44k1", R9Variant::HighSpeedUac2, 44100, 1, -250},
    {"EightMillisecondRequestsAt96k", R9Variant::HighSpeedUac2, 96000, 8, 250},
    {"FullSpeedOneMillisecondRequestsAt44k1", R9Variant::FullSpeedUac1, 44100, 1, 250},
    {"FullSpeedEightMillisecondRequestsAt48k", R9Variant::FullSpeedUac1, 48000, 8, -250},
};

class CaptureIntoRegions : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(CaptureIntoRegions, EveryFrameArrivesOnceInOrder)
{
    const CaptureCase& c = GetParam();
    EngineBench bench({c.variant, c.rate, c.inUrbSize});
    for (uint32_t input = 0; input < 4; ++input) {
        bench.Audio().SetInputSignal(input, InputSignal{SignalKind::FrameCounter});
    }
    bench.Audio().SetDriftPpm(bench.Machine().Now(), c.ppm);
    bench.RunStream(kDirectionIn);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionIn), STATUS_SUCCESS);
    constexpr int64_t kDuration = ScenarioNs(2 * kMinuteNs);
    bench.RunFor(kDuration);
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionIn), STATUS_SUCCESS);
    const EngineStatistics statistics = bench.Engine().Statistics();

    EXPECT_EQ(statistics.captureResets, 0u);
    EXPECT_EQ(bench.Audio().CaptureStats().framesLost, 0u);
    // Exactly what the device sent came back to the engine, none dropped on the way.
    EXPECT_EQ(uint64_t(statistics.captureFramesReceived), bench.Audio().CaptureStats().framesSent);
    const ContinuityAnalyser& captured = bench.Stream().Captured();
    EXPECT_TRUE(captured.Continuous()) << captured.FirstBreak();
    EXPECT_EQ(captured.SilentFrames(), 0u);
    // All the device sent reached the buffer, but for the requests that came back after the stop.
    const uint64_t received = uint64_t(statistics.captureFramesReceived);
    EXPECT_GE(received, captured.PatternFrames());
    EXPECT_LE(received - captured.PatternFrames(), 8u * c.inUrbSize * c.rate / 1000 + 8);
    const double seconds = double(kDuration) / kSecondNs * (1.0 + c.ppm * 1e-6);
    EXPECT_GT(double(captured.PatternFrames()), (seconds - 0.1) * c.rate);
    EXPECT_EQ(bench.Stream().Counts(kDirectionIn).requeues, 0u);
}

INSTANTIATE_TEST_SUITE_P(Engine, CaptureIntoRegions, ::testing::ValuesIn(kCaptureCases),
                         [](const ::testing::TestParamInfo<CaptureCase>& info) { return info.param.name; });

}  // namespace
}  // namespace enginetest
