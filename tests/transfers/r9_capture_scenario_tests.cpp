// Capture through CUSBAudioCL from the R9 with a frame-counter generator on every input: the
// driver receives exactly the frames the device's drifting clock produced, in order, none lost or
// repeated, at 44.1 kHz on the full-speed Audio Class 1.0 variant and 96 kHz at high speed.
#include <gtest/gtest.h>

#include <ostream>

#include "tests/transfers/r9_stream_support.h"

namespace transfertest {
namespace {

using sim::devices::R9Variant;
using sim::devices::audio::InputSignal;
using sim::devices::audio::SignalKind;
using usbaudio::kDirectionIn;

constexpr ULONG kRequestMs = 8;
constexpr ULONG kRequestsInFlight = 4;
constexpr uint32_t kInputs = 4;

struct CaptureCase {
    const char* name;
    R9Variant variant;
    ULONG rate;
    int32_t ppm;
    int64_t servicePeriodNs;  // the capture endpoint's: a frame, or a microframe
};

const CaptureCase kCaptureCases[] = {
    // 44.1 frames a millisecond: packets of 44 and 45, the 45 a little more often on a fast clock.
    {"FullSpeed44k1", R9Variant::FullSpeedUac1, 44100, 250, kMillisecondNs},
    {"HighSpeed96k", R9Variant::HighSpeedUac2, 96000, -250, kMillisecondNs / 8},
};

void PrintTo(const CaptureCase& c, std::ostream* out) { *out << c.name; }

class R9CaptureScenario : public R9StreamTest, public ::testing::WithParamInterface<CaptureCase> {};

TEST_P(R9CaptureScenario, ReceivesEveryFrameTheClockProduced)
{
    const CaptureCase& c = GetParam();
    StartR9(c.variant);
    sim::devices::audio::AudioStreamingEngine& engine = R9().Engine();
    InputSignal counter;
    counter.kind = SignalKind::FrameCounter;
    for (uint32_t input = 0; input < kInputs; ++input) {
        engine.SetInputSignal(input, counter);
    }
    const SelectedFormat selected = SelectPcm(kDirectionIn, 24, c.rate, kRequestMs);
    ASSERT_EQ(engine.CaptureFormat(), selected.format);
    ASSERT_EQ(engine.CaptureClock().NominalRate(), c.rate);
    engine.SetDriftPpm(machine_.Now(), c.ppm);

    CaptureStream stream(*driver_, selected, kRequestsInFlight);
    stream.Start();
    machine_.RunFor(20 * kSecondNs);
    stream.Stop();

    EXPECT_EQ(stream.Failures(), 0u);
    EXPECT_EQ(engine.CaptureStats().framesLost, 0u);
    const ContinuityAnalyser& received = stream.Received();
    EXPECT_TRUE(received.Continuous()) << received.FirstBreak();
    EXPECT_EQ(received.SilentFrames(), 0u);
    EXPECT_EQ(received.PatternFrames(), stream.FramesReceived());
    EXPECT_EQ(stream.FramesReceived(), engine.CaptureStats().framesSent);

    // The first packet carries the frames of the service period before its slot, the last those
    // of the period before its own: from there the clock's own count says what must have come.
    const sim::devices::audio::AudioClock& clock = engine.CaptureClock();
    const int64_t firstSlotNs = usb_->FrameStartNs(stream.FirstFrame());
    const int64_t lastSlotNs = usb_->FrameStartNs(stream.EndFrame()) - c.servicePeriodNs;
    const uint64_t firstFrame = clock.FramesProducedBy(firstSlotNs - c.servicePeriodNs);
    EXPECT_EQ(stream.FramesReceived(), clock.FramesProducedBy(lastSlotNs) - firstFrame);
    const FrameCounterPattern pattern(selected.format.channels, selected.format.validBits);
    EXPECT_EQ(received.FirstIndex(), firstFrame % pattern.Wrap());
    // The drift shows: twenty seconds at 250 ppm move the count hundreds of frames off nominal.
    const double nominal = double(c.rate) * double(lastSlotNs - firstSlotNs + c.servicePeriodNs) / kSecondNs;
    EXPECT_NEAR(double(stream.FramesReceived()) - nominal, nominal * c.ppm * 1e-6, 2.0);
}

INSTANTIATE_TEST_SUITE_P(R9, R9CaptureScenario, ::testing::ValuesIn(kCaptureCases),
                         [](const ::testing::TestParamInfo<CaptureCase>& info) { return info.param.name; });

}  // namespace
}  // namespace transfertest
