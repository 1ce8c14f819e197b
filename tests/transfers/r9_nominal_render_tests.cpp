// Render through CUSBAudioCL into the R9 at high speed, for minutes of virtual time. Sized from the
// device's feedback, the transfers keep the R9's FIFO steady across a drift change (48 kHz: five
// minutes at +300 ppm and five at -300 ppm; 44.1 kHz, whose fraction of a frame must carry from
// packet to packet, one minute each at +/-250 ppm; the same with the feedback counted as hardware
// counts it, and with the bus's own clock off the machine's), and every frame of the pattern
// reaches its converter once, in order; sized at the nominal rate, the same transfers drift into
// underflow or overflow, so the measurement can fail.
#include <gtest/gtest.h>

#include <ostream>

#include "tests/transfers/r9_stream_support.h"

namespace transfertest {
namespace {

using sim::devices::R9Variant;
using sim::devices::audio::FeedbackMeasurement;
using sim::devices::audio::RenderCounters;
using usbaudio::kDirectionOut;

constexpr ULONG kRequestMs = 8;  // 64 packets: as long as one URB may be at high speed
constexpr ULONG kFramesPerMicroframe = 6;

class R9RenderScenario : public R9StreamTest {
protected:
    // Selects 24-bit PCM at 48 kHz; the device must play the layout the stream writes.
    SelectedFormat Select48kHz()
    {
        const SelectedFormat selected = SelectPcm(kDirectionOut, 24, 48000, kRequestMs);
        EXPECT_EQ(R9().Engine().RenderRecorder().Format(), selected.format);
        return selected;
    }
};

struct FollowingCase {
    const char* name;
    ULONG rate;
    int32_t ppm;  // for the first half, then the opposite
    int64_t halfNs;
    FeedbackMeasurement measurement;
    int32_t busPpm;
    // How far the FIFO may swing beyond two packets because the reports are quantised.
    int64_t quantisationFrames;
};

// 48 kHz is a whole six frames a microframe. 44.1 kHz is 5.5125: packet sizes and request lengths
// come out right only when the fraction of a frame the feedback carries is kept from packet to
// packet and from one request to the next. Counted over the R9's 8-microframe period, the reports
// are 5.5 or 5.625 frames and average to the true rate; a feedback read averages four of them, so
// each request in flight (64 microframes) may be sized up to 64 / 32 = 2 frames off: 8 frames for
// the four in flight. A bus clock 200 ppm fast makes every microframe shorter: the device must ask
// for fewer frames per microframe than its clock's rate says, or its FIFO overflows.
const FollowingCase kFollowingCases[] = {
    {"TenMinutesAt48k", 48000, 300, 5 * 60 * kSecondNs, FeedbackMeasurement::Exact, 0, 0},
    {"TwoMinutesAt44k1", 44100, 250, 60 * kSecondNs, FeedbackMeasurement::Exact, 0, 0},
    {"TwoMinutesAt44k1Counted", 44100, 250, 60 * kSecondNs, FeedbackMeasurement::Counted, 0, 8},
    {"TwoMinutesAt48kOnAFastBus", 48000, -100, 60 * kSecondNs, FeedbackMeasurement::Exact, 200, 0},
};

void PrintTo(const FollowingCase& c, std::ostream* out) { *out << c.name; }

class R9RenderFollowingFeedback : public R9RenderScenario, public ::testing::WithParamInterface<FollowingCase> {};

TEST_P(R9RenderFollowingFeedback, PlaysEveryFrameOnceAcrossADriftChange)
{
    const FollowingCase& c = GetParam();
    busOptions_.clockPpm = c.busPpm;
    StartR9(R9Variant::HighSpeedUac2);
    const SelectedFormat selected = SelectPcm(kDirectionOut, 24, c.rate, kRequestMs);
    sim::devices::audio::AudioStreamingEngine& engine = R9().Engine();
    engine.Feedback().SetMeasurement(c.measurement);
    ASSERT_EQ(engine.RenderRecorder().Format(), selected.format);
    ASSERT_EQ(engine.RenderClock().NominalRate(), c.rate);
    const int64_t start = machine_.Now();
    engine.SetDriftPpm(start, c.ppm);
    engine.SetDriftPpm(start + c.halfNs, -c.ppm);

    RenderStream stream(*driver_, selected, RenderStream::Settings{});
    stream.Start();
    machine_.RunFor(2 * c.halfNs);
    stream.Stop();

    EXPECT_EQ(stream.Failures(), 0u);
    EXPECT_EQ(stream.FeedbackRefused(), 0u);
    EXPECT_GT(stream.FeedbackAccepted(), 0u);
    const RenderCounters& counters = engine.RenderStats();
    EXPECT_EQ(counters.underflows.count, 0u) << "first at " << counters.underflows.firstNs - start << " ns";
    EXPECT_EQ(counters.overflows.count, 0u) << "first at " << counters.overflows.firstNs - start << " ns";
    EXPECT_EQ(counters.protocolErrors.count, 0u);
    // Steady: within two packets of the level the feedback steers to the whole time, although
    // the transfers carry what the feedback asked for 32 ms of pipeline later.
    const int64_t target = engine.SteeringTarget();
    const int64_t swing = 2 * kFramesPerMicroframe + c.quantisationFrames;
    EXPECT_GE(int64_t(counters.minLevel), target - swing);
    EXPECT_LE(int64_t(counters.maxLevel), target + swing);

    // Every frame sent played once, in order, from the first, or is still in the FIFO. A time
    // before the last packet reads the level as of that packet, where the recorder's count stands.
    const ContinuityAnalyser& continuity = *engine.RenderRecorder().Continuity();
    EXPECT_TRUE(continuity.Continuous()) << continuity.FirstBreak();
    EXPECT_EQ(continuity.FirstIndex(), 0u);
    EXPECT_EQ(continuity.SilentFrames(), 0u);
    EXPECT_EQ(continuity.PatternFrames() + engine.RenderLevelAt(0), stream.FramesSent());
    // The stream ran the whole time: what it sent is what the clock took, give or take the
    // requests in flight at either end.
    const sim::devices::audio::AudioClock& clock = engine.RenderClock();
    const uint64_t taken = clock.FramesProducedBy(start + 2 * c.halfNs) - clock.FramesProducedBy(start);
    EXPECT_NEAR(double(stream.FramesSent()), double(taken), double(kRequestMs * (c.rate / 1000 + 1) * 4));
}

INSTANTIATE_TEST_SUITE_P(HighSpeed, R9RenderFollowingFeedback, ::testing::ValuesIn(kFollowingCases),
                         [](const ::testing::TestParamInfo<FollowingCase>& info) { return info.param.name; });

struct NominalCase {
    const char* name;
    int32_t ppm;
    bool underflows;
    int64_t firstFailureNs;  // by hand, from the start of the stream
};

// The FIFO holds 384 frames and starts playing at 96; the transfers carry 6 frames a microframe.
// At +300 ppm the converter takes 14.4 frames a second more than arrives: the 96 frames run out
// after about 6.3 s. At -300 ppm it takes 14.4 fewer: the 288 frames of room fill in 20 s.
const NominalCase kNominalCases[] = {
    {"FastClockUnderflows", 300, true, 6300 * kMillisecondNs},
    {"SlowClockOverflows", -300, false, 20000 * kMillisecondNs},
};

void PrintTo(const NominalCase& c, std::ostream* out) { *out << c.name; }

class R9RenderIgnoringFeedback : public R9RenderScenario, public ::testing::WithParamInterface<NominalCase> {};

TEST_P(R9RenderIgnoringFeedback, DriftsOutOfTheFifo)
{
    const NominalCase& c = GetParam();
    StartR9(R9Variant::HighSpeedUac2);
    const SelectedFormat selected = Select48kHz();
    sim::devices::audio::AudioStreamingEngine& engine = R9().Engine();
    const int64_t start = machine_.Now();
    engine.SetDriftPpm(start, c.ppm);

    RenderStream::Settings settings;
    settings.followFeedback = false;
    RenderStream stream(*driver_, selected, settings);
    stream.Start();
    machine_.RunFor(30 * kSecondNs);
    stream.Stop();

    EXPECT_EQ(stream.Failures(), 0u) << "the driver sent what it was given";
    const RenderCounters& counters = engine.RenderStats();
    const sim::devices::audio::EventLog& failure = c.underflows ? counters.underflows : counters.overflows;
    ASSERT_GT(failure.count, 0u);
    // The stream started well: the failure comes from the drift adding up, a tenth either way.
    EXPECT_NEAR(double(failure.firstNs - start), double(c.firstFailureNs), 0.1 * double(c.firstFailureNs));
    if (!c.underflows) {
        EXPECT_GT(counters.framesDropped, 0u);
        EXPECT_GT(engine.RenderRecorder().Continuity()->Gaps(), 0u) << "an overflow loses frames";
    }
}

INSTANTIATE_TEST_SUITE_P(HighSpeed48kHz, R9RenderIgnoringFeedback, ::testing::ValuesIn(kNominalCases),
                         [](const ::testing::TestParamInfo<NominalCase>& info) { return info.param.name; });

}  // namespace
}  // namespace transfertest
