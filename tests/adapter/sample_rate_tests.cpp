// Changing the device rate: the filter goes and comes back under the new rate's name, the saved
// endpoint formats follow, and nothing changes while a direction runs.
#include "sim/pnp/pnp_manager.h"
#include "sim/portcls/portcls_sim.h"
#include "tests/adapter/adapter_bench.h"

namespace adaptertest {
namespace {

using Names = std::vector<std::u16string>;

TEST(SampleRate, SameRateChangesNothing)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    const auto before = sim::portcls::RegisteredSubdevices();
    ULONG reregistered = 7;
    EXPECT_EQ(bench.Adapter().SetSampleRate(44100, &reregistered), STATUS_SUCCESS);
    EXPECT_EQ(reregistered, 0u);
    const auto after = sim::portcls::RegisteredSubdevices();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after[0].name, u"wave_44100");
    EXPECT_EQ(after[0].interfacePaths, before[0].interfacePaths);
    // Nothing touched the endpoints either.
    EXPECT_TRUE(bench.EndpointHasDeletedProperty(0));
}

TEST(SampleRate, RateTheDeviceDoesNotOfferIsRefused)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    ULONG reregistered = 7;
    EXPECT_EQ(bench.Adapter().SetSampleRate(22050, &reregistered), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reregistered, 0u);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_44100"});
    EXPECT_EQ(bench.Device().CurrentRate(0), 44100u);
}

TEST(SampleRate, NoChangeWhileADirectionRuns)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    for (StreamDirection direction : {kDirectionOut, kDirectionIn}) {
        UsbAudioAdapterTestAccess::SetRunCount(bench.Adapter(), direction, 1);
        EXPECT_EQ(bench.Adapter().SetSampleRate(96000, nullptr), STATUS_DEVICE_BUSY);
        EXPECT_EQ(bench.Adapter().SetDsdMode(1), STATUS_DEVICE_BUSY);
        UsbAudioAdapterTestAccess::SetRunCount(bench.Adapter(), direction, 0);
    }
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_44100"});
    EXPECT_EQ(bench.EndpointRate(0), 44100u);
}

TEST(SampleRate, NewRateReregistersTheFilterAndRewritesTheEndpoints)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    ASSERT_TRUE(bench.EndpointHasDeletedProperty(0));
    ULONG reregistered = 0;
    EXPECT_EQ(bench.Adapter().SetSampleRate(96000, &reregistered), STATUS_SUCCESS);
    EXPECT_EQ(reregistered, 1u);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_96000"});
    EXPECT_EQ(bench.Device().CurrentRate(0), 96000u);
    EXPECT_EQ(bench.Device().CurrentRate(1), 96000u);
    EXPECT_EQ(bench.EndpointRate(0), 96000u);
    EXPECT_EQ(bench.EndpointRate(1), 96000u);
    // Windows 10 rebuilds its cached format once the driver deleted it.
    EXPECT_FALSE(bench.EndpointHasDeletedProperty(0));
    EXPECT_FALSE(bench.EndpointHasDeletedProperty(1));
    ULONG rate = 0;
    EXPECT_EQ(bench.Adapter().GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 96000u);

    // And back, through the filter that the change registered.
    EXPECT_EQ(bench.Adapter().SetSampleRate(48000, &reregistered), STATUS_SUCCESS);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_48000"});
}

TEST(SampleRate, BeforeWindows10TheCachedFormatStays)
{
    BenchOptions options;
    options.windowsVersion = NTDDI_WINBLUE;
    AdapterBench bench(options);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(bench.Adapter().SetSampleRate(88200, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_88200"});
    EXPECT_EQ(bench.EndpointRate(0), 88200u);
    EXPECT_TRUE(bench.EndpointHasDeletedProperty(0));
}

TEST(SampleRate, BeforeVistaTheDeviceKeyKeepsTheRate)
{
    BenchOptions options;
    options.windowsVersion = 0x05010000;
    AdapterBench bench(options);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    ULONG reregistered = 7;
    EXPECT_EQ(bench.Adapter().SetSampleRate(48000, &reregistered), STATUS_SUCCESS);
    EXPECT_EQ(reregistered, 0u);
    ULONG saved = 0;
    EXPECT_TRUE(bench.HasSetting(u"SampleRate", &saved));
    EXPECT_EQ(saved, 48000u);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_48000"});
}

TEST(SampleRate, RangeComesFromTheRenderClock)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    ULONG lowest = 0;
    ULONG highest = 0;
    EXPECT_EQ(bench.Adapter().GetSampleRateRange(&lowest, &highest), STATUS_SUCCESS);
    EXPECT_EQ(lowest, 44100u);
    EXPECT_EQ(highest, 384000u);
    EXPECT_EQ(bench.Adapter().GetSampleRateRange(nullptr, &highest), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bench.Adapter().GetSampleRate(nullptr), STATUS_INVALID_PARAMETER);
}

TEST(DsdMode, DeviceWithoutNativeDsdTakesOnlyPcm)
{
    BenchOptions options;
    options.dsdModeRequest = false;
    AdapterBench bench(options);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(bench.Adapter().SetDsdMode(1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(bench.Adapter().SetDsdMode(0), STATUS_SUCCESS);
}

TEST(DsdMode, DsdDeviceSwitchesEveryStreamingInterface)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(bench.Adapter().SetDsdMode(1), STATUS_SUCCESS);
    EXPECT_EQ(bench.Device().Function().StreamingMode(1), 1u);
    EXPECT_EQ(bench.Device().Function().StreamingMode(2), 1u);
    EXPECT_EQ(bench.Adapter().SetDsdMode(1), STATUS_SUCCESS);
    EXPECT_EQ(bench.Adapter().SetDsdMode(0), STATUS_SUCCESS);
    EXPECT_EQ(bench.Device().Function().StreamingMode(1), 0u);
}

}  // namespace
}  // namespace adaptertest
