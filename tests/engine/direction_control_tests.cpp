// Starting and stopping directions: the run counts, the thread and the alternate settings they
// leave behind, the clock that must settle first, and the adapter operations that must not cut a
// running stream (power-up, rate change).
#include "sim/devices/r9/r9_descriptors.h"
#include "tests/engine/engine_bench.h"

namespace enginetest {
namespace {

// The bus delivered packets of this endpoint during the last `nanoseconds`.
bool Flowing(EngineBench& bench, uint8_t endpoint, int64_t nanoseconds = 20 * kMillisecondNs)
{
    const uint64_t before = bench.Bus().Counters(endpoint).packets;
    bench.RunFor(nanoseconds);
    return bench.Bus().Counters(endpoint).packets > before;
}

constexpr uint8_t kRenderData = sim::devices::r9::kRenderEndpoint;
constexpr uint8_t kCaptureData = sim::devices::r9::kCaptureEndpoint;

TEST(DirectionControl, ADuplexDeviceStartsAndStopsBothDirectionsTogether)
{
    EngineBench bench;
    UsbAudioAdapter& adapter = bench.Adapter();
    ASSERT_EQ(adapter.StartDirection(kDirectionOut), STATUS_SUCCESS);
    EXPECT_EQ(bench.Engine().RunCount(kDirectionOut), 1u);
    EXPECT_EQ(bench.Engine().RunCount(kDirectionIn), 1u);
    EXPECT_TRUE(Flowing(bench, kRenderData));
    EXPECT_TRUE(Flowing(bench, kCaptureData));

    // Capture asked for while render runs counts on both.
    ASSERT_EQ(adapter.StartDirection(kDirectionIn), STATUS_SUCCESS);
    EXPECT_EQ(bench.Engine().RunCount(kDirectionOut), 2u);
    EXPECT_EQ(bench.Engine().RunCount(kDirectionIn), 2u);
    ASSERT_EQ(adapter.StopDirection(kDirectionOut), STATUS_SUCCESS);
    EXPECT_TRUE(Flowing(bench, kRenderData));
    EXPECT_TRUE(Flowing(bench, kCaptureData));

    ASSERT_EQ(adapter.StopDirection(kDirectionIn), STATUS_SUCCESS);
    EXPECT_EQ(bench.Engine().RunCount(kDirectionOut), 0u);
    EXPECT_EQ(adapter.UsbAudio().GetCurrentAlternate(kDirectionOut), 0u);
    EXPECT_EQ(adapter.UsbAudio().GetCurrentAlternate(kDirectionIn), 0u);
    EXPECT_FALSE(Flowing(bench, kRenderData));
    EXPECT_FALSE(Flowing(bench, kCaptureData));
    EXPECT_TRUE(bench.Machine().LiveSystemThreads().empty());
    // A stop without a start only leaves a trace.
    EXPECT_EQ(adapter.StopDirection(kDirectionOut), STATUS_SUCCESS);
}

TEST(DirectionControl, RunCountsThatDisagreeAreRefused)
{
    EngineBench bench;
    StreamEngineTestAccess::SetRunCount(bench.Engine(), kDirectionOut, 1);
    EXPECT_EQ(bench.Adapter().StartDirection(kDirectionIn), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionIn), STATUS_UNSUCCESSFUL);
    StreamEngineTestAccess::SetRunCount(bench.Engine(), kDirectionOut, 0);
}

TEST(DirectionControl, AClockThatNeverSettlesFailsTheStartAndLeavesNothingRunning)
{
    EngineBench bench;
    bench.Device().Function().SetNeverValid(sim::devices::r9::kCaptureClockSourceId);
    const int64_t before = bench.Machine().Now();
    EXPECT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_UNSUCCESSFUL);
    // The clock was asked for 100 ms.
    EXPECT_GE(bench.Machine().Now() - before, 100 * kMillisecondNs);
    EXPECT_EQ(bench.Engine().RunCount(kDirectionOut), 0u);
    EXPECT_EQ(bench.Engine().RunCount(kDirectionIn), 0u);
    EXPECT_EQ(bench.Adapter().UsbAudio().GetCurrentAlternate(kDirectionOut), 0u);
    EXPECT_EQ(bench.Adapter().UsbAudio().GetCurrentAlternate(kDirectionIn), 0u);
    EXPECT_TRUE(bench.Machine().LiveSystemThreads().empty());
}

TEST(DirectionControl, ImplicitFeedbackRenderRunsCaptureWithIt)
{
    EngineBench bench({R9Variant::ImplicitFeedback});
    ASSERT_TRUE(bench.Engine().FollowsCapture());
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    EXPECT_TRUE(Flowing(bench, kCaptureData));
    EXPECT_TRUE(Flowing(bench, kRenderData));
    ASSERT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
    EXPECT_EQ(bench.Engine().RunCount(kDirectionIn), 0u);
    EXPECT_FALSE(Flowing(bench, kCaptureData));
}

// PortCls may bring the device back to D0 while a direction runs (an ASIO stream never paused);
// putting its interface on zero bandwidth then would cut the stream.
TEST(DirectionControl, PowerUpLeavesARunningStreamAlone)
{
    EngineBench bench;
    bench.RunStream(kDirectionOut);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    bench.RunFor(kSecondNs);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    bench.Adapter().PowerChangeState(state);
    state.DeviceState = PowerDeviceD0;
    bench.Adapter().PowerChangeState(state);
    EXPECT_NE(bench.Adapter().UsbAudio().GetCurrentAlternate(kDirectionOut), 0u);
    const auto underflows = bench.Audio().RenderStats().underflows.count;
    bench.RunFor(kSecondNs);
    EXPECT_EQ(bench.Audio().RenderStats().underflows.count, underflows);
    EXPECT_EQ(bench.Engine().Statistics().renderResets, 0);
    EXPECT_EQ(bench.Engine().Statistics().captureResets, 0);
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
}

// A rate change lets go of the configuration mutex while the old filter goes; a stream that starts
// in that moment must make the change fail, not run at a rate it was not started for.
TEST(DirectionControl, ARateChangeRacingAStartIsRefused)
{
    EngineBench bench;
    bench.Stream().OnUnregister([&bench] { EXPECT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS); });
    EXPECT_EQ(bench.Adapter().SetSampleRate(96000, nullptr), STATUS_DEVICE_BUSY);
    ULONG rate = 0;
    bench.Adapter().GetSampleRate(&rate);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(bench.Device().CurrentRate(0), 48000u);
    EXPECT_TRUE(Flowing(bench, kRenderData));
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
}

}  // namespace
}  // namespace enginetest
