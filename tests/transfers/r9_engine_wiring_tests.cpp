// How the R9 wires its audio engine to what the driver asks of it: the rate a format selection
// sets becomes its clocks' nominal rate (both clocks of the one crystal on 2.0, the endpoint's own
// on 1.0), the selected alternate starts render with its layout and packet size, and alternate 0
// stops it.
#include <gtest/gtest.h>

#include <ostream>

#include "sim/devices/r9/r9_descriptors.h"
#include "tests/transfers/r9_stream_support.h"

namespace transfertest {
namespace {

using sim::devices::R9Variant;
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

}  // namespace
}  // namespace transfertest
