// The driver starting on a plugged R9: the rate it comes up at on first and later starts, the
// settings it reads from the device key, and the filter it registers.
#include "driver/driver_tuning.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/pnp/plug_and_play.h"
#include "tests/adapter/adapter_bench.h"

namespace adaptertest {
namespace {

using Names = std::vector<std::u16string>;
using sim::devices::R9Variant;
namespace r9 = sim::devices::r9;

constexpr ULONG kWindowsXp = 0x05010000;

bool DebuggerSaid(sim::Machine& machine, const std::string& text)
{
    return machine.DebuggerOutput().find(text) != std::string::npos;
}

TEST(DeviceStart, FirstStartRunsAt44100AndRemembersItWasInitialised)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    ASSERT_TRUE(bench.Started());
    EXPECT_TRUE(DebuggerSaid(bench.Machine(), "UsbAudio!DriverEntry\n"));

    ULONG rate = 0;
    EXPECT_EQ(bench.Adapter().GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(bench.Device().CurrentRate(0), 44100u);
    EXPECT_EQ(bench.Device().CurrentRate(1), 44100u);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_44100"});
    ULONG initialized = 0;
    EXPECT_TRUE(bench.HasSetting(u"Initialized", &initialized));
    EXPECT_EQ(initialized, 1u);
    EXPECT_TRUE(bench.Adapter().IsDuplex());
    EXPECT_FALSE(bench.Adapter().IsOldFashionedTransfer());
    // The audio service made the endpoints when the filter arrived, at the filter's rate.
    EXPECT_EQ(bench.EndpointRate(0), 44100u);
    EXPECT_EQ(bench.EndpointRate(1), 44100u);
}

TEST(DeviceStart, LaterStartsTakeTheRateSavedWithTheEndpoints)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    bench.Unplug();
    bench.SaveEndpointFormats(96000);

    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    ULONG rate = 0;
    EXPECT_EQ(bench.Adapter().GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 96000u);
    EXPECT_EQ(bench.Device().CurrentRate(0), 96000u);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_96000"});
    EXPECT_TRUE(bench.Adapter().EndpointsFound());
}

TEST(DeviceStart, FirstStartIgnoresFormatsSavedBeforeIt)
{
    AdapterBench bench;
    bench.SaveEndpointFormats(96000);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_44100"});
    EXPECT_EQ(bench.EndpointRate(0), 96000u);
}

TEST(DeviceStart, RateWithoutFilterNameStartsWithoutFilter)
{
    AdapterBench bench;
    bench.SetDeviceSetting(u"Initialized", 1);
    bench.SaveEndpointFormats(22050);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    ASSERT_TRUE(bench.Started());
    ULONG rate = 0;
    EXPECT_EQ(bench.Adapter().GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 22050u);
    EXPECT_TRUE(bench.FilterNames().empty());
}

// A length no capture URB can carry, or a value that is not a REG_DWORD, would leave capture
// refused at every submission: the default takes its place.
TEST(DeviceStart, CaptureRequestLengthComesFromTheDeviceKey)
{
    struct Case {
        const char* name;
        sim::devices::R9Variant variant;
        ULONG type;  // REG_NONE: absent
        std::vector<uint8_t> data;
        ULONG expected;
    };
    using sim::devices::R9Variant;
    const Case cases[] = {
        {"absent", R9Variant::HighSpeedUac2, REG_NONE, {}, 1},
        {"zero", R9Variant::HighSpeedUac2, REG_DWORD, {0, 0, 0, 0}, 1},
        {"four", R9Variant::HighSpeedUac2, REG_DWORD, {4, 0, 0, 0}, 4},
        {"eight packets of eight microframes", R9Variant::HighSpeedUac2, REG_DWORD, {8, 0, 0, 0}, 8},
        {"nine at high speed", R9Variant::HighSpeedUac2, REG_DWORD, {9, 0, 0, 0}, 1},
        {"sixteen at full speed", R9Variant::FullSpeedUac1, REG_DWORD, {16, 0, 0, 0}, 16},
        {"sixty-five at full speed", R9Variant::FullSpeedUac1, REG_DWORD, {65, 0, 0, 0}, 1},
        {"text", R9Variant::HighSpeedUac2, REG_SZ, {'4', 0, 0, 0}, 1},
        {"binary", R9Variant::HighSpeedUac2, REG_BINARY, {4, 0, 0, 0}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BenchOptions options;
        options.variant = c.variant;
        AdapterBench bench(options);
        if (c.type != REG_NONE) {
            bench.SetDeviceValue(u"IN URB Size", c.type, c.data);
        }
        ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
        EXPECT_EQ(g_DriverTuning.inPacketsPerRequest, c.expected);
        EXPECT_EQ(g_DriverTuning.inRequestsInFlight, 8u);
    }
}

TEST(DeviceStart, OldFashionedTransferDefaultsOnForAmdOhciControllers)
{
    struct Case {
        const char* name;
        USB_CONTROLLER_FLAVOR flavor;
        ULONG pciVendor;
        int setting;  // -1: absent
        bool expected;
    };
    const Case cases[] = {
        {"ATI OHCI, no setting", OHCI_Generic, 0x1002, -1, true},
        {"AMD OHCI, no setting", OHCI_Generic, 0x1022, -1, true},
        {"ATI OHCI, turned off", OHCI_Generic, 0x1002, 0, false},
        {"Intel OHCI, no setting", OHCI_Generic, 0x8086, -1, false},
        {"ATI EHCI, no setting", EHCI_Generic, 0x1002, -1, false},
        {"Intel EHCI, turned on", EHCI_Generic, 0x8086, 7, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BenchOptions options;
        options.controller.flavor = c.flavor;
        options.controller.pciVendorId = c.pciVendor;
        if (c.flavor == OHCI_Generic) {
            options.variant = R9Variant::FullSpeedUac1;
        }
        AdapterBench bench(options);
        if (c.setting >= 0) {
            bench.SetDeviceSetting(u"ForceOldFashionedTransfer", ULONG(c.setting));
        }
        ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
        EXPECT_EQ(bench.Adapter().IsOldFashionedTransfer(), c.expected);
        EXPECT_EQ(g_DriverTuning.outPacketsPerRequest, c.expected ? 2u : 8u);
        EXPECT_EQ(g_DriverTuning.outRequestsInFlight, c.expected ? 3u : 8u);
    }
}

TEST(DeviceStart, DsdSupportIsProbedWhenTheDeviceKeyDoesNotSay)
{
    struct Case {
        const char* name;
        bool deviceTakesModeRequest;
        int setting;  // -1: absent
        ULONG expected;
    };
    const Case cases[] = {{"probe, device answers", true, -1, 1},
                          {"probe, device stalls", false, -1, 0},
                          {"setting off", true, 0, 0},
                          {"setting on", false, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BenchOptions options;
        options.dsdModeRequest = c.deviceTakesModeRequest;
        AdapterBench bench(options);
        if (c.setting >= 0) {
            bench.SetDeviceSetting(u"DSDNativeModeSupported", ULONG(c.setting));
        }
        ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
        EXPECT_EQ(bench.Adapter().IsDsdSupported(), c.expected);
        PVOID dsd = nullptr;
        const NTSTATUS status = bench.Adapter().NonDelegatingQueryInterface(IID_IUsbAudioAdapterDsd, &dsd);
        EXPECT_EQ(status, c.expected ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        if (dsd != nullptr) {
            static_cast<IUsbAudioAdapterDsd*>(dsd)->Release();
        }
    }
}

TEST(DeviceStart, BeforeVistaTheRateLivesInTheDeviceKey)
{
    BenchOptions options;
    options.windowsVersion = kWindowsXp;
    {
        AdapterBench bench(options);
        ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
        ULONG saved = 0;
        EXPECT_TRUE(bench.HasSetting(u"SampleRate", &saved));
        EXPECT_EQ(saved, 44100u);
        EXPECT_FALSE(bench.HasSetting(u"Initialized"));
        EXPECT_EQ(bench.FilterNames(), Names{u"wave_44100"});
    }
    AdapterBench bench(options);
    bench.SetDeviceSetting(u"SampleRate", 48000);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_48000"});
    EXPECT_EQ(bench.Device().CurrentRate(0), 48000u);
}

TEST(DeviceStart, SurpriseRemovalLeavesNothingBehindAndTheDriverUnloads)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    bench.Unplug();
    EXPECT_EQ(sim::pnp::LoadedDriver(u"TVR9AUDIO"), nullptr);
    EXPECT_TRUE(DebuggerSaid(bench.Machine(), "UsbAudio!DriverUnload\n"));
    EXPECT_TRUE(bench.Machine().Verify().Reports().empty());
}

TEST(DeviceStart, AdapterAllocationFailureFailsTheStart)
{
    AdapterBench bench;
    bench.Machine().Pools().InjectFailure(1, kObjectPoolTag);
    EXPECT_EQ(bench.Plug(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::pnp::LoadedDriver(u"TVR9AUDIO"), nullptr);
}

// Whichever allocation of the start fails, the start reports it or gets by without it, and
// pulling the device out afterwards leaves nothing allocated.
TEST(DeviceStart, AnyAllocationFailureDuringStartLeavesNothingBehind)
{
    struct Case {
        ULONG tag;
        uint64_t allocations;
    };
    // The adapter and the miniport use "PcCr"; everything else "USBA".
    const Case cases[] = {{kDefaultPoolTag, 40}, {kObjectPoolTag, 2}};
    int failedStarts = 0;
    int startsWithoutFilter = 0;
    for (const Case& c : cases) {
        for (uint64_t nth = 1; nth <= c.allocations; ++nth) {
            SCOPED_TRACE(testing::Message() << std::hex << c.tag << std::dec << " #" << nth);
            AdapterBench bench;
            bench.Machine().Pools().InjectFailure(nth, c.tag);
            const NTSTATUS status = bench.Plug();
            if (!NT_SUCCESS(status)) {
                ++failedStarts;
                EXPECT_FALSE(bench.Started());
            } else if (bench.FilterNames().empty()) {
                ++startsWithoutFilter;
            }
            bench.Unplug();
            EXPECT_TRUE(bench.Machine().Verify().Reports().empty());
        }
    }
    EXPECT_GT(failedStarts, 0);
    // The miniport's allocation failing costs the filter, not the start.
    EXPECT_GT(startsWithoutFilter, 0);
}

}  // namespace
}  // namespace adaptertest
