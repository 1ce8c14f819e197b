// Both directions through the product's stream engine while the bus's 32-bit frame counter wraps
// under them: the engine schedules its requests by bus frame, so a wrap it mishandled would show
// as a late or refused request, a reset, or a break in what the device played or the wave stream
// received.
#include "tests/engine/engine_bench.h"

namespace enginetest {
namespace {

using sim::devices::audio::InputSignal;
using sim::devices::audio::SignalKind;

constexpr ULONG kFramesToWrap = 3000;  // three seconds into the stream's life

TEST(FrameCounterWrap, BothDirectionsStreamThroughTheWrap)
{
    EngineBenchOptions options;
    options.firstFrameNumber = 0u - kFramesToWrap;
    EngineBench bench(options);
    for (uint32_t input = 0; input < 4; ++input) {
        bench.Audio().SetInputSignal(input, InputSignal{SignalKind::FrameCounter});
    }
    bench.Audio().SetDriftPpm(bench.Machine().Now(), 150);
    bench.RunStream(kDirectionIn);
    bench.RunStream(kDirectionOut);
    const ULONG firstFrame = bench.Controller().CurrentFrame();
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionIn), STATUS_SUCCESS);
    bench.RunFor(2 * int64_t(kFramesToWrap) * kMillisecondNs);
    const auto counters = bench.Audio().RenderStats();
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionIn), STATUS_SUCCESS);
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
    const ULONG endFrame = bench.Controller().CurrentFrame();
    const EngineStatistics statistics = bench.Engine().Statistics();

    // The counter wrapped under the stream: it began before frame 0 and ended after it.
    EXPECT_GT(firstFrame, 0x80000000u);
    EXPECT_LT(endFrame, 0x80000000u);

    EXPECT_EQ(statistics.renderResets, 0u);
    EXPECT_EQ(statistics.captureResets, 0u);
    EXPECT_EQ(statistics.feedbackReplaced, 0u);
    EXPECT_EQ(counters.underflows.count, 0u);
    EXPECT_EQ(counters.overflows.count, 0u);
    EXPECT_EQ(counters.protocolErrors.count, 0u);
    const auto* played = bench.Audio().RenderRecorder().Continuity();
    ASSERT_NE(played, nullptr);
    EXPECT_TRUE(played->Continuous()) << played->FirstBreak();
    EXPECT_GT(played->PatternFrames(), uint64_t(2 * kFramesToWrap - 100) * 48);

    EXPECT_EQ(bench.Audio().CaptureStats().framesLost, 0u);
    EXPECT_EQ(uint64_t(statistics.captureFramesReceived), bench.Audio().CaptureStats().framesSent);
    const ContinuityAnalyser& captured = bench.Stream().Captured();
    EXPECT_TRUE(captured.Continuous()) << captured.FirstBreak();
    EXPECT_EQ(captured.SilentFrames(), 0u);
    EXPECT_GT(captured.PatternFrames(), uint64_t(2 * kFramesToWrap - 100) * 48);
}

}  // namespace
}  // namespace enginetest
