// Render through the product's stream engine into the R9, paced by the device's explicit feedback
// counted over its feedback period as hardware counts it: for half an hour of virtual time at each
// rate, with the device clock off by +500 and then -500 ppm (and, in two rows, the bus's own clock
// a few ppm off the machine's), every frame the wave stream queued reaches the converters once and
// in order, the device's FIFO stays near the level the device steers to and never runs dry or over,
// and the engine never resets. One more row turns the drift round halfway through.
#include <ostream>

#include "driver/driver_tuning.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "tests/engine/engine_bench.h"
#include "tests/scenario_time.h"

namespace enginetest {
namespace {

struct FeedbackCase {
    const char* name;
    ULONG rate;
    int32_t ppm;
    int64_t durationNs;
    // The bus's frame clock against the machine's: a microframe a little short or long changes the
    // frames per microframe the device must ask for.
    int32_t busPpm = 0;
    // The drift turns to -ppm halfway through.
    bool reverses = false;
};

void PrintTo(const FeedbackCase& c, std::ostream* out) { *out << c.name; }

constexpr int64_t kScenarioNs = ScenarioNs(30 * kMinuteNs);

const FeedbackCase kFeedbackCases[] = {
    {"At44k1Fast", 44100, 500, kScenarioNs},
    {"At44k1SlowOnASlowBus", 44100, -500, kScenarioNs, -3},
    {"At48kFastOnAFastBus", 48000, 500, kScenarioNs, 4},
    {"At48kSlow", 48000, -500, kScenarioNs},
    {"At96kFast", 96000, 500, kScenarioNs},
    {"At96kSlow", 96000, -500, kScenarioNs},
    {"At48kDriftReverses", 48000, 300, ScenarioNs(10 * kMinuteNs), 0, true},
};

class RenderFollowingFeedback : public ::testing::TestWithParam<FeedbackCase> {};

TEST_P(RenderFollowingFeedback, PlaysEveryFrameOnceWithoutAGlitch)
{
    const FeedbackCase& c = GetParam();
    EngineBenchOptions options{R9Variant::HighSpeedUac2, c.rate};
    options.busClockPpm = c.busPpm;
    EngineBench bench(options);
    const int64_t start = bench.Machine().Now();
    bench.Audio().SetDriftPpm(start, c.ppm);
    if (c.reverses) {
        bench.Audio().SetDriftPpm(start + c.durationNs / 2, -c.ppm);
    }
    bench.RunStream(kDirectionOut);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    bench.RunFor(c.durationNs);
    const auto counters = bench.Audio().RenderStats();
    const EngineStatistics statistics = bench.Engine().Statistics();
    const uint32_t target = bench.Audio().SteeringTarget();
    const uint64_t silenceAtStart =
        uint64_t(g_DriverTuning.outRequestsInFlight * g_DriverTuning.outPacketsPerRequest + 1) * c.rate / 1000;
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);

