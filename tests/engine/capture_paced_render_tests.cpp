// Render paced by capture, on devices whose render runs on capture's clock: the full-speed Audio
// Class 1.0 R9 (one clock for both directions) and the high-speed R9 whose capture endpoint is
// render's implicit feedback. The first render requests carry exactly the frames capture delivered
// meanwhile (the prefill), and from then on each render request carries the nominal frames plus
// what capture delivered beyond nominal (the frame surplus): the device plays every frame, its
// FIFO neither runs dry nor overflows, and nothing resets.
#include <ostream>

#include "tests/engine/engine_bench.h"
#include "tests/scenario_time.h"

namespace enginetest {
namespace {

struct PacedCase {
    const char* name;
    R9Variant variant;
    ULONG rate;
    ULONG inUrbSize;
    int32_t ppm;
};

void PrintTo(const PacedCase& c, std::ostream* out) { *out << c.name; }

const PacedCase kPacedCases[] = {
    {"FullSpeedAt44k1", R9Variant::FullSpeedUac1, 44100, 1, 300},
    {"FullSpeedAt48kSlow", R9Variant::FullSpeedUac1, 48000, 1, -300},
    {"FullSpeedLongCaptureRequests", R9Variant::FullSpeedUac1, 44100, 4, 200},
    {"ImplicitFeedbackAt48k", R9Variant::ImplicitFeedback, 48000, 1, 400},
    {"ImplicitFeedbackAt96kSlow", R9Variant::ImplicitFeedback, 96000, 2, -400},
};

class RenderPacedByCapture : public ::testing::TestWithParam<PacedCase> {};

TEST_P(RenderPacedByCapture, PlaysEveryFrameWithoutAGlitch)
{
    const PacedCase& c = GetParam();
    EngineBench bench({c.variant, c.rate, c.inUrbSize});
    ASSERT_TRUE(bench.Engine().FollowsCapture());
    bench.Audio().SetDriftPpm(bench.Machine().Now(), c.ppm);
    bench.RunStream(kDirectionOut);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    constexpr int64_t kDuration = ScenarioNs(3 * kMinuteNs);
    bench.RunFor(kDuration);
    const auto counters = bench.Audio().RenderStats();
    const EngineStatistics statistics = bench.Engine().Statistics();
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);

    EXPECT_EQ(counters.underflows.count, 0u) << "first at " << counters.underflows.firstNs << " ns";
    EXPECT_EQ(counters.overflows.count, 0u) << "first at " << counters.overflows.firstNs << " ns";
    EXPECT_EQ(counters.protocolErrors.count, 0u);
    EXPECT_EQ(statistics.renderResets, 0u);
    EXPECT_EQ(statistics.captureResets, 0u);
    const auto* continuity = bench.Audio().RenderRecorder().Continuity();
    ASSERT_NE(continuity, nullptr);
    EXPECT_TRUE(continuity->Continuous()) << continuity->FirstBreak();
    const double playedSeconds = double(kDuration) / kSecondNs * (1.0 + c.ppm * 1e-6) - 0.2;
    EXPECT_GT(double(continuity->PatternFrames()), playedSeconds * c.rate);
    // Render sent what capture delivered, less what is still owed at the stop.
    const int64_t owed = statistics.captureFramesReceived - statistics.renderFramesSent;
    EXPECT_GE(owed, -int64_t(c.rate / 10)) << "render sent more than capture delivered";
    EXPECT_LE(owed, int64_t(c.rate / 10));
}

INSTANTIATE_TEST_SUITE_P(Engine, RenderPacedByCapture, ::testing::ValuesIn(kPacedCases),
                         [](const ::testing::TestParamInfo<PacedCase>& info) { return info.param.name; });

}  // namespace
}  // namespace enginetest
