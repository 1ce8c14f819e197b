// How the R9 wires its audio engine to what the driver asks of it: the rate a format selection
// sets becomes its clocks' nominal rate (both clocks of the one crystal on 2.0, the endpoint's own
// on 1.0), the selected alternate starts render with its layout and packet size, and alternate 0
// stops it; counted feedback is counted over the feedback endpoint's own period.
#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <vector>

#include "sim/devices/r9/r9_descriptors.h"
#include "tests/transfers/r9_stream_support.h"

namespace transfertest {
namespace {

using sim::devices::R9Variant;
using sim::devices::audio::FeedbackMeasurement;
using usbaudio::kDirectionOut;

struct WiringCase {
    const char* name;
    R9Variant variant;
    ULONG rate;
    StreamFormat format;
    uint32_t maxPacketBytes;
    bool oneClock;         // render and capture run from the same clock object
    uint32_t captureRate;  // where the capture clock stands after the render selection
    uint32_t fifoFrames;   // 8 ms at the rate the stream started with
};

const WiringCase kWiringCases[] = {
    {"HighSpeedUac2", R9Variant::HighSpeedUac2, 96000, {4, 4, 24}, 784, false, 96000, 768},
    {"SharedClock", R9Variant::SharedClock, 88200, {4, 4, 24}, 784, true, 88200, 706},
    // The 1.0 driver selects the alternate before it sets the endpoint's rate: render starts at
    // the old rate and starts over at the new one. The capture endpoint keeps its own rate.
    {"FullSpeedUac1", R9Variant::FullSpeedUac1, 44100, {4, 3, 24}, 588, false, 48000, 353},
};

void PrintTo(const WiringCase& c, std::ostream* out) { *out << c.name; }

class R9EngineWiring : public R9StreamTest, public ::testing::WithParamInterface<WiringCase> {};

TEST_P(R9EngineWiring, FormatSelectionSetsClocksAndStartsRender)
{
    const WiringCase& c = GetParam();
    StartR9(c.variant);
    sim::devices::audio::AudioStreamingEngine& engine = R9().Engine();
    EXPECT_EQ(engine.SteeringTarget(), 0u) << "nothing plays before an alternate is selected";

    const SelectedFormat selected = SelectPcm(kDirectionOut, 24, c.rate, 8);
    EXPECT_EQ(selected.format, c.format);
    EXPECT_EQ(engine.RenderClock().NominalRate(), c.rate);
    EXPECT_EQ(engine.CaptureClock().NominalRate(), c.captureRate);
    EXPECT_EQ(&engine.RenderClock() == &engine.CaptureClock(), c.oneClock);
    EXPECT_EQ(engine.RenderFifo().format, c.format);
    EXPECT_EQ(engine.RenderFifo().maxPacketBytes, c.maxPacketBytes);
    EXPECT_EQ(engine.RenderFifo().capacityFrames, c.fifoFrames);
    EXPECT_GT(engine.SteeringTarget(), 0u);

    ULONG channels = 0;
    ULONG bits = 0;
    ULONG maxBytes = 0;
    ASSERT_EQ(driver_->SelectStreamingFormat(kDirectionOut, 1, 0, 0, 0, 8, &channels, &bits, &maxBytes),
              STATUS_SUCCESS);
    EXPECT_EQ(R9().Alternate(sim::devices::r9::kRenderInterface), 0);
    EXPECT_EQ(engine.SteeringTarget(), 0u) << "alternate 0 stops render";
}

INSTANTIATE_TEST_SUITE_P(R9, R9EngineWiring, ::testing::ValuesIn(kWiringCases),
                         [](const ::testing::TestParamInfo<WiringCase>& info) { return info.param.name; });

struct FeedbackPeriodCase {
    const char* name;
    R9Variant variant;
    FeedbackMeasurement measurement;
    std::set<ULONG> reports;  // every report at 44.1 kHz is one of these, in 16.16
};

// 44.1 kHz is 5.5125 frames a microframe. Counted over the high-speed R9's period of 8
// microframes (bInterval 4), 44 or 45 ticks report 5.5 or 5.625 frames; over the 1.0 variant's
// period of 4 frames (bRefresh 2), 176 or 177 ticks report 44.0 or 44.25 (in 10.14, which the
// driver shifts to 16.16). Measured exactly, every report is the true rate to its resolution.
const FeedbackPeriodCase kFeedbackPeriodCases[] = {
    {"HighSpeedCounted", R9Variant::HighSpeedUac2, FeedbackMeasurement::Counted, {44 * 8192, 45 * 8192}},
    {"FullSpeedUac1Counted", R9Variant::FullSpeedUac1, FeedbackMeasurement::Counted, {176 * 16384, 177 * 16384}},
    {"HighSpeedExact", R9Variant::HighSpeedUac2, FeedbackMeasurement::Exact, {361267}},
    {"FullSpeedUac1Exact", R9Variant::FullSpeedUac1, FeedbackMeasurement::Exact, {722534 << 2}},
};

void PrintTo(const FeedbackPeriodCase& c, std::ostream* out) { *out << c.name; }

class R9FeedbackPeriod : public R9StreamTest, public ::testing::WithParamInterface<FeedbackPeriodCase> {};

// Sixty-four feedback reads of one report each, all in flight at once (one report a frame at
// either speed), as the driver reads them.
TEST_P(R9FeedbackPeriod, ReportsCountTheClockOverTheEndpointsPeriod)
{
    const FeedbackPeriodCase& c = GetParam();
    StartR9(c.variant);
    SelectPcm(kDirectionOut, 24, 44100, 8);
    R9().Engine().Feedback().SetMeasurement(c.measurement);
    R9().Engine().Feedback().SetGain(0);
    // The 1.0 variant's clock changed rate as the format was selected: let a whole period pass.
    machine_.RunFor(10 * kMillisecondNs);
    PUSBD_PIPE_INFORMATION pipe = driver_->FindPipe(sim::devices::r9::kFeedbackEndpoint);
    ASSERT_NE(pipe, nullptr);
    constexpr size_t kReads = 64;
    std::vector<std::vector<UCHAR>> buffers(kReads, std::vector<UCHAR>(pipe->MaximumPacketSize));
    CompletionProbe probe;
    for (std::vector<UCHAR>& buffer : buffers) {
        ASSERT_EQ(driver_->RecvFeedback(buffer.data(), ULONG(buffer.size()), &CompletionProbe::Callback, &probe),
                  STATUS_SUCCESS);
    }
    std::set<ULONG> seen;
    for (const Completion& read : probe.Wait(kReads)) {
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(c.reports.count(read.bytes), 1u) << read.bytes;
        seen.insert(read.bytes);
    }
    EXPECT_EQ(seen, c.reports);
}

INSTANTIATE_TEST_SUITE_P(R9, R9FeedbackPeriod, ::testing::ValuesIn(kFeedbackPeriodCases),
                         [](const ::testing::TestParamInfo<FeedbackPeriodCase>& info) { return info.param.name; });

}  // namespace
}  // namespace transfertest
