// Render through CUSBAudioCL into the R9 at high speed with every transfer sized at the nominal
// rate, ignoring the device's feedback: the negative control of the stream engine's render
// scenarios. The R9's clock drifts, so the same transfers that would play forever on a perfect
// clock drift into underflow or overflow at the time the drift predicts: the device's FIFO
// measurement can fail, and feedback is what keeps it from doing so.
#include <gtest/gtest.h>

#include <ostream>

#include "tests/transfers/r9_stream_support.h"

namespace transfertest {
namespace {

using sim::devices::R9Variant;
using sim::devices::audio::RenderCounters;
using usbaudio::kDirectionOut;

constexpr ULONG kRequestMs = 8;  // 64 packets: as long as one URB may be at high speed

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

class R9RenderIgnoringFeedback : public R9StreamTest, public ::testing::WithParamInterface<NominalCase> {};

TEST_P(R9RenderIgnoringFeedback, DriftsOutOfTheFifo)
{
    const NominalCase& c = GetParam();
    StartR9(R9Variant::HighSpeedUac2);
    const SelectedFormat selected = SelectPcm(kDirectionOut, 24, 48000, kRequestMs);
    sim::devices::audio::AudioStreamingEngine& engine = R9().Engine();
    ASSERT_EQ(engine.RenderRecorder().Format(), selected.format);
    const int64_t start = machine_.Now();
    engine.SetDriftPpm(start, c.ppm);

    NominalRenderStream stream(*driver_, selected, kRequestMs);
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