    EXPECT_EQ(counters.underflows.count, 0u) << "first at " << counters.underflows.firstNs << " ns";
    EXPECT_EQ(counters.overflows.count, 0u) << "first at " << counters.overflows.firstNs << " ns";
    EXPECT_EQ(counters.protocolErrors.count, 0u);
    EXPECT_EQ(statistics.renderResets, 0u);
    EXPECT_EQ(statistics.captureResets, 0u);
    EXPECT_GT(statistics.feedbackAccepted, 0u);
    EXPECT_EQ(statistics.feedbackReplaced, 0u);
    // Steady: the requests carry what the feedback asked for a whole pipeline earlier, and each
    // counted report is up to an eighth of a frame off, yet the level stays within four packets
    // of the device's target from the first packet to the last (44.1 kHz, whose fraction of a
    // frame the requests carry along, swings widest: about three and a half).
    const int64_t swing = 4 * int64_t(c.rate / 8000 + 1);
    EXPECT_GE(int64_t(counters.minLevel), int64_t(target) - swing);
    EXPECT_LE(int64_t(counters.maxLevel), int64_t(target) + swing);
    const auto* continuity = bench.Audio().RenderRecorder().Continuity();
    ASSERT_NE(continuity, nullptr);
    EXPECT_TRUE(continuity->Continuous()) << continuity->FirstBreak();
    EXPECT_EQ(continuity->FirstIndex(), 0u);
    // The first requests go out before the wave stream has queued anything: at most a pipeline
    // of silence.
    EXPECT_LE(continuity->SilentFrames(), silenceAtStart);
    // The converters played at the drifting clock's pace all along, but for the pipeline's start.
    const auto& clock = bench.Audio().RenderClock();
    const uint64_t taken = clock.FramesProducedBy(start + c.durationNs) - clock.FramesProducedBy(start);
    EXPECT_GT(continuity->PatternFrames() + c.rate / 10, taken);
}

// Render waits for the device's first feedback report, then sends every request it may have in
// flight at once. StartDirection runs on a thread of its own while the test watches the bus.
TEST(RenderFeedback, NoRequestBeforeTheFirstReportAndAllInFlightAfterIt)
{
    EngineBench bench;
    bench.RunStream(kDirectionOut);
    struct Starter {
        UsbAudioAdapter* adapter;
        NTSTATUS status = STATUS_PENDING;
        static void Body(PVOID context)
        {
            auto* self = static_cast<Starter*>(context);
            self->status = self->adapter->StartDirection(kDirectionOut);
        }
    } starter{&bench.Adapter()};
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &Starter::Body, &starter),
              STATUS_SUCCESS);
    constexpr uint8_t kFeedbackEndpoint = sim::devices::r9::kFeedbackEndpoint;
    constexpr uint8_t kRenderEndpoint = sim::devices::r9::kRenderEndpoint;
    bool released = false;
    for (int step = 0; step < 800; ++step) {
        bench.RunFor(125000);
        const uint64_t reports = bench.Bus().Counters(kFeedbackEndpoint).transfers;
        const LONG inFlight = StreamEngineTestAccess::Chains(bench.Engine(), kDirectionOut);
        if (!released && inFlight != 0) {
            released = true;
            EXPECT_GE(reports, 1u) << "render before the first feedback report";
            EXPECT_EQ(inFlight, LONG(g_DriverTuning.outRequestsInFlight));
        }
        if (!released) {
            EXPECT_EQ(bench.Bus().Counters(kRenderEndpoint).packets, 0u);
        }
    }
    EXPECT_TRUE(released);
    PVOID object = nullptr;
    ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    ZwClose(thread);
    EXPECT_EQ(starter.status, STATUS_SUCCESS);
    EXPECT_EQ(StreamEngineTestAccess::Chains(bench.Engine(), kDirectionOut),
              LONG(g_DriverTuning.outRequestsInFlight));
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
}

// With a packet every second microframe a request has half the packets, but the device still
// reports frames per microframe: its reports must be taken as they are, not compared with the
// frames of one packet.
TEST(RenderFeedback, ReportsPerMicroframeAreAcceptedWhenPacketsSpanTwo)
{
    EngineBench bench({R9Variant::EveryOtherMicroframe, 48000});
    bench.Audio().SetDriftPpm(bench.Machine().Now(), 500);
    bench.RunStream(kDirectionOut);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    bench.RunFor(ScenarioNs(kMinuteNs));
    const auto counters = bench.Audio().RenderStats();
    const EngineStatistics statistics = bench.Engine().Statistics();
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
    EXPECT_EQ(statistics.feedbackReplaced, 0);
    EXPECT_GT(statistics.feedbackAccepted, 0);
    EXPECT_EQ(counters.underflows.count, 0u);
    EXPECT_EQ(counters.overflows.count, 0u);
    const auto* continuity = bench.Audio().RenderRecorder().Continuity();
    ASSERT_NE(continuity, nullptr);
    EXPECT_TRUE(continuity->Continuous()) << continuity->FirstBreak();
}

INSTANTIATE_TEST_SUITE_P(Engine, RenderFollowingFeedback, ::testing::ValuesIn(kFeedbackCases),
                         [](const ::testing::TestParamInfo<FeedbackCase>& info) { return info.param.name; });

}  // namespace
}  // namespace enginetest
