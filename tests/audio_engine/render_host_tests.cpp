// Ten minutes of rendering against the device clock: a host that follows the feedback (or mirrors
// capture) keeps the FIFO steady and the pattern continuous across a drift change; a host that
// sends the nominal rate drifts into underflow or overflow, so the measurement can fail.
#include <gtest/gtest.h>

#include <ostream>

#include "tests/audio_engine/simulated_host.h"

namespace {

using namespace audioenginetest;

struct SteadyCase {
    const char* what;
    BusSpeed speed;
    uint32_t rate;
    StreamFormat format;
    FeedbackReport report;
    Pacing pacing;
    int32_t firstPpm;
    int32_t secondPpm;
};

const SteadyCase kSteadyCases[] = {
    {"48 kHz high speed, feedback", BusSpeed::High, 48000, {4, 4, 24}, FeedbackReport::Standard, Pacing::Feedback,
     300, -300},
    // 6.00238 frames = 393372.499968 units: every report is half a unit off the true rate, which
    // left alone adds up to 37 frames in ten minutes; the level steering must hold the FIFO.
    {"48 kHz high speed +398 ppm, feedback half a unit off", BusSpeed::High, 48000, {2, 2, 16},
     FeedbackReport::Standard, Pacing::Feedback, 398, 398},
    {"44.1 kHz full speed, 10.14 feedback", BusSpeed::Full, 44100, {4, 3, 24}, FeedbackReport::Standard,
     Pacing::Feedback, 300, -300},
    {"44.1 kHz full speed, 16.16 feedback in 4 bytes", BusSpeed::Full, 44100, {2, 2, 16},
     FeedbackReport::FourBytesAtFullSpeed, Pacing::Feedback, -500, 500},
    {"96 kHz high speed, implicit feedback", BusSpeed::High, 96000, {2, 2, 16}, FeedbackReport::Standard,
     Pacing::MirrorCapture, 500, -500},
};

void PrintTo(const SteadyCase& c, std::ostream* out)
{
    *out << c.what;
}

// One frame more than the nominal rate gives per interval, as the alternates declare.
uint32_t MaxPacketBytes(BusSpeed speed, uint32_t rate, const StreamFormat& format)
{
    const uint32_t perSecond = speed == BusSpeed::High ? 8000 : 1000;
    return (rate / perSecond + 1) * format.FrameBytes();
}

// Each case is its own test: ten minutes of a stream is the longest thing the suite does.
class FollowingHost : public ::testing::TestWithParam<SteadyCase> {};

TEST_P(FollowingHost, KeepsTheFifoSteadyForTenMinutesAcrossADriftChange)
{
    const SteadyCase& c = GetParam();
    AudioClock clock(c.rate, c.firstPpm);
    AudioStreamingEngine engine(c.speed, clock);
    engine.Feedback().SetReport(c.report);
    engine.StartRender(RenderSettings{c.format, MaxPacketBytes(c.speed, c.rate, c.format)});
    if (c.pacing == Pacing::MirrorCapture) {
        engine.StartCapture(c.format);
    }
    SimulatedRenderHost host(engine, c.speed, c.format, c.rate, c.pacing);

    host.RunUntil(300 * kSecond);
    clock.SetDriftPpm(300 * kSecond, c.secondPpm);
    host.RunUntil(600 * kSecond);

    const RenderCounters& counters = engine.RenderStats();
    EXPECT_EQ(counters.underflows.count, 0u) << c.what << ", first at " << counters.underflows.firstNs;
    EXPECT_EQ(counters.overflows.count, 0u) << c.what << ", first at " << counters.overflows.firstNs;
    EXPECT_EQ(counters.protocolErrors.count, 0u) << c.what;
    EXPECT_EQ(host.RefusedReports(), 0u) << c.what;

    // Steady: within two packets of the start level the whole time (a packet arrives on top of
    // the level the feedback was measured at).
    const int64_t target = engine.SteeringTarget();
    const int64_t packet = int64_t(c.rate / (c.speed == BusSpeed::High ? 8000 : 1000));
    EXPECT_GE(int64_t(counters.minLevel), target - 2 * packet) << c.what;
    EXPECT_LE(int64_t(counters.maxLevel), target + 2 * packet) << c.what;

    // Every frame sent reached the converter once, in order, or is still in the FIFO.
    const Recorder& recorder = engine.RenderRecorder();
    const ContinuityAnalyser& continuity = *recorder.Continuity();
    EXPECT_TRUE(continuity.Continuous()) << c.what << ": " << continuity.FirstBreak();
    EXPECT_EQ(continuity.SilentFrames(), 0u) << c.what;
    const int64_t lastSlotNs = 600 * kSecond - IntervalNs(c.speed);
    EXPECT_EQ(recorder.Frames() + engine.RenderLevelAt(lastSlotNs), host.FramesSent()) << c.what;
    // The converter played a frame at every tick from its first one on.
    EXPECT_EQ(recorder.FirstTick() + recorder.Frames(), clock.FramesProducedBy(lastSlotNs)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(RenderHost, FollowingHost, ::testing::ValuesIn(kSteadyCases));

struct DriftCase {
    int32_t ppm;
    bool underflows;
    int64_t firstAtNs;  // by hand: headroom / (rate × ppm)
};

// 48 kHz high speed, FIFO of 384 frames starting at 96, 6 frames a microframe. At +300 ppm the
// converter takes 14.4 frames a second more than the host sends; the 96 frames at the start are
// down to 90 before each next packet, and the converter finds it empty once the shortfall passes
// them: 91 frames in 6.32 s. At -300 ppm it takes 14.4 fewer: the 288 frames of room above the
// start level fill in 20 s. Half a minute of stream shows either.
const DriftCase kDriftCases[] = {
    {300, true, 6319 * kMillisecond},
    {-300, false, 20000 * kMillisecond},
};

TEST(RenderHost, IgnoringTheFeedbackDriftsIntoUnderflowOrOverflow)
{
    const StreamFormat format{4, 4, 24};
    for (const DriftCase& c : kDriftCases) {
        AudioClock clock(48000, c.ppm);
        AudioStreamingEngine engine(BusSpeed::High, clock);
        engine.StartRender(RenderSettings{format, MaxPacketBytes(BusSpeed::High, 48000, format)});
        SimulatedRenderHost host(engine, BusSpeed::High, format, 48000, Pacing::Nominal);
        host.RunUntil(30 * kSecond);

        const RenderCounters& counters = engine.RenderStats();
        const EventLog& failure = c.underflows ? counters.underflows : counters.overflows;
        EXPECT_GT(failure.count, 0u) << c.ppm << " ppm";
        EXPECT_NEAR(double(failure.firstNs), double(c.firstAtNs), double(100 * kMillisecond)) << c.ppm << " ppm";
        if (!c.underflows) {
            // Overflow throws frames away: the recorder sees the pattern break (all but the
            // latest drop, whose successor still waits in the FIFO).
            const uint64_t missing = engine.RenderRecorder().Continuity()->MissingFrames();
            EXPECT_GT(missing, 0u);
            EXPECT_LE(missing, counters.framesDropped);
        }
    }
}

}  // namespace
