// Faults on the bus while the R9 streams in both directions: each costs a gap and a counted reset
// of the direction it hit, after which streaming goes on; faults the pipeline can absorb cost
// nothing. A device pulled out mid-stream ends the threads and leaves nothing behind.
#include <algorithm>
#include <ostream>

#include "sim/devices/r9/r9_descriptors.h"
#include "tests/engine/engine_bench.h"

namespace enginetest {
namespace {

using sim::devices::audio::FeedbackReport;
using sim::devices::audio::InputSignal;
using sim::devices::audio::SignalKind;
using sim::usb::PipeFault;

constexpr uint8_t kRenderData = sim::devices::r9::kRenderEndpoint;
constexpr uint8_t kFeedback = sim::devices::r9::kFeedbackEndpoint;
constexpr uint8_t kCaptureData = sim::devices::r9::kCaptureEndpoint;
constexpr int64_t kMicroframeNs = 125000;

// Both directions of the R9 streaming, the stand-in's render pattern out and the device's
// frame-counter inputs in.
class StreamingBench : public EngineBench {
public:
    StreamingBench()
    {
        for (uint32_t input = 0; input < 4; ++input) {
            Audio().SetInputSignal(input, InputSignal{SignalKind::FrameCounter});
        }
        RunStream(kDirectionOut);
        RunStream(kDirectionIn);
        EXPECT_EQ(Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
        RunFor(kSecondNs);
    }

    // The longest time the endpoint's packets stopped during the next `nanoseconds`.
    int64_t LongestSilence(uint8_t endpoint, int64_t nanoseconds)
    {
        int64_t longest = 0;
        int64_t since = Machine().Now();
        uint64_t packets = Bus().Counters(endpoint).packets;
        for (int64_t passed = 0; passed < nanoseconds; passed += kMicroframeNs) {
            RunFor(kMicroframeNs);
            const uint64_t now = Bus().Counters(endpoint).packets;
            if (now != packets) {
                packets = now;
                since = Machine().Now();
            }
            longest = std::max(longest, Machine().Now() - since);
        }
        return longest;
    }

    bool Flowing(uint8_t endpoint) { return LongestSilence(endpoint, 50 * kMillisecondNs) < 10 * kMillisecondNs; }
};

struct FaultCase {
    const char* name;
    uint8_t endpoint;
    PipeFault fault;
    LONG renderResets;
    LONG captureResets;
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

const FaultCase kFaultCases[] = {
    // Render moves fewer bytes than it asked for.
    {"ShortRenderCompletion", kRenderData, PipeFault::PacketErrors(1), 1, 0},
    {"StalledRenderPipe", kRenderData, PipeFault::Stall(), 1, 0},
    {"StalledFeedbackPipe", kFeedback, PipeFault::Stall(), 1, 0},
    {"StalledCapturePipe", kCaptureData, PipeFault::Stall(), 0, 1},
    // Every capture request in flight comes back late: a whole pipeline went missing.
    {"CaptureGapOfAWholePipeline", kCaptureData, PipeFault::LateCompletions(8, 12 * kMillisecondNs), 0, 1},
    // One late render completion: the other chains keep the device fed.
    {"LateRenderCompletion", kRenderData, PipeFault::LateCompletions(1, 30 * kMillisecondNs), 0, 0},
    {"LateCaptureCompletion", kCaptureData, PipeFault::LateCompletions(1, 3 * kMillisecondNs), 0, 0},
};

class FaultRecovery : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultRecovery, ResetsWhatItHitAndStreamsOn)
{
    const FaultCase& c = GetParam();
    StreamingBench bench;
    const uint64_t underflows = bench.Audio().RenderStats().underflows.count;
    bench.Bus().InjectFault(c.endpoint, c.fault);
    bench.RunFor(kSecondNs);
    const EngineStatistics statistics = bench.Engine().Statistics();
    EXPECT_EQ(statistics.renderResets, c.renderResets);
    EXPECT_EQ(statistics.captureResets, c.captureResets);
    EXPECT_TRUE(bench.Flowing(kRenderData));
    EXPECT_TRUE(bench.Flowing(kCaptureData));
    if (c.renderResets == 0) {
        EXPECT_EQ(bench.Audio().RenderStats().underflows.count, underflows);
    }
    const uint64_t captured = bench.Stream().CapturedFrames();
    bench.RunFor(100 * kMillisecondNs);
    EXPECT_GT(bench.Stream().CapturedFrames(), captured);
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Engine, FaultRecovery, ::testing::ValuesIn(kFaultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// Render drains its requests, pauses 25 ms, then waits for feedback again: the device hears a gap
// of at least that long, and then render again.
TEST(FaultRecovery, RenderRestartsTwentyFiveMillisecondsAfterAReset)
{
    StreamingBench bench;
    bench.Bus().InjectFault(kRenderData, PipeFault::PacketErrors(1));
    const int64_t silence = bench.LongestSilence(kRenderData, 300 * kMillisecondNs);
    EXPECT_GE(silence, 25 * kMillisecondNs);
    EXPECT_LT(silence, 40 * kMillisecondNs);
    EXPECT_EQ(bench.Engine().Statistics().renderResets, 1);
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
}

// Reports that are no plausible rate are replaced by the nominal one; nothing resets.
TEST(FaultRecovery, GarbageFeedbackIsReplacedByTheNominalRate)
{
    EngineBench bench;
    bench.Audio().Feedback().SetReport(FeedbackReport::Garbage);
    bench.RunStream(kDirectionOut);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    bench.RunFor(10 * kSecondNs);
    const EngineStatistics statistics = bench.Engine().Statistics();
    const auto counters = bench.Audio().RenderStats();
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
    EXPECT_GT(statistics.feedbackReplaced, 0);
    EXPECT_EQ(statistics.feedbackAccepted, 0);
    EXPECT_EQ(statistics.renderResets, 0);
    EXPECT_EQ(counters.underflows.count, 0u);
    EXPECT_EQ(counters.overflows.count, 0u);
}

// Pulled out with both directions running: the threads end, the driver unloads and its leak check
// (at unload) finds nothing.
TEST(FaultRecovery, ADevicePulledOutMidStreamLeavesNothingBehind)
{
    StreamingBench bench;
    bench.Unplug();
    EXPECT_TRUE(bench.Machine().LiveSystemThreads().empty());
    EXPECT_TRUE(bench.Machine().Pools().LiveAllocations(kDefaultPoolTag).empty());
}

}  // namespace
}  // namespace enginetest
