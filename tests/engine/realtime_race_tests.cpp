// A few seconds in realtime on two simulated processors: the clock follows the host's, so the
// engine's threads, its DPCs on both processors, the bus's completions and the test truly race
// (ThreadSanitizer watches them in the tsan build). Host scheduling may delay a request past its
// frame, which the engine must survive as a counted reset; what may never happen is a crash, a
// hang, a leak or a verifier report.
#include <ostream>

#include "tests/engine/engine_bench.h"

namespace enginetest {
namespace {

using sim::devices::audio::InputSignal;
using sim::devices::audio::SignalKind;

struct RaceCase {
    const char* name;
    R9Variant variant;
    ULONG rate;
};

void PrintTo(const RaceCase& c, std::ostream* out) { *out << c.name; }

const RaceCase kRaceCases[] = {
    {"FeedbackPaced", R9Variant::HighSpeedUac2, 48000},
    {"CapturePaced", R9Variant::FullSpeedUac1, 44100},
};

class RealtimeRace : public ::testing::TestWithParam<RaceCase> {};

TEST_P(RealtimeRace, BothDirectionsStreamStartStopAndUnplug)
{
    const RaceCase& c = GetParam();
    EngineBench bench({c.variant, c.rate, 0, sim::ClockMode::Realtime});
    for (uint32_t input = 0; input < 4; ++input) {
        bench.Audio().SetInputSignal(input, InputSignal{SignalKind::FrameCounter});
    }
    bench.RunStream(kDirectionOut);
    bench.RunStream(kDirectionIn);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
        bench.RunFor(kSecondNs);
        EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
    }
    EXPECT_GT(bench.Engine().Statistics().renderFramesSent, 0);
    EXPECT_GT(bench.Stream().CapturedFrames(), 0u);
    EXPECT_GT(bench.Audio().RenderRecorder().Frames(), 0u);
    // Pulled out while streaming: every thread ends and the driver's unload finds nothing left.
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    bench.RunFor(kSecondNs / 2);
    bench.Unplug();
    EXPECT_TRUE(bench.Machine().LiveSystemThreads().empty());
    EXPECT_TRUE(bench.Machine().Verify().Reports().empty());
}

INSTANTIATE_TEST_SUITE_P(Engine, RealtimeRace, ::testing::ValuesIn(kRaceCases),
                         [](const ::testing::TestParamInfo<RaceCase>& info) { return info.param.name; });

}  // namespace
}  // namespace enginetest
